/*
 * The bookmark file parser and writer (see bookmarkfile.h): a cursor over a length-bounded
 * buffer, tags and texts taken one at a time, nesting on a heap stack.
 */
#include "bookmarkfile.h"

#include <stdlib.h>
#include <string.h>

/* ---- Growing arrays ------------------------------------------------------------------------- */

static int Grow(void** ppv, size_t* pcAlloc, size_t cNeeded, size_t cbElement) {
    if (cNeeded <= *pcAlloc) {
        return 0;
    }
    size_t cNew = *pcAlloc < 64 ? 64 : *pcAlloc;
    while (cNew < cNeeded) {
        if (cNew > ((size_t)-1) / 2 / cbElement) {
            return -1;
        }
        cNew *= 2;
    }
    void* pv = realloc(*ppv, cNew * cbElement);
    if (pv == NULL) {
        return -1;
    }
    *ppv = pv;
    *pcAlloc = cNew;
    return 0;
}

/* A text being collected (a title, a description, an attribute value), decoded as it comes. */
typedef struct TextBuffer {
    char* pch;
    size_t cch, cchAlloc;
} TextBuffer;

static int TextAppend(TextBuffer* pText, const char* pch, size_t cch) {
    if (Grow((void**)&pText->pch, &pText->cchAlloc, pText->cch + cch + 1, 1) != 0) {
        return -1;
    }
    memcpy(pText->pch + pText->cch, pch, cch);
    pText->cch += cch;
    pText->pch[pText->cch] = '\0';
    return 0;
}

/* ---- Entities ------------------------------------------------------------------------------- */

static size_t EncodeUtf8(uint32_t dwCode, char* pch) {
    if (dwCode == 0 || (dwCode >= 0xD800 && dwCode <= 0xDFFF) || dwCode > 0x10FFFF) {
        dwCode = 0xFFFD;
    }
    if (dwCode < 0x80) {
        pch[0] = (char)dwCode;
        return 1;
    }
    if (dwCode < 0x800) {
        pch[0] = (char)(0xC0 | (dwCode >> 6));
        pch[1] = (char)(0x80 | (dwCode & 0x3F));
        return 2;
    }
    if (dwCode < 0x10000) {
        pch[0] = (char)(0xE0 | (dwCode >> 12));
        pch[1] = (char)(0x80 | ((dwCode >> 6) & 0x3F));
        pch[2] = (char)(0x80 | (dwCode & 0x3F));
        return 3;
    }
    pch[0] = (char)(0xF0 | (dwCode >> 18));
    pch[1] = (char)(0x80 | ((dwCode >> 12) & 0x3F));
    pch[2] = (char)(0x80 | ((dwCode >> 6) & 0x3F));
    pch[3] = (char)(0x80 | (dwCode & 0x3F));
    return 4;
}

/* The entity at pb[0] == '&' decoded into pchOut; returns the bytes it took, or 0 when it is no
 * entity we know (the '&' is then an ordinary character). Looks at most a few bytes ahead. */
static size_t DecodeEntity(const char* pb, size_t cb, char* pchOut, size_t* pcchOut) {
    static const struct {
        const char* pszName;
        const char* pszText;
    } s_aNamed[] = {
        {"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"quot", "\""}, {"apos", "'"}, {"nbsp", "\xC2\xA0"},
    };
    size_t i = 1;
    if (i < cb && pb[i] == '#') {
        ++i;
        const int fHex = i < cb && (pb[i] == 'x' || pb[i] == 'X');
        i += fHex;
        uint32_t dwCode = 0;
        size_t cDigits = 0;
        for (; i < cb && cDigits < 8; ++i, ++cDigits) {
            const char ch = pb[i];
            uint32_t dwDigit;
            if (ch >= '0' && ch <= '9') {
                dwDigit = (uint32_t)(ch - '0');
            } else if (fHex && ch >= 'a' && ch <= 'f') {
                dwDigit = (uint32_t)(ch - 'a' + 10);
            } else if (fHex && ch >= 'A' && ch <= 'F') {
                dwDigit = (uint32_t)(ch - 'A' + 10);
            } else {
                break;
            }
            dwCode = dwCode * (fHex ? 16u : 10u) + dwDigit;
        }
        if (cDigits == 0 || i >= cb || pb[i] != ';') {
            return 0;
        }
        *pcchOut = EncodeUtf8(dwCode, pchOut);
        return i + 1;
    }
    for (size_t n = 0; n < sizeof s_aNamed / sizeof s_aNamed[0]; ++n) {
        const size_t cchName = strlen(s_aNamed[n].pszName);
        if (cb >= cchName + 2 && memcmp(pb + 1, s_aNamed[n].pszName, cchName) == 0 &&
            pb[cchName + 1] == ';') {
            *pcchOut = strlen(s_aNamed[n].pszText);
            memcpy(pchOut, s_aNamed[n].pszText, *pcchOut);
            return cchName + 2;
        }
    }
    return 0;
}

/* Appends cb bytes of file text with its entities decoded. */
static int AppendDecoded(TextBuffer* pText, const char* pb, size_t cb) {
    size_t iRun = 0;
    for (size_t i = 0; i < cb;) {
        if (pb[i] != '&') {
            ++i;
            continue;
        }
        char achOut[4];
        size_t cchOut = 0;
        const size_t cbEntity = DecodeEntity(pb + i, cb - i, achOut, &cchOut);
        if (cbEntity == 0) {
            ++i;
            continue;
        }
        if (TextAppend(pText, pb + iRun, i - iRun) != 0 || TextAppend(pText, achOut, cchOut) != 0) {
            return -1;
        }
        i += cbEntity;
        iRun = i;
    }
    return TextAppend(pText, pb + iRun, cb - iRun);
}

/* ---- The tokenizer -------------------------------------------------------------------------- */

static int IsSpace(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\f' || ch == '\v';
}

static int IsNameChar(char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
           ch == '_' || ch == '-' || ch == ':';
}

static int NameIs(const char* pch, size_t cch, const char* pszName) {
    if (strlen(pszName) != cch) {
        return 0;
    }
    for (size_t i = 0; i < cch; ++i) {
        char ch = pch[i];
        if (ch >= 'a' && ch <= 'z') {
            ch = (char)(ch - 'a' + 'A');
        }
        if (ch != pszName[i]) {
            return 0;
        }
    }
    return 1;
}

typedef enum TagKind {
    TAG_OTHER,
    TAG_DL,
    TAG_DL_END,
    TAG_DT,
    TAG_DD,
    TAG_H3,
    TAG_H3_END,
    TAG_A,
    TAG_A_END,
    TAG_HR,
} TagKind;

static TagKind ClassifyTag(const char* pch, size_t cch, int fEnd) {
    static const struct {
        const char* pszName;
        TagKind kindStart, kindEnd;
    } s_aTags[] = {
        {"DL", TAG_DL, TAG_DL_END}, {"DT", TAG_DT, TAG_OTHER}, {"DD", TAG_DD, TAG_OTHER},
        {"H3", TAG_H3, TAG_H3_END}, {"A", TAG_A, TAG_A_END},   {"HR", TAG_HR, TAG_OTHER},
    };
    for (size_t i = 0; i < sizeof s_aTags / sizeof s_aTags[0]; ++i) {
        if (NameIs(pch, cch, s_aTags[i].pszName)) {
            return fEnd ? s_aTags[i].kindEnd : s_aTags[i].kindStart;
        }
    }
    return TAG_OTHER;
}

/* The attributes of an A or H3 we keep. */
typedef struct TagAttributes {
    TextBuffer href;
    int fHref;
    uint32_t dwAdded, dwModified, dwVisited;
} TagAttributes;

/* A date attribute: decimal seconds. Some exporters write milliseconds or microseconds; those
 * are brought down to seconds. Anything not a number is no date. */
static uint32_t ParseDate(const char* pch, size_t cch) {
    uint64_t qw = 0;
    size_t i = 0;
    while (i < cch && IsSpace(pch[i])) {
        ++i;
    }
    size_t cDigits = 0;
    for (; i < cch && pch[i] >= '0' && pch[i] <= '9'; ++i, ++cDigits) {
        if (cDigits >= 19) {
            return 0;
        }
        qw = qw * 10 + (uint64_t)(pch[i] - '0');
    }
    if (cDigits == 0) {
        return 0;
    }
    while (qw > UINT32_MAX) {
        qw /= 1000;
    }
    return (uint32_t)qw;
}

typedef struct Parser {
    const char* pb;
    size_t cb;
    size_t i;
    BookmarkTree* pTree;
    /* one entry per open DL: the folder it holds, and whether it was opened by that folder's H3 */
    uint32_t* anLevels;
    unsigned char* afOwnLevel;
    size_t cLevels, cLevelsAlloc, cOwnAlloc;
    uint32_t nPendingFolder; /* an H3 whose DL has not come yet */
    uint32_t nDescribed;     /* the node a DD would describe */
    uint32_t nOpen;          /* the A or H3 whose title is being read */
    enum { TEXT_NONE, TEXT_TITLE, TEXT_DESCRIPTION } textMode;
    TextBuffer text;
    TagAttributes attrs;
} Parser;

static uint32_t CurrentFolder(const Parser* p) {
    return p->cLevels > 0 ? p->anLevels[p->cLevels - 1] : 0;
}

static int StoreText(BookmarkTree* pTree, const char* pch, size_t cch, size_t* poff) {
    if (cch == 0) {
        *poff = 0;
        return 0;
    }
    if (Grow((void**)&pTree->pchText, &pTree->cchTextAlloc, pTree->cchText + cch + 1, 1) != 0) {
        return -1;
    }
    *poff = pTree->cchText;
    memcpy(pTree->pchText + pTree->cchText, pch, cch);
    pTree->pchText[pTree->cchText + cch] = '\0';
    pTree->cchText += cch + 1;
    return 0;
}

/* The collected text without the white space around it. A title is put on one line (control
 * characters become blanks); a NUL byte, which would end the stored text early, becomes a blank
 * everywhere. */
static int StoreCollected(Parser* p, int fOneLine, size_t* poff) {
    char* pch = p->text.pch;
    size_t cch = p->text.cch;
    for (size_t i = 0; i < cch; ++i) {
        if (pch[i] == '\0' || (fOneLine && ((unsigned char)pch[i] < 0x20 || pch[i] == 0x7F))) {
            pch[i] = ' ';
        }
    }
    while (cch > 0 && IsSpace(pch[0])) {
        ++pch;
        --cch;
    }
    while (cch > 0 && IsSpace(pch[cch - 1])) {
        --cch;
    }
    int rc = StoreText(p->pTree, pch, cch, poff);
    p->text.cch = 0;
    return rc;
}

/* A URL as browsers take it: without tabs, line breaks and NUL bytes anywhere, and without the
 * blanks around it. */
static int StoreUrl(Parser* p, size_t* poff) {
    char* pch = p->attrs.href.pch;
    size_t cchKept = 0;
    for (size_t i = 0; i < p->attrs.href.cch; ++i) {
        const char ch = pch[i];
        if (ch != '\t' && ch != '\n' && ch != '\r' && ch != '\0') {
            pch[cchKept++] = ch;
        }
    }
    size_t iStart = 0;
    while (iStart < cchKept && IsSpace(pch[iStart])) {
        ++iStart;
    }
    while (cchKept > iStart && IsSpace(pch[cchKept - 1])) {
        --cchKept;
    }
    return StoreText(p->pTree, pch + iStart, cchKept - iStart, poff);
}

static int NewNode(Parser* p, int fFolder, uint32_t* pn) {
    BookmarkTree* pTree = p->pTree;
    if (pTree->cNodes >= UINT32_MAX || Grow((void**)&pTree->aNodes, &pTree->cNodesAlloc,
                                            pTree->cNodes + 1, sizeof(BookmarkNode)) != 0) {
        return -1;
    }
    const uint32_t n = (uint32_t)pTree->cNodes++;
    BookmarkNode* pNode = &pTree->aNodes[n];
    memset(pNode, 0, sizeof *pNode);
    pNode->fFolder = fFolder;
    pNode->nParent = CurrentFolder(p);
    BookmarkNode* pParent = &pTree->aNodes[pNode->nParent];
    if (pParent->nLastChild != BOOKMARK_NONE) {
        pTree->aNodes[pParent->nLastChild].nNextSibling = n;
    } else {
        pParent->nFirstChild = n;
    }
    pParent->nLastChild = n;
    pNode->dwAdded = p->attrs.dwAdded;
    pNode->dwModified = p->attrs.dwModified;
    pNode->dwVisited = p->attrs.dwVisited;
    if (fFolder) {
        ++pTree->cFolders;
    } else {
        ++pTree->cBookmarks;
    }
    *pn = n;
    return 0;
}

/* Ends the title or description being read, storing it on its node. */
static int EndText(Parser* p) {
    int rc = 0;
    if (p->textMode == TEXT_TITLE) {
        rc = StoreCollected(p, 1, &p->pTree->aNodes[p->nOpen].offTitle);
        p->nDescribed = p->nOpen;
        if (p->pTree->aNodes[p->nOpen].fFolder) {
            p->nPendingFolder = p->nOpen;
        }
    } else if (p->textMode == TEXT_DESCRIPTION) {
        BookmarkNode* pNode = &p->pTree->aNodes[p->nDescribed];
        rc = pNode->offDescription == 0 ? StoreCollected(p, 0, &pNode->offDescription) : 0;
        p->nDescribed = BOOKMARK_NONE;
    }
    p->textMode = TEXT_NONE;
    p->text.cch = 0;
    return rc;
}

static int PushLevel(Parser* p, uint32_t nFolder, int fOwn) {
    if (Grow((void**)&p->anLevels, &p->cLevelsAlloc, p->cLevels + 1, sizeof(uint32_t)) != 0 ||
        Grow((void**)&p->afOwnLevel, &p->cOwnAlloc, p->cLevels + 1, 1) != 0) {
        return -1;
    }
    p->anLevels[p->cLevels] = nFolder;
    p->afOwnLevel[p->cLevels] = (unsigned char)fOwn;
    ++p->cLevels;
    return 0;
}

static int OnTag(Parser* p, TagKind kind) {
    if (kind == TAG_OTHER) {
        return 0;  // <p>, <br>, <meta>... neither end a text nor change the structure
    }
    // Any structural tag ends a title or description, also one that was never closed.
    if (p->textMode != TEXT_NONE && EndText(p) != 0) {
        return -1;
    }
    switch (kind) {
        case TAG_DL:
            if (PushLevel(p,
                          p->nPendingFolder != BOOKMARK_NONE ? p->nPendingFolder : CurrentFolder(p),
                          p->nPendingFolder != BOOKMARK_NONE) != 0) {
                return -1;
            }
            p->nPendingFolder = BOOKMARK_NONE;
            p->nDescribed = BOOKMARK_NONE;
            return 0;
        case TAG_DL_END:
            if (p->cLevels > 0) {
                --p->cLevels;
            }
            p->nPendingFolder = BOOKMARK_NONE;
            p->nDescribed = BOOKMARK_NONE;
            return 0;
        case TAG_H3:
        case TAG_A: {
            p->nPendingFolder = BOOKMARK_NONE;
            uint32_t n;
            if (NewNode(p, kind == TAG_H3, &n) != 0) {
                return -1;
            }
            if (kind == TAG_A && p->attrs.fHref && StoreUrl(p, &p->pTree->aNodes[n].offUrl) != 0) {
                return -1;
            }
            p->nOpen = n;
            p->textMode = TEXT_TITLE;
            return 0;
        }
        case TAG_DD:
            if (p->nDescribed != BOOKMARK_NONE) {
                p->textMode = TEXT_DESCRIPTION;
            }
            return 0;
        case TAG_DT:
        case TAG_HR:
            p->nPendingFolder = BOOKMARK_NONE;
            p->nDescribed = BOOKMARK_NONE;
            return 0;
        default:
            return 0;
    }
}

/* Skips to just after the terminator, or to the end when there is none. */
static void SkipPast(Parser* p, const char* pszTerminator) {
    const size_t cchTerm = strlen(pszTerminator);
    while (p->i < p->cb) {
        const char* pFound = memchr(p->pb + p->i, pszTerminator[0], p->cb - p->i);
        if (pFound == NULL) {
            break;
        }
        p->i = (size_t)(pFound - p->pb);
        if (p->cb - p->i >= cchTerm && memcmp(pFound, pszTerminator, cchTerm) == 0) {
            p->i += cchTerm;
            return;
        }
        ++p->i;
    }
    p->i = p->cb;
}

/* The attributes of a tag, up to and past its '>'. Only A and H3 keep theirs. */
static int ReadAttributes(Parser* p, int fKeep) {
    const char* pb = p->pb;
    const size_t cb = p->cb;
    while (p->i < cb) {
        while (p->i < cb && (IsSpace(pb[p->i]) || pb[p->i] == '/')) {
            ++p->i;
        }
        if (p->i >= cb) {
            break;
        }
        if (pb[p->i] == '>') {
            ++p->i;
            return 0;
        }
        const size_t iName = p->i;
        while (p->i < cb && !IsSpace(pb[p->i]) && pb[p->i] != '=' && pb[p->i] != '>' &&
               pb[p->i] != '/') {
            ++p->i;
        }
        const size_t cchName = p->i - iName;
        while (p->i < cb && IsSpace(pb[p->i])) {
            ++p->i;
        }
        if (cchName == 0) {
            ++p->i;  // a stray '=' or quote: step over it
            continue;
        }
        size_t iValue = p->i, cchValue = 0;
        if (p->i < cb && pb[p->i] == '=') {
            ++p->i;
            while (p->i < cb && IsSpace(pb[p->i])) {
                ++p->i;
            }
            if (p->i < cb && (pb[p->i] == '"' || pb[p->i] == '\'')) {
                const char chQuote = pb[p->i++];
                iValue = p->i;
                const char* pEnd = memchr(pb + p->i, chQuote, cb - p->i);
                if (pEnd == NULL) {
                    p->i = cb;  // an unterminated value takes the rest of the input
                    return 0;
                }
                cchValue = (size_t)(pEnd - (pb + iValue));
                p->i = (size_t)(pEnd - pb) + 1;
            } else {
                iValue = p->i;
                while (p->i < cb && !IsSpace(pb[p->i]) && pb[p->i] != '>') {
                    ++p->i;
                }
                cchValue = p->i - iValue;
            }
        }
        if (!fKeep) {
            continue;
        }
        const char* pchName = pb + iName;
        if (NameIs(pchName, cchName, "HREF")) {
            p->attrs.href.cch = 0;
            p->attrs.fHref = 1;
            if (AppendDecoded(&p->attrs.href, pb + iValue, cchValue) != 0) {
                return -1;
            }
        } else if (NameIs(pchName, cchName, "ADD_DATE")) {
            p->attrs.dwAdded = ParseDate(pb + iValue, cchValue);
        } else if (NameIs(pchName, cchName, "LAST_MODIFIED")) {
            p->attrs.dwModified = ParseDate(pb + iValue, cchValue);
        } else if (NameIs(pchName, cchName, "LAST_VISIT")) {
            p->attrs.dwVisited = ParseDate(pb + iValue, cchValue);
        }
    }
    p->i = cb;
    return 0;
}

/* At a '<': a comment, a declaration, or a tag. Returns 0, -1 out of memory, 1 when the '<'
 * starts no tag (it is then text). */
static int ReadMarkup(Parser* p) {
    const char* pb = p->pb;
    const size_t cb = p->cb;
    const size_t iStart = p->i;
    if (cb - iStart >= 4 && memcmp(pb + iStart, "<!--", 4) == 0) {
        p->i += 4;
        SkipPast(p, "-->");
        return 0;
    }
    if (cb - iStart >= 2 && (pb[iStart + 1] == '!' || pb[iStart + 1] == '?')) {
        p->i += 2;
        SkipPast(p, ">");
        return 0;
    }
    size_t i = iStart + 1;
    const int fEnd = i < cb && pb[i] == '/';
    i += fEnd;
    const size_t iName = i;
    while (i < cb && IsNameChar(pb[i])) {
        ++i;
    }
    if (i == iName) {
        return 1;
    }
    const TagKind kind = ClassifyTag(pb + iName, i - iName, fEnd);
    const int fKeep = kind == TAG_A || kind == TAG_H3;
    p->attrs.fHref = 0;
    p->attrs.href.cch = 0;
    p->attrs.dwAdded = p->attrs.dwModified = p->attrs.dwVisited = 0;
    p->i = i;
    if (ReadAttributes(p, fKeep) != 0) {
        return -1;
    }
    return OnTag(p, kind);
}

int BookmarkTreeParse(const char* pb, size_t cb, BookmarkTree* pTree) {
    memset(pTree, 0, sizeof *pTree);
    Parser parser;
    memset(&parser, 0, sizeof parser);
    Parser* p = &parser;
    p->pb = pb;
    p->cb = cb;
    p->pTree = pTree;
    int rc = -1;
    if (Grow((void**)&pTree->pchText, &pTree->cchTextAlloc, 1, 1) != 0) {
        goto done;
    }
    pTree->pchText[0] = '\0';
    pTree->cchText = 1;
    if (Grow((void**)&pTree->aNodes, &pTree->cNodesAlloc, 1, sizeof(BookmarkNode)) != 0) {
        goto done;
    }
    memset(&pTree->aNodes[0], 0, sizeof pTree->aNodes[0]);
    pTree->aNodes[0].fFolder = 1;
    pTree->cNodes = 1;
    while (p->i < cb) {
        const char* pLt = memchr(pb + p->i, '<', cb - p->i);
        const size_t iText = p->i;
        const size_t iEnd = pLt != NULL ? (size_t)(pLt - pb) : cb;
        if (p->textMode != TEXT_NONE && AppendDecoded(&p->text, pb + iText, iEnd - iText) != 0) {
            goto done;
        }
        p->i = iEnd;
        if (p->i >= cb) {
            break;
        }
        const int rcMarkup = ReadMarkup(p);
        if (rcMarkup < 0) {
            goto done;
        }
        if (rcMarkup == 1) {
            if (p->textMode != TEXT_NONE && TextAppend(&p->text, "<", 1) != 0) {
                goto done;
            }
            ++p->i;
        }
    }
    if (p->textMode != TEXT_NONE && EndText(p) != 0) {
        goto done;
    }
    rc = 0;
done:
    free(p->anLevels);
    free(p->afOwnLevel);
    free(p->text.pch);
    free(p->attrs.href.pch);
    return rc;
}

void BookmarkTreeFree(BookmarkTree* pTree) {
    free(pTree->aNodes);
    free(pTree->pchText);
    memset(pTree, 0, sizeof *pTree);
}

/* ---- The writer ----------------------------------------------------------------------------- */

/* Indentation stops growing at some depth: a very deep tree would otherwise make a file whose
 * size grows with the square of its depth. */
#define MAX_INDENT 32

static int WriteIndent(FILE* pFile, int nDepth) {
    const int cLevels = nDepth + 1 < MAX_INDENT ? nDepth + 1 : MAX_INDENT;
    for (int i = 0; i < cLevels; ++i) {
        if (fputs("    ", pFile) == EOF) {
            return -1;
        }
    }
    return 0;
}

static int WriteEscaped(FILE* pFile, const char* psz) {
    for (const char* p = psz; *p != '\0'; ++p) {
        const char* pszEntity = NULL;
        switch (*p) {
            case '&':
                pszEntity = "&amp;";
                break;
            case '<':
                pszEntity = "&lt;";
                break;
            case '>':
                pszEntity = "&gt;";
                break;
            case '"':
                pszEntity = "&quot;";
                break;
            default:
                break;
        }
        if (pszEntity != NULL ? fputs(pszEntity, pFile) == EOF : putc(*p, pFile) == EOF) {
            return -1;
        }
    }
    return 0;
}

static int WriteDate(FILE* pFile, const char* pszName, uint32_t dwTime) {
    return dwTime == 0 || fprintf(pFile, " %s=\"%lu\"", pszName, (unsigned long)dwTime) > 0 ? 0
                                                                                            : -1;
}

static int WriteDescription(FILE* pFile, int nDepth, const char* pszDescription) {
    if (pszDescription == NULL || *pszDescription == '\0') {
        return 0;
    }
    return WriteIndent(pFile, nDepth) != 0 || fputs("<DD>", pFile) == EOF ||
                   WriteEscaped(pFile, pszDescription) != 0 || putc('\n', pFile) == EOF
               ? -1
               : 0;
}

int BookmarkWriteHeader(FILE* pFile, const char* pszTitle) {
    // The comment is the one browsers write; some importers look for the DOCTYPE line only.
    if (fputs("<!DOCTYPE NETSCAPE-Bookmark-file-1>\n"
              "<!-- This is an automatically generated file.\n"
              "     It will be read and overwritten.\n"
              "     DO NOT EDIT! -->\n"
              "<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=UTF-8\">\n"
              "<TITLE>Bookmarks</TITLE>\n"
              "<H1>",
              pFile) == EOF ||
        WriteEscaped(pFile, pszTitle) != 0 || fputs("</H1>\n\n<DL><p>\n", pFile) == EOF) {
        return -1;
    }
    return 0;
}

int BookmarkWriteBeginFolder(FILE* pFile, int nDepth, const char* pszTitle,
                             const char* pszDescription, uint32_t dwAdded, uint32_t dwModified) {
    if (WriteIndent(pFile, nDepth) != 0 || fputs("<DT><H3", pFile) == EOF ||
        WriteDate(pFile, "ADD_DATE", dwAdded) != 0 ||
        WriteDate(pFile, "LAST_MODIFIED", dwModified) != 0 || putc('>', pFile) == EOF ||
        WriteEscaped(pFile, pszTitle) != 0 || fputs("</H3>\n", pFile) == EOF ||
        WriteDescription(pFile, nDepth, pszDescription) != 0 || WriteIndent(pFile, nDepth) != 0 ||
        fputs("<DL><p>\n", pFile) == EOF) {
        return -1;
    }
    return 0;
}

int BookmarkWriteBookmark(FILE* pFile, int nDepth, const char* pszTitle, const char* pszUrl,
                          const char* pszDescription, uint32_t dwAdded, uint32_t dwModified,
                          uint32_t dwVisited) {
    if (WriteIndent(pFile, nDepth) != 0 || fputs("<DT><A HREF=\"", pFile) == EOF ||
        WriteEscaped(pFile, pszUrl != NULL ? pszUrl : "") != 0 || putc('"', pFile) == EOF ||
        WriteDate(pFile, "ADD_DATE", dwAdded) != 0 ||
        WriteDate(pFile, "LAST_MODIFIED", dwModified) != 0 ||
        WriteDate(pFile, "LAST_VISIT", dwVisited) != 0 || putc('>', pFile) == EOF ||
        WriteEscaped(pFile, pszTitle) != 0 || fputs("</A>\n", pFile) == EOF ||
        WriteDescription(pFile, nDepth, pszDescription) != 0) {
        return -1;
    }
    return 0;
}

int BookmarkWriteEndFolder(FILE* pFile, int nDepth) {
    return WriteIndent(pFile, nDepth) != 0 || fputs("</DL><p>\n", pFile) == EOF ? -1 : 0;
}

int BookmarkWriteTrailer(FILE* pFile) {
    return fputs("</DL><p>\n", pFile) == EOF ? -1 : 0;
}

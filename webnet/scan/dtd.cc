#include "dtd.h"

#include <cstring>

namespace qn::webnet::scan {
namespace {

// Attribute lists. A, LINK and META carry the bookmark metadata attributes of this system
// (the BULLETIN and QNI_ names) next to the usual ones; the others are those of the HTML+ DTD.
const char* const kAnchorAttrs[] = {"BULLETIN-DATE",
                                    "BULLETIN-IMAGE",
                                    "BULLETIN-TEXT",
                                    "EFFECT",
                                    "QNI_BULLETIN_IMG",
                                    "QNI_DESCRIPTION",
                                    "QNI_ITEM_SUBTYPE",
                                    "QNI_ITEM_TYPE",
                                    "QNI_MOD_DATE",
                                    "HREF",
                                    "ID",
                                    "METHODS",
                                    "NAME",
                                    "PRINT",
                                    "REL",
                                    "REV",
                                    "SHAPE",
                                    "TITLE"};
const char* const kLinkAttrs[] = {"Bulletin-Date", "Bulletin-Image", "Bulletin-Text", "HREF",
                                  "IDREF",         "METHODS",        "REL",           "REV"};
const char* const kMetaAttrs[] = {"CONTENT", "HTTP-EQUIV", "NAME"};
const char* const kGenAttrs[] = {"ID", "INDEX", "LANG"};
const char* const kBaseAttrs[] = {"HREF"};
const char* const kChangedAttrs[] = {"ID", "IDREF"};
const char* const kFigAttrs[] = {"ALIGN", "ID", "INDEX", "ISMAP", "LANG", "SRC"};
const char* const kFormAttrs[] = {"ACTION", "ID", "INDEX", "LANG", "METHOD"};
const char* const kHtmlPlusAttrs[] = {"FORMS", "VERSION"};
const char* const kImgAttrs[] = {"ALIGN", "ALT", "ID", "INDEX", "ISMAP", "LANG", "SEETHRU", "SRC"};
const char* const kInputAttrs[] = {"ALIGN", "CHECKED", "DISABLED", "ERROR", "ID",
                                   "INDEX", "LANG",    "MAX",      "MIN",   "NAME",
                                   "SIZE",  "SRC",     "TYPE",     "VALUE"};
const char* const kIsIndexAttrs[] = {"HREF", "PROMPT"};
const char* const kLAttrs[] = {"ALIGN", "ID", "INDEX", "LANG"};
const char* const kLiAttrs[] = {"ID", "INDEX", "LANG", "SRC"};
const char* const kListAttrs[] = {"COMPACT", "ID", "INDEX", "LANG"};
const char* const kMathAttrs[] = {"BOX", "ID", "INDEX", "LANG"};
const char* const kNextIdAttrs[] = {"N"};
const char* const kNoteAttrs[] = {"ID", "INDEX", "LANG", "ROLE"};
const char* const kOptionAttrs[] = {"DISABLED", "ID", "INDEX", "LANG", "SELECTED", "VALUE"};
const char* const kPAttrs[] = {"ALIGN", "ID", "INDEX", "LANG"};
const char* const kPreAttrs[] = {"ID", "INDEX", "LANG", "WIDTH"};
const char* const kRenderAttrs[] = {"STYLE", "TAG"};
const char* const kSelectAttrs[] = {"ERROR", "ID", "INDEX", "LANG", "MULTIPLE", "NAME"};
const char* const kTabAttrs[] = {"ALIGN", "DP", "ID", "INDENT", "INDEX", "LANG", "TO"};
const char* const kTableAttrs[] = {"BORDER", "ID", "INDEX", "LANG"};
const char* const kTdAttrs[] = {"ALIGN", "COLSPAN", "ID", "INDEX", "LANG", "ROWSPAN"};
const char* const kTextAreaAttrs[] = {"COLS", "ERROR", "ID", "INDEX", "LANG", "NAME", "ROWS"};

#define QN_ATTRS(list) list, static_cast<int>(sizeof(list) / sizeof(list[0]))
#define QN_NO_ATTRS nullptr, 0

constexpr Content M = Content::kMixed;
constexpr Content E = Content::kEmpty;
constexpr Content L = Content::kLiteral;

const DtdElement kElements[] = {
    {"A", QN_ATTRS(kAnchorAttrs), M},
    {"ABBREV", QN_ATTRS(kGenAttrs), M},
    {"ABSTRACT", QN_ATTRS(kGenAttrs), M},
    {"ACRONYM", QN_ATTRS(kGenAttrs), M},
    {"ADDED", QN_ATTRS(kChangedAttrs), M},
    {"ADDRESS", QN_ATTRS(kGenAttrs), M},
    {"ARG", QN_ATTRS(kGenAttrs), M},
    {"B", QN_ATTRS(kGenAttrs), M},
    {"BASE", QN_ATTRS(kBaseAttrs), M},
    {"BLOCKQUOTE", QN_ATTRS(kGenAttrs), M},
    {"BODY", QN_ATTRS(kGenAttrs), M},
    {"BOX", QN_ATTRS(kGenAttrs), M},
    {"BR", QN_ATTRS(kGenAttrs), E},
    {"BYLINE", QN_ATTRS(kGenAttrs), M},
    {"CAPTION", QN_ATTRS(kGenAttrs), M},
    {"CHANGED", QN_ATTRS(kChangedAttrs), M},
    {"CITE", QN_ATTRS(kGenAttrs), M},
    {"CMD", QN_ATTRS(kGenAttrs), M},
    {"CODE", QN_ATTRS(kGenAttrs), M},
    {"COMMENT", QN_NO_ATTRS, M},
    {"DD", QN_ATTRS(kGenAttrs), E},
    {"DFN", QN_ATTRS(kGenAttrs), M},
    {"DIR", QN_ATTRS(kListAttrs), M},
    {"DL", QN_ATTRS(kListAttrs), M},
    {"DT", QN_ATTRS(kGenAttrs), E},
    {"EM", QN_ATTRS(kGenAttrs), M},
    {"FIG", QN_ATTRS(kFigAttrs), M},
    {"FOOTNOTE", QN_ATTRS(kGenAttrs), M},
    {"FORM", QN_ATTRS(kFormAttrs), M},
    {"H1", QN_ATTRS(kGenAttrs), M},
    {"H2", QN_ATTRS(kGenAttrs), M},
    {"H3", QN_ATTRS(kGenAttrs), M},
    {"H4", QN_ATTRS(kGenAttrs), M},
    {"H5", QN_ATTRS(kGenAttrs), M},
    {"H6", QN_ATTRS(kGenAttrs), M},
    {"H7", QN_ATTRS(kGenAttrs), M},
    {"HEAD", QN_ATTRS(kGenAttrs), M},
    {"HR", QN_ATTRS(kGenAttrs), E},
    {"HTML", QN_ATTRS(kGenAttrs), M},
    {"HTMLPLUS", QN_ATTRS(kHtmlPlusAttrs), M},
    {"I", QN_ATTRS(kGenAttrs), M},
    {"IMAGE", QN_ATTRS(kImgAttrs), E},
    {"IMG", QN_ATTRS(kImgAttrs), E},
    {"INPUT", QN_ATTRS(kInputAttrs), E},
    {"ISINDEX", QN_ATTRS(kIsIndexAttrs), E},
    {"KBD", QN_ATTRS(kGenAttrs), M},
    {"L", QN_ATTRS(kLAttrs), M},
    {"LI", QN_ATTRS(kLiAttrs), E},
    {"LINK", QN_ATTRS(kLinkAttrs), E},
    {"LISTING", QN_NO_ATTRS, L},
    {"LIT", QN_ATTRS(kGenAttrs), M},
    {"MARGIN", QN_ATTRS(kGenAttrs), M},
    {"MATH", QN_ATTRS(kMathAttrs), M},
    {"MENU", QN_ATTRS(kListAttrs), M},
    {"META", QN_ATTRS(kMetaAttrs), E},
    {"NEXTID", QN_ATTRS(kNextIdAttrs), E},
    {"NOTE", QN_ATTRS(kNoteAttrs), E},
    {"OL", QN_ATTRS(kListAttrs), M},
    {"OPTION", QN_ATTRS(kOptionAttrs), E},
    {"OVER", QN_ATTRS(kGenAttrs), M},
    {"P", QN_ATTRS(kPAttrs), E},
    {"PERSON", QN_ATTRS(kGenAttrs), M},
    {"PLAINTEXT", QN_NO_ATTRS, L},
    {"PRE", QN_ATTRS(kPreAttrs), M},
    {"Q", QN_ATTRS(kGenAttrs), M},
    {"QUOTE", QN_ATTRS(kGenAttrs), M},
    {"REMOVED", QN_ATTRS(kGenAttrs), M},
    {"RENDER", QN_ATTRS(kRenderAttrs), M},
    {"S", QN_ATTRS(kGenAttrs), M},
    {"SAMP", QN_ATTRS(kGenAttrs), M},
    {"SELECT", QN_ATTRS(kSelectAttrs), M},
    {"STRONG", QN_ATTRS(kGenAttrs), M},
    {"SUB", QN_ATTRS(kGenAttrs), M},
    {"SUP", QN_ATTRS(kGenAttrs), M},
    {"TAB", QN_ATTRS(kTabAttrs), E},
    {"TABLE", QN_ATTRS(kTableAttrs), M},
    {"TD", QN_ATTRS(kTdAttrs), M},
    {"TEXTAREA", QN_ATTRS(kTextAreaAttrs), M},
    {"TH", QN_ATTRS(kTdAttrs), M},
    {"TITLE", QN_NO_ATTRS, M},
    {"TR", QN_ATTRS(kTdAttrs), M},
    {"TT", QN_ATTRS(kGenAttrs), M},
    {"U", QN_ATTRS(kGenAttrs), M},
    {"UL", QN_ATTRS(kListAttrs), M},
    {"VAR", QN_ATTRS(kGenAttrs), M},
    {"XMP", QN_NO_ATTRS, L},
};
static_assert(sizeof(kElements) / sizeof(kElements[0]) == kDtdElementCount);

#undef QN_ATTRS
#undef QN_NO_ATTRS

// ISO Latin-1 letters and the four markup characters, in byte order for the binary search.
const char* const kEntities[] = {
    "AElig",  "Aacute", "Acirc",  "Agrave", "Aring",  "Atilde", "Auml",   "Ccedil", "ETH",
    "Eacute", "Ecirc",  "Egrave", "Euml",   "Iacute", "Icirc",  "Igrave", "Iuml",   "Ntilde",
    "Oacute", "Ocirc",  "Ograve", "Oslash", "Otilde", "Ouml",   "THORN",  "Uacute", "Ucirc",
    "Ugrave", "Uuml",   "Yacute", "aacute", "acirc",  "aelig",  "agrave", "amp",    "aring",
    "atilde", "auml",   "ccedil", "eacute", "ecirc",  "egrave", "eth",    "euml",   "gt",
    "iacute", "icirc",  "igrave", "iuml",   "lt",     "ntilde", "oacute", "ocirc",  "ograve",
    "oslash", "otilde", "ouml",   "quot",   "szlig",  "thorn",  "uacute", "ucirc",  "ugrave",
    "uuml",   "yacute", "yuml"};
static_assert(sizeof(kEntities) / sizeof(kEntities[0]) == kDtdEntityCount);

inline unsigned char Upper(unsigned char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

// Compares a NUL-terminated name with a counted one, without regard to ASCII letter case.
int CompareNoCase(const char* psz, const char* pch, size_t cch) {
    for (size_t i = 0; i < cch; ++i) {
        unsigned char a = Upper(static_cast<unsigned char>(psz[i]));
        unsigned char b = Upper(static_cast<unsigned char>(pch[i]));
        if (a != b || a == 0) {
            return a < b ? -1 : (a > b ? 1 : 0);
        }
    }
    return psz[cch] == 0 ? 0 : 1;
}

}  // namespace

const DtdElement* DtdElements() {
    return kElements;
}
const char* const* DtdEntities() {
    return kEntities;
}

int FindElement(const char* pchName, size_t cchName) {
    int low = 0;
    int high = kDtdElementCount;
    while (low < high) {
        int mid = low + (high - low) / 2;
        int diff = CompareNoCase(kElements[mid].pszName, pchName, cchName);
        if (diff == 0) {
            return mid;
        }
        if (diff < 0) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    return -1;
}

int FindAttribute(int element, const char* pchName, size_t cchName) {
    if (element < 0 || element >= kDtdElementCount) {
        return -1;
    }
    // The A list keeps the order in which records report it, which is not sorted, so the
    // lists are searched from the front; the longest has 18 entries.
    const DtdElement& e = kElements[element];
    for (int i = 0; i < e.cAttributes; ++i) {
        if (CompareNoCase(e.apszAttributes[i], pchName, cchName) == 0) {
            return i;
        }
    }
    return -1;
}

int FindEntity(const char* pchName, size_t cchName) {
    int low = 0;
    int high = kDtdEntityCount;
    while (low < high) {
        int mid = low + (high - low) / 2;
        const char* psz = kEntities[mid];
        int diff = std::strncmp(psz, pchName, cchName);
        if (diff == 0 && psz[cchName] != 0) {
            diff = 1;
        }
        if (diff == 0) {
            return mid;
        }
        if (diff < 0) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    return -1;
}

}  // namespace qn::webnet::scan

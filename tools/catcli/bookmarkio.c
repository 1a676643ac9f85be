/*
 * catcli import and export: a browser's bookmark file into a folder of the catalog and back.
 *
 * How a bookmark is stored: an item (type 1) named after its title, with its URL as the
 * attachment path (attachment type 1, as `catcli add --url` stores it), ADD_DATE as the
 * attachment's creation time, LAST_MODIFIED as its time and LAST_VISIT as its access time, and
 * the DD description as the note. A folder (H3) is a folder item with its description as the
 * note and its dates as the folder location's creation time and time. The catalog sets the
 * item's own modification time at every write, so the file's dates live in those fields.
 *
 * A title longer than the name field is stored cut at a character boundary, with the whole title
 * kept as the item's extended information; export writes the whole title back while the name is
 * still its beginning. A URL longer than the attachment path cannot be stored without becoming a
 * different address, so such a bookmark is left out and named on standard error, and the import
 * ends with exit status 65 after storing everything else.
 *
 * The import reads the whole file first (a broken one is never half taken in because of its
 * syntax), then stores the folders one by one (a transaction each), then all bookmarks in
 * batches of 16,384 per transaction (EXItemBulkCreate, each naming its own folder), never one
 * commit per bookmark.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "bookmarkfile.h"
#include "catcli.h"

#define IMPORT_BATCH 16384

/* ---- Import --------------------------------------------------------------------------------- */

static int ReadWholeFile(const char* pszPath, char** ppb, size_t* pcb) {
    const int fd = open(pszPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "catcli: cannot open %s: %s\n", pszPath, strerror(errno));
        return 1;
    }
    char* pb = NULL;
    size_t cb = 0, cbAlloc = 0;
    for (;;) {
        if (cb == cbAlloc) {
            const size_t cbNew = cbAlloc < 65536 ? 65536 : cbAlloc * 2;
            char* pbNew = realloc(pb, cbNew);
            if (pbNew == NULL) {
                free(pb);
                close(fd);
                return Fail("malloc", EXSM_OUT_OF_MEMORY);
            }
            pb = pbNew;
            cbAlloc = cbNew;
        }
        const ssize_t cbRead = read(fd, pb + cb, cbAlloc - cb);
        if (cbRead == 0) {
            break;
        }
        if (cbRead < 0) {
            if (errno == EINTR) {
                continue;
            }
            fprintf(stderr, "catcli: cannot read %s: %s\n", pszPath, strerror(errno));
            free(pb);
            close(fd);
            return 1;
        }
        cb += (size_t)cbRead;
    }
    close(fd);
    *ppb = pb;
    *pcb = cb;
    return 0;
}

/* The title as an item name: whole when it fits, else cut before the character that would not
 * fit, and the whole title returned for the extended information (NULL when it fitted). */
static const char* SetName(char* pchName, size_t cchField, const char* pszTitle) {
    size_t cch = strlen(pszTitle);
    const char* pszWhole = NULL;
    if (cch >= cchField) {
        pszWhole = pszTitle;
        cch = cchField - 1;
        while (cch > 0 && ((unsigned char)pszTitle[cch] & 0xC0) == 0x80) {
            --cch;
        }
    }
    memcpy(pchName, pszTitle, cch);
    pchName[cch] = '\0';
    return pszWhole;
}

typedef struct ImportState {
    BOARD_OBJECT* hbrd;
    const BookmarkTree* pTree;
    uint16_t wOwner;
    uint32_t* adwFolderID; /* by node: the catalog id of a folder once it is stored */
    EX_ITEMINFOARRAY* pBatch;
    uint16_t cInBatch;
    size_t cFolders, cBookmarks, cSkipped;
} ImportState;

static const char* TextOrNull(const BookmarkTree* pTree, size_t off) {
    return off != 0 ? BookmarkText(pTree, off) : NULL;
}

static int FlushBatch(ImportState* pState) {
    if (pState->cInBatch == 0) {
        return 0;
    }
    pState->pBatch->wLower = 0;
    pState->pBatch->wUpper = (uint16_t)(pState->cInBatch - 1);
    pState->cInBatch = 0;
    EXSM_STATUS status;
    // No parent handle: each description names its own folder.
    const int cStored = EXItemBulkCreate(pState->hbrd, NULL, pState->pBatch, &status);
    if (IS_EXERROR(&status)) {
        return Fail("EXItemBulkCreate", status);
    }
    pState->cBookmarks += (size_t)cStored;
    return 0;
}

/* Every bookmark, in file order, into its folder, a batch (one transaction) at a time. */
static int StoreBookmarks(ImportState* pState) {
    const BookmarkTree* pTree = pState->pTree;
    for (size_t n = 1; n < pTree->cNodes; ++n) {
        const BookmarkNode* pNode = &pTree->aNodes[n];
        if (pNode->fFolder) {
            continue;
        }
        EX_ITEMINFO* pInfo = &pState->pBatch->aInfo[pState->cInBatch];
        memset(pInfo, 0, sizeof *pInfo);
        const char* pszUrl = BookmarkText(pTree, pNode->offUrl);
        const size_t cchUrl = strlen(pszUrl);
        if (cchUrl >= sizeof pInfo->attnamepath) {
            fprintf(stderr,
                    "catcli: left out the bookmark \"%s\": its URL is %zu bytes long; at most %zu "
                    "fit\n",
                    BookmarkText(pTree, pNode->offTitle), cchUrl, sizeof pInfo->attnamepath - 1);
            ++pState->cSkipped;
            continue;
        }
        pInfo->type = ITEM_TYPE_ITEM;
        pInfo->itemparentid = pState->adwFolderID[pNode->nParent];
        pInfo->pszExtendedInfo =
            SetName(pInfo->itemname, sizeof pInfo->itemname, BookmarkText(pTree, pNode->offTitle));
        pInfo->uidowner = pState->wOwner;
        pInfo->pszNote = TextOrNull(pTree, pNode->offDescription);
        pInfo->atttype = 1;
        memcpy(pInfo->attnamepath, pszUrl, cchUrl + 1);
        pInfo->attinfotimecreated = pNode->dwAdded;
        pInfo->attinfotime = pNode->dwModified;
        pInfo->attinfotimeaccessed = pNode->dwVisited;
        if (++pState->cInBatch == IMPORT_BATCH) {
            const int rc = FlushBatch(pState);
            if (rc != 0) {
                return rc;
            }
        }
    }
    return FlushBatch(pState);
}

static int CreateFolder(ImportState* pState, uint32_t nNode, ITEM_OBJECT* hParent,
                        ITEM_OBJECT** phFolder) {
    const BookmarkTree* pTree = pState->pTree;
    const BookmarkNode* pNode = &pTree->aNodes[nNode];
    EX_ITEMINFO info;
    memset(&info, 0, sizeof info);
    info.type = ITEM_TYPE_FOLDER;
    info.pszExtendedInfo =
        SetName(info.itemname, sizeof info.itemname, BookmarkText(pTree, pNode->offTitle));
    info.uidowner = pState->wOwner;
    info.pszNote = TextOrNull(pTree, pNode->offDescription);
    EXSM_STATUS status, st2;
    ITEM_OBJECT* hFolder = EXItemNew(&status, &info);
    if (hFolder == NULL) {
        return Fail("EXItemNew", status);
    }
    EX_FOLDER* pFolder = EXItemObjectSetFolder(hFolder);
    if (pFolder != NULL) {
        pFolder->folderlocationinfo.folderlocationinfotimecreated = pNode->dwAdded;
        pFolder->folderlocationinfo.folderlocationinfotime = pNode->dwModified;
    }
    EXItemCreate(pState->hbrd, hParent, hFolder, &status);
    if (IS_EXERROR(&status)) {
        EXItemRelease(hFolder, &st2);
        return Fail("EXItemCreate", status);
    }
    ++pState->cFolders;
    pState->adwFolderID[nNode] = EXItemGetID(hFolder);
    *phFolder = hFolder;
    return 0;
}

typedef struct PendingFolder {
    uint32_t nNode;
    ITEM_OBJECT* hFolder;
} PendingFolder;

/* Folders waiting for their sub-folders: a stack, so that depth costs heap, not call stack. */
typedef struct FolderStack {
    PendingFolder* a;
    size_t c, cAlloc;
} FolderStack;

static int PushFolder(FolderStack* pStack, uint32_t nNode, ITEM_OBJECT* hFolder) {
    if (pStack->c == pStack->cAlloc) {
        const size_t cNew = pStack->cAlloc < 16 ? 16 : pStack->cAlloc * 2;
        PendingFolder* aNew = realloc(pStack->a, cNew * sizeof *aNew);
        if (aNew == NULL) {
            return -1;
        }
        pStack->a = aNew;
        pStack->cAlloc = cNew;
    }
    pStack->a[pStack->c].nNode = nNode;
    pStack->a[pStack->c].hFolder = hFolder;
    ++pStack->c;
    return 0;
}

/* Every folder below hTarget, parents before their sub-folders, each noting its id. */
static int StoreFolders(ImportState* pState, ITEM_OBJECT* hTarget) {
    const BookmarkTree* pTree = pState->pTree;
    FolderStack stack = {NULL, 0, 0};
    EXSM_STATUS status, st2;
    ITEM_OBJECT* hFirst = EXItemAcquire(hTarget, NULL, 0, &status);
    if (IS_EXERROR(&status)) {
        return Fail("EXItemAcquire", status);
    }
    pState->adwFolderID[0] = EXItemGetID(hTarget);
    int rc = PushFolder(&stack, 0, hFirst) == 0 ? 0 : Fail("malloc", EXSM_OUT_OF_MEMORY);
    if (rc != 0) {
        EXItemRelease(hFirst, &st2);
    }
    while (rc == 0 && stack.c > 0) {
        const PendingFolder pending = stack.a[--stack.c];
        for (uint32_t n = pTree->aNodes[pending.nNode].nFirstChild; rc == 0 && n != BOOKMARK_NONE;
             n = pTree->aNodes[n].nNextSibling) {
            if (!pTree->aNodes[n].fFolder) {
                continue;
            }
            ITEM_OBJECT* hFolder = NULL;
            rc = CreateFolder(pState, n, pending.hFolder, &hFolder);
            if (rc == 0 && PushFolder(&stack, n, hFolder) != 0) {
                EXItemRelease(hFolder, &st2);
                rc = Fail("malloc", EXSM_OUT_OF_MEMORY);
            }
        }
        EXItemRelease(pending.hFolder, &st2);
    }
    while (stack.c > 0) {
        EXItemRelease(stack.a[--stack.c].hFolder, &st2);
    }
    free(stack.a);
    return rc;
}

static int IsFolder(ITEM_OBJECT* hItem) {
    const EX_ITEM* pItem = EXItemObjectItem(hItem);
    return pItem != NULL && pItem->type == ITEM_TYPE_FOLDER;
}

int Import(BOARD_OBJECT* hbrd, const Options* pOpt) {
    const char* pszPath = pOpt->apszArgs[1];
    ITEM_OBJECT* hTarget;
    int rc = FindItem(hbrd, pOpt->cArgs > 2 ? pOpt->apszArgs[2] : NULL, &hTarget);
    if (rc != 0) {
        return rc;
    }
    EXSM_STATUS st2;
    if (!IsFolder(hTarget)) {
        EXItemRelease(hTarget, &st2);
        return Fail("import", EXSM_FOLDER_REQUIRED);
    }
    char* pb = NULL;
    size_t cb = 0;
    BookmarkTree tree;
    memset(&tree, 0, sizeof tree);
    rc = ReadWholeFile(pszPath, &pb, &cb);
    if (rc == 0 && BookmarkTreeParse(pb, cb, &tree) != 0) {
        rc = Fail("reading the bookmark file", EXSM_OUT_OF_MEMORY);
    }
    free(pb);
    ImportState state;
    memset(&state, 0, sizeof state);
    state.hbrd = hbrd;
    state.pTree = &tree;
    state.wOwner = EXUserGetID(EXBoardGetCurrentUser(hbrd));
    if (rc == 0) {
        state.pBatch =
            malloc(offsetof(EX_ITEMINFOARRAY, aInfo) + IMPORT_BATCH * sizeof(EX_ITEMINFO));
        state.adwFolderID = calloc(tree.cNodes, sizeof *state.adwFolderID);
        rc = state.pBatch != NULL && state.adwFolderID != NULL ? StoreFolders(&state, hTarget)
                                                               : Fail("malloc", EXSM_OUT_OF_MEMORY);
        if (rc == 0) {
            rc = StoreBookmarks(&state);
        }
        if (rc == 0) {
            printf("imported %zu folders and %zu bookmarks into folder %lu\n", state.cFolders,
                   state.cBookmarks, (unsigned long)EXItemGetID(hTarget));
        } else {
            fprintf(stderr, "catcli: %zu folders and %zu bookmarks were stored before that\n",
                    state.cFolders, state.cBookmarks);
        }
    }
    free(state.adwFolderID);
    free(state.pBatch);
    BookmarkTreeFree(&tree);
    EXItemRelease(hTarget, &st2);
    if (rc == 0 && state.cSkipped > 0) {
        fprintf(stderr, "catcli: %zu bookmarks were left out\n", state.cSkipped);
        return EXIT_DATA;
    }
    return rc;
}

/* ---- Export --------------------------------------------------------------------------------- */

/* A fixed-size field of the store as a text, also when it fills its field to the last byte. */
typedef struct FieldText {
    char ach[257];
} FieldText;

static const char* TextOfField(const char* pchField, size_t cbField, FieldText* pText) {
    const size_t cch = strnlen(pchField, cbField < sizeof pText->ach ? cbField : 256);
    memcpy(pText->ach, pchField, cch);
    pText->ach[cch] = '\0';
    return pText->ach;
}

/* The title to write: the whole one kept beside a cut name while the name still begins it. */
static const char* TitleOf(ITEM_OBJECT* hItem, FieldText* pText) {
    const EX_ITEM* pItem = EXItemObjectItem(hItem);
    const char* pszName = TextOfField(pItem->itemname, sizeof pItem->itemname, pText);
    const char* pszWhole = EXItemObjectExtendedInfo(hItem);
    const size_t cchName = strlen(pszName);
    if (pszWhole != NULL && strlen(pszWhole) > cchName &&
        strncmp(pszWhole, pszName, cchName) == 0) {
        return pszWhole;
    }
    return pszName;
}

typedef struct OpenList {
    ITEM_ITERATOR* pList;
    int fStarted;
} OpenList;

/* Writes the folder's contents, depth first in name order. The lists of the folders on the way
 * down stay open on a heap stack. */
static int WriteTree(BOARD_OBJECT* hbrd, ITEM_OBJECT* hFolder, FILE* pFile, size_t* pcFolders,
                     size_t* pcBookmarks) {
    OpenList* aLists = NULL;
    size_t cLists = 0, cAlloc = 0;
    int rc = 0;
    EXSM_STATUS status;
    ITEM_OBJECT* hOpen = hFolder;
    while (rc == 0) {
        if (hOpen != NULL) {
            ITEM_ITERATOR* pList = EXFolderGetItems(hbrd, hOpen, 0, EX_SORT_NAME, NULL, 0, &status);
            if (IS_EXERROR(&status)) {
                rc = Fail("EXFolderGetItems", status);
                break;
            }
            if (cLists == cAlloc) {
                const size_t cNew = cAlloc < 16 ? 16 : cAlloc * 2;
                OpenList* aNew = realloc(aLists, cNew * sizeof *aNew);
                if (aNew == NULL) {
                    EXItemIteratorRelease(pList, 1);
                    rc = Fail("malloc", EXSM_OUT_OF_MEMORY);
                    break;
                }
                aLists = aNew;
                cAlloc = cNew;
            }
            aLists[cLists].pList = pList;
            aLists[cLists].fStarted = 0;
            ++cLists;
            hOpen = NULL;
        }
        if (cLists == 0) {
            break;
        }
        OpenList* pTop = &aLists[cLists - 1];
        ITEM_OBJECT* hItem =
            pTop->fStarted ? EXItemIteratorNext(pTop->pList) : EXItemIteratorFirst(pTop->pList);
        pTop->fStarted = 1;
        const int nDepth = (int)cLists - 1;
        if (hItem == NULL) {
            EXItemIteratorRelease(pTop->pList, 1);
            --cLists;
            if (cLists > 0 && BookmarkWriteEndFolder(pFile, nDepth - 1) != 0) {
                rc = -1;
            }
            continue;
        }
        const EX_ITEM* pItem = EXItemObjectItem(hItem);
        if (pItem == NULL) {
            continue;
        }
        FieldText title, url;
        if (pItem->type == ITEM_TYPE_FOLDER) {
            const EX_FOLDER* pFolder = EXItemObjectFolder(hItem);
            const uint32_t dwAdded =
                pFolder != NULL ? pFolder->folderlocationinfo.folderlocationinfotimecreated : 0;
            const uint32_t dwModified =
                pFolder != NULL ? pFolder->folderlocationinfo.folderlocationinfotime : 0;
            if (BookmarkWriteBeginFolder(pFile, nDepth, TitleOf(hItem, &title),
                                         EXItemObjectItemNote(hItem), dwAdded, dwModified) != 0) {
                rc = -1;
            }
            ++*pcFolders;
            hOpen = hItem;
            continue;
        }
        const EX_ATTACHMENT* pAttach = EXItemObjectAttachment(hItem);
        const int fAttached = pAttach != NULL && pAttach->atttype != 0;
        if (BookmarkWriteBookmark(
                pFile, nDepth, TitleOf(hItem, &title),
                fAttached ? TextOfField(pAttach->attnamepath, sizeof pAttach->attnamepath, &url)
                          : "",
                EXItemObjectItemNote(hItem), fAttached ? pAttach->attinfo.attinfotimecreated : 0,
                fAttached ? pAttach->attinfo.attinfotime : 0,
                fAttached ? pAttach->attinfo.attinfotimeaccessed : 0) != 0) {
            rc = -1;
        }
        ++*pcBookmarks;
    }
    while (cLists > 0) {
        EXItemIteratorRelease(aLists[--cLists].pList, 1);
    }
    free(aLists);
    return rc;
}

int Export(BOARD_OBJECT* hbrd, const Options* pOpt) {
    const char* pszPath = pOpt->apszArgs[2];
    ITEM_OBJECT* hFolder;
    int rc = FindItem(hbrd, pOpt->apszArgs[1], &hFolder);
    if (rc != 0) {
        return rc;
    }
    EXSM_STATUS st2;
    if (!IsFolder(hFolder)) {
        EXItemRelease(hFolder, &st2);
        return Fail("export", EXSM_FOLDER_REQUIRED);
    }
    // Written beside the file under another name and renamed over it when complete, so that a
    // failure never leaves a truncated bookmark file where a good one was.
    const int fStdout = strcmp(pszPath, "-") == 0;
    char* pszTemp = NULL;
    FILE* pFile = stdout;
    if (!fStdout) {
        const size_t cchTemp = strlen(pszPath) + sizeof ".XXXXXX";
        pszTemp = malloc(cchTemp);
        int fd = -1;
        if (pszTemp != NULL) {
            snprintf(pszTemp, cchTemp, "%s.XXXXXX", pszPath);
            fd = mkstemp(pszTemp);
        }
        pFile = fd >= 0 ? fdopen(fd, "w") : NULL;
        if (pFile == NULL) {
            fprintf(stderr, "catcli: cannot write %s: %s\n", pszPath, strerror(errno));
            if (fd >= 0) {
                close(fd);
                unlink(pszTemp);
            }
            free(pszTemp);
            EXItemRelease(hFolder, &st2);
            return 1;
        }
        // mkstemp makes the file private; an exported file gets the usual mode.
        const mode_t mask = umask(0);
        umask(mask);
        (void)fchmod(fd, 0666 & ~mask);
    }
    size_t cFolders = 0, cBookmarks = 0;
    FieldText title;
    rc = BookmarkWriteHeader(pFile, TitleOf(hFolder, &title)) != 0 ? -1 : 0;
    if (rc == 0) {
        rc = WriteTree(hbrd, hFolder, pFile, &cFolders, &cBookmarks);
    }
    if (rc == 0 && BookmarkWriteTrailer(pFile) != 0) {
        rc = -1;
    }
    if (fflush(pFile) != 0 || ferror(pFile)) {
        rc = rc == 0 ? -1 : rc;
    }
    if (!fStdout) {
        if (rc == 0 && fsync(fileno(pFile)) != 0) {
            rc = -1;
        }
        if (fclose(pFile) != 0 && rc == 0) {
            rc = -1;
        }
        if (rc == 0 && rename(pszTemp, pszPath) != 0) {
            rc = -1;
        }
        if (rc != 0) {
            unlink(pszTemp);
        }
        free(pszTemp);
    }
    if (rc == -1) {
        fprintf(stderr, "catcli: cannot write %s: %s\n", pszPath, strerror(errno));
        rc = 1;
    } else if (rc == 0 && !fStdout) {
        printf("exported %zu folders and %zu bookmarks to %s\n", cFolders, cBookmarks, pszPath);
    }
    EXItemRelease(hFolder, &st2);
    return rc;
}

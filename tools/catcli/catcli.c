/*
 * catcli - a small client for Quillon catalogs, written against the public catstore.h interface
 * only: catalogs, users and groups for the administrator, items and folders for everyone.
 *
 *   catcli --help | -h | --version
 *   catcli create CATALOG [-n NAME] [--force]
 *   catcli info CATALOG
 *   catcli users CATALOG list|add NAME [NEWPASSWORD] [LONGNAME] [--unique]|remove NAME
 *   catcli groups CATALOG list|add NAME|remove NAME|join GROUP USER|leave GROUP USER
 *   catcli add CATALOG NAME [-f FOLDER] [-t folder|item] [--url URL] [--note TEXT]
 *   catcli ls CATALOG [FOLDER] [-s SORT] [--folders]
 *   catcli show CATALOG ID
 *   catcli read CATALOG ID
 *   catcli watch CATALOG [FOLDER] [-n SECONDS] [-i INTERVAL_MS]
 *   catcli cp|mv CATALOG ID FOLDER, rm CATALOG ID, link|unlink CATALOG SOURCE DEST [--data TEXT],
 *          refs CATALOG ID, find CATALOG [FOLDER] [criteria]            (treecmds.c)
 *   catcli import CATALOG FILE [FOLDER], export CATALOG FOLDER FILE     (bookmarkio.c)
 *
 * Every command opens the catalog as SYSTEM with an empty password unless -u USER and a password
 * (-p, --password-stdin, QUILLON_PASSWORD or the terminal) say otherwise. create never replaces
 * an existing file without --force: a typing slip must not cost a catalog and its users.
 * Exit status: 0 done, 64 a command line not understood (or a text too long for its field), 65
 * an imported file held bookmarks that could not be stored (the rest are), 73 create refused to
 * replace an existing file, otherwise the failing call's status value, after a message that
 * names the catalog and what went wrong.
 */
#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "catcli.h"

typedef struct Command {
    const char* pszName;
    const char* pszUsage;
    int cMinOperands; /* after CATALOG */
    int cMaxOperands;
    CommandRoutine pfnRun;
} Command;

/* The catalog the command works on, for the failure messages. */
static const char* g_pszCatalogPath;

int Fail(const char* pszWhat, EXSM_STATUS status) {
    fprintf(stderr, "catcli: %s failed: %s (%d) in %s\n", pszWhat, EXStatusText(status),
            (int)status, g_pszCatalogPath != NULL ? g_pszCatalogPath : "?");
    return (int)status ? (int)status : 1;
}

int BadValue(const char* pszWhat, const char* pszValue) {
    fprintf(stderr, "catcli: not a valid %s: '%s'\n", pszWhat, pszValue);
    return EXIT_USAGE;
}

/* The store keeps fixed-size fields; a text that does not fit is refused here rather than
 * stored cut short, which would silently make a different bookmark. */
int TooLong(const char* pszWhat, size_t cchText, size_t cchMax) {
    fprintf(stderr, "catcli: the %s is %zu bytes long; at most %zu fit\n", pszWhat, cchText,
            cchMax);
    return EXIT_USAGE;
}

/* Digits only (strtoul alone would take a sign and leading blanks); base 0 also takes 0x... */
int ParseNumber(const char* psz, int nBase, unsigned long ulMax, unsigned long* pul) {
    if (psz[0] < '0' || psz[0] > '9') {
        return 0;
    }
    char* pszEnd;
    unsigned long ul = strtoul(psz, &pszEnd, nBase);
    if (*pszEnd != '\0' || ul > ulMax) {
        return 0;
    }
    *pul = ul;
    return 1;
}

/* ---- Catalog, users and groups -------------------------------------------------------------- */

static void PrintString(const char* pszLabel, EX_STRING* h) {
    char ach[512];
    EXStringGetText(h, ach, sizeof ach);
    printf("%s%s\n", pszLabel, ach);
}

static int PrintInfo(BOARD_OBJECT* hbrd, const char* pszPath) {
    EXSM_STATUS status;
    EX_BOARDINFO info;
    memset(&info, 0, sizeof info);
    EXBoardGetInfo(hbrd, &info, &status);
    if (IS_EXERROR(&status)) {
        return Fail("EXBoardGetInfo", status);
    }
    printf("Catalog:        %s\n", pszPath);
    PrintString("Name:           ", info.hName);
    printf("Version:        %u\n", (unsigned)EXBoardVersion(hbrd));
    printf("Board id:       0x%08lX\n", (unsigned long)info.dwBoardID);
    printf("Owner:          %u\n", (unsigned)info.wOwner);
    printf("Access:         level %u, id %u\n", (unsigned)info.wAccessLevel,
           (unsigned)info.wAccessGroupOrUserID);
    printf("Admin policy:   %u, flags 0x%08lX%s\n", (unsigned)info.wAdminPolicy,
           (unsigned long)info.dwAdminFlags,
           (info.dwAdminFlags & EX_BOARD_ALLOWVISITORS) ? " (AllowVisitors)" : "");
    QNGlobalFree((QNHGLOBAL)info.hName);

    USER_ITERATOR* pUsers = EXBoardGetUsers(hbrd, &status);
    if (!IS_EXERROR(&status)) {
        printf("Users:          %d\n", EXUserIteratorCount(pUsers));
        EXUserIteratorRelease(pUsers, 1);
    }
    GROUP_ITERATOR* pGroups = EXBoardGetGroups(hbrd, &status);
    if (!IS_EXERROR(&status)) {
        printf("Groups:         %d\n", EXGroupIteratorCount(pGroups));
        EXGroupIteratorRelease(pGroups, 1);
    }
    static const char* const s_apszSlots[] = {"Root", "Folders root", "Files catalog"};
    for (int i = 0; i < 3; ++i) {
        ITEM_OBJECT* hItem = EXBoardGetItem(hbrd, i, &status);
        if (!IS_EXERROR(&status)) {
            char achName[80];
            EXItemGetName(hItem, achName, sizeof achName);
            printf("Slot %d (%s): %s (id %lu)\n", i, s_apszSlots[i], achName,
                   (unsigned long)EXItemGetID(hItem));
            EXItemRelease(hItem, &status);
        }
    }
    return 0;
}

static int Info(BOARD_OBJECT* hbrd, const Options* pOpt) {
    return PrintInfo(hbrd, pOpt->apszArgs[0]);
}

static int Create(BOARD_OBJECT* hbrd, const Options* pOpt) {
    printf("created catalog %s\n", pOpt->apszArgs[0]);
    return PrintInfo(hbrd, pOpt->apszArgs[0]);
}

static void FreeUserInfo(EX_USERINFO* pInfo) {
    QNGlobalFree((QNHGLOBAL)pInfo->hName);
    QNGlobalFree((QNHGLOBAL)pInfo->hDescription);
    QNGlobalFree((QNHGLOBAL)pInfo->hEmailAddr);
    QNGlobalFree((QNHGLOBAL)pInfo->hLongName);
    QNGlobalFree((QNHGLOBAL)pInfo->hPassword);
    QNGlobalFree((QNHGLOBAL)pInfo->hLocalPassword);
    QNGlobalFree((QNHGLOBAL)pInfo->hSerialNumber);
    QNGlobalFree(pInfo->hShadowData);
}

static void PrintUser(USER_OBJECT* hUser) {
    EXSM_STATUS status;
    EX_USERINFO info;
    memset(&info, 0, sizeof info);
    EXUserGetInfo(hUser, &info, &status);
    if (IS_EXERROR(&status)) {
        return;
    }
    char achName[64], achLong[80];
    EXStringGetText(info.hName, achName, sizeof achName);
    EXStringGetText(info.hLongName, achLong, sizeof achLong);
    printf("%5u  %-32s %s\n", (unsigned)info.wUserID, achName, achLong);
    FreeUserInfo(&info);
}

/* The user's name for a display line; "?" for an id that names nobody (a removed owner). */
static void UserName(BOARD_OBJECT* hbrd, uint16_t wUserID, char* pchName, size_t cchName) {
    EXSM_STATUS status;
    snprintf(pchName, cchName, "?");
    USER_OBJECT* hUser = EXUserFindByID(hbrd, wUserID, &status);
    if (IS_EXERROR(&status)) {
        return;
    }
    EX_USERINFO info;
    memset(&info, 0, sizeof info);
    EXUserGetInfo(hUser, &info, &status);
    if (!IS_EXERROR(&status)) {
        EXStringGetText(info.hName, pchName, cchName);
        FreeUserInfo(&info);
    }
}

static void PrintGroup(GROUP_OBJECT* hGroup) {
    EXSM_STATUS status;
    EX_GROUPINFO info;
    memset(&info, 0, sizeof info);
    EXGroupGetInfo(hGroup, &info, &status);
    if (IS_EXERROR(&status)) {
        return;
    }
    char achName[64];
    EXStringGetText(info.hName, achName, sizeof achName);
    printf("%5u  %s\n", (unsigned)info.wGroupID, achName);
    QNGlobalFree((QNHGLOBAL)info.hName);
    QNGlobalFree((QNHGLOBAL)info.hDescription);
    QNGlobalFree((QNHGLOBAL)info.hEmailAddr);
    QNGlobalFree(info.hShadowData);
}

static int Users(BOARD_OBJECT* hbrd, const Options* pOpt) {
    EXSM_STATUS status;
    const char* pszVerb = pOpt->cArgs > 1 ? pOpt->apszArgs[1] : "list";
    if (strcmp(pszVerb, "list") == 0) {
        USER_ITERATOR* pIter = EXBoardGetUsers(hbrd, &status);
        if (IS_EXERROR(&status)) {
            return Fail("EXBoardGetUsers", status);
        }
        printf("   ID  Name                             Long name\n");
        for (USER_OBJECT* h = EXUserIteratorFirst(pIter); h; h = EXUserIteratorNext(pIter)) {
            PrintUser(h);
        }
        EXUserIteratorRelease(pIter, 1);
        return 0;
    }
    if (pOpt->cArgs < 3) {
        return -1;
    }
    const char* pszName = pOpt->apszArgs[2];
    if (strcmp(pszVerb, "add") == 0) {
        /* The store takes two users of one name; a second one is most often a slip, so it is
         * named, and --unique makes it a refusal. */
        USER_OBJECT* hTaken = EXUserFindByName(hbrd, pszName, &status);
        if (hTaken != NULL) {
            const unsigned wTakenID = (unsigned)EXUserGetID(hTaken);
            EXSM_STATUS st2;
            EXUserRelease(hTaken, &st2);
            if (pOpt->pszUnique != NULL) {
                fprintf(stderr, "catcli: the user name %s is taken (id %u) in %s; not added\n",
                        pszName, wTakenID, pOpt->apszArgs[0]);
                return EXSM_ALREADY_EXISTS;
            }
            fprintf(stderr,
                    "catcli: warning: the user name %s is taken (id %u) in %s; adding another "
                    "user of that name\n",
                    pszName, wTakenID, pOpt->apszArgs[0]);
        }
        EX_USERINFO info;
        memset(&info, 0, sizeof info);
        info.hName = EXStringCreate(pszName);
        info.hPassword = EXStringCreate(pOpt->cArgs > 3 ? pOpt->apszArgs[3] : "");
        info.hLongName = EXStringCreate(pOpt->cArgs > 4 ? pOpt->apszArgs[4] : "");
        USER_OBJECT* hUser = EXUserCreate(hbrd, &info, &status);
        QNGlobalFree((QNHGLOBAL)info.hName);
        QNGlobalFree((QNHGLOBAL)info.hPassword);
        QNGlobalFree((QNHGLOBAL)info.hLongName);
        if (hUser != NULL) {
            printf("created user %s with id %u\n", pszName, (unsigned)info.wUserID);
            EXSM_STATUS st2;
            EXUserRelease(hUser, &st2);
        }
        return IS_EXERROR(&status) ? Fail("EXUserCreate", status) : 0;
    }
    if (strcmp(pszVerb, "remove") == 0) {
        USER_OBJECT* hUser = EXUserFindByName(hbrd, pszName, &status);
        if (IS_EXERROR(&status)) {
            return Fail("EXUserFindByName", status);
        }
        EXUserDestroy(hUser, &status);
        if (IS_EXERROR(&status)) {
            EXSM_STATUS st2;
            EXUserRelease(hUser, &st2);
            return Fail("EXUserDestroy", status);
        }
        printf("removed user %s\n", pszName);
        return 0;
    }
    return -1;
}

static int JoinOrLeave(BOARD_OBJECT* hbrd, GROUP_OBJECT* hGroup, int fJoin, const char* pszUser) {
    EXSM_STATUS status, st2;
    USER_OBJECT* hUser = EXUserFindByName(hbrd, pszUser, &status);
    if (IS_EXERROR(&status)) {
        return Fail("EXUserFindByName", status);
    }
    if (fJoin) {
        EXGroupAddUser(hGroup, hUser, &status);
    } else {
        EXGroupRemoveUser(hGroup, hUser, &status);
    }
    EXUserRelease(hUser, &st2);
    return IS_EXERROR(&status) ? Fail(fJoin ? "EXGroupAddUser" : "EXGroupRemoveUser", status) : 0;
}

static int Groups(BOARD_OBJECT* hbrd, const Options* pOpt) {
    EXSM_STATUS status, st2;
    const char* pszVerb = pOpt->cArgs > 1 ? pOpt->apszArgs[1] : "list";
    if (strcmp(pszVerb, "list") == 0) {
        GROUP_ITERATOR* pIter = EXBoardGetGroups(hbrd, &status);
        if (IS_EXERROR(&status)) {
            return Fail("EXBoardGetGroups", status);
        }
        printf("   ID  Name\n");
        for (GROUP_OBJECT* h = EXGroupIteratorFirst(pIter); h; h = EXGroupIteratorNext(pIter)) {
            PrintGroup(h);
            USER_ITERATOR* pMembers = EXGroupGetUsers(h, &st2);
            if (!IS_EXERROR(&st2)) {
                for (USER_OBJECT* u = EXUserIteratorFirst(pMembers); u;
                     u = EXUserIteratorNext(pMembers)) {
                    printf("       member: ");
                    PrintUser(u);
                }
                EXUserIteratorRelease(pMembers, 1);
            }
        }
        EXGroupIteratorRelease(pIter, 1);
        return 0;
    }
    if (pOpt->cArgs < 3) {
        return -1;
    }
    const char* pszGroup = pOpt->apszArgs[2];
    if (strcmp(pszVerb, "add") == 0) {
        EX_GROUPINFO info;
        memset(&info, 0, sizeof info);
        info.hName = EXStringCreate(pszGroup);
        GROUP_OBJECT* hGroup = EXGroupCreate(hbrd, &info, &status);
        QNGlobalFree((QNHGLOBAL)info.hName);
        if (IS_EXERROR(&status)) {
            return Fail("EXGroupCreate", status);
        }
        printf("created group %s with id %u\n", pszGroup, (unsigned)info.wGroupID);
        EXGroupRelease(hGroup, &st2);
        return 0;
    }
    const int fRemove = strcmp(pszVerb, "remove") == 0;
    const int fJoin = strcmp(pszVerb, "join") == 0;
    const int fLeave = strcmp(pszVerb, "leave") == 0;
    if (!(fRemove && pOpt->cArgs == 3) && !((fJoin || fLeave) && pOpt->cArgs == 4)) {
        return -1;
    }
    GROUP_OBJECT* hGroup = EXGroupFindByName(hbrd, pszGroup, &status);
    if (IS_EXERROR(&status)) {
        return Fail("EXGroupFindByName", status);
    }
    if (fRemove) {
        EXGroupDestroy(hGroup, &status);
        if (IS_EXERROR(&status)) {
            EXGroupRelease(hGroup, &st2);
            return Fail("EXGroupDestroy", status);
        }
        printf("removed group %s\n", pszGroup);
        return 0;
    }
    int rc = JoinOrLeave(hbrd, hGroup, fJoin, pOpt->apszArgs[3]);
    EXGroupRelease(hGroup, &st2);
    return rc;
}

/* ---- Items ---------------------------------------------------------------------------------- */

/* A handle on the item an operand names (a decimal item id), or on the root folder when there
 * is no operand. Returns 0, or the exit status after saying what went wrong. */
int FindItem(BOARD_OBJECT* hbrd, const char* pszID, ITEM_OBJECT** phItem) {
    if (pszID == NULL) {
        *phItem = EXBoardGetRootFolder(hbrd);
        if (*phItem == NULL) {
            fprintf(stderr, "catcli: EXBoardGetRootFolder found no root folder\n");
            return 1;
        }
        return 0;
    }
    unsigned long ulID;
    if (!ParseNumber(pszID, 10, UINT32_MAX, &ulID) || ulID == 0) {
        return BadValue("item id", pszID);
    }
    EXSM_STATUS status;
    *phItem = EXItemFindByID(hbrd, (uint32_t)ulID, NULL, 0, &status);
    return IS_EXERROR(&status) ? Fail("EXItemFindByID", status) : 0;
}

static const char* TypeName(uint16_t wType) {
    return wType == ITEM_TYPE_FOLDER ? "folder" : "item";
}

/* A catalog time (seconds since 1970) as a local date; "none" for 0, the store's "not set". */
static const char* FormatTime(uint32_t dwTime, char* pchBuffer, size_t cchBuffer) {
    time_t t = (time_t)dwTime;
    struct tm tmLocal;
    if (dwTime == 0 || localtime_r(&t, &tmLocal) == NULL ||
        strftime(pchBuffer, cchBuffer, "%Y-%m-%d %H:%M:%S", &tmLocal) == 0) {
        snprintf(pchBuffer, cchBuffer, "%s", dwTime == 0 ? "none" : "?");
    }
    return pchBuffer;
}

static int Add(BOARD_OBJECT* hbrd, const Options* pOpt) {
    const char* pszName = pOpt->apszArgs[1];
    uint16_t wType = ITEM_TYPE_ITEM;
    if (pOpt->pszType != NULL && strcmp(pOpt->pszType, "folder") == 0) {
        wType = ITEM_TYPE_FOLDER;
    } else if (pOpt->pszType != NULL && strcmp(pOpt->pszType, "item") != 0) {
        return BadValue("type (folder or item)", pOpt->pszType);
    }
    EX_ITEMINFO info;
    memset(&info, 0, sizeof info);
    const size_t cchName = strlen(pszName);
    if (cchName >= sizeof info.itemname) {
        return TooLong("name", cchName, sizeof info.itemname - 1);
    }
    const size_t cchUrl = pOpt->pszUrl != NULL ? strlen(pOpt->pszUrl) : 0;
    if (cchUrl >= sizeof info.attnamepath) {
        return TooLong("URL", cchUrl, sizeof info.attnamepath - 1);
    }
    ITEM_OBJECT* hFolder;
    int rc = FindItem(hbrd, pOpt->pszFolder, &hFolder);
    if (rc != 0) {
        return rc;
    }
    info.type = wType;
    memcpy(info.itemname, pszName, cchName + 1);
    info.uidowner = EXUserGetID(EXBoardGetCurrentUser(hbrd));
    info.pszNote = pOpt->pszNote;
    if (pOpt->pszUrl != NULL) {
        info.atttype = 1;
        memcpy(info.attnamepath, pOpt->pszUrl, cchUrl + 1);
    }
    EXSM_STATUS status, st2;
    ITEM_OBJECT* hItem = EXItemNew(&status, &info);
    if (hItem == NULL) {
        rc = Fail("EXItemNew", status);
    } else {
        if (wType == ITEM_TYPE_FOLDER) {
            EXItemObjectSetFolder(hItem);
        }
        EXItemCreate(hbrd, hFolder, hItem, &status);
        if (IS_EXERROR(&status)) {
            rc = Fail("EXItemCreate", status);
        } else {
            printf("%lu\n", (unsigned long)EXItemGetID(hItem));
        }
        EXItemRelease(hItem, &st2);
    }
    EXItemRelease(hFolder, &st2);
    return rc;
}

/* A SORT operand: a name from the table, '-' before it for descending, or a sort code. */
int ParseSort(const char* pszSort, uint16_t* pwCode) {
    static const struct {
        const char* pszName;
        uint16_t wCode;
    } s_aSorts[] = {
        {"name", EX_SORT_NAME},   {"modified", EX_SORT_MODIFIED},     {"status", EX_SORT_STATUS},
        {"due", EX_SORT_DUEDATE}, {"repository", EX_SORT_REPOSITORY},
    };
    unsigned long ulCode;
    if (ParseNumber(pszSort, 0, UINT16_MAX, &ulCode)) {
        *pwCode = (uint16_t)ulCode;
        return 1;
    }
    const int fDescending = pszSort[0] == '-';
    for (size_t i = 0; i < sizeof s_aSorts / sizeof s_aSorts[0]; ++i) {
        if (strcmp(pszSort + fDescending, s_aSorts[i].pszName) == 0) {
            *pwCode = s_aSorts[i].wCode | (fDescending ? EX_SORT_DESCENDING : 0);
            return 1;
        }
    }
    return 0;
}

/* One line of a listing: id, type, the unread marks (C changed, A attachment, N note), name and,
 * for an item that points somewhere, the URL. */
void PrintListLine(ITEM_OBJECT* hItem) {
    const EX_ITEM* pItem = EXItemObjectItem(hItem);
    const EX_ATTACHMENT* pAttach = EXItemObjectAttachment(hItem);
    if (pItem == NULL) {
        return;
    }
    const uint16_t wUnread = EXItemObjectItemUnReadFlags(hItem);
    const char achMarks[] = {(wUnread & EX_UNREAD_CHANGED) ? 'C' : '-',
                             (wUnread & EX_UNREAD_ATTACHMENT) ? 'A' : '-',
                             (wUnread & EX_UNREAD_NOTE) ? 'N' : '-', '\0'};
    const int fUrl = pAttach != NULL && pAttach->atttype != 0;
    printf("%10lu  %-6s  %s  %.64s%s%.256s\n", (unsigned long)pItem->itemid, TypeName(pItem->type),
           achMarks, pItem->itemname, fUrl ? "  " : "", fUrl ? pAttach->attnamepath : "");
}

static int List(BOARD_OBJECT* hbrd, const Options* pOpt) {
    uint16_t wSort = EX_SORT_NAME;
    if (pOpt->pszSort != NULL && !ParseSort(pOpt->pszSort, &wSort)) {
        return BadValue("sort", pOpt->pszSort);
    }
    ITEM_OBJECT* hFolder;
    int rc = FindItem(hbrd, pOpt->cArgs > 1 ? pOpt->apszArgs[1] : NULL, &hFolder);
    if (rc != 0) {
        return rc;
    }
    EXSM_STATUS status, st2;
    ITEM_ITERATOR* pList = pOpt->pszFolders != NULL
                               ? EXFolderGetFolders(hbrd, hFolder, 0, wSort, 0, NULL, 0, &status)
                               : EXFolderGetItems(hbrd, hFolder, 0, wSort, NULL, 0, &status);
    if (IS_EXERROR(&status)) {
        rc = Fail(pOpt->pszFolders != NULL ? "EXFolderGetFolders" : "EXFolderGetItems", status);
    } else {
        PrintListHeading();
        rc = PrintList(pList);
    }
    EXItemIteratorRelease(pList, 1);
    EXItemRelease(hFolder, &st2);
    return rc;
}

void PrintListHeading(void) {
    printf("        ID  Type    New  Name\n");
}

int PrintList(ITEM_ITERATOR* pList) {
    EX_ITEMARRAY* pBatch =
        malloc(offsetof(EX_ITEMARRAY, ahItems) + LIST_BATCH * sizeof(ITEM_OBJECT*));
    if (pBatch == NULL) {
        return Fail("malloc", EXSM_OUT_OF_MEMORY);
    }
    // Fetched from the catalog a batch at a time, so a large folder is never read whole.
    pBatch->wLower = 0;
    pBatch->wUpper = LIST_BATCH - 1;
    for (int n = EXItemIteratorGetNextItems(pList, pBatch); n > 0;
         n = EXItemIteratorGetNextItems(pList, pBatch)) {
        for (int i = 0; i < n; ++i) {
            PrintListLine(pBatch->ahItems[i]);
        }
    }
    free(pBatch);
    return 0;
}

static void PrintUnread(uint16_t wUnread) {
    printf("Unread:        ");
    if (wUnread == 0) {
        printf(" no");
    }
    if (wUnread & EX_UNREAD_CHANGED) {
        printf(" changed");
    }
    if (wUnread & EX_UNREAD_ATTACHMENT) {
        printf(" attachment");
    }
    if (wUnread & EX_UNREAD_NOTE) {
        printf(" note");
    }
    printf("\n");
}

static int Show(BOARD_OBJECT* hbrd, const Options* pOpt) {
    ITEM_OBJECT* hItem;
    int rc = FindItem(hbrd, pOpt->apszArgs[1], &hItem);
    if (rc != 0) {
        return rc;
    }
    EXSM_STATUS status;
    EX_ITEMINFO info;
    memset(&info, 0, sizeof info);
    EXItemGetInfo(hItem, &info, &status);
    if (IS_EXERROR(&status)) {
        rc = Fail("EXItemGetInfo", status);
        EXItemRelease(hItem, &status);
        return rc;
    }
    char achOwner[64], achModifier[64], achModified[32], achDue[32];
    UserName(hbrd, info.uidowner, achOwner, sizeof achOwner);
    UserName(hbrd, info.uidlastmodified, achModifier, sizeof achModifier);
    printf("Item:           %lu\n", (unsigned long)info.itemid);
    printf("Parent:         %lu\n", (unsigned long)info.itemparentid);
    printf("Type:           %s (%u)\n", TypeName(info.type), (unsigned)info.type);
    printf("Name:           %.64s\n", info.itemname);
    printf("Description:    %.128s\n", info.itemdescription);
    printf("Owner:          %u (%s)\n", (unsigned)info.uidowner, achOwner);
    printf("Access:         level %u, id %u\n", (unsigned)info.itemaccesslevel,
           (unsigned)info.itemaccessgrouporuserid);
    printf("Modified:       %s by %u (%s)\n",
           FormatTime(info.tmlastmodified, achModified, sizeof achModified),
           (unsigned)info.uidlastmodified, achModifier);
    printf("Status:         %u\n", (unsigned)info.status);
    printf("Due:            %s\n", FormatTime(info.duedate, achDue, sizeof achDue));
    PrintUnread(info.wUnreadFlags);
    printf("Note:           %s\n", info.pszNote);
    printf("Keywords:       %s\n", info.pszKeywords);
    if (info.pszExtendedInfo[0] != '\0') {
        printf("Extended info:  %s\n", info.pszExtendedInfo);
    }
    char achCreated[32], achChanged[32], achVisited[32];
    if (info.atttype != 0) {
        printf("URL:            %.256s\n", info.attnamepath);
        printf("Added:          %s\n",
               FormatTime(info.attinfotimecreated, achCreated, sizeof achCreated));
        printf("Page modified:  %s\n", FormatTime(info.attinfotime, achChanged, sizeof achChanged));
        printf("Last visit:     %s\n",
               FormatTime(info.attinfotimeaccessed, achVisited, sizeof achVisited));
    }
    if (info.type == ITEM_TYPE_FOLDER) {
        printf("Folder type:    %u\n", (unsigned)info.foldertype);
        printf("Added:          %s\n",
               FormatTime(info.folderlocationinfotimecreated, achCreated, sizeof achCreated));
        printf("Folder changed: %s\n",
               FormatTime(info.folderlocationinfotime, achChanged, sizeof achChanged));
    }
    EXItemRelease(hItem, &status);
    return 0;
}

static int Read(BOARD_OBJECT* hbrd, const Options* pOpt) {
    ITEM_OBJECT* hItem;
    int rc = FindItem(hbrd, pOpt->apszArgs[1], &hItem);
    if (rc != 0) {
        return rc;
    }
    EXSM_STATUS status, st2;
    EXItemMarkAsRead(hItem, 0, &status);
    rc = IS_EXERROR(&status) ? Fail("EXItemMarkAsRead", status) : 0;
    EXItemRelease(hItem, &st2);
    return rc;
}

/* ---- Watching a folder ---------------------------------------------------------------------- */

/* Which registration a notification came through, and the folder it is about when the list's
 * own notifier reports a change of the folder item (it gets no handle). */
typedef struct WatchSource {
    const char* pszVia;
    ITEM_OBJECT* hFolder;
} WatchSource;

static volatile sig_atomic_t s_fStopWatching;

static void OnStopSignal(int nSignal) {
    (void)nSignal;
    s_fStopWatching = 1;
}

static const char* ChangeKindName(uint16_t wKind) {
    static const char* const s_apszKinds[] = {"Unknown",   "Created", "Modified",
                                              "Destroyed", "AddRef",  "RemoveRef"};
    return wKind < sizeof s_apszKinds / sizeof s_apszKinds[0] ? s_apszKinds[wKind] : "Unknown";
}

static void PrintNotification(ITEM_OBJECT* hItem, ITEM_ITERATOR* pIterator, long nIndex,
                              uint16_t wKind, uintptr_t ulValue, uint32_t dwArgument) {
    (void)pIterator;
    const WatchSource* pSource = (const WatchSource*)ulValue;
    ITEM_OBJECT* h = hItem != NULL ? hItem : pSource->hFolder;
    char achName[64] = "";
    if (h != NULL) {
        EXItemGetName(h, achName, sizeof achName);
    }
    printf("%s index=%ld id=%lu name=\"%s\" fields=0x%08lX via=%s\n", ChangeKindName(wKind), nIndex,
           (unsigned long)(h != NULL ? EXItemGetID(h) : 0), achName, (unsigned long)dwArgument,
           pSource->pszVia);
}

static double MonotonicSeconds(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

/* Takes in other processes' changes every interval (their notifications print from inside
 * EXBoardRefresh) until a stop signal or the deadline (a MonotonicSeconds time; 0: none). SIGINT
 * and SIGTERM stay blocked except inside pselect, so a signal never cuts a library call short
 * and never slips in between the check of the flag and the wait. */
static int RefreshUntilStopped(BOARD_OBJECT* hbrd, double dblDeadline, long lIntervalMs) {
    sigset_t setStop, setOld;
    sigemptyset(&setStop);
    sigaddset(&setStop, SIGINT);
    sigaddset(&setStop, SIGTERM);
    sigprocmask(SIG_BLOCK, &setStop, &setOld);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);

    for (;;) {
        EXSM_STATUS status;
        EXBoardRefresh(hbrd, &status);
        if (IS_EXERROR(&status)) {
            return Fail("EXBoardRefresh", status);
        }
        double dblWait = (double)lIntervalMs / 1000.0;
        if (dblDeadline > 0) {
            const double dblLeft = dblDeadline - MonotonicSeconds();
            if (dblLeft <= 0) {
                return 0;
            }
            dblWait = dblWait < dblLeft ? dblWait : dblLeft;
        }
        struct timespec ts;
        ts.tv_sec = (time_t)dblWait;
        ts.tv_nsec = (long)((dblWait - (double)ts.tv_sec) * 1e9);
        pselect(0, NULL, NULL, NULL, &ts, &setOld);
        if (s_fStopWatching) {
            return 0;
        }
    }
}

static int Watch(BOARD_OBJECT* hbrd, const Options* pOpt) {
    // Whoever reads our output through a pipe sees each notification as it happens.
    setvbuf(stdout, NULL, _IOLBF, 0);
    unsigned long ulSeconds = 0, ulIntervalMs = 1000;
    if (pOpt->pszSeconds != NULL && !ParseNumber(pOpt->pszSeconds, 10, 31536000, &ulSeconds)) {
        return BadValue("number of seconds", pOpt->pszSeconds);
    }
    if (pOpt->pszInterval != NULL &&
        (!ParseNumber(pOpt->pszInterval, 10, 3600000, &ulIntervalMs) || ulIntervalMs == 0)) {
        return BadValue("interval in milliseconds", pOpt->pszInterval);
    }
    ITEM_OBJECT* hFound;
    int rc = FindItem(hbrd, pOpt->cArgs > 1 ? pOpt->apszArgs[1] : NULL, &hFound);
    if (rc != 0) {
        return rc;
    }
    WatchSource sourceFolder = {"folder", NULL}, sourceList = {"list", NULL};
    EXSM_STATUS status, st2;
    ITEM_OBJECT* hFolder =
        EXItemAcquire(hFound, PrintNotification, (uintptr_t)&sourceFolder, &status);
    EXItemRelease(hFound, &st2);
    if (IS_EXERROR(&status)) {
        return Fail("EXItemAcquire", status);
    }
    sourceFolder.hFolder = sourceList.hFolder = hFolder;
    ITEM_ITERATOR* pList = EXFolderGetItems(hbrd, hFolder, 0, EX_SORT_NAME, PrintNotification,
                                            (uintptr_t)&sourceList, &status);
    if (IS_EXERROR(&status)) {
        rc = Fail("EXFolderGetItems", status);
    } else {
        char achName[64];
        EXItemGetName(hFolder, achName, sizeof achName);
        printf("watching folder %lu \"%s\" (%ld items), refreshing every %lu ms\n",
               (unsigned long)EXItemGetID(hFolder), achName, EXItemIteratorCount(pList),
               ulIntervalMs);
        const double dblDeadline =
            pOpt->pszSeconds != NULL ? MonotonicSeconds() + (double)ulSeconds : 0;
        rc = RefreshUntilStopped(hbrd, dblDeadline, (long)ulIntervalMs);
    }
    EXItemIteratorRelease(pList, 1);
    EXItemRelease(hFolder, &st2);
    return rc;
}

/* ---- Command line --------------------------------------------------------------------------- */

static const Command s_aCommands[] = {
    {"create", "create CATALOG [-n NAME] [--force]  # --force replaces an existing catalog", 0, 0,
     Create},
    {"info", "info CATALOG", 0, 0, Info},
    {"users", "users CATALOG list | add NAME [PASSWORD] [LONGNAME] [--unique] | remove NAME", 0, 4,
     Users},
    {"groups", "groups CATALOG list | add NAME | remove NAME | join GROUP USER | leave GROUP USER",
     0, 3, Groups},
    {"add", "add CATALOG NAME [-f FOLDER] [-t folder|item] [--url URL] [--note TEXT]", 1, 1, Add},
    {"ls", "ls CATALOG [FOLDER] [-s SORT] [--folders]", 0, 1, List},
    {"show", "show CATALOG ID", 1, 1, Show},
    {"read", "read CATALOG ID", 1, 1, Read},
    {"watch", "watch CATALOG [FOLDER] [-n SECONDS] [-i INTERVAL_MS]", 0, 1, Watch},
    {"cp", "cp CATALOG ID FOLDER              # copies the item and what is below it", 2, 2,
     CopyItem},
    {"mv", "mv CATALOG ID FOLDER", 2, 2, MoveItem},
    {"rm", "rm CATALOG ID                     # the item and everything below it", 1, 1,
     RemoveTree},
    {"link", "link CATALOG SOURCE DEST [--data TEXT]", 2, 2, Link},
    {"unlink", "unlink CATALOG SOURCE DEST [--data TEXT]  # without --data: every reference", 2, 2,
     Unlink},
    {"refs", "refs CATALOG ID                   # references from and to the item", 1, 1,
     References},
    {"find",
     "find CATALOG [FOLDER] [-r] [--text TEXT] [--in name,description,note] [--case]\n"
     "              [--status MASK] [--responsible USERID] [--modified TEST] [--due TEST]\n"
     "              [-s SORT]",
     0, 1, Find},
    {"import", "import CATALOG FILE [FOLDER]      # a browser's bookmark file (HTML)", 1, 2,
     Import},
    {"export", "export CATALOG FOLDER FILE        # FOLDER as a bookmark file; FILE - is stdout", 2,
     2, Export},
};

static void PrintUsage(FILE* pFile, const Command* pOnly) {
    const char* pszLead = "usage: ";
    if (pOnly == NULL) {
        fprintf(pFile, "%scatcli --help | -h | --version\n", pszLead);
        pszLead = "       ";
    }
    for (size_t i = 0; i < sizeof s_aCommands / sizeof s_aCommands[0]; ++i) {
        if (pOnly == NULL || pOnly == &s_aCommands[i]) {
            fprintf(pFile, "%scatcli %s\n", pszLead, s_aCommands[i].pszUsage);
            pszLead = "       ";
        }
    }
    fprintf(
        pFile,
        "Every command takes -u USER (default SYSTEM) and a password: -p PASSWORD (visible to\n"
        "other users of this machine while catcli runs), --password-stdin (the first line of\n"
        "standard input), or the environment variable " PASSWORD_VARIABLE
        "; otherwise it is asked\n"
        "without echo when standard input is a terminal and -u is given (or SYSTEM's empty\n"
        "password is refused), else it is empty.\n"
        "FOLDER and ID are item ids; FOLDER defaults to the root folder.\n"
        "SORT: name, modified, status, due or repository, a leading '-' for descending,\n"
        "      or a sort code.\n"
        "TEST: =T, <T, >T, T1..T2 (between) or !T1..T2 (outside); T is a date YYYY-MM-DD\n"
        "      (UTC) or seconds since 1970.\n"
        "users add warns when the name is taken and adds the user; --unique refuses instead.\n"
        "Exit status: 0 done, 64 a command line not understood, 65 an imported file held\n"
        "bookmarks that could not be stored (the others are), 73 create found a catalog (or\n"
        "another file) at CATALOG and --force was not given, else the failing call's status.\n");
}

static int Usage(const Command* pCommand) {
    PrintUsage(stderr, pCommand);
    return EXIT_USAGE;
}

static int IsWordIn(const char* pszWord, const char* pszList) {
    const size_t cch = strlen(pszWord);
    for (const char* p = strstr(pszList, pszWord); p != NULL; p = strstr(p + 1, pszWord)) {
        if ((p == pszList || p[-1] == ' ') && (p[cch] == ' ' || p[cch] == '\0')) {
            return 1;
        }
    }
    return 0;
}

/* Codes of the options that have no letter. */
enum {
    OPT_URL = 256,
    OPT_NOTE,
    OPT_FOLDERS,
    OPT_DATA,
    OPT_TEXT,
    OPT_IN,
    OPT_CASE,
    OPT_STATUS,
    OPT_RESPONSIBLE,
    OPT_MODIFIED,
    OPT_DUE,
    OPT_FORCE,
    OPT_UNIQUE,
    OPT_PASSWORD_STDIN,
    OPT_VERSION,
};

static const struct option s_aLongOptions[] = {
    {"help", no_argument, NULL, 'h'},
    {"version", no_argument, NULL, OPT_VERSION},
    {"password-stdin", no_argument, NULL, OPT_PASSWORD_STDIN},
    {"force", no_argument, NULL, OPT_FORCE},
    {"unique", no_argument, NULL, OPT_UNIQUE},
    {"url", required_argument, NULL, OPT_URL},
    {"note", required_argument, NULL, OPT_NOTE},
    {"folders", no_argument, NULL, OPT_FOLDERS},
    {"data", required_argument, NULL, OPT_DATA},
    {"text", required_argument, NULL, OPT_TEXT},
    {"in", required_argument, NULL, OPT_IN},
    {"case", no_argument, NULL, OPT_CASE},
    {"status", required_argument, NULL, OPT_STATUS},
    {"responsible", required_argument, NULL, OPT_RESPONSIBLE},
    {"modified", required_argument, NULL, OPT_MODIFIED},
    {"due", required_argument, NULL, OPT_DUE},
    {NULL, 0, NULL, 0},
};
/* The leading ':' makes a missing value come back as ':' rather than '?'. */
static const char s_szShortOptions[] = ":hu:p:n:f:t:s:i:r";

/* One option as one command takes it: the same letter may mean different things to two commands
 * (-n is the catalog name for create and the running time for watch). */
typedef struct OptionSpec {
    int nCode;
    const char* pszCommands; /* space-separated; NULL: every command */
    size_t offValue;         /* the Options field it fills */
} OptionSpec;

static const OptionSpec s_aOptions[] = {
    {'u', NULL, offsetof(Options, pszUser)},
    {'p', NULL, offsetof(Options, pszPassword)},
    {OPT_PASSWORD_STDIN, NULL, offsetof(Options, pszPasswordStdin)},
    {'n', "create", offsetof(Options, pszName)},
    {OPT_FORCE, "create", offsetof(Options, pszForce)},
    {OPT_UNIQUE, "users", offsetof(Options, pszUnique)},
    {'f', "add", offsetof(Options, pszFolder)},
    {'t', "add", offsetof(Options, pszType)},
    {OPT_URL, "add", offsetof(Options, pszUrl)},
    {OPT_NOTE, "add", offsetof(Options, pszNote)},
    {'s', "ls find", offsetof(Options, pszSort)},
    {OPT_FOLDERS, "ls", offsetof(Options, pszFolders)},
    {'n', "watch", offsetof(Options, pszSeconds)},
    {'i', "watch", offsetof(Options, pszInterval)},
    {OPT_DATA, "link unlink", offsetof(Options, pszData)},
    {'r', "find", offsetof(Options, pszRecursive)},
    {OPT_TEXT, "find", offsetof(Options, pszText)},
    {OPT_IN, "find", offsetof(Options, pszIn)},
    {OPT_CASE, "find", offsetof(Options, pszCase)},
    {OPT_STATUS, "find", offsetof(Options, pszStatus)},
    {OPT_RESPONSIBLE, "find", offsetof(Options, pszResponsible)},
    {OPT_MODIFIED, "find", offsetof(Options, pszModified)},
    {OPT_DUE, "find", offsetof(Options, pszDue)},
};

static const OptionSpec* FindOption(const Command* pCommand, int nCode) {
    for (size_t i = 0; i < sizeof s_aOptions / sizeof s_aOptions[0]; ++i) {
        const OptionSpec* p = &s_aOptions[i];
        if (p->nCode == nCode &&
            (p->pszCommands == NULL || IsWordIn(pCommand->pszName, p->pszCommands))) {
            return p;
        }
    }
    return NULL;
}

/* An option's spelling for a message: "-x" or "--name". */
static void OptionName(int nCode, char* pchName, size_t cchName) {
    if (nCode > 0 && nCode < 256) {
        snprintf(pchName, cchName, "-%c", nCode);
        return;
    }
    for (const struct option* p = s_aLongOptions; p->name != NULL; ++p) {
        if (p->val == nCode) {
            snprintf(pchName, cchName, "--%s", p->name);
            return;
        }
    }
    snprintf(pchName, cchName, "?");
}

static void PrintVersion(void) {
    printf("catcli (Quillon) %s\n", QN_PROJECT_VERSION);
}

/* Fills *pOpt from the arguments after the command. Returns -1 to go on, or the exit status: 0
 * after --help, 64 for a command line not understood. Options may stand anywhere; "--" ends
 * them. */
static int ParseCommandLine(const Command* pCommand, int argc, char** argv, Options* pOpt) {
    memset(pOpt, 0, sizeof *pOpt);
    /* argv[1], the command, stands where getopt_long expects the program name. */
    const int cArgs = argc - 1;
    char** apszArgs = argv + 1;
    opterr = 0;
    optind = 1;
    int nCode;
    int iLong = -1;
    while ((nCode = getopt_long(cArgs, apszArgs, s_szShortOptions, s_aLongOptions, &iLong)) != -1) {
        char achName[32];
        if (nCode == 'h') {
            PrintUsage(stdout, pCommand);
            return 0;
        }
        if (nCode == OPT_VERSION) {
            PrintVersion();
            return 0;
        }
        if (nCode == '?' || nCode == ':') {
            if (optopt != 0) {
                OptionName(optopt, achName, sizeof achName);
            } else {
                /* An unknown long option: getopt_long leaves its spelling behind optind. */
                snprintf(achName, sizeof achName, "%s", apszArgs[optind - 1]);
            }
            fprintf(stderr, "catcli: %s: %s\n", nCode == '?' ? "unknown option" : "no value for",
                    achName);
            return Usage(pCommand);
        }
        const OptionSpec* pSpec = FindOption(pCommand, nCode);
        if (pSpec == NULL) {
            OptionName(nCode, achName, sizeof achName);
            fprintf(stderr, "catcli: unknown option: %s\n", achName);
            return Usage(pCommand);
        }
        /* A flag without a value holds its own spelling. */
        *(const char**)((char*)pOpt + pSpec->offValue) =
            optarg != NULL ? optarg : apszArgs[optind - 1];
    }
    for (int i = optind; i < cArgs; ++i) {
        if (pOpt->cArgs == MAX_OPERANDS) {
            return Usage(pCommand);
        }
        pOpt->apszArgs[pOpt->cArgs++] = apszArgs[i];
    }
    if (pOpt->cArgs == 0) {
        return Usage(pCommand);
    }
    const int cOperands = pOpt->cArgs - 1;
    if (cOperands < pCommand->cMinOperands || cOperands > pCommand->cMaxOperands) {
        return Usage(pCommand);
    }
    if (pOpt->pszPassword != NULL && pOpt->pszPasswordStdin != NULL) {
        fprintf(stderr, "catcli: give -p or --password-stdin, not both\n");
        return Usage(pCommand);
    }
    return -1;
}

/* ---- The password --------------------------------------------------------------------------- */

/* One line into pchLine without its line end: 1, or 0 when nothing could be read at all, or -1
 * for a line longer than the buffer (never cut short: a cut password is another password). */
static int ReadLine(FILE* pFile, char* pchLine, size_t cchLine) {
    if (fgets(pchLine, (int)cchLine, pFile) == NULL) {
        pchLine[0] = '\0';
        return 0;
    }
    const size_t cch = strcspn(pchLine, "\n");
    if (pchLine[cch] != '\n' && cch + 1 == cchLine && !feof(pFile)) {
        return -1;
    }
    pchLine[strcspn(pchLine, "\r\n")] = '\0';
    return 1;
}

/* The terminal's settings while its echo is off, put back by a signal that ends catcli then. */
static struct termios s_termBeforePrompt;

static void RestoreTerminalAndDie(int nSignal) {
    tcsetattr(STDIN_FILENO, TCSANOW, &s_termBeforePrompt);
    signal(nSignal, SIG_DFL);
    raise(nSignal);
}

/* Asks for the password on the terminal with its echo off: 1, 0 when it cannot, -1 for a
 * password too long for the buffer. */
static int AskPassword(const char* pszUser, char* pchPassword, size_t cchPassword) {
    if (tcgetattr(STDIN_FILENO, &s_termBeforePrompt) != 0) {
        return 0;
    }
    static const int s_anSignals[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP};
    struct sigaction actionRestore, aOld[sizeof s_anSignals / sizeof s_anSignals[0]];
    memset(&actionRestore, 0, sizeof actionRestore);
    actionRestore.sa_handler = RestoreTerminalAndDie;
    sigemptyset(&actionRestore.sa_mask);
    for (size_t i = 0; i < sizeof s_anSignals / sizeof s_anSignals[0]; ++i) {
        sigaction(s_anSignals[i], &actionRestore, &aOld[i]);
    }
    struct termios termQuiet = s_termBeforePrompt;
    termQuiet.c_lflag &= ~(tcflag_t)ECHO;
    termQuiet.c_lflag |= ICANON;
    int nRead = 0;
    /* The echo goes off before the prompt shows: nothing typed after it is seen. */
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &termQuiet) == 0) {
        fprintf(stderr, "Password for %s: ", pszUser);
        fflush(stderr);
        nRead = ReadLine(stdin, pchPassword, cchPassword);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &s_termBeforePrompt);
        fputc('\n', stderr);
    }
    for (size_t i = 0; i < sizeof s_anSignals / sizeof s_anSignals[0]; ++i) {
        sigaction(s_anSignals[i], &aOld[i], NULL);
    }
    return nRead;
}

static int PasswordTooLong(size_t cchPassword) {
    fprintf(stderr, "catcli: the password is longer than %zu bytes\n", cchPassword - 2);
    return EXIT_USAGE;
}

/* Where the password comes from when -p did not give it: standard input, the environment, the
 * terminal. *pfMayAsk says whether a refused empty password may still be asked for. Returns 0,
 * or the exit status after saying what went wrong. */
static int FindPassword(Options* pOpt, int fUserGiven, char* pchPassword, size_t cchPassword,
                        int* pfMayAsk) {
    *pfMayAsk = 0;
    if (pOpt->pszPassword != NULL) {
        return 0;
    }
    if (pOpt->pszPasswordStdin != NULL) {
        const int nRead = ReadLine(stdin, pchPassword, cchPassword);
        if (nRead < 0) {
            return PasswordTooLong(cchPassword);
        }
        if (nRead == 0 && ferror(stdin)) {
            fprintf(stderr, "catcli: cannot read the password from standard input: %s\n",
                    strerror(errno));
            return 1;
        }
        pOpt->pszPassword = pchPassword;
        return 0;
    }
    const char* pszEnvironment = getenv(PASSWORD_VARIABLE);
    if (pszEnvironment != NULL) {
        pOpt->pszPassword = pszEnvironment;
        return 0;
    }
    pOpt->pszPassword = "";
    if (!isatty(STDIN_FILENO)) {
        return 0;
    }
    if (fUserGiven) {
        const int nRead = AskPassword(pOpt->pszUser, pchPassword, cchPassword);
        if (nRead < 0) {
            return PasswordTooLong(cchPassword);
        }
        if (nRead > 0) {
            pOpt->pszPassword = pchPassword;
        }
        return 0;
    }
    *pfMayAsk = 1;
    return 0;
}

/* ---- Opening and creating ------------------------------------------------------------------- */

/* What the file system says about a path that could not be opened or made; NULL when it shows
 * nothing wrong (the store's status then says it). *pStatus gets the status that says it best
 * (the store reports a folder that is not there as a file it cannot write). */
static const char* PathProblem(const char* pszPath, int fCreate, EXSM_STATUS* pStatus) {
    struct stat st;
    if (stat(pszPath, &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            return "is a folder";
        }
        if (access(pszPath, fCreate ? W_OK : R_OK) != 0 && errno == EACCES) {
            return "permission denied";
        }
        return NULL;
    }
    if (errno == EACCES) {
        return "permission denied";
    }
    if (errno == ENOTDIR) {
        return "a part of the path is not a folder";
    }
    if (errno != ENOENT) {
        return strerror(errno);
    }
    if (!fCreate) {
        return "no such file";
    }
    *pStatus = EXSM_DOES_NOT_EXIST;
    /* The catalog is to be made: its folder must exist and take new files. */
    char achFolder[PATH_MAX];
    snprintf(achFolder, sizeof achFolder, "%s", pszPath);
    char* pchSlash = strrchr(achFolder, '/');
    if (pchSlash == NULL) {
        snprintf(achFolder, sizeof achFolder, ".");
    } else if (pchSlash == achFolder) {
        achFolder[1] = '\0';
    } else {
        *pchSlash = '\0';
    }
    if (stat(achFolder, &st) != 0) {
        return errno == ENOENT ? "no such folder" : strerror(errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        return "a part of the path is not a folder";
    }
    if (access(achFolder, W_OK | X_OK) != 0) {
        *pStatus = EXSM_ACCESS_DENIED;
        return "permission denied (the folder takes no new files)";
    }
    return NULL;
}

/* The main file the store makes for a catalog path: a name without an extension gets ".VFC".
 * 0 for a name the store refuses (an extension of the file set's other files, no base name),
 * which create then reports with the store's own status. */
static int CatalogFileOf(const char* pszPath, char* pchFile, size_t cchFile) {
    static const char* const s_apszReserved[] = {"D00", "D01", "D02", "D03", "D04", "D05", "D06",
                                                 "D07", "K00", "K01", "DBL", "INI", "LOG", "TAF"};
    const char* pszName = strrchr(pszPath, '/');
    pszName = pszName != NULL ? pszName + 1 : pszPath;
    const char* pszDot = strrchr(pszName, '.');
    if (pszDot == pszName) {
        return 0;
    }
    if (pszDot == NULL || pszDot[1] == '\0') {
        const int cch =
            snprintf(pchFile, cchFile, "%s%s", pszPath, pszDot == NULL ? ".VFC" : "VFC");
        return cch > 0 && (size_t)cch < cchFile;
    }
    for (size_t i = 0; i < sizeof s_apszReserved / sizeof s_apszReserved[0]; ++i) {
        if (strcasecmp(pszDot + 1, s_apszReserved[i]) == 0) {
            return 0;
        }
    }
    const int cch = snprintf(pchFile, cchFile, "%s", pszPath);
    return cch > 0 && (size_t)cch < cchFile;
}

static int OpenFailure(const char* pszVerb, const char* pszPath, const char* pszUser,
                       EXSM_STATUS status) {
    EXSM_STATUS statusOfPath = status;
    const char* pszProblem = PathProblem(pszPath, strcmp(pszVerb, "create") == 0, &statusOfPath);
    if (pszProblem != NULL && status != EXSM_ACCESS_DENIED && status != EXSM_INVALID_CATALOG_NAME) {
        fprintf(stderr, "catcli: cannot %s %s: %s\n", pszVerb, pszPath, pszProblem);
        status = statusOfPath;
    } else if (status == EXSM_ACCESS_DENIED) {
        fprintf(stderr, "catcli: cannot %s %s as %s: %s (%d); wrong user name or password?\n",
                pszVerb, pszPath, pszUser, EXStatusText(status), (int)status);
    } else {
        fprintf(stderr, "catcli: cannot %s %s: %s (%d)\n", pszVerb, pszPath, EXStatusText(status),
                (int)status);
    }
    return (int)status ? (int)status : 1;
}

static BOARD_OBJECT* OpenOrCreate(const Command* pCommand, const Options* pOpt,
                                  EXSM_STATUS* pStatus) {
    const char* pszPath = pOpt->apszArgs[0];
    if (pCommand->pfnRun != Create) {
        return EXBoardOpen(pszPath, pOpt->pszUser, pOpt->pszPassword, EX_OPEN_SHARED, 0, 0, 0, NULL,
                           pStatus);
    }
    EX_BOARDINFO info;
    memset(&info, 0, sizeof info);
    info.hName = EXStringCreate(pOpt->pszName ? pOpt->pszName : "");
    BOARD_OBJECT* hbrd =
        EXBoardCreate(pszPath, pOpt->pszUser, pOpt->pszPassword, &info, 0, 0, 0, NULL, pStatus);
    QNGlobalFree((QNHGLOBAL)info.hName);
    return hbrd;
}

int main(int argc, char** argv) {
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        PrintUsage(stdout, NULL);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        PrintVersion();
        return 0;
    }
    const Command* pCommand = NULL;
    for (size_t i = 0; argc > 1 && i < sizeof s_aCommands / sizeof s_aCommands[0]; ++i) {
        if (strcmp(argv[1], s_aCommands[i].pszName) == 0) {
            pCommand = &s_aCommands[i];
        }
    }
    if (pCommand == NULL) {
        if (argc > 1) {
            fprintf(stderr, "catcli: %s: %s\n",
                    argv[1][0] == '-' ? "unknown option" : "unknown command", argv[1]);
        }
        return Usage(NULL);
    }
    Options opt;
    int rc = ParseCommandLine(pCommand, argc, argv, &opt);
    if (rc >= 0) {
        return rc;
    }
    const char* pszPath = opt.apszArgs[0];
    g_pszCatalogPath = pszPath;
    const int fUserGiven = opt.pszUser != NULL;
    if (!fUserGiven) {
        opt.pszUser = "SYSTEM";
    }
    char achPassword[256];
    int fMayAsk;
    rc = FindPassword(&opt, fUserGiven, achPassword, sizeof achPassword, &fMayAsk);
    if (rc != 0) {
        return rc;
    }
    if (pCommand->pfnRun == Create && opt.pszForce == NULL) {
        char achFile[PATH_MAX];
        struct stat st;
        if (CatalogFileOf(pszPath, achFile, sizeof achFile) && lstat(achFile, &st) == 0) {
            fprintf(stderr,
                    "catcli: %s already exists; creating a catalog there would replace it and "
                    "everything in it (give --force to do that)\n",
                    achFile);
            return EXIT_EXISTS;
        }
    }
    EXSM_STATUS status, st2;
    BOARD_OBJECT* hbrd = OpenOrCreate(pCommand, &opt, &status);
    if (hbrd == NULL && status == EXSM_ACCESS_DENIED && fMayAsk) {
        const int nRead = AskPassword(opt.pszUser, achPassword, sizeof achPassword);
        if (nRead < 0) {
            return PasswordTooLong(sizeof achPassword);
        }
        if (nRead > 0) {
            opt.pszPassword = achPassword;
            hbrd = OpenOrCreate(pCommand, &opt, &status);
        }
    }
    if (hbrd == NULL) {
        return OpenFailure(pCommand->pfnRun == Create ? "create" : "open", pszPath, opt.pszUser,
                           status);
    }
    rc = pCommand->pfnRun(hbrd, &opt);
    EXBoardClose(hbrd, &st2);
    return rc < 0 ? Usage(pCommand) : rc;
}

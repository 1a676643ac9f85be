/*
 * catcli - a small client for Quillon catalogs, written against the public catstore.h interface
 * only: catalogs, users and groups for the administrator, items and folders for everyone.
 *
 *   catcli create CATALOG [-n NAME]
 *   catcli info CATALOG
 *   catcli users CATALOG list|add NAME [NEWPASSWORD] [LONGNAME]|remove NAME
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
 * Every command opens the catalog as SYSTEM with an empty password unless -u USER / -p PASSWORD
 * say otherwise. Exit status: 0 done, 64 a command line not understood (or a text too long for
 * its field), 65 an imported file held bookmarks that could not be stored (the rest are), otherwise
 * the failing call's status value, after "catcli: CALL failed: TEXT (N)".
 */
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <time.h>

#include "catcli.h"

typedef struct Command {
    const char* pszName;
    const char* pszUsage;
    int cMinOperands; /* after CATALOG */
    int cMaxOperands;
    CommandRoutine pfnRun;
} Command;

/* One option as one command takes it: the same letter may mean different things to two commands
 * (-n is the catalog name for create and the running time for watch). */
typedef struct OptionSpec {
    const char* pszFlag;
    const char* pszCommands; /* space-separated; NULL: every command */
    size_t offValue;         /* the Options field it fills */
    int fTakesValue;
} OptionSpec;

static const OptionSpec s_aOptions[] = {
    {"-u", NULL, offsetof(Options, pszUser), 1},
    {"-p", NULL, offsetof(Options, pszPassword), 1},
    {"-n", "create", offsetof(Options, pszName), 1},
    {"-f", "add", offsetof(Options, pszFolder), 1},
    {"-t", "add", offsetof(Options, pszType), 1},
    {"--url", "add", offsetof(Options, pszUrl), 1},
    {"--note", "add", offsetof(Options, pszNote), 1},
    {"-s", "ls find", offsetof(Options, pszSort), 1},
    {"--folders", "ls", offsetof(Options, pszFolders), 0},
    {"-n", "watch", offsetof(Options, pszSeconds), 1},
    {"-i", "watch", offsetof(Options, pszInterval), 1},
    {"--data", "link unlink", offsetof(Options, pszData), 1},
    {"-r", "find", offsetof(Options, pszRecursive), 0},
    {"--text", "find", offsetof(Options, pszText), 1},
    {"--in", "find", offsetof(Options, pszIn), 1},
    {"--case", "find", offsetof(Options, pszCase), 0},
    {"--status", "find", offsetof(Options, pszStatus), 1},
    {"--responsible", "find", offsetof(Options, pszResponsible), 1},
    {"--modified", "find", offsetof(Options, pszModified), 1},
    {"--due", "find", offsetof(Options, pszDue), 1},
};

int Fail(const char* pszWhat, EXSM_STATUS status) {
    fprintf(stderr, "catcli: %s failed: %s (%d)\n", pszWhat, EXStatusText(status), (int)status);
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
    {"create", "create CATALOG [-n NAME]", 0, 0, Create},
    {"info", "info CATALOG", 0, 0, Info},
    {"users", "users CATALOG list | add NAME [PASSWORD] [LONGNAME] | remove NAME", 0, 4, Users},
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
    for (size_t i = 0; i < sizeof s_aCommands / sizeof s_aCommands[0]; ++i) {
        if (pOnly == NULL || pOnly == &s_aCommands[i]) {
            fprintf(pFile, "%scatcli %s\n", pszLead, s_aCommands[i].pszUsage);
            pszLead = "       ";
        }
    }
    fprintf(
        pFile,
        "Every command takes -u USER -p PASSWORD (default SYSTEM, empty password).\n"
        "FOLDER and ID are item ids; FOLDER defaults to the root folder.\n"
        "SORT: name, modified, status, due or repository, a leading '-' for descending,\n"
        "      or a sort code.\n"
        "TEST: =T, <T, >T, T1..T2 (between) or !T1..T2 (outside); T is a date YYYY-MM-DD\n"
        "      (UTC) or seconds since 1970.\n"
        "Exit status: 0 done, 64 a command line not understood, 65 an imported file held\n"
        "bookmarks that could not be stored (the others are), else the failing call's status.\n");
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

static const OptionSpec* FindOption(const Command* pCommand, const char* pszFlag) {
    for (size_t i = 0; i < sizeof s_aOptions / sizeof s_aOptions[0]; ++i) {
        const OptionSpec* p = &s_aOptions[i];
        if (strcmp(p->pszFlag, pszFlag) == 0 &&
            (p->pszCommands == NULL || IsWordIn(pCommand->pszName, p->pszCommands))) {
            return p;
        }
    }
    return NULL;
}

/* Fills *pOpt from argv[2...]. Returns -1 to go on, or the exit status: 0 after --help, 64 for
 * a command line not understood. Options may stand anywhere; "--" ends them. */
static int ParseCommandLine(const Command* pCommand, int argc, char** argv, Options* pOpt) {
    memset(pOpt, 0, sizeof *pOpt);
    pOpt->pszUser = "SYSTEM";
    pOpt->pszPassword = "";
    int fOptionsEnded = 0;
    for (int i = 2; i < argc; ++i) {
        const char* pszArg = argv[i];
        if (fOptionsEnded || pszArg[0] != '-' || pszArg[1] == '\0') {
            if (pOpt->cArgs == MAX_OPERANDS) {
                return Usage(pCommand);
            }
            pOpt->apszArgs[pOpt->cArgs++] = pszArg;
            continue;
        }
        if (strcmp(pszArg, "--") == 0) {
            fOptionsEnded = 1;
            continue;
        }
        if (strcmp(pszArg, "--help") == 0) {
            PrintUsage(stdout, pCommand);
            return 0;
        }
        const OptionSpec* pSpec = FindOption(pCommand, pszArg);
        if (pSpec == NULL || (pSpec->fTakesValue && i + 1 == argc)) {
            fprintf(stderr, "catcli: %s: %s\n", pSpec == NULL ? "unknown option" : "no value for",
                    pszArg);
            return Usage(pCommand);
        }
        *(const char**)((char*)pOpt + pSpec->offValue) = pSpec->fTakesValue ? argv[++i] : pszArg;
    }
    const int cOperands = pOpt->cArgs - 1;
    if (cOperands < pCommand->cMinOperands || cOperands > pCommand->cMaxOperands) {
        return Usage(pCommand);
    }
    return -1;
}

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        PrintUsage(stdout, NULL);
        return 0;
    }
    const Command* pCommand = NULL;
    for (size_t i = 0; argc > 1 && i < sizeof s_aCommands / sizeof s_aCommands[0]; ++i) {
        if (strcmp(argv[1], s_aCommands[i].pszName) == 0) {
            pCommand = &s_aCommands[i];
        }
    }
    if (pCommand == NULL) {
        return Usage(NULL);
    }
    Options opt;
    int rc = ParseCommandLine(pCommand, argc, argv, &opt);
    if (rc >= 0) {
        return rc;
    }
    const char* pszPath = opt.apszArgs[0];
    EXSM_STATUS status, st2;
    BOARD_OBJECT* hbrd;
    if (pCommand->pfnRun == Create) {
        EX_BOARDINFO info;
        memset(&info, 0, sizeof info);
        info.hName = EXStringCreate(opt.pszName ? opt.pszName : "");
        hbrd = EXBoardCreate(pszPath, opt.pszUser, opt.pszPassword, &info, 0, 0, 0, NULL, &status);
        QNGlobalFree((QNHGLOBAL)info.hName);
        if (hbrd == NULL) {
            return Fail("EXBoardCreate", status);
        }
    } else {
        hbrd = EXBoardOpen(pszPath, opt.pszUser, opt.pszPassword, EX_OPEN_SHARED, 0, 0, 0, NULL,
                           &status);
        if (hbrd == NULL) {
            return Fail("EXBoardOpen", status);
        }
    }
    rc = pCommand->pfnRun(hbrd, &opt);
    EXBoardClose(hbrd, &st2);
    return rc < 0 ? Usage(pCommand) : rc;
}

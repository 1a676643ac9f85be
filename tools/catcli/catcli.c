/*
 * catcli - a small administration client for Quillon catalogs, written against the public
 * catstore.h interface only.
 *
 *   catcli create CATALOG [-u USER] [-p PASSWORD] [-n NAME]
 *   catcli info CATALOG [-u USER] [-p PASSWORD]
 *   catcli users CATALOG list|add NAME [NEWPASSWORD] [LONGNAME]|remove NAME [-u USER] [-p PASSWORD]
 *   catcli groups CATALOG list|add NAME|remove NAME|join GROUP USER|leave GROUP USER [-u ...]
 *
 * The catalog is opened as SYSTEM with an empty password unless -u/-p say otherwise. Failures
 * print the status text and exit with the status value.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "catstore.h"

typedef struct Options {
    const char* pszUser;
    const char* pszPassword;
    const char* pszName;
    const char* apszArgs[8];
    int cArgs;
} Options;

static int Fail(const char* pszWhat, EXSM_STATUS status) {
    fprintf(stderr, "catcli: %s failed: %s (%d)\n", pszWhat, EXStatusText(status), (int)status);
    return (int)status ? (int)status : 1;
}

static int Usage(void) {
    fprintf(stderr,
            "usage: catcli create CATALOG [-n NAME] [-u USER] [-p PASSWORD]\n"
            "       catcli info CATALOG [-u USER] [-p PASSWORD]\n"
            "       catcli users CATALOG list | add NAME [PASSWORD] [LONGNAME] | remove NAME\n"
            "       catcli groups CATALOG list | add NAME | remove NAME | join GROUP USER |"
            " leave GROUP USER\n");
    return 64;
}

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
    QNGlobalFree((QNHGLOBAL)info.hName);
    QNGlobalFree((QNHGLOBAL)info.hDescription);
    QNGlobalFree((QNHGLOBAL)info.hEmailAddr);
    QNGlobalFree((QNHGLOBAL)info.hLongName);
    QNGlobalFree((QNHGLOBAL)info.hPassword);
    QNGlobalFree((QNHGLOBAL)info.hLocalPassword);
    QNGlobalFree((QNHGLOBAL)info.hSerialNumber);
    QNGlobalFree(info.hShadowData);
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
    const char* pszVerb = pOpt->cArgs > 0 ? pOpt->apszArgs[0] : "list";
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
    if (pOpt->cArgs < 2) {
        return Usage();
    }
    if (strcmp(pszVerb, "add") == 0) {
        EX_USERINFO info;
        memset(&info, 0, sizeof info);
        info.hName = EXStringCreate(pOpt->apszArgs[1]);
        info.hPassword = EXStringCreate(pOpt->cArgs > 2 ? pOpt->apszArgs[2] : "");
        info.hLongName = EXStringCreate(pOpt->cArgs > 3 ? pOpt->apszArgs[3] : "");
        USER_OBJECT* hUser = EXUserCreate(hbrd, &info, &status);
        QNGlobalFree((QNHGLOBAL)info.hName);
        QNGlobalFree((QNHGLOBAL)info.hPassword);
        QNGlobalFree((QNHGLOBAL)info.hLongName);
        if (hUser != NULL) {
            printf("created user %s with id %u\n", pOpt->apszArgs[1], (unsigned)info.wUserID);
            EXSM_STATUS st2;
            EXUserRelease(hUser, &st2);
        }
        return IS_EXERROR(&status) ? Fail("EXUserCreate", status) : 0;
    }
    if (strcmp(pszVerb, "remove") == 0) {
        USER_OBJECT* hUser = EXUserFindByName(hbrd, pOpt->apszArgs[1], &status);
        if (IS_EXERROR(&status)) {
            return Fail("EXUserFindByName", status);
        }
        EXUserDestroy(hUser, &status);
        if (IS_EXERROR(&status)) {
            EXSM_STATUS st2;
            EXUserRelease(hUser, &st2);
            return Fail("EXUserDestroy", status);
        }
        printf("removed user %s\n", pOpt->apszArgs[1]);
        return 0;
    }
    return Usage();
}

static int Groups(BOARD_OBJECT* hbrd, const Options* pOpt) {
    EXSM_STATUS status, st2;
    const char* pszVerb = pOpt->cArgs > 0 ? pOpt->apszArgs[0] : "list";
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
    if (pOpt->cArgs < 2) {
        return Usage();
    }
    if (strcmp(pszVerb, "add") == 0) {
        EX_GROUPINFO info;
        memset(&info, 0, sizeof info);
        info.hName = EXStringCreate(pOpt->apszArgs[1]);
        GROUP_OBJECT* hGroup = EXGroupCreate(hbrd, &info, &status);
        QNGlobalFree((QNHGLOBAL)info.hName);
        if (IS_EXERROR(&status)) {
            return Fail("EXGroupCreate", status);
        }
        printf("created group %s with id %u\n", pOpt->apszArgs[1], (unsigned)info.wGroupID);
        EXGroupRelease(hGroup, &st2);
        return 0;
    }
    GROUP_OBJECT* hGroup = EXGroupFindByName(hbrd, pOpt->apszArgs[1], &status);
    if (IS_EXERROR(&status)) {
        return Fail("EXGroupFindByName", status);
    }
    int rc = 0;
    if (strcmp(pszVerb, "remove") == 0) {
        EXGroupDestroy(hGroup, &status);
        if (IS_EXERROR(&status)) {
            EXGroupRelease(hGroup, &st2);
            return Fail("EXGroupDestroy", status);
        }
        printf("removed group %s\n", pOpt->apszArgs[1]);
        return 0;
    }
    if ((strcmp(pszVerb, "join") == 0 || strcmp(pszVerb, "leave") == 0) && pOpt->cArgs >= 3) {
        USER_OBJECT* hUser = EXUserFindByName(hbrd, pOpt->apszArgs[2], &status);
        if (IS_EXERROR(&status)) {
            rc = Fail("EXUserFindByName", status);
        } else {
            if (pszVerb[0] == 'j') {
                EXGroupAddUser(hGroup, hUser, &status);
            } else {
                EXGroupRemoveUser(hGroup, hUser, &status);
            }
            rc = IS_EXERROR(&status)
                     ? Fail(pszVerb[0] == 'j' ? "EXGroupAddUser" : "EXGroupRemoveUser", status)
                     : 0;
            EXUserRelease(hUser, &st2);
        }
    } else {
        rc = Usage();
    }
    EXGroupRelease(hGroup, &st2);
    return rc;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        return Usage();
    }
    Options opt;
    memset(&opt, 0, sizeof opt);
    opt.pszUser = "SYSTEM";
    opt.pszPassword = "";
    for (int i = 3; i < argc; ++i) {
        if ((strcmp(argv[i], "-u") == 0 || strcmp(argv[i], "-p") == 0 ||
             strcmp(argv[i], "-n") == 0) &&
            i + 1 < argc) {
            const char* pszValue = argv[++i];
            if (argv[i - 1][1] == 'u') {
                opt.pszUser = pszValue;
            } else if (argv[i - 1][1] == 'p') {
                opt.pszPassword = pszValue;
            } else {
                opt.pszName = pszValue;
            }
        } else if (opt.cArgs < 8) {
            opt.apszArgs[opt.cArgs++] = argv[i];
        }
    }
    const char* pszCommand = argv[1];
    const char* pszPath = argv[2];
    EXSM_STATUS status, st2;
    BOARD_OBJECT* hbrd = NULL;
    if (strcmp(pszCommand, "create") == 0) {
        EX_BOARDINFO info;
        memset(&info, 0, sizeof info);
        info.hName = EXStringCreate(opt.pszName ? opt.pszName : "");
        hbrd = EXBoardCreate(pszPath, opt.pszUser, opt.pszPassword, &info, 0, 0, 0, NULL, &status);
        QNGlobalFree((QNHGLOBAL)info.hName);
        if (hbrd == NULL) {
            return Fail("EXBoardCreate", status);
        }
        printf("created catalog %s\n", pszPath);
        int rc = PrintInfo(hbrd, pszPath);
        EXBoardClose(hbrd, &st2);
        return rc;
    }
    if (strcmp(pszCommand, "info") != 0 && strcmp(pszCommand, "users") != 0 &&
        strcmp(pszCommand, "groups") != 0) {
        return Usage();
    }
    hbrd =
        EXBoardOpen(pszPath, opt.pszUser, opt.pszPassword, EX_OPEN_SHARED, 0, 0, 0, NULL, &status);
    if (hbrd == NULL) {
        return Fail("EXBoardOpen", status);
    }
    int rc;
    if (strcmp(pszCommand, "info") == 0) {
        rc = PrintInfo(hbrd, pszPath);
    } else if (strcmp(pszCommand, "users") == 0) {
        rc = Users(hbrd, &opt);
    } else {
        rc = Groups(hbrd, &opt);
    }
    EXBoardClose(hbrd, &st2);
    return rc;
}

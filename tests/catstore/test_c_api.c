/* The public interface used from plain C: create, open, users, groups, items, lists, close. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "catstore.h"

static int g_nFailures = 0;

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++g_nFailures;                                                           \
        }                                                                            \
    } while (0)

int main(void) {
    char achDir[] = "/tmp/catstore_c_XXXXXX";
    if (mkdtemp(achDir) == NULL) {
        return 2;
    }
    char achNs[64];
    snprintf(achNs, sizeof achNs, "ctest%ld", (long)getpid());
    setenv("QUILLON_CONFIG_DIR", achDir, 1);
    setenv("QUILLON_SHM_NAMESPACE", achNs, 1);

    char achPath[256];
    snprintf(achPath, sizeof achPath, "%s/c.vfc", achDir);
    EXSM_STATUS status;
    EX_BOARDINFO info;
    memset(&info, 0, sizeof info);
    info.hName = EXStringCreate("C catalog");
    BOARD_OBJECT* hbrd = EXBoardCreate(achPath, "SYSTEM", "", &info, 0, 0, 0, NULL, &status);
    QNGlobalFree((QNHGLOBAL)info.hName);
    CHECK(status == EXSM_SUCCESS);
    CHECK(hbrd != NULL);
    CHECK(info.wBoardVersion == 12);
    CHECK(strcmp(EXStatusText(EXSM_LOCK_ERROR), "Lock Error") == 0);

    EX_USERINFO ui;
    memset(&ui, 0, sizeof ui);
    ui.hName = EXStringCreate("cuser");
    ui.hPassword = EXStringCreate("pw");
    USER_OBJECT* hUser = EXUserCreate(hbrd, &ui, &status);
    CHECK(status == EXSM_SUCCESS);
    CHECK(ui.wUserID == 2);
    QNGlobalFree((QNHGLOBAL)ui.hName);
    QNGlobalFree((QNHGLOBAL)ui.hPassword);

    EX_GROUPINFO gi;
    memset(&gi, 0, sizeof gi);
    gi.hName = EXStringCreate("cgroup");
    GROUP_OBJECT* hGroup = EXGroupCreate(hbrd, &gi, &status);
    CHECK(status == EXSM_SUCCESS);
    QNGlobalFree((QNHGLOBAL)gi.hName);
    EXGroupAddUser(hGroup, hUser, &status);
    CHECK(status == EXSM_SUCCESS);
    EXGroupContainsUser(hGroup, hUser, &status);
    CHECK(status == EXSM_SUCCESS);
    EXGroupRelease(hGroup, &status);
    EXUserRelease(hUser, &status);

    USER_ITERATOR* pIter = EXBoardGetUsers(hbrd, &status);
    CHECK(EXUserIteratorCount(pIter) == 2);
    EXUserIteratorRelease(pIter, 1);
    EXBoardClose(hbrd, &status);
    CHECK(status == EXSM_SUCCESS);

    hbrd = EXBoardOpen(achPath, "cuser", "wrong", EX_OPEN_SHARED, 0, 0, 0, NULL, &status);
    CHECK(hbrd == NULL);
    CHECK(status == EXSM_ACCESS_DENIED);
    hbrd = EXBoardOpen(achPath, "cuser", "pw", EX_OPEN_SHARED, 0, 0, 0, NULL, &status);
    CHECK(hbrd != NULL);
    CHECK(EXUserGetID(EXBoardGetCurrentUser(hbrd)) == 2);
    EXBoardClose(hbrd, &status);

    EXBoardGetInfo(NULL, &info, &status);
    CHECK(status == EXSM_INVALID_HANDLE);

    /* Items, a list and the accessors from C. */
    hbrd = EXBoardOpen(achPath, "SYSTEM", "", EX_OPEN_SHARED, 0, 0, 0, NULL, &status);
    CHECK(hbrd != NULL);
    ITEM_OBJECT* hRoot = EXBoardGetRootFolder(hbrd);
    CHECK(hRoot != NULL);
    CHECK(EXItemObjectItem(hRoot)->type == 4);
    EX_ITEMINFO ii;
    memset(&ii, 0, sizeof ii);
    ii.type = 1;
    ii.itemaccesslevel = 1;
    strcpy(ii.itemname, "from C");
    ii.pszNote = "a note";
    ITEM_OBJECT* hItem = EXItemNew(&status, &ii);
    EXItemCreate(hbrd, hRoot, hItem, &status);
    CHECK(status == EXSM_SUCCESS);
    CHECK(strcmp(EXItemObjectItemNote(hItem), "a note") == 0);
    EXItemObjectSetItemName(hItem, "renamed in C");
    EXItemSetInfo(hItem, 0, &status);
    CHECK(status == EXSM_SUCCESS);
    memset(&ii, 0, sizeof ii);
    EXItemGetInfo(hItem, &ii, &status);
    CHECK(status == EXSM_SUCCESS && strcmp(ii.itemname, "renamed in C") == 0);
    ITEM_ITERATOR* pItems = EXFolderGetItems(hbrd, hRoot, 1, EX_SORT_NAME | EX_SORT_DESCENDING,
                                             EX_DEFAULT_NOTIFIER, EX_DEFAULT_VALUE, &status);
    CHECK(pItems != NULL);
    CHECK(EXItemIteratorCount(pItems) == 4); /* the root's three folders and ours */
    CHECK(EXItemIteratorFirst(pItems) != NULL);
    CHECK(EXItemIteratorRelease(pItems, 1) == NULL);
    CHECK(EXItemRelease(hItem, &status) == 0);
    EXItemRelease(hRoot, &status);
    EXBoardClose(hbrd, &status);

    char achCmd[300];
    snprintf(achCmd, sizeof achCmd, "rm -rf '%s'", achDir);
    if (system(achCmd) != 0) {
        ++g_nFailures;
    }
    if (g_nFailures != 0) {
        fprintf(stderr, "%d checks failed\n", g_nFailures);
        return 1;
    }
    printf("all checks passed\n");
    return 0;
}

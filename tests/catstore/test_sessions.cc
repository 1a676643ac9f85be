// Sessions: several processes on one catalog, visitors, root access, threads, and the change
// entries of operations.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "board.h"
#include "catalog_fixture.h"
#include "changelog.h"
#include "engine.h"
#include "items.h"
#include "notify.h"

using namespace cstest;

namespace {

// A packed record field by value (gtest would bind a reference to it).
template <typename T>
T Copy(T v) {
    return v;
}
bool WaitForFile(const std::string& strPath, int ms = 20000) {
    return qn::test::WaitFor([&]() { return ::access(strPath.c_str(), F_OK) == 0; }, ms);
}
void Touch(const std::string& strPath) {
    qn::test::WriteFile(strPath, "1");
}
}  // namespace

TEST_F(CatalogTest, SecondSystemSessionGetsSystem01AndExclusiveOpensAreRefused) {
    MakeCatalog();
    std::string strPath = m_strPath, strOpen = m_dir.file("open"), strDone = m_dir.file("done");
    pid_t pid = qn::test::ForkChild([&]() {
        EXSM_STATUS s;
        BOARD_OBJECT* h = EXBoardOpen(strPath.c_str(), "SYSTEM", "", 1, 0, 0, 0, nullptr, &s);
        if (h == nullptr) {
            return 10 + static_cast<int>(s);
        }
        Touch(strOpen);
        WaitForFile(strDone);
        EXBoardClose(h, &s);
        return 0;
    });
    ASSERT_TRUE(WaitForFile(strOpen));
    EXSM_STATUS st;
    // Exclusive while another process has it open: refused.
    BOARD_OBJECT* hx =
        EXBoardOpen(m_strPath.c_str(), "SYSTEM", "", EX_OPEN_EXCLUSIVE, 0, 0, 0, nullptr, &st);
    EXPECT_EQ(hx, nullptr);
    EXPECT_EQ(st, EXSM_CATALOG_UNAVAILABLE);
    BOARD_OBJECT* hbrd = Open("SYSTEM", "", &st);
    ASSERT_NE(hbrd, nullptr) << EXStatusText(st);
    short nCount = 0;
    struct {
        uint32_t dwBounds;
        char aach[8][16];
    } users{};
    users.dwBounds = 7u << 16;
    EXBoardGetCurrentUsers(hbrd, &nCount, &users, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    ASSERT_EQ(nCount, 2);
    std::vector<std::string> names = {users.aach[0], users.aach[1]};
    EXPECT_TRUE((names[0] == "system" && names[1] == "SYSTEM01") ||
                (names[1] == "system" && names[0] == "SYSTEM01"))
        << names[0] << " " << names[1];
    Touch(strDone);
    EXPECT_EQ(qn::test::WaitChild(pid), 0);
    EXBoardClose(hbrd, &st);
}

// Lock-manager user names are one name whatever their case: the open as SYSTEM (user id string
// "system") beside a connected SYSTEM is the next SYSTEM session, not a second "system".
TEST_F(CatalogTest, OpenAsSystemBesideAConnectedSystemIsSystem01) {
    MakeCatalog();
    std::string strPath = m_strPath, strOpen = m_dir.file("open"), strDone = m_dir.file("done");
    pid_t pid = qn::test::ForkChild([&]() {
        EXSM_STATUS s;
        BOARD_OBJECT* h = EXBoardConnect(strPath.c_str(), 1, &s);
        if (h == nullptr) {
            return 10 + static_cast<int>(s);
        }
        Touch(strOpen);
        WaitForFile(strDone);
        EXBoardClose(h, &s);
        return 0;
    });
    ASSERT_TRUE(WaitForFile(strOpen));
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = Open("SYSTEM", "", &st);
    ASSERT_NE(hbrd, nullptr) << EXStatusText(st);
    short nCount = 0;
    struct {
        uint32_t dwBounds;
        char aach[8][16];
    } users{};
    users.dwBounds = 7u << 16;
    EXBoardGetCurrentUsers(hbrd, &nCount, &users, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    ASSERT_EQ(nCount, 2);
    std::vector<std::string> names = {users.aach[0], users.aach[1]};
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"SYSTEM", "SYSTEM01"}));
    Touch(strDone);
    EXPECT_EQ(qn::test::WaitChild(pid), 0);
    EXBoardClose(hbrd, &st);
}

static EXSM_STATUS VisitorCallback(BOARD_OBJECT* hbrd, uint32_t dwReason) {
    if (dwReason != 2) {
        return EXSM_SUCCESS;
    }
    EX_USERINFO info{};
    info.hName = EXStringCreate("visitor");
    info.hPassword = EXStringCreate("pw");
    EXSM_STATUS st;
    USER_OBJECT* h = EXUserCreate(hbrd, &info, &st);
    QNGlobalFree(reinterpret_cast<QNHGLOBAL>(info.hName));
    QNGlobalFree(reinterpret_cast<QNHGLOBAL>(info.hPassword));
    EXSM_STATUS st2;
    EXUserRelease(h, &st2);
    return st;
}

TEST_F(CatalogTest, VisitorsAreAdmittedThroughTheCallback) {
    MakeCatalog();
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd =
        EXBoardOpen(m_strPath.c_str(), "visitor", "pw", 1, 0, 0, 0, VisitorCallback, &st);
    ASSERT_NE(hbrd, nullptr) << EXStatusText(st);
    EXPECT_EQ(EXUserGetID(EXBoardGetCurrentUser(hbrd)), 2);
    EXBoardClose(hbrd, &st);
    // The wrong password is still refused.
    hbrd = EXBoardOpen(m_strPath.c_str(), "visitor", "nope", 1, 0, 0, 0, VisitorCallback, &st);
    EXPECT_EQ(hbrd, nullptr);
    EXPECT_EQ(st, EXSM_ACCESS_DENIED);
}

TEST_F(CatalogTest, RootAccessKeepsOtherUsersOut) {
    MakeCatalog();
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = Open();
    AddUser(hbrd, "bob", "b");
    EX_BOARDINFO info{};
    EXBoardGetInfo(hbrd, &info, &st);
    info.wAccessLevel = 3;
    info.wAccessGroupOrUserID = 1;
    EXBoardSetInfo(hbrd, &info, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    FreeStr(info.hName);
    EXBoardClose(hbrd, &st);
    hbrd = Open("bob", "b", &st);
    EXPECT_EQ(hbrd, nullptr);
    EXPECT_EQ(st, EXSM_ACCESS_DENIED);
    hbrd = Open("SYSTEM", "", &st);
    EXPECT_NE(hbrd, nullptr);
    EXBoardClose(hbrd, &st);
}

TEST_F(CatalogTest, CallsFromTwoThreadsAreSerialised) {
    MakeCatalog();
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = Open();
    AddUser(hbrd, "t1", "");
    std::atomic<int> nFailures{0};
    auto work = [&]() {
        for (int i = 0; i < 100; ++i) {
            EXSM_STATUS s;
            USER_OBJECT* h = EXUserFindByName(hbrd, "t1", &s);
            if (h == nullptr) {
                ++nFailures;
                continue;
            }
            EX_USERINFO info{};
            EXUserGetInfo(h, &info, &s);
            FreeUserInfo(&info);
            EXUserRelease(h, &s);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(nFailures.load(), 0);
    EXBoardClose(hbrd, &st);
}

TEST_F(CatalogTest, OperationEntriesSkipInsignificantFields) {
    MakeCatalog();
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = Open();
    DB_ITEM root;
    ASSERT_EQ(catstore::ItemFindByID(hbrd->pdb, 1, &root), DBSuccess);
    uint32_t cBefore = 0, cAfter = 0;
    hbrd->pdb->RecordCount(qn::dbms::DB_CHANGEENTRYREC, &cBefore);
    EXPECT_EQ(catstore::ChgLogAddEntry(hbrd, &root, EX_CHANGE_MODIFIED, ITEMFIELDS_OWNER),
              EXSM_SUCCESS);
    hbrd->pdb->RecordCount(qn::dbms::DB_CHANGEENTRYREC, &cAfter);
    EXPECT_EQ(cAfter, cBefore);
    EXPECT_EQ(catstore::ChgLogAddEntry(hbrd, &root, EX_CHANGE_MODIFIED, ITEMFIELDS_PARENT),
              EXSM_SUCCESS);
    hbrd->pdb->RecordCount(qn::dbms::DB_CHANGEENTRYREC, &cAfter);
    EXPECT_EQ(cAfter, cBefore + 1);
    qn::dbms::db_changeentryrec e{};
    ASSERT_EQ(hbrd->pdb->ScanLast(qn::dbms::DB_CHANGEENTRYREC), 0);
    ASSERT_EQ(hbrd->pdb->Read(&e), 0);
    EXPECT_EQ(Copy(e.changefields), ITEMFIELDS_PARENT);
    EXPECT_EQ(Copy(e.changeitemid), 1u);
    EXPECT_EQ(Copy(e.changeuserid), 1);
    EXPECT_EQ(Copy(e.changekind), EX_CHANGE_MODIFIED);
    EXBoardClose(hbrd, &st);
}

TEST_F(CatalogTest, ANewUserStartsAtTheEndOfTheLog) {
    MakeCatalog();
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = Open();
    AddUser(hbrd, "fresh", "");
    EXBoardClose(hbrd, &st);
    hbrd = Open("fresh", "", &st);
    ASSERT_NE(hbrd, nullptr);
    // The catalog's whole history (root folders, the user's folders) is not delivered.
    Recorder rec;
    ITEM_OBJECT* hRoot = EXBoardGetRootFolder(hbrd);
    ITEM_ITERATOR* pList =
        EXFolderGetItems(hbrd, hRoot, 1, EX_SORT_NAME, RecordCall, rec.Value(), &st);
    ASSERT_NE(pList, nullptr);
    EXBoardRefresh(hbrd, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXPECT_TRUE(rec.calls.empty());
    EXItemIteratorRelease(pList, 1);
    EXItemRelease(hRoot, &st);
    EXBoardClose(hbrd, &st);
}

TEST_F(CatalogTest, OneUserInTwoProcessesAndFailedOpensLeaveNoLockManagerUser) {
    MakeCatalog();
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = Open();
    AddUser(hbrd, "bob", "b");
    EXBoardClose(hbrd, &st);
    // Failed opens leave nothing behind in the lock manager.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Open("bob", "wrong", &st), nullptr);
    }
    std::string strPath = m_strPath, strOpen = m_dir.file("open"), strDone = m_dir.file("done");
    pid_t pid = qn::test::ForkChild([&]() {
        EXSM_STATUS s;
        BOARD_OBJECT* h = EXBoardOpen(strPath.c_str(), "bob", "b", 1, 0, 0, 0, nullptr, &s);
        if (h == nullptr) {
            return 10 + static_cast<int>(s);
        }
        Touch(strOpen);
        WaitForFile(strDone);
        EXBoardClose(h, &s);
        return 0;
    });
    ASSERT_TRUE(WaitForFile(strOpen));
    hbrd = Open("bob", "b", &st);
    ASSERT_NE(hbrd, nullptr) << EXStatusText(st);
    short nCount = 0;
    struct {
        uint32_t dwBounds;
        char aach[8][16];
    } users{};
    users.dwBounds = 7u << 16;
    EXBoardGetCurrentUsers(hbrd, &nCount, &users, &st);
    EXPECT_EQ(nCount, 2);
    Touch(strDone);
    EXPECT_EQ(qn::test::WaitChild(pid), 0);
    EXBoardClose(hbrd, &st);
}

TEST_F(CatalogTest, TwoProcessesChangingDifferentTimersKeepBothChanges) {
    MakeCatalog();
    constexpr long kRounds = 150;
    std::string strPath = m_strPath, strGo = m_dir.file("go");
    auto run = [&](int nTimer) -> int {
        EXSM_STATUS s;
        BOARD_OBJECT* h = EXBoardOpen(strPath.c_str(), "SYSTEM", "", 1, 0, 0, 0, nullptr, &s);
        if (h == nullptr) {
            return 10 + static_cast<int>(s);
        }
        WaitForFile(strGo);
        for (long i = 1; i <= kRounds; ++i) {
            // This process is the only writer of its timer: it must still hold the last value
            // written, whatever the other process wrote to its own timer meanwhile.
            long alSeen[2] = {-1, -1};
            EXBoardGetTimer(h, nTimer, alSeen, &s);
            if (s != EXSM_SUCCESS || alSeen[0] != i - 1) {
                return 3;
            }
            long alTimer[2] = {i, nTimer};
            EXBoardSetTimer(h, nTimer, alTimer, &s);
            if (s != EXSM_SUCCESS) {
                return 2;
            }
        }
        EXBoardClose(h, &s);
        return 0;
    };
    pid_t pid = qn::test::ForkChild([&]() { return run(1); });
    pid_t pid2 = qn::test::ForkChild([&]() { return run(2); });
    Touch(strGo);
    EXPECT_EQ(qn::test::WaitChild(pid), 0);
    EXPECT_EQ(qn::test::WaitChild(pid2), 0);
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = Open();
    ASSERT_NE(hbrd, nullptr);
    for (int nTimer : {1, 2}) {
        long alTimer[2] = {0, 0};
        EXBoardGetTimer(hbrd, nTimer, alTimer, &st);
        EXPECT_EQ(alTimer[0], kRounds) << nTimer;
        EXPECT_EQ(alTimer[1], nTimer);
    }
    EXBoardClose(hbrd, &st);
}

// Catalog lifecycle, passwords, bad input and the catalog information calls.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "catalog_fixture.h"
#include "registry.h"

using namespace cstest;

TEST_F(CatalogTest, CreateMakesTheBuiltInFoldersAndOpensAsCreator) {
    EX_BOARDINFO info{};
    info.hName = Str("My Bookmarks");
    info.dwAdminFlags = EX_BOARD_ALLOWVISITORS;
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd =
        EXBoardCreate(m_strPath.c_str(), "SYSTEM", "", &info, 0, 0, 0, nullptr, &st);
    FreeStr(info.hName);
    ASSERT_EQ(st, EXSM_SUCCESS) << EXStatusText(st);
    ASSERT_NE(hbrd, nullptr);
    EXPECT_EQ(info.wBoardVersion, 12);
    EXPECT_EQ(EXBoardVersion(hbrd), 12u);

    EX_BOARDINFO got{};
    EXBoardGetInfo(hbrd, &got, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(Text(got.hName), "My Bookmarks");
    EXPECT_EQ(got.dwBoardID, info.dwBoardID);
    EXPECT_EQ(got.dwAdminFlags, EX_BOARD_ALLOWVISITORS);
    EXPECT_EQ(got.wAccessLevel, 1);
    FreeStr(got.hName);

    const char* apszSlots[] = {"My Bookmarks", "Zelto Folders Root", "Zelto Files Catalog"};
    for (int i = 0; i < 3; ++i) {
        ITEM_OBJECT* hItem = EXBoardGetItem(hbrd, i, &st);
        ASSERT_EQ(st, EXSM_SUCCESS) << i;
        char ach[80];
        EXItemGetName(hItem, ach, sizeof ach);
        EXPECT_STREQ(ach, apszSlots[i]);
        if (i == 0) {
            EXPECT_EQ(EXItemGetID(hItem), 1u);
        }
        EXItemRelease(hItem, &st);
    }
    ITEM_OBJECT* hEmpty = EXBoardGetItem(hbrd, 3, &st);
    EXPECT_EQ(hEmpty, nullptr);
    EXPECT_EQ(st, EXSM_DOES_NOT_EXIST);

    ITEM_OBJECT* hRoot = EXBoardGetRootFolder(hbrd);
    ASSERT_NE(hRoot, nullptr);
    EXPECT_EQ(EXBoardFromItem(hRoot), hbrd);
    EXItemRelease(hRoot, &st);

    USER_OBJECT* hSystem = EXBoardGetCurrentUser(hbrd);
    ASSERT_NE(hSystem, nullptr);
    EXPECT_EQ(EXUserGetID(hSystem), 1);
    EXPECT_EQ(EXBoardFromUser(hSystem), hbrd);
    EXBoardClose(hbrd, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);

    // The configuration files beside the catalog.
    std::string strIni = qn::test::ReadFile(m_dir.file("cat.ini"));
    EXPECT_NE(strIni.find("Automatically generated configuration file - Do not modify"),
              std::string::npos);
    EXPECT_NE(strIni.find("LockMgr=1"), std::string::npos);
    EXPECT_NE(strIni.find("SYSTEM=system"), std::string::npos);
    EXPECT_FALSE(qn::test::ReadFile(m_dir.file("system.ini")).empty());
}

TEST_F(CatalogTest, EmptyNameGetsTheDefaultRootName) {
    EX_BOARDINFO info{};
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd =
        EXBoardCreate(m_dir.file("plain").c_str(), "SYSTEM", "", &info, 0, 0, 0, nullptr, &st);
    ASSERT_EQ(st, EXSM_SUCCESS) << EXStatusText(st);
    EX_BOARDINFO got{};
    EXBoardGetInfo(hbrd, &got, &st);
    EXPECT_EQ(Text(got.hName), "Zelto Files Catalog Root");
    FreeStr(got.hName);
    EXBoardClose(hbrd, &st);
    // A path without extension gets ".VFC".
    struct stat sb;
    EXPECT_EQ(::stat(m_dir.file("plain.VFC").c_str(), &sb), 0);
}

TEST_F(CatalogTest, ReservedExtensionsAreRefused) {
    for (const char* pszExt : {"TAF", "ini", "d00", "D07", "k01", "DBL", "log"}) {
        std::string strPath = m_dir.file(std::string("cat.") + pszExt);
        EX_BOARDINFO info{};
        EXSM_STATUS st;
        BOARD_OBJECT* hbrd =
            EXBoardCreate(strPath.c_str(), "SYSTEM", "", &info, 0, 0, 0, nullptr, &st);
        EXPECT_EQ(hbrd, nullptr);
        EXPECT_EQ(st, EXSM_INVALID_CATALOG_NAME) << pszExt;
        hbrd = EXBoardOpen(strPath.c_str(), "SYSTEM", "", 1, 0, 0, 0, nullptr, &st);
        EXPECT_EQ(hbrd, nullptr);
        EXPECT_EQ(st, EXSM_INVALID_CATALOG_NAME) << pszExt;
        struct stat sb;
        EXPECT_NE(::stat(strPath.c_str(), &sb), 0) << "nothing written for " << pszExt;
    }
}

TEST_F(CatalogTest, OpenWithRightAndWrongPasswords) {
    MakeCatalog();
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = Open();
    ASSERT_NE(hbrd, nullptr);
    ASSERT_NE(AddUser(hbrd, "alice", "s3cret"), 0);
    ASSERT_NE(AddUser(hbrd, "Ann Lee", "0123456789abcdef"), 0);
    EXBoardClose(hbrd, &st);

    struct Case {
        const char* pszUser;
        const char* pszPassword;
        EXSM_STATUS expected;
    } aCases[] = {
        {"alice", "s3cret", EXSM_SUCCESS},
        {"alice", "S3cret", EXSM_ACCESS_DENIED},
        {"alice", "", EXSM_ACCESS_DENIED},
        {"alice", "s3cret!", EXSM_ACCESS_DENIED},
        {"Ann Lee", "0123456789abcdef", EXSM_SUCCESS},
        {"Ann Lee", "0123456789abcdefX", EXSM_ACCESS_DENIED},
        {"nobody", "", EXSM_ACCESS_DENIED},
        {"SYSTEM", "", EXSM_SUCCESS},
        {"SYSTEM", "x", EXSM_ACCESS_DENIED},
    };
    for (const Case& c : aCases) {
        hbrd = Open(c.pszUser, c.pszPassword, &st);
        EXPECT_EQ(st, c.expected) << c.pszUser << "/" << c.pszPassword;
        EXPECT_EQ(hbrd != nullptr, c.expected == EXSM_SUCCESS);
        if (hbrd != nullptr) {
            USER_OBJECT* hUser = EXBoardGetCurrentUser(hbrd);
            EX_USERINFO info{};
            EXUserGetInfo(hUser, &info, &st);
            EXPECT_EQ(Text(info.hName), c.pszUser);
            EXPECT_EQ(Text(info.hPassword), c.pszPassword);
            FreeUserInfo(&info);
            EXBoardClose(hbrd, &st);
        }
    }
    // Nothing stays registered after failed opens: the next open works.
    hbrd = Open("alice", "s3cret", &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXBoardClose(hbrd, &st);
    // The user configuration files carry the user id strings.
    EXPECT_FALSE(qn::test::ReadFile(m_dir.file("alice.ini")).empty());
    EXPECT_NE(qn::test::ReadFile(m_dir.file("cat.ini")).find("annl"), std::string::npos);
}

TEST_F(CatalogTest, SecondOpenInOneProcessIsRefusedAndTheFirstStaysUsable) {
    MakeCatalog();
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = Open();
    ASSERT_NE(hbrd, nullptr);
    BOARD_OBJECT* hSecond = Open("SYSTEM", "", &st);
    EXPECT_EQ(hSecond, nullptr);
    EXPECT_EQ(st, EXSM_CATALOG_ALREADY_OPEN);
    EX_BOARDINFO info{};
    EX_BOARDINFO got{};
    EXBoardCreate(m_dir.file("other.vfc").c_str(), "SYSTEM", "", &info, 0, 0, 0, nullptr, &st);
    EXPECT_EQ(st, EXSM_CATALOG_ALREADY_OPEN);
    EXBoardGetInfo(hbrd, &got, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    FreeStr(got.hName);
    EXPECT_EQ(EXBoardBindCurrent(&st), hbrd);
    // The process's task entry holds the board and its (empty) notification object.
    catstore::TaskEntry* pTask = catstore::FindTaskEntry(false);
    ASSERT_NE(pTask, nullptr);
    EXPECT_EQ(pTask->hbrd, hbrd);
    char achName[40];
    std::snprintf(achName, sizeof achName, "IPC Handler -- Task 0x%04X",
                  static_cast<unsigned>(::getpid()));
    EXPECT_STREQ(pTask->szWindowName, achName);
    EXPECT_GE(catstore::CrossTaskMessage(), 0xC000u);
    EXBoardClose(hbrd, &st);
    EXPECT_EQ(catstore::FindTaskEntry(false), nullptr);
    EXPECT_EQ(EXBoardBindCurrent(&st), nullptr);
    EXPECT_EQ(st, EXSM_CATALOG_UNAVAILABLE);
    // A catalog connected for administration counts as well, and no file of the refused catalog
    // is written.
    BOARD_OBJECT* hAdmin = EXBoardConnect(m_strPath.c_str(), 1, &st);
    ASSERT_NE(hAdmin, nullptr);
    EXPECT_EQ(
        EXBoardCreate(m_dir.file("third.vfc").c_str(), "SYSTEM", "", &info, 0, 0, 0, nullptr, &st),
        nullptr);
    EXPECT_EQ(st, EXSM_CATALOG_ALREADY_OPEN);
    EXPECT_NE(::access(m_dir.file("third.vfc").c_str(), F_OK), 0);
    EXPECT_NE(::access(m_dir.file("third.ini").c_str(), F_OK), 0);
    EXBoardClose(hAdmin, &st);
}

TEST_F(CatalogTest, MissingCatalogAndUnreadableConfiguration) {
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = Open("SYSTEM", "", &st);
    EXPECT_EQ(hbrd, nullptr);
    EXPECT_EQ(st, EXSM_CATALOG_OPEN_ERROR);
    // A file that is not a catalog.
    qn::test::WriteFile(m_strPath, "this is not a catalog at all");
    hbrd = Open("SYSTEM", "", &st);
    EXPECT_EQ(hbrd, nullptr);
    EXPECT_NE(st, EXSM_SUCCESS);
    ::unlink(m_strPath.c_str());

    MakeCatalog();
    // A configuration file that cannot be read: the user map falls back to SYSTEM's files and
    // the catalog still opens.
    std::string strIni = m_dir.file("cat.ini");
    ::chmod(strIni.c_str(), 0);
    hbrd = Open("SYSTEM", "", &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXBoardClose(hbrd, &st);
    ::chmod(strIni.c_str(), 0644);
    // Garbage in the configuration file is no obstacle either.
    static const char s_achGarbage[] = "\x01\x02[[[=\n\xff\xfe garbage\n";
    qn::test::WriteFile(strIni, std::string(s_achGarbage, sizeof s_achGarbage - 1));
    hbrd = Open("SYSTEM", "", &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXBoardClose(hbrd, &st);
}

TEST_F(CatalogTest, FolderThatCannotHoldACatalog) {
    // A "folder" that is a plain file: nothing can be written there, whoever runs the test.
    qn::test::WriteFile(m_dir.file("plainfile"), "x");
    EX_BOARDINFO info{};
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = EXBoardCreate(m_dir.file("plainfile/cat.vfc").c_str(), "SYSTEM", "", &info,
                                       0, 0, 0, nullptr, &st);
    EXPECT_EQ(hbrd, nullptr);
    EXPECT_EQ(st, EXSM_OUT_OF_DISK_SPACE);
    // And nothing stayed registered: a real create works next.
    MakeCatalog();
}

TEST_F(CatalogTest, FolderWithoutWritePermission) {
    qn::test::PermissionsBind bind;
    std::string strRo = m_dir.file("ro");
    ASSERT_EQ(::mkdir(strRo.c_str(), 0555), 0);
    EX_BOARDINFO info{};
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd =
        EXBoardCreate((strRo + "/cat.vfc").c_str(), "SYSTEM", "", &info, 0, 0, 0, nullptr, &st);
    EXPECT_EQ(hbrd, nullptr);
    EXPECT_EQ(st, EXSM_OUT_OF_DISK_SPACE);
    ::chmod(strRo.c_str(), 0755);
}

TEST_F(CatalogTest, NullAndStaleHandlesAreRefused) {
    MakeCatalog();
    EXSM_STATUS st;
    EX_BOARDINFO info{};
    EXBoardGetInfo(nullptr, &info, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXBoardRefresh(nullptr, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXBoardBeginTransaction(nullptr, "x", &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXUserGetInfo(nullptr, nullptr, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXGroupAddUser(nullptr, nullptr, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXResourceRefresh(nullptr, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXItemRelease(nullptr, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);

    BOARD_OBJECT* hbrd = Open();
    ASSERT_NE(hbrd, nullptr);
    USER_OBJECT* hUser = EXUserFindByName(hbrd, "SYSTEM", &st);
    ASSERT_NE(hUser, nullptr);
    EXUserRelease(hUser, &st);
    // hUser is freed now: every call refuses it.
    EX_USERINFO ui{};
    EXUserGetInfo(hUser, &ui, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXUserRelease(hUser, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    // A pointer that was never a handle.
    int nNotAHandle = 0;
    EXBoardGetInfo(reinterpret_cast<BOARD_OBJECT*>(&nNotAHandle), &info, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXBoardClose(hbrd, &st);
    // The closed catalog's handle is stale.
    EXBoardGetInfo(hbrd, &info, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXBoardClose(hbrd, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    // A null status pointer is tolerated.
    EXBoardGetInfo(nullptr, &info, nullptr);
}

TEST_F(CatalogTest, TimersSlotsAndSetInfo) {
    MakeCatalog();
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = Open();
    long alTimer[2] = {3600, 12345};
    EXBoardSetTimer(hbrd, 5, alTimer, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    long alRead[2] = {0, 0};
    EXBoardGetTimer(hbrd, 5, alRead, &st);
    EXPECT_EQ(alRead[0], 3600);
    EXPECT_EQ(alRead[1], 12345);
    EXBoardGetTimer(hbrd, 16, alRead, &st);
    EXPECT_EQ(st, EXSM_DOES_NOT_EXIST);

    ITEM_OBJECT* hFolders = EXBoardGetItem(hbrd, 1, &st);
    EXBoardSetItem(hbrd, 7, hFolders, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    ITEM_OBJECT* hSlot7 = EXBoardGetItem(hbrd, 7, &st);
    EXPECT_EQ(EXItemGetID(hSlot7), EXItemGetID(hFolders));
    EXItemRelease(hSlot7, &st);
    EXBoardSetItem(hbrd, 8, nullptr, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXItemRelease(hFolders, &st);

    EX_BOARDINFO info{};
    info.hName = Str("Renamed");
    info.wOwner = 1;
    info.wAccessLevel = 1;
    info.dwBoardID = 77;
    EXBoardSetInfo(hbrd, &info, &st);
    ASSERT_EQ(st, EXSM_SUCCESS) << EXStatusText(st);
    FreeStr(info.hName);
    EX_BOARDINFO got{};
    EXBoardGetInfo(hbrd, &got, &st);
    EXPECT_EQ(Text(got.hName), "Renamed");
    EXPECT_EQ(got.wOwner, 1);
    EXPECT_EQ(got.dwBoardID, 77u);
    FreeStr(got.hName);

    EX_MEMORYUSAGE usage{};
    usage.cbSize = sizeof usage;
    EXBoardMemoryUsage(hbrd, &usage, 1, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(usage.cbSize, 68u);
    EXPECT_GT(usage.cbTotal, 0u);

    short nCount = 0;
    struct {
        uint32_t dwBounds;
        char aach[4][16];
    } users{};
    users.dwBounds = (3u << 16) | 0u;
    EXBoardGetCurrentUsers(hbrd, &nCount, &users, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXPECT_GE(nCount, 1);
    EXPECT_STREQ(users.aach[0], "system");
    EXBoardClose(hbrd, &st);
}

TEST_F(CatalogTest, ExportedTransactionsNestAndCount) {
    MakeCatalog();
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = Open();
    EXBoardBeginTransaction(hbrd, "outer", &st);
    EXBoardBeginTransaction(hbrd, "inner", &st);
    EXBoardEndTransaction(hbrd, &st);
    EXBoardEndTransaction(hbrd, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXBoardEndTransaction(hbrd, &st);  // without a begin: depth -1
    EXBoardBeginTransaction(hbrd, "again", &st);
    EXBoardAbortTransaction(hbrd, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXBoardClose(hbrd, &st);
}

TEST_F(CatalogTest, ConnectForAdministration) {
    MakeCatalog();
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = EXBoardConnect(m_strPath.c_str(), EX_OPEN_SHARED, &st);
    ASSERT_EQ(st, EXSM_SUCCESS) << EXStatusText(st);
    EXPECT_EQ(EXBoardGetCurrentUser(hbrd), nullptr);
    EXBoardRefresh(hbrd, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(EXBoardVersion(hbrd), 12u);
    EXBoardClose(hbrd, &st);
}

TEST_F(CatalogTest, UnknownLockManagerChoicesFallBackToTheFileLockManager) {
    MakeCatalog();
    for (const char* pszValue : {"2", "8", "9", "-3", "junk"}) {
        std::string strIni = m_dir.file("cat.ini");
        // Edit the catalog configuration file directly, as an administrator would.
        std::string strText = qn::test::ReadFile(strIni);
        size_t pos = strText.find("LockMgr=");
        ASSERT_NE(pos, std::string::npos);
        size_t end = strText.find_first_of("\r\n", pos);
        strText.replace(pos, end - pos, std::string("LockMgr=") + pszValue);
        qn::test::WriteFile(strIni, strText);
        EXSM_STATUS st;
        BOARD_OBJECT* hbrd = Open("SYSTEM", "", &st);
        EXPECT_EQ(st, EXSM_SUCCESS) << pszValue;
        EXBoardClose(hbrd, &st);
    }
}

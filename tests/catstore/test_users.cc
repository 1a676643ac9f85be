// Users, groups, their lists, and resources.
#include <cstring>

#include "catalog_fixture.h"

using namespace cstest;

class UsersTest : public CatalogTest {
  protected:
    BOARD_OBJECT* m_hbrd = nullptr;
    void SetUp() override {
        MakeCatalog();
        m_hbrd = Open();
        ASSERT_NE(m_hbrd, nullptr);
    }
    void TearDown() override {
        EXSM_STATUS st;
        EXBoardClose(m_hbrd, &st);
    }
    GROUP_OBJECT* AddGroup(const char* pszName) {
        EX_GROUPINFO info{};
        info.hName = Str(pszName);
        EXSM_STATUS st;
        GROUP_OBJECT* h = EXGroupCreate(m_hbrd, &info, &st);
        FreeStr(info.hName);
        EXPECT_EQ(st, EXSM_SUCCESS);
        return h;
    }
};

TEST_F(UsersTest, CreateGivesIdsFoldersAndMapEntries) {
    EXSM_STATUS st;
    uint16_t wBob = AddUser(m_hbrd, "bob", "pw");
    EXPECT_EQ(wBob, 2);  // SYSTEM has 1
    USER_OBJECT* hBob = EXUserFindByName(m_hbrd, "bob", &st);
    ASSERT_NE(hBob, nullptr);
    // The eight built-in folders, Quick List in slots 0 and 6.
    const char* apszSlots[16] = {"Quick List",    "Web Monitor",     "Briefcase",
                                 "Zelto Folders", "Monitored Items", nullptr,
                                 "Quick List",    "Web Realms",      "Zelto Agents"};
    for (int i = 0; i < 16; ++i) {
        ITEM_OBJECT* hItem = EXUserGetItem(hBob, i, &st);
        if (apszSlots[i] == nullptr) {
            EXPECT_EQ(hItem, nullptr) << i;
            EXPECT_EQ(st, EXSM_DOES_NOT_EXIST) << i;
            continue;
        }
        ASSERT_NE(hItem, nullptr) << i;
        char ach[80];
        EXItemGetName(hItem, ach, sizeof ach);
        EXPECT_STREQ(ach, apszSlots[i]) << i;
        EXItemRelease(hItem, &st);
    }
    EXUserRelease(hBob, &st);

    // An id already in use: refused, and no map entry is written.
    EX_USERINFO info{};
    info.hName = Str("carol");
    info.wUserID = wBob;
    USER_OBJECT* hCarol = EXUserCreate(m_hbrd, &info, &st);
    EXPECT_EQ(hCarol, nullptr);
    EXPECT_EQ(st, EXSM_ALREADY_EXISTS);
    FreeStr(info.hName);
    EXPECT_EQ(qn::test::ReadFile(m_dir.file("cat.ini")).find("carol"), std::string::npos);
    // A wished id is honoured.
    info = EX_USERINFO{};
    info.hName = Str("dave");
    info.wUserID = 100;
    USER_OBJECT* hDave = EXUserCreate(m_hbrd, &info, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(info.wUserID, 100);
    FreeStr(info.hName);
    EXUserRelease(hDave, &st);
    EXPECT_EQ(AddUser(m_hbrd, "erin", ""), 101);
    // A second user of an existing name is made; find by name gives one of the two.
    EXPECT_NE(AddUser(m_hbrd, "bob", "other"), 0);
    USER_OBJECT* hAny = EXUserFindByName(m_hbrd, "bob", &st);
    EXPECT_NE(hAny, nullptr);
    EXUserRelease(hAny, &st);
}

TEST_F(UsersTest, OverlongTextsAreRefusedNotCut) {
    EXSM_STATUS st;
    struct Case {
        const char* pszName;
        const char* pszPassword;
        EXSM_STATUS expected;
    } aCases[] = {
        {"0123456789012345678901234567890", "", EXSM_SUCCESS},                 // 31 characters
        {"01234567890123456789012345678901", "", EXSM_CATALOG_NAME_TOO_LONG},  // 32
        {"pw16", "0123456789abcdef", EXSM_SUCCESS},
        {"pw17", "0123456789abcdefg", EXSM_CATALOG_NAME_TOO_LONG},
    };
    for (const Case& c : aCases) {
        AddUser(m_hbrd, c.pszName, c.pszPassword, &st);
        EXPECT_EQ(st, c.expected) << c.pszName;
    }
    USER_ITERATOR* pIter = EXBoardGetUsers(m_hbrd, &st);
    EXPECT_EQ(EXUserIteratorCount(pIter), 3);  // SYSTEM and the two that fit
    EXUserIteratorRelease(pIter, 1);
}

TEST_F(UsersTest, SetInfoRoundTripsEveryField) {
    EXSM_STATUS st;
    AddUser(m_hbrd, "frank", "old");
    USER_OBJECT* h = EXUserFindByName(m_hbrd, "frank", &st);
    ASSERT_NE(h, nullptr);
    EX_USERINFO info{};
    info.wUserID = EXUserGetID(h);
    info.hName = Str("frank");
    info.hDescription = Str("desc");
    info.hEmailAddr = Str("f@example.org");
    info.hLongName = Str("Frank Long");
    info.hPassword = Str("0123456789abcdef");
    info.hLocalPassword = Str("local");
    info.hSerialNumber = Str("SN-1");
    info.dwLastLogin = 99;
    info.nShadowKind = 3;
    std::string strShadow(700, 'x');
    strShadow[5] = '\0';
    info.cbShadowData = static_cast<uint16_t>(strShadow.size());
    info.hShadowData = QNGlobalAlloc(QN_GHND, strShadow.size());
    std::memcpy(QNGlobalLock(info.hShadowData), strShadow.data(), strShadow.size());
    QNGlobalUnlock(info.hShadowData);
    info.dwNotifyFlags = 0x55;
    EXUserSetInfo(h, &info, &st);
    ASSERT_EQ(st, EXSM_SUCCESS) << EXStatusText(st);
    FreeUserInfo(&info);
    EXUserRelease(h, &st);

    h = EXUserFindByName(m_hbrd, "frank", &st);
    EX_USERINFO got{};
    EXUserGetInfo(h, &got, &st);
    EXPECT_EQ(Text(got.hDescription), "desc");
    EXPECT_EQ(Text(got.hEmailAddr), "f@example.org");
    EXPECT_EQ(Text(got.hLongName), "Frank Long");
    EXPECT_EQ(Text(got.hPassword), "0123456789abcdef");
    EXPECT_EQ(Text(got.hLocalPassword), "local");
    EXPECT_EQ(Text(got.hSerialNumber), "SN-1");
    EXPECT_EQ(got.dwLastLogin, 99u);
    EXPECT_EQ(got.nShadowKind, 3);
    EXPECT_EQ(got.dwNotifyFlags, 0x55u);
    ASSERT_EQ(got.cbShadowData, strShadow.size());
    EXPECT_EQ(std::memcmp(QNGlobalLock(got.hShadowData), strShadow.data(), strShadow.size()), 0);
    QNGlobalUnlock(got.hShadowData);
    FreeUserInfo(&got);
    EXUserRelease(h, &st);
}

TEST_F(UsersTest, SlotReadsTakeInAnotherCopysShadowData) {
    EXSM_STATUS st;
    AddUser(m_hbrd, "gina", "pw");
    USER_OBJECT* hA = EXUserFindByName(m_hbrd, "gina", &st);
    USER_OBJECT* hB = EXUserFindByName(m_hbrd, "gina", &st);
    ASSERT_NE(hA, nullptr);
    ASSERT_NE(hB, nullptr);
    // Copy A writes new shadow data; copy B reads a slot (which refreshes it) and then sets one.
    EX_USERINFO info{};
    EXUserGetInfo(hA, &info, &st);
    std::string strShadow(300, 's');
    QNGlobalFree(info.hShadowData);
    info.cbShadowData = static_cast<uint16_t>(strShadow.size());
    info.hShadowData = QNGlobalAlloc(QN_GHND, strShadow.size());
    std::memcpy(QNGlobalLock(info.hShadowData), strShadow.data(), strShadow.size());
    QNGlobalUnlock(info.hShadowData);
    EXUserSetInfo(hA, &info, &st);
    ASSERT_EQ(st, EXSM_SUCCESS) << EXStatusText(st);
    FreeUserInfo(&info);

    ITEM_OBJECT* hQuick = EXUserGetItem(hB, 0, &st);
    ASSERT_NE(hQuick, nullptr) << EXStatusText(st);
    EXUserSetItem(hB, 9, hQuick, &st);
    EXPECT_EQ(st, EXSM_SUCCESS) << EXStatusText(st);
    EX_USERINFO got{};
    EXUserGetInfo(hB, &got, &st);
    ASSERT_EQ(got.cbShadowData, strShadow.size());
    EXPECT_EQ(std::memcmp(QNGlobalLock(got.hShadowData), strShadow.data(), strShadow.size()), 0);
    QNGlobalUnlock(got.hShadowData);
    FreeUserInfo(&got);
    EXItemRelease(hQuick, &st);
    EXUserRelease(hA, &st);
    EXUserRelease(hB, &st);
    // The stored user has both: the new shadow data and the slot.
    USER_OBJECT* hC = EXUserFindByName(m_hbrd, "gina", &st);
    ITEM_OBJECT* hSlot9 = EXUserGetItem(hC, 9, &st);
    EXPECT_NE(hSlot9, nullptr);
    EXUserGetInfo(hC, &got, &st);
    EXPECT_EQ(got.cbShadowData, strShadow.size());
    FreeUserInfo(&got);
    EXItemRelease(hSlot9, &st);
    EXUserRelease(hC, &st);
}

TEST_F(UsersTest, IteratorsMoveAsTheTableSays) {
    EXSM_STATUS st;
    AddUser(m_hbrd, "zed", "");
    AddUser(m_hbrd, "amy", "");
    USER_ITERATOR* p = EXBoardGetUsers(m_hbrd, &st);
    ASSERT_EQ(EXUserIteratorCount(p), 3);
    // Right after creation the current index is the last entry.
    EXPECT_EQ(EXUserIteratorNext(p), nullptr);
    USER_OBJECT* hFirst = EXUserIteratorFirst(p);
    EX_USERINFO info{};
    EXUserGetInfo(hFirst, &info, &st);
    EXPECT_EQ(Text(info.hName), "amy");  // ascending by name without regard to case
    FreeUserInfo(&info);
    EXPECT_EQ(EXUserIteratorPrev(p), nullptr);
    EXPECT_EQ(EXUserIteratorCurrent(p), nullptr);
    EXPECT_EQ(EXUserIteratorNext(p), hFirst);
    EXPECT_NE(EXUserIteratorLast(p), nullptr);
    EXUserIteratorReset(p);
    EXPECT_EQ(EXUserIteratorCurrent(p), nullptr);
    EXPECT_EQ(EXUserIteratorRelease(p, 1), 0);
    // The released list is gone.
    EXPECT_EQ(EXUserIteratorCount(p), 0);

    // Find by id: first from the store, then from the catalog's list (the same entry).
    uint16_t wId = AddUser(m_hbrd, "late", "");
    USER_OBJECT* h1 = EXUserFindByID(m_hbrd, wId, &st);
    ASSERT_NE(h1, nullptr);
    USER_OBJECT* h2 = EXUserFindByID(m_hbrd, wId, &st);
    EXPECT_EQ(h1, h2);
    EXUserFindByID(m_hbrd, 0, &st);
    EXPECT_EQ(st, EXSM_DOES_NOT_EXIST);
    EXUserFindByID(m_hbrd, 999, &st);
    EXPECT_EQ(st, EXSM_DOES_NOT_EXIST);
    // An acquired list entry is an owned copy.
    USER_OBJECT* hOwned = EXUserAcquire(h1, &st);
    EXPECT_NE(hOwned, h1);
    EXUserRelease(hOwned, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
}

TEST_F(UsersTest, GroupsAndMembership) {
    EXSM_STATUS st;
    AddUser(m_hbrd, "gina", "");
    AddUser(m_hbrd, "hank", "");
    GROUP_OBJECT* hStaff = AddGroup("staff");
    GROUP_OBJECT* hAdmins = AddGroup("admins");
    ASSERT_NE(hStaff, nullptr);
    EXPECT_EQ(EXGroupGetID(hStaff), 1);
    EXPECT_EQ(EXGroupGetID(hAdmins), 2);
    USER_OBJECT* hGina = EXUserFindByName(m_hbrd, "gina", &st);
    USER_OBJECT* hHank = EXUserFindByName(m_hbrd, "hank", &st);
    EXGroupAddUser(hStaff, hGina, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXGroupAddUser(hStaff, hGina, &st);
    EXPECT_EQ(st, EXSM_ALREADY_EXISTS);
    EXGroupAddUser(hAdmins, hGina, &st);
    EXGroupAddUser(hStaff, hHank, &st);
    EXGroupContainsUser(hStaff, hHank, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXGroupContainsUser(hAdmins, hHank, &st);
    EXPECT_EQ(st, EXSM_DOES_NOT_EXIST);
    EXGroupRemoveUser(hAdmins, hHank, &st);
    EXPECT_EQ(st, EXSM_DOES_NOT_EXIST);
    EXGroupAddUser(hStaff, nullptr, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);

    USER_ITERATOR* pMembers = EXGroupGetUsers(hStaff, &st);
    EXPECT_EQ(EXUserIteratorCount(pMembers), 2);
    EXUserIteratorRelease(pMembers, 1);
    GROUP_ITERATOR* pGroups = EXUserGetGroups(hGina, &st);
    EXPECT_EQ(EXGroupIteratorCount(pGroups), 2);
    EXGroupIteratorRelease(pGroups, 1);
    GROUP_ITERATOR* pAll = EXBoardGetGroups(m_hbrd, &st);
    ASSERT_EQ(EXGroupIteratorCount(pAll), 2);
    EX_GROUPINFO gi{};
    EXGroupGetInfo(EXGroupIteratorFirst(pAll), &gi, &st);
    EXPECT_EQ(Text(gi.hName), "admins");
    FreeStr(gi.hName);
    FreeStr(gi.hDescription);
    FreeStr(gi.hEmailAddr);
    EXGroupIteratorRelease(pAll, 1);

    EXGroupRemoveUser(hStaff, hGina, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    pGroups = EXUserGetGroups(hGina, &st);
    EXPECT_EQ(EXGroupIteratorCount(pGroups), 1);
    EXGroupIteratorRelease(pGroups, 1);

    // Destroying a group drops its memberships; destroying a user drops the user.
    EXGroupDestroy(hStaff, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    GROUP_OBJECT* hGone = EXGroupFindByName(m_hbrd, "staff", &st);
    EXPECT_EQ(hGone, nullptr);
    EXPECT_EQ(st, EXSM_DOES_NOT_EXIST);
    EXUserDestroy(hHank, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(EXUserFindByName(m_hbrd, "hank", &st), nullptr);
    EXPECT_EQ(qn::test::ReadFile(m_dir.file("cat.ini")).find("hank="), std::string::npos);
    EXGroupRelease(hAdmins, &st);
    EXUserRelease(hGina, &st);
}

TEST_F(UsersTest, ResourcesCreateFindChangeDestroy) {
    EXSM_STATUS st;
    auto make = [&](const char* pszPath) {
        EX_RESOURCEINFO info{};
        info.wResourceType = 1;
        info.wResourceSubType = 2;
        std::strcpy(info.szDomain, "WORK");
        std::strcpy(info.szServer, "files");
        std::strcpy(info.szShareName, "docs");
        info.hLocalPath = pszPath ? Str(pszPath) : nullptr;
        RESOURCE_OBJECT* h = EXResourceCreate(m_hbrd, &info, &st);
        EXPECT_EQ(st, EXSM_SUCCESS);
        FreeStr(info.hLocalPath);
        return std::make_pair(h, info.dwResourceID);
    };
    auto [h1, id1] = make("/mnt/docs");
    auto [h2, id2] = make("/media/docs");
    auto [h3, id3] = make(nullptr);
    EXPECT_EQ(id1, 1u);
    EXPECT_EQ(id2, 2u);

    EX_RESOURCEINFO pattern{};
    pattern.wResourceType = 1;
    pattern.wResourceSubType = 2;
    std::strcpy(pattern.szDomain, "work");
    std::strcpy(pattern.szServer, "FILES");
    std::strcpy(pattern.szShareName, "Docs");
    struct Case {
        const char* pszPath;
        uint32_t dwExpected;
    } aCases[] = {{"/MEDIA/docs", id2}, {"/mnt/docs", id1}, {nullptr, id3}, {"", 0}};
    for (const Case& c : aCases) {
        pattern.hLocalPath = c.pszPath ? Str(c.pszPath) : nullptr;
        RESOURCE_OBJECT* h = EXResourceFind(m_hbrd, &pattern, &st);
        if (c.dwExpected == 0) {
            EXPECT_EQ(h, nullptr);
            EXPECT_EQ(st, EXSM_DOES_NOT_EXIST);
        } else {
            ASSERT_NE(h, nullptr) << (c.pszPath ? c.pszPath : "(null)");
            EX_RESOURCEINFO got{};
            EXResourceGetInfo(h, &got, &st);
            EXPECT_EQ(got.dwResourceID, c.dwExpected);
            FreeStr(got.hLocalPath);
            EXResourceRelease(h, &st);
        }
        FreeStr(pattern.hLocalPath);
    }

    EX_RESOURCEINFO change{};
    EXResourceGetInfo(h1, &change, &st);
    FreeStr(change.hLocalPath);
    change.hLocalPath = Str("/srv/docs");
    EXResourceSetInfo(h1, &change, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    FreeStr(change.hLocalPath);
    RESOURCE_OBJECT* hById = EXResourceFindByID(m_hbrd, id1, &st);
    EX_RESOURCEINFO got{};
    EXResourceGetInfo(hById, &got, &st);
    EXPECT_EQ(Text(got.hLocalPath), "/srv/docs");
    FreeStr(got.hLocalPath);
    EXResourceRelease(hById, &st);

    EXPECT_EQ(EXResourceDestroy(h1, &st), nullptr);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(EXResourceFindByID(m_hbrd, id1, &st), nullptr);
    EXPECT_EQ(st, EXSM_DOES_NOT_EXIST);
    EXResourceRelease(h2, &st);
    EXResourceRelease(h3, &st);
}

TEST_F(UsersTest, ARenamedUserKeepsItsConfigurationFile) {
    EXSM_STATUS st;
    AddUser(m_hbrd, "ivan", "pw");
    EXPrefsSetString(m_hbrd, 1, "probe", "k", "v");  // the catalog file exists
    USER_OBJECT* h = EXUserFindByName(m_hbrd, "ivan", &st);
    EX_USERINFO info{};
    EXUserGetInfo(h, &info, &st);
    FreeStr(info.hName);
    info.hName = Str("ivan the renamed");
    EXUserSetInfo(h, &info, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    FreeUserInfo(&info);
    EXUserRelease(h, &st);
    std::string strIni = qn::test::ReadFile(m_dir.file("cat.ini"));
    EXPECT_NE(strIni.find("ivan the renamed=ivan"), std::string::npos) << strIni;
    EXPECT_EQ(strIni.find("\nivan=ivan"), std::string::npos) << strIni;
    EXSM_STATUS st2;
    EXBoardClose(m_hbrd, &st2);
    m_hbrd = Open("ivan the renamed", "pw", &st);
    ASSERT_NE(m_hbrd, nullptr) << EXStatusText(st);
    EXPrefsSetString(m_hbrd, 0, "Mine", "k", "v");
    EXPECT_NE(qn::test::ReadFile(m_dir.file("ivan.ini")).find("[Mine]"), std::string::npos);
}

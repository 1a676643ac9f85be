// Older catalogs: the versions an open accepts, the upgrade of an exclusive open, the folders and
// Quick Lists made at the first open after it, and upgrades killed half-way.
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "catalog_fixture.h"
#include "config.h"
#include "firstopen.h"
#include "item_helpers.h"
#include "platform/profile.h"

using namespace cstest;
using namespace catstore;
namespace profile = qn::platform::profile;

namespace {

// ---- The catalog file through SQLite itself, while no one has it open ----

void Sql(const std::string& strPath, const std::string& strSql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(strPath.c_str(), &db), SQLITE_OK);
    char* pszError = nullptr;
    int rc = sqlite3_exec(db, strSql.c_str(), nullptr, nullptr, &pszError);
    std::string strError = pszError != nullptr ? pszError : "";
    sqlite3_free(pszError);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << strError << " in " << strSql;
}

int64_t SqlInt(const std::string& strPath, const std::string& strSql) {
    sqlite3* db = nullptr;
    sqlite3_stmt* st = nullptr;
    int64_t v = -1;
    if (sqlite3_open(strPath.c_str(), &db) == SQLITE_OK &&
        sqlite3_prepare_v2(db, strSql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
        v = sqlite3_column_int64(st, 0);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return v;
}

std::vector<std::string> SqlRows(const std::string& strPath, const std::string& strSql) {
    sqlite3* db = nullptr;
    sqlite3_stmt* st = nullptr;
    std::vector<std::string> rows;
    if (sqlite3_open(strPath.c_str(), &db) == SQLITE_OK &&
        sqlite3_prepare_v2(db, strSql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW) {
            std::string strRow;
            for (int i = 0; i < sqlite3_column_count(st); ++i) {
                const unsigned char* p = sqlite3_column_text(st, i);
                strRow += std::string(p != nullptr ? reinterpret_cast<const char*>(p) : "") + "|";
            }
            rows.push_back(strRow);
        }
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

// Clears slots of a database-address array column (BOARDITEMS, USERITEMS) in the rows chosen.
void ClearSlots(const std::string& strPath, const std::string& strTable,
                const std::string& strColumn, const std::string& strWhere,
                std::initializer_list<int> slots) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(strPath.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    std::string strSelect =
        "SELECT slot, " + strColumn + " FROM " + strTable + " WHERE " + strWhere;
    ASSERT_EQ(sqlite3_prepare_v2(db, strSelect.c_str(), -1, &st, nullptr), SQLITE_OK);
    std::vector<std::pair<int64_t, std::string>> rows;
    while (sqlite3_step(st) == SQLITE_ROW) {
        rows.emplace_back(sqlite3_column_int64(st, 0),
                          std::string(static_cast<const char*>(sqlite3_column_blob(st, 1)),
                                      static_cast<size_t>(sqlite3_column_bytes(st, 1))));
    }
    sqlite3_finalize(st);
    ASSERT_FALSE(rows.empty());
    std::string strUpdate = "UPDATE " + strTable + " SET " + strColumn + "=?1 WHERE slot=?2";
    ASSERT_EQ(sqlite3_prepare_v2(db, strUpdate.c_str(), -1, &st, nullptr), SQLITE_OK);
    for (auto& [slot, blob] : rows) {
        for (int n : slots) {
            ASSERT_GE(blob.size(), static_cast<size_t>(n * 4 + 4));
            blob.replace(static_cast<size_t>(n) * 4, 4, 4, '\0');
        }
        sqlite3_bind_blob(st, 1, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(st, 2, slot);
        EXPECT_EQ(sqlite3_step(st), SQLITE_DONE);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
}

uint32_t Crc(const std::string& str) {
    return CDbContext::Checksum(str.data(), str.size());
}

std::string SlotName(USER_OBJECT* hUser, int nSlot) {
    EXSM_STATUS st;
    ITEM_OBJECT* h = EXUserGetItem(hUser, nSlot, &st);
    std::string strName = h != nullptr ? NameOf(h) : "";
    EXItemRelease(h, &st);
    return strName;
}

uint32_t SlotId(USER_OBJECT* hUser, int nSlot) {
    EXSM_STATUS st;
    ITEM_OBJECT* h = EXUserGetItem(hUser, nSlot, &st);
    uint32_t dwId = h != nullptr ? IdOf(h) : 0;
    EXItemRelease(h, &st);
    return dwId;
}

const char* const ASSERTION_TEXT =
    "Assertion (!IS_EXERROR(pStatus)) failed in .\\EXSM\r\n\r\nPlease report this problem to "
    "Customer Support...Thank You";

class UpgradeTest : public CatalogTest {
  protected:
    std::string m_strLog = m_dir.file("quillon.log");
    uint16_t m_wAnn = 0;

    void SetUp() override { LogTo(m_strLog); }

    std::string Log() { return qn::test::ReadFile(m_strLog); }

    // A catalog with the user ann, the bookmark 12 with an attachment and a repository, the
    // bookmark 20 that only ann sees, and the change entries of an item 30 that is gone.
    void MakeOldCatalog(const std::string& strFile = "cat.vfc") {
        m_strPath = m_dir.file(strFile);
        MakeCatalog();
        BOARD_OBJECT* hbrd = Open();
        ASSERT_NE(hbrd, nullptr);
        m_wAnn = AddUser(hbrd, "ann", "pw");
        ASSERT_NE(m_wAnn, 0);
        DB_ITEM a;
        std::strcpy(a.item.itemname, "twelve");
        a.item.type = 1;
        a.item.itemparentid = 1;
        a.item.itemid = 12;
        a.item.itemaccess.itemaccesslevel = 1;
        a.attach.atttype = 2;
        std::strcpy(a.attach.attnamepath, "/Pages/Index.HTML");
        a.repos.repositorytype = 1;
        a.vsiReposLocation.value = "Repository Location";
        ASSERT_EQ(ItemCreate(hbrd->pdb, &a, ChangeEntryNotifier, hbrd), DBSuccess);
        ASSERT_EQ(Copy(a.item.itemid), 12u);
        DB_ITEM b;
        std::strcpy(b.item.itemname, "twenty");
        b.item.type = 1;
        b.item.itemparentid = 1;
        b.item.itemid = 20;
        b.item.itemaccess.itemaccesslevel = 3;
        b.item.itemaccess.itemaccessgrouporuserid = m_wAnn;
        ASSERT_EQ(ItemCreate(hbrd->pdb, &b, ChangeEntryNotifier, hbrd), DBSuccess);
        ASSERT_EQ(Copy(b.item.itemid), 20u);
        DB_ITEM gone;
        std::strcpy(gone.item.itemname, "gone");
        gone.item.type = 1;
        gone.item.itemparentid = 1;
        gone.item.itemid = 30;
        ASSERT_EQ(ItemCreate(hbrd->pdb, &gone, ChangeEntryNotifier, hbrd), DBSuccess);
        ASSERT_EQ(DestroyStoredItem(hbrd, 30), DBSuccess);
        EXSM_STATUS st;
        EXBoardClose(hbrd, &st);
    }

    template <typename T>
    static T Copy(T v) {
        return v;
    }

    void Stamp(int nVersion) {
        Sql(m_strPath, "UPDATE db_boardrec SET boardversion=" + std::to_string(nVersion));
    }

    // The shape of a version-5 catalog: change entries without their item's access, the older
    // dictionary, and keys missing (two indexes and an optional-key table).
    void ShapeVersion5() {
        Sql(m_strPath,
            "ALTER TABLE db_changeentryrec DROP COLUMN changeaccess;"
            "DELETE FROM dbms_fields WHERE name='CHANGEACCESS';"
            "UPDATE dbms_info SET value='F0.05' WHERE key='version';"
            "DROP INDEX key_itemid; DROP INDEX key_username; DROP TABLE key_attfilekey;"
            "UPDATE db_boardrec SET boardversion=5;");
    }

    // Stale checksums everywhere UpgradeCRCValues looks, with optional-key entries that match
    // the stale values.
    void DamageChecksums() {
        Sql(m_strPath,
            "UPDATE db_attachrec SET attnamecrc=12345, attreposcrc=999;"
            "UPDATE db_repositoryrec SET repositorylocationcrc=777;"
            "UPDATE key_attreposkey SET attreposcrc=999;"
            "UPDATE db_folderrec SET folderlocationnamepath='/Watched/Dir', "
            "folderlocationnamecrc=5 WHERE slot=(SELECT min(slot) FROM db_folderrec);");
    }

    void WriteHotList(const char* pszUserID, const char* pszNumItems, const char* pszItems) {
        std::string strIni = m_dir.file(std::string(pszUserID) + ".ini");
        ASSERT_TRUE(profile::WriteString("HotList", "NumItems", pszNumItems, strIni.c_str()));
        ASSERT_TRUE(profile::WriteString("HotList", "Items", pszItems, strIni.c_str()));
    }

    BOARD_OBJECT* OpenIn(int nMode, EXSM_STATUS* pst) {
        return EXBoardOpen(m_strPath.c_str(), "SYSTEM", "", nMode, 0, 0, 0, nullptr, pst);
    }

    int64_t Version() { return SqlInt(m_strPath, "SELECT boardversion FROM db_boardrec"); }

    // The ids the user's Quick List refers to, in the order they were added.
    std::vector<std::string> QuickListTargets(uint32_t dwQuickList) {
        return SqlRows(m_strPath,
                       "SELECT itemrefdstitemid FROM db_itemrefrec WHERE "
                       "itemrefsrcitemid=" +
                           std::to_string(dwQuickList) + " ORDER BY slot");
    }

    // The engine's own check of sets, keys and dictionary.
    void ExpectEngineCheckClean() {
        qn::dbms::CDbTask task;
        ASSERT_EQ(task.Open(m_strPath.c_str(), "s"), qn::dbms::S_OKAY);
        qn::dbms::CheckReport report;
        EXPECT_EQ(task.CheckCatalog(&report), qn::dbms::S_OKAY)
            << (report.messages.empty() ? "" : report.messages[0]);
        EXPECT_EQ(report.errors, 0u);
    }
};

}  // namespace

// Every stored version against every open mode: only an exclusive open upgrades, and every
// refusal leaves the file as it was, byte for byte.
TEST_F(UpgradeTest, VersionsOpenUpgradeOrAreRefusedUnchanged) {
    struct Case {
        int nVersion;
        bool fUpgradable;
    };
    const Case aCases[] = {{5, true},   {7, true},  {9, true},   {11, true},
                           {13, false}, {1, false}, {10, false}, {65535, false}};
    for (const Case& c : aCases) {
        SCOPED_TRACE("version " + std::to_string(c.nVersion));
        MakeOldCatalog("v" + std::to_string(c.nVersion) + ".vfc");
        if (c.nVersion == 5) {
            ShapeVersion5();
        } else {
            Stamp(c.nVersion);
        }
        const std::string strBefore = qn::test::ReadFile(m_strPath);
        for (int nMode : {EX_OPEN_ONEUSER, EX_OPEN_SHARED}) {
            EXSM_STATUS st;
            EXPECT_EQ(OpenIn(nMode, &st), nullptr);
            EXPECT_EQ(st, EXSM_INVALID_CATALOG_FILE);
            EXPECT_TRUE(qn::test::ReadFile(m_strPath) == strBefore) << "mode " << nMode;
        }
        EXSM_STATUS st;
        BOARD_OBJECT* hbrd = OpenIn(EX_OPEN_EXCLUSIVE, &st);
        if (!c.fUpgradable) {
            EXPECT_EQ(hbrd, nullptr);
            EXPECT_EQ(st, EXSM_INVALID_CATALOG_FILE);
            EXPECT_TRUE(qn::test::ReadFile(m_strPath) == strBefore);
            continue;
        }
        ASSERT_NE(hbrd, nullptr) << EXStatusText(st);
        EXBoardClose(hbrd, &st);
        EXPECT_EQ(Version(), 12);
        // Upgraded once: the next opens, shared too, take it as it is.
        BOARD_OBJECT* hAgain = OpenIn(EX_OPEN_SHARED, &st);
        EXPECT_NE(hAgain, nullptr) << EXStatusText(st);
        EXBoardClose(hAgain, &st);
        ExpectEngineCheckClean();
    }
}

// Checksums and their optional keys are made again from the stored texts for every older
// version; the catalog id is new for 7, and for 11 only when it was 0.
TEST_F(UpgradeTest, ChecksumsKeysAndCatalogIdAreRenewed) {
    struct Case {
        int nVersion;
        bool fZeroId;
        bool fNewId;
    };
    const Case aCases[] = {{5, false, false},
                           {7, false, true},
                           {9, false, false},
                           {11, false, false},
                           {11, true, true}};
    for (const Case& c : aCases) {
        SCOPED_TRACE("version " + std::to_string(c.nVersion) + (c.fZeroId ? ", id 0" : ""));
        MakeOldCatalog("crc" + std::to_string(c.nVersion) + (c.fZeroId ? "z" : "") + ".vfc");
        DamageChecksums();
        if (c.fZeroId) {
            Sql(m_strPath, "UPDATE db_boardrec SET boardid=0");
        }
        if (c.nVersion == 5) {
            ShapeVersion5();
        } else {
            Stamp(c.nVersion);
        }
        const int64_t nOldId = SqlInt(m_strPath, "SELECT boardid FROM db_boardrec");
        const int64_t cFolders = SqlInt(m_strPath, "SELECT count(*) FROM db_folderrec");
        const std::string strLine = "UPGRADE: Processed 1 attachment, " + std::to_string(cFolders) +
                                    " folder, and 1 repository records\r\n";
        const size_t cLinesBefore = CountOf(Log(), strLine);
        EXSM_STATUS st;
        BOARD_OBJECT* hbrd = OpenIn(EX_OPEN_EXCLUSIVE, &st);
        ASSERT_NE(hbrd, nullptr) << EXStatusText(st);
        EX_ITEMLOCATOR byPath{0, "/PAGES/index.html"};
        ITEM_OBJECT* h = EXItemFindByAttachmentName(hbrd, &byPath, nullptr, 0, &st);
        EXPECT_EQ(st, EXSM_SUCCESS);
        EXPECT_EQ(h != nullptr ? IdOf(h) : 0u, 12u);
        EXItemRelease(h, &st);
        EX_ITEMLOCATOR byRepos{0, "Repository Location"};
        h = EXItemFindByRepository(hbrd, &byRepos, nullptr, 0, &st);
        EXPECT_EQ(st, EXSM_SUCCESS);
        EXPECT_EQ(h != nullptr ? IdOf(h) : 0u, 12u);
        EXItemRelease(h, &st);
        EXBoardClose(hbrd, &st);

        EXPECT_EQ(SqlInt(m_strPath, "SELECT attnamecrc FROM db_attachrec"),
                  Crc("/pages/index.html"));
        EXPECT_EQ(SqlInt(m_strPath, "SELECT attreposcrc FROM db_attachrec"),
                  Crc("Repository Location"));
        EXPECT_EQ(SqlInt(m_strPath, "SELECT repositorylocationcrc FROM db_repositoryrec"),
                  Crc("Repository Location"));
        EXPECT_EQ(SqlInt(m_strPath, "SELECT count(*) FROM key_attfilekey"), 1);
        EXPECT_EQ(SqlInt(m_strPath, "SELECT count(*) FROM key_attreposkey WHERE attreposcrc=999"),
                  0);
        EXPECT_EQ(SqlInt(m_strPath,
                         "SELECT folderlocationnamecrc FROM db_folderrec WHERE "
                         "folderlocationnamepath='/Watched/Dir'"),
                  Crc("/watched/dir"));
        const int64_t nNewId = SqlInt(m_strPath, "SELECT boardid FROM db_boardrec");
        if (c.fNewId) {
            EXPECT_NE(nNewId, nOldId);
            EXPECT_NE(nNewId, 0);
        } else {
            EXPECT_EQ(nNewId, nOldId);
        }
        EXPECT_EQ(CountOf(Log(), strLine), cLinesBefore + 1);
        ExpectEngineCheckClean();
    }
}

// Version 5: the engine migrates the schema in place (the missing column, dictionary and keys
// come back, nothing stored is lost) and each change entry gets its item's access.
TEST_F(UpgradeTest, Version5IsMigratedInPlaceWithItsChangeEntries) {
    MakeOldCatalog();
    const int64_t cEntries = SqlInt(m_strPath, "SELECT count(*) FROM db_changeentryrec");
    const int64_t cFound = SqlInt(m_strPath,
                                  "SELECT count(*) FROM db_changeentryrec WHERE changeitemid IN "
                                  "(SELECT itemid FROM db_itemrec)");
    const std::vector<std::string> items =
        SqlRows(m_strPath, "SELECT slot, itemid, itemname FROM db_itemrec ORDER BY slot");
    ShapeVersion5();
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = OpenIn(EX_OPEN_EXCLUSIVE, &st);
    ASSERT_NE(hbrd, nullptr) << EXStatusText(st);
    ITEM_OBJECT* h = FindItem(hbrd, 20);
    EXPECT_NE(h, nullptr);
    EXItemRelease(h, &st);
    EXBoardClose(hbrd, &st);

    EXPECT_EQ(SqlRows(m_strPath, "SELECT value FROM dbms_info WHERE key='version'"),
              std::vector<std::string>{"F1.00|"});
    EXPECT_EQ(SqlInt(m_strPath,
                     "SELECT count(*) FROM sqlite_master WHERE name IN "
                     "('key_itemid','key_username','key_attfilekey')"),
              3);
    EXPECT_EQ(SqlInt(m_strPath, "SELECT count(*) FROM dbms_fields WHERE name='CHANGEACCESS'"), 1);
    // The items of the old catalog are all there; new ones (the first-open folders) follow.
    std::vector<std::string> after =
        SqlRows(m_strPath, "SELECT slot, itemid, itemname FROM db_itemrec ORDER BY slot");
    ASSERT_GE(after.size(), items.size());
    after.resize(items.size());
    EXPECT_EQ(after, items);
    // The entries that were there: the access of their item, level 1 for the item gone.
    const uint32_t dwAnnOnly = 3u | (static_cast<uint32_t>(m_wAnn) << 16);
    EXPECT_GT(SqlInt(m_strPath, "SELECT count(*) FROM db_changeentryrec WHERE changeitemid=20"), 0);
    EXPECT_EQ(SqlInt(m_strPath,
                     "SELECT count(*) FROM db_changeentryrec WHERE changeitemid=20 AND "
                     "changeaccess<>" +
                         std::to_string(dwAnnOnly)),
              0);
    EXPECT_EQ(SqlInt(m_strPath,
                     "SELECT count(*) FROM db_changeentryrec WHERE changeitemid=30 AND "
                     "changeaccess<>1"),
              0);
    EXPECT_EQ(CountOf(Log(), "UPGRADE: " + std::to_string(cEntries) + " Change Entries; " +
                                 std::to_string(cFound) + " Items Found; " +
                                 std::to_string(cEntries - cFound) + " Items ~Found\r\n"),
              1u);
    ExpectEngineCheckClean();
}

// A version-5 catalog whose keys cannot be rebuilt (two items with one id) is refused after its
// log line, and stays as it was for the next try.
TEST_F(UpgradeTest, FailedMigrationLeavesTheOldCatalog) {
    MakeOldCatalog();
    ShapeVersion5();
    Sql(m_strPath, "UPDATE db_itemrec SET itemid=12 WHERE itemid=20");
    const std::string strBefore = qn::test::ReadFile(m_strPath);
    for (int nTry = 0; nTry < 2; ++nTry) {
        EXSM_STATUS st;
        EXPECT_EQ(OpenIn(EX_OPEN_EXCLUSIVE, &st), nullptr);
        EXPECT_EQ(st, EXSM_INVALID_CATALOG_FILE);
        EXPECT_EQ(CountOf(Log(), "Unable to create new DB dictionary: '" + m_strPath + "'\r\n"),
                  static_cast<size_t>(nTry + 1));
        EXPECT_TRUE(qn::test::ReadFile(m_strPath) == strBefore);
    }
    // Mended, it upgrades.
    Sql(m_strPath, "UPDATE db_itemrec SET itemid=20 WHERE itemname='twenty'");
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = OpenIn(EX_OPEN_EXCLUSIVE, &st);
    ASSERT_NE(hbrd, nullptr) << EXStatusText(st);
    EXBoardClose(hbrd, &st);
    EXPECT_EQ(Version(), 12);
}

// Addresses that name nothing, or the wrong kind of record, are left to the structure check:
// the upgrade renews what it can and completes.
TEST_F(UpgradeTest, DanglingRepositoryAddressesDoNotStopTheUpgrade) {
    const char* const apszDamage[] = {
        "UPDATE db_attachrec SET attrepository=attrepository+1000",
        "UPDATE db_attachrec SET attrepository=11*16777216+1",
        ("DELETE FROM db_varstringrec WHERE slot IN (SELECT repositorylocationinfo & 16777215 "
         "FROM db_repositoryrec)"),
    };
    int nCase = 0;
    for (const char* pszDamage : apszDamage) {
        SCOPED_TRACE(pszDamage);
        MakeOldCatalog("dangling" + std::to_string(nCase++) + ".vfc");
        DamageChecksums();
        Sql(m_strPath, pszDamage);
        Stamp(7);
        EXSM_STATUS st;
        BOARD_OBJECT* hbrd = OpenIn(EX_OPEN_EXCLUSIVE, &st);
        ASSERT_NE(hbrd, nullptr) << EXStatusText(st);
        EXBoardClose(hbrd, &st);
        EXPECT_EQ(Version(), 12);
        EXPECT_EQ(SqlInt(m_strPath, "SELECT attnamecrc FROM db_attachrec"),
                  Crc("/pages/index.html"));
        EXPECT_EQ(SqlInt(m_strPath, "SELECT count(*) FROM key_attfilekey WHERE attnamecrc=" +
                                        std::to_string(Crc("/pages/index.html"))),
                  1);
    }
}

// The first open after an upgrade makes the built-in catalog folders and every user's missing
// folders in their slots; no record that was there is written.
TEST_F(UpgradeTest, FirstOpenMakesMissingFoldersAndChangesNothingElse) {
    MakeOldCatalog();
    ClearSlots(m_strPath, "db_boardrec", "boarditems", "1", {0, 1, 2});
    ClearSlots(m_strPath, "db_userrec", "useritems", "username='ann'", {0, 6, 7, 8});
    Stamp(9);
    // The root is written back into slot 0; no other record that was there is written.
    const std::string strNotRoot =
        "SELECT slot, stamp FROM db_itemrec WHERE itemid<>1 ORDER BY slot";
    const std::vector<std::string> before = SqlRows(m_strPath, strNotRoot);
    // The root's folder record, the first made, is written with it.
    const std::string strNotRootFolder =
        "SELECT slot, stamp FROM db_folderrec WHERE slot>1 ORDER BY slot";
    const std::vector<std::string> foldersBefore = SqlRows(m_strPath, strNotRootFolder);
    const std::string strAnnItems =
        SqlRows(m_strPath, "SELECT hex(useritems) FROM db_userrec WHERE username='ann'")[0];
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = OpenIn(EX_OPEN_EXCLUSIVE, &st);
    ASSERT_NE(hbrd, nullptr) << EXStatusText(st);

    ITEM_OBJECT* hRoot = EXBoardGetItem(hbrd, 0, &st);
    ASSERT_NE(hRoot, nullptr);
    EXPECT_EQ(IdOf(hRoot), 1u);
    EXItemRelease(hRoot, &st);
    for (int nSlot : {1, 2}) {
        ITEM_OBJECT* h = EXBoardGetItem(hbrd, nSlot, &st);
        ASSERT_NE(h, nullptr) << nSlot;
        EXPECT_EQ(NameOf(h), nSlot == 1 ? "Zelto Folders Root" : "Zelto Files Catalog");
        EXPECT_EQ(StoredItem(hbrd, IdOf(h)).item.itemparentid, 1u);
        EXItemRelease(h, &st);
    }
    struct Slot {
        int nSlot;
        const char* pszName;
    };
    const Slot aSlots[] = {{0, "Quick List"},    {1, "Web Monitor"},     {2, "Briefcase"},
                           {3, "Zelto Folders"}, {4, "Monitored Items"}, {6, "Quick List"},
                           {7, "Web Realms"},    {8, "Zelto Agents"}};
    for (const char* pszUser : {"SYSTEM", "ann"}) {
        USER_OBJECT* hUser = EXUserFindByName(hbrd, pszUser, &st);
        ASSERT_NE(hUser, nullptr);
        for (const Slot& s : aSlots) {
            EXPECT_EQ(SlotName(hUser, s.nSlot), s.pszName) << pszUser << " slot " << s.nSlot;
        }
        EXPECT_EQ(SlotId(hUser, 6), SlotId(hUser, 0)) << pszUser;
        EXUserRelease(hUser, &st);
    }
    EXBoardClose(hbrd, &st);

    std::vector<std::string> after = SqlRows(m_strPath, strNotRoot);
    ASSERT_GT(after.size(), before.size());
    after.resize(before.size());
    EXPECT_EQ(after, before);
    std::vector<std::string> foldersAfter = SqlRows(m_strPath, strNotRootFolder);
    foldersAfter.resize(foldersBefore.size());
    EXPECT_EQ(foldersAfter, foldersBefore);
    // Ann's filled slots keep what they held.
    const std::string strAnnAfter =
        SqlRows(m_strPath, "SELECT hex(useritems) FROM db_userrec WHERE username='ann'")[0];
    for (int nSlot : {1, 2, 3, 4}) {
        EXPECT_EQ(strAnnAfter.substr(static_cast<size_t>(nSlot) * 8, 8),
                  strAnnItems.substr(static_cast<size_t>(nSlot) * 8, 8));
    }
    ExpectEngineCheckClean();
}

// The hot list "12;0/15;0/": 12 exists, 15 does not; the count line gives the stored count.
TEST_F(UpgradeTest, HotListBecomesQuickListReferences) {
    MakeOldCatalog();
    WriteHotList("ann", "2", "12;0/15;0/");
    ClearSlots(m_strPath, "db_userrec", "useritems", "username='ann'", {0, 6});
    Stamp(11);
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = OpenIn(EX_OPEN_EXCLUSIVE, &st);
    ASSERT_NE(hbrd, nullptr) << EXStatusText(st);
    USER_OBJECT* hAnn = EXUserFindByName(hbrd, "ann", &st);
    ASSERT_NE(hAnn, nullptr);
    const uint32_t dwQuickList = SlotId(hAnn, 0);
    EXUserRelease(hAnn, &st);
    EXBoardClose(hbrd, &st);

    EXPECT_EQ(QuickListTargets(dwQuickList), std::vector<std::string>{"12|"});
    const std::string strLog = Log();
    char achError[96];
    std::snprintf(achError, sizeof achError, "Error #%d detected on hot list item IID=15\r\n",
                  static_cast<int>(EXSM_DOES_NOT_EXIST));
    EXPECT_EQ(CountOf(strLog, achError), 1u);
    EXPECT_EQ(CountOf(strLog, ASSERTION_TEXT), 1u);
    EXPECT_EQ(CountOf(strLog, "2 items converted from \"" + m_dir.file("ann.ini") + "\"\r\n"), 1u);
    // SYSTEM had no folders at all: its new Quick List converts an empty hot list.
    EXPECT_EQ(CountOf(strLog, "0 items converted from \"" + m_dir.file("system.ini") + "\"\r\n"),
              1u);
    // The error line comes before the count line of the same list.
    EXPECT_LT(strLog.find(achError), strLog.find("2 items converted from"));
}

// Hot lists an old writer or a damaged file may hold: only complete pairs inside the bound of
// NumItems x 30 bytes count, and nothing fails the open.
TEST_F(UpgradeTest, DamagedHotListsConvertOnlyWhatIsWhole) {
    struct Case {
        const char* pszNumItems;
        const char* pszItems;
        std::vector<std::string> targets;
        const char* pszCount;
        size_t cAssertions;
    };
    const Case aCases[] = {
        // 29 bytes fit: the last pair is cut in the middle.
        {"1", "20;0/20;0/20;0/20;0/20;0/12;0/", {"20|"}, "1", 0},
        {"-4", "12;0/", {}, "0", 0},
        {"2000000000", "12;0/", {}, "2000000000", 1},
        {"3", "x;0/;;;//99999999999;0/12\t5 20", {"12|"}, "3", 0},
        {"2", "12;0/12;0/20;0", {"12|", "20|"}, "2", 0},
    };
    int nCase = 0;
    for (const Case& c : aCases) {
        SCOPED_TRACE(std::string("NumItems ") + c.pszNumItems + ", Items " + c.pszItems);
        std::string strDir = m_dir.file("case" + std::to_string(nCase++));
        ASSERT_EQ(mkdir(strDir.c_str(), 0700), 0);
        MakeOldCatalog("case" + std::to_string(nCase - 1) + "/cat.vfc");
        std::string strIni = strDir + "/ann.ini";
        ASSERT_TRUE(profile::WriteString("HotList", "NumItems", c.pszNumItems, strIni.c_str()));
        ASSERT_TRUE(profile::WriteString("HotList", "Items", c.pszItems, strIni.c_str()));
        ClearSlots(m_strPath, "db_userrec", "useritems", "username='ann'", {0});
        Stamp(9);
        const size_t cAssertionsBefore = CountOf(Log(), ASSERTION_TEXT);
        EXSM_STATUS st;
        BOARD_OBJECT* hbrd = OpenIn(EX_OPEN_EXCLUSIVE, &st);
        ASSERT_NE(hbrd, nullptr) << EXStatusText(st);
        USER_OBJECT* hAnn = EXUserFindByName(hbrd, "ann", &st);
        const uint32_t dwQuickList = SlotId(hAnn, 0);
        EXUserRelease(hAnn, &st);
        EXBoardClose(hbrd, &st);
        EXPECT_EQ(QuickListTargets(dwQuickList), c.targets);
        const std::string strLog = Log();
        EXPECT_EQ(CountOf(strLog,
                          std::string(c.pszCount) + " items converted from \"" + strIni + "\"\r\n"),
                  1u);
        EXPECT_EQ(CountOf(strLog, ASSERTION_TEXT) - cAssertionsBefore, c.cAssertions);
    }
}

TEST(HotListText, CompletePairsOnly) {
    struct Case {
        const char* pszText;
        bool fCut;
        std::vector<uint32_t> ids;
    };
    const Case aCases[] = {
        {"12;0/15;0/", false, {12, 15}},
        {"12;0/15;0", false, {12, 15}},
        {"12;0/15;0", true, {12}},
        {"12;0/15", false, {12}},
        {"12 0\t15\t7/", false, {12, 15}},
        {"//  12;0//", false, {12}},
        {";0/;;/abc;1/1x;2/", false, {}},
        {"4294967295;0/4294967296;0/", false, {4294967295u}},
        {"7;0/7;1/8;0/7;0/", false, {7, 8}},
        {"", false, {}},
        {"12", true, {}},
    };
    for (const Case& c : aCases) {
        EXPECT_EQ(ParseHotList(c.pszText, c.fCut), c.ids) << c.pszText << (c.fCut ? " cut" : "");
    }
}

// An upgrade killed at any moment leaves the old catalog (which the next exclusive open
// upgrades) or the whole upgraded one: never a half, never a hot list converted twice.
TEST_F(UpgradeTest, KilledUpgradeLeavesTheOldOrTheWholeCatalog) {
    MakeOldCatalog();
    {
        // Enough records for the upgrade to take a while.
        BOARD_OBJECT* hbrd = Open();
        ASSERT_NE(hbrd, nullptr);
        CStoreTransaction tx(hbrd->pdb, "fill", ItemWritePacket());
        DBStatus dbs = tx.Status();
        for (int i = 0; dbs == DBSuccess && i < 300; ++i) {
            DB_ITEM item;
            std::snprintf(item.item.itemname, sizeof item.item.itemname, "filler %d", i);
            item.item.type = 1;
            item.item.itemparentid = 1;
            item.attach.atttype = 2;
            std::snprintf(item.attach.attnamepath, sizeof item.attach.attnamepath, "/f/%d", i);
            dbs = ItemCreate(hbrd->pdb, &item, ChangeEntryNotifier, hbrd);
        }
        ASSERT_EQ(tx.Finish(dbs), DBSuccess);
        EXSM_STATUS st;
        EXBoardClose(hbrd, &st);
    }
    WriteHotList("ann", "2", "12;0/20;0/");
    ClearSlots(m_strPath, "db_userrec", "useritems", "username='ann'", {0, 6});
    DamageChecksums();
    ShapeVersion5();
    const std::string strOld = qn::test::ReadFile(m_strPath);
    const int64_t cItems = SqlInt(m_strPath, "SELECT count(*) FROM db_itemrec");
    const int64_t cQuickLists =
        SqlInt(m_strPath, "SELECT count(*) FROM db_itemrec WHERE itemname='Quick List'");

    auto restore = [&]() {
        for (const char* pszSuffix : {"-wal", "-shm"}) {
            std::remove((m_strPath + pszSuffix).c_str());
        }
        qn::test::WriteFile(m_strPath, strOld);
    };
    auto upgradeInChild = [&]() {
        return qn::test::ForkChild([&]() {
            EXSM_STATUS s;
            BOARD_OBJECT* h = OpenIn(EX_OPEN_EXCLUSIVE, &s);
            if (h == nullptr) {
                return 10 + static_cast<int>(s);
            }
            pause();
            return 0;
        });
    };
    // How long a whole upgrade takes here, to kill within it.
    auto t0 = std::chrono::steady_clock::now();
    {
        pid_t pid = qn::test::ForkChild([&]() {
            EXSM_STATUS s;
            BOARD_OBJECT* h = OpenIn(EX_OPEN_EXCLUSIVE, &s);
            EXBoardClose(h, &s);
            return h != nullptr ? 0 : 1;
        });
        ASSERT_EQ(qn::test::WaitChild(pid), 0);
    }
    const auto usWhole =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    std::mt19937 random(20261211);
    int cOld = 0;
    for (int nRound = 0; nRound < 12; ++nRound) {
        SCOPED_TRACE("round " + std::to_string(nRound));
        restore();
        pid_t pid = upgradeInChild();
        usleep(static_cast<useconds_t>(random() % static_cast<uint64_t>(usWhole + usWhole / 4)));
        kill(pid, SIGKILL);
        qn::test::WaitChild(pid);
        const int64_t nVersion = Version();
        ASSERT_TRUE(nVersion == 5 || nVersion == 12) << nVersion;
        if (nVersion == 5) {
            ++cOld;
            EXPECT_EQ(SqlInt(m_strPath, "SELECT count(*) FROM db_itemrec"), cItems);
            EXPECT_EQ(SqlInt(m_strPath, "SELECT count(*) FROM db_itemrefrec"), 0);
            EXPECT_EQ(SqlRows(m_strPath, "SELECT value FROM dbms_info WHERE key='version'"),
                      std::vector<std::string>{"F0.05|"});
        }
        EXSM_STATUS st;
        BOARD_OBJECT* hbrd = OpenIn(EX_OPEN_EXCLUSIVE, &st);
        ASSERT_NE(hbrd, nullptr) << EXStatusText(st);
        USER_OBJECT* hAnn = EXUserFindByName(hbrd, "ann", &st);
        const uint32_t dwQuickList = SlotId(hAnn, 0);
        EXUserRelease(hAnn, &st);
        EXBoardClose(hbrd, &st);
        EXPECT_EQ(Version(), 12);
        EXPECT_EQ(QuickListTargets(dwQuickList), (std::vector<std::string>{"12|", "20|"}));
        // Ann's new Quick List and SYSTEM's first one, once each.
        EXPECT_EQ(SqlInt(m_strPath, "SELECT count(*) FROM db_itemrec WHERE itemname='Quick List'"),
                  cQuickLists + 2);
        ExpectEngineCheckClean();
    }
    // The random moments must have caught some upgrades before their commit.
    EXPECT_GT(cOld, 0);
}

// The structure verification on real catalogs: a sound catalog, each kind of damage made in the
// file with the sqlite3 library (found without repair, the file unchanged; repaired; then
// sound), and a verification killed midway.
#include <signal.h>
#include <unistd.h>

#include <functional>
#include <random>
#include <vector>

#include "locks.h"
#include "verify_helpers.h"

using namespace cstest;

namespace {

TEST_F(VerifyTest, SoundCatalogVerifiesWithNoWriteAndNoMarks) {
    const std::string strBefore = FileBytes();
    EXPECT_EQ(Verify(false), 0);
    EXPECT_EQ(FileBytes(), strBefore);
    EXPECT_EQ(Verify(true), 0);
    EXPECT_EQ(FileBytes(), strBefore);
    CCatalogFile file(m_strPath);
    EXPECT_EQ(file.Int("SELECT count(*) FROM db_varstringrec WHERE varstringowner != 0"), 0);
    EXPECT_GT(file.Int("SELECT count(*) FROM db_varstringrec"), 3);
    const std::string strLog = SystemLog();
    EXPECT_NE(strLog.find("Checked integrity of 1 item references; 0 error(s) found"),
              std::string::npos);
    EXPECT_NE(strLog.find("var strings; 0 error(s) found"), std::string::npos);
    EXPECT_EQ(strLog.find("DBBoardVerify: "), std::string::npos) << strLog;
    EXPECT_EQ(access((m_strPath + ".before-repair").c_str(), F_OK), -1);
    // A repair with nothing to do still reports what it checked, as a plain check does.
    const std::string strCatalogLog = CatalogLog();
    const std::string strLine = "Checked integrity of 1 item references; 0 error(s) found\n";
    const size_t nFirst = strCatalogLog.find(strLine);
    ASSERT_NE(nFirst, std::string::npos) << strCatalogLog;
    EXPECT_NE(strCatalogLog.find(strLine, nFirst + 1), std::string::npos) << strCatalogLog;
}

TEST_F(VerifyTest, ACatalogAwaitingItsUpgradeIsNotVerified) {
    {
        CCatalogFile file(m_strPath);
        ASSERT_EQ(file.Exec("UPDATE dbms_info SET value='F0.05' WHERE key='version'"), 1);
    }
    const std::string strBefore = FileBytes();
    for (const bool fRepair : {false, true}) {
        EXPECT_EQ(Verify(fRepair), 50);
        EXPECT_EQ(FileBytes(), strBefore);
    }
    EXPECT_NE(CatalogLog().find("written by an older version"), std::string::npos);
}

}  // namespace

namespace {

// One kind of damage: the statements that make it, a text of the line the verification writes
// for it, and what must hold once it is repaired.
struct Damage {
    const char* pszName;
    std::string strSql;
    const char* pszFinding;
    std::function<void(VerifyTest&, CCatalogFile&)> repaired;
    bool fRecount = false;  // member counts follow the memberships the damage left
    int cOrphanItems = 0;   // texts the repair finds without an owner and adopts
};

const std::string kNoteOf = "(SELECT itemnote FROM db_itemrec WHERE itemname=";

std::vector<Damage> Damages() {
    return {
        {"item unhooked from its folder sets",
         "DELETE FROM dbms_member WHERE setcode IN (20003, 20004) AND member=" + ItemDba("a") +
             "; UPDATE dbms_owner SET members=members-1 WHERE setcode=20003 AND owner=" +
             ItemDba("F"),
         "Unrooted subtree detected",
         [](VerifyTest&, CCatalogFile& f) {
             EXPECT_EQ(f.Int("SELECT owner FROM dbms_member WHERE setcode=20003 AND member=" +
                             ItemDba("a")),
                       f.Int("SELECT " + ItemDba("F")));
         }},
        {"folder record deleted",
         "DELETE FROM db_folderrec WHERE (15 << 24) | slot=(SELECT folderstruct FROM db_itemrec "
         "WHERE itemname='F')",
         "Folder record missing or corrupted",
         [](VerifyTest&, CCatalogFile& f) {
             EXPECT_EQ(f.Int("SELECT count(*) FROM db_folderrec WHERE (15 << 24) | slot=(SELECT "
                             "folderstruct FROM db_itemrec WHERE itemname='F')"),
                       1);
             EXPECT_EQ(f.Int("SELECT type FROM db_itemrec WHERE itemname='F'"), 4);
         }},
        {"missing owner link",
         "UPDATE db_itemrec SET uidowner=(SELECT userid FROM db_userrec WHERE username='alice') "
         "WHERE itemname='c'",
         "Missing owner-item relationship detected",
         [](VerifyTest&, CCatalogFile& f) {
             EXPECT_EQ(f.Int("SELECT owner FROM dbms_member WHERE setcode=20005 AND member=" +
                             ItemDba("c")),
                       f.Int("SELECT (8 << 24) | slot FROM db_userrec WHERE username='alice'"));
         }},
        {"access id naming nobody",
         "UPDATE db_itemrec SET itemaccesslevel=3, itemaccessgrouporuserid=999 WHERE itemname='b'",
         "Access rights Group/User id not found",
         [](VerifyTest&, CCatalogFile& f) {
             // Never opened to everyone: the owner (SYSTEM without one) alone keeps it.
             EXPECT_EQ(f.Int("SELECT itemaccesslevel FROM db_itemrec WHERE itemname='b'"), 3);
             EXPECT_EQ(f.Int("SELECT count(*) FROM db_userrec WHERE userid=(SELECT "
                             "itemaccessgrouporuserid FROM db_itemrec WHERE itemname='b')"),
                       1);
         }},
        {"variable string with a wrong length",
         "UPDATE db_varstringrec SET varstringlength=varstringlength+7 WHERE (14 << 24) | slot=" +
             kNoteOf + "'a')",
         "size mismatch",
         [](VerifyTest& t, CCatalogFile& f) {
             EXPECT_EQ(
                 t.NoteOf(uint32_t(f.Int("SELECT itemid FROM db_itemrec WHERE itemname='a'"))),
                 "note of a");
         }},
        {"variable string with a missing chunk",
         "DELETE FROM db_smallvar WHERE (7 << 24) | slot IN (SELECT member FROM dbms_member WHERE "
         "setcode=20000 AND owner=" +
             kNoteOf + "'b'))",
         "var string set member corruption",
         [](VerifyTest& t, CCatalogFile& f) {
             const std::string strNote =
                 t.NoteOf(uint32_t(f.Int("SELECT itemid FROM db_itemrec WHERE itemname='b'")));
             EXPECT_EQ(strNote, std::string(VerifyTest::kLongNote).substr(0, 256));
         }},
        {"reference without its source",
         "DELETE FROM dbms_member WHERE setcode=20012; DELETE FROM dbms_owner WHERE setcode=20012",
         "item reference without its source item",
         [](VerifyTest&, CCatalogFile& f) {
             EXPECT_EQ(f.Int("SELECT owner FROM dbms_member WHERE setcode=20012"),
                       f.Int("SELECT " + ItemDba("a")));
         }},
        {"attachment outside its set",
         "DELETE FROM dbms_member WHERE setcode=20010; DELETE FROM dbms_owner WHERE setcode=20010",
         "attachment is not a member of DBS_ATTACHMENTS",
         [](VerifyTest&, CCatalogFile& f) {
             // The attachment no item has goes; its repository's location text is kept.
             EXPECT_EQ(f.Int("SELECT count(*) FROM db_attachrec"), 0);
             EXPECT_EQ(f.Int("SELECT count(*) FROM db_repositoryrec"), 0);
         },
         false, 1},
        {"orphaned string header", "UPDATE db_itemrec SET itemnote=0 WHERE itemname='c'",
         "orphaned var string found",
         [](VerifyTest& t, CCatalogFile& f) {
             // Adopted once, by its own address, into Lost and Found.
             EXPECT_EQ(f.Int("SELECT count(*) FROM db_itemrec WHERE itemname='Item for Orphan "
                             "Strings'"),
                       1);
             EXPECT_EQ(f.Int("SELECT itemparentid FROM db_itemrec WHERE itemname='Item for Orphan "
                             "Strings'"),
                       f.Int("SELECT itemid FROM db_itemrec WHERE itemname='Lost and Found'"));
             EXPECT_EQ(
                 t.NoteOf(uint32_t(f.Int(
                     "SELECT itemid FROM db_itemrec WHERE itemname='Item for Orphan Strings'"))),
                 "note of c");
         },
         false, 1},
        {"root folder missing",
         "DELETE FROM dbms_member WHERE owner=" + ItemDba("Zelto Files Catalog Root") +
             " OR member=" + ItemDba("Zelto Files Catalog Root") +
             "; DELETE FROM db_itemrec WHERE itemid=1",
         "Root folder missing",
         [](VerifyTest&, CCatalogFile& f) {
             EXPECT_EQ(f.Int("SELECT itemparentid FROM db_itemrec WHERE itemid=1"), 0);
             EXPECT_EQ(f.Int("SELECT itemparentid FROM db_itemrec WHERE itemname='F'"), 1);
             EXPECT_EQ(f.Int("SELECT owner FROM dbms_member WHERE setcode=20004 AND member=" +
                             ItemDba("F")),
                       f.Int("SELECT (11 << 24) | slot FROM db_itemrec WHERE itemid=1"));
         },
         true},
        {"change-log position naming nothing",
         "UPDATE db_userrec SET userlastchangeaddr=(3 << 24) | 9999999 WHERE username='alice'",
         "UserLastChangeAddr not found",
         [](VerifyTest&, CCatalogFile& f) {
             EXPECT_EQ(f.Int("SELECT userlastchangeaddr FROM db_userrec WHERE username='alice'"),
                       f.Int("SELECT (3 << 24) | max(slot) FROM db_changeentryrec"));
         }},
        {"folder cycle",
         "UPDATE dbms_member SET owner=" + ItemDba("G") +
             " WHERE setcode IN (20003, 20004) AND member=" + ItemDba("F") +
             "; UPDATE db_itemrec SET itemparentid=(SELECT itemid FROM db_itemrec WHERE "
             "itemname='G') WHERE itemname='F'",
         "Folder cycle",
         [](VerifyTest&, CCatalogFile& f) {
             EXPECT_EQ(f.Int("SELECT itemparentid FROM db_itemrec WHERE itemname='F'"),
                       f.Int("SELECT itemid FROM db_itemrec WHERE itemname='Lost and Found'"));
             EXPECT_EQ(f.Int("SELECT itemparentid FROM db_itemrec WHERE itemname='G'"),
                       f.Int("SELECT itemid FROM db_itemrec WHERE itemname='F'"));
         },
         true},
        {"folder with members not typed a folder",
         "UPDATE db_itemrec SET type=1 WHERE itemname='F'", "Item with members made a folder",
         [](VerifyTest&, CCatalogFile& f) {
             EXPECT_EQ(f.Int("SELECT type FROM db_itemrec WHERE itemname='F'"), 4);
         }},
        {"item missing from the set of all items",
         "DELETE FROM dbms_member WHERE setcode=20002 AND member=" + ItemDba("b"),
         "Item missing from ITEMS set",
         [](VerifyTest&, CCatalogFile& f) {
             EXPECT_EQ(f.Int("SELECT count(*) FROM dbms_member WHERE setcode=20002 AND member=" +
                             ItemDba("b")),
                       1);
         },
         true},
        {"id counters below ids in use", "UPDATE db_uniqueidsrec SET uniqueidsprevuserid=0",
         "id counters below ids in use",
         [](VerifyTest&, CCatalogFile& f) {
             EXPECT_GE(f.Int("SELECT uniqueidsprevuserid FROM db_uniqueidsrec"),
                       f.Int("SELECT max(userid) FROM db_userrec"));
         }},
        {"unique id record missing", "DELETE FROM db_uniqueidsrec", "unique id record missing",
         [](VerifyTest&, CCatalogFile& f) {
             EXPECT_GE(f.Int("SELECT uniqueidsprevuserid FROM db_uniqueidsrec"),
                       f.Int("SELECT max(userid) FROM db_userrec"));
         }},
        {"catalog record missing", "DELETE FROM db_boardrec", "catalog record missing",
         [](VerifyTest&, CCatalogFile& f) {
             EXPECT_EQ(f.Int("SELECT boardversion FROM db_boardrec"), 12);
         }},
        {"user folder slot naming no folder",
         "UPDATE db_userrec SET useritems=x'FFFF000B' || substr(useritems, 5) WHERE "
         "username='alice'",
         "User folder slot 0 names no folder",
         [](VerifyTest&, CCatalogFile& f) {
             EXPECT_EQ(f.Int("SELECT hex(substr(useritems, 1, 4)) = '00000000' FROM db_userrec "
                             "WHERE username='alice'"),
                       1);
         }},
        {"user-group link on one side only", "DELETE FROM dbms_member WHERE setcode=20008",
         "user-group link connected on one side only",
         [](VerifyTest&, CCatalogFile& f) {
             EXPECT_EQ(f.Int("SELECT count(*) FROM db_usergroup"), 0);
         },
         true},
        {"attachment checksum out of date", "UPDATE db_attachrec SET attnamecrc=12345",
         "attachment name checksum out of date",
         [](VerifyTest&, CCatalogFile& f) {
             EXPECT_NE(f.Int("SELECT attnamecrc FROM db_attachrec"), 12345);
         }},
        {"chunk length out of range",
         "UPDATE db_smallvar SET varlen=200 WHERE (7 << 24) | slot IN (SELECT member FROM "
         "dbms_member WHERE setcode=20000 AND owner=" +
             kNoteOf + "'c'))",
         "var string set member corruption",
         [](VerifyTest& t, CCatalogFile& f) {
             // The one chunk could not be read: the note is empty now, not garbage.
             EXPECT_EQ(f.Int("SELECT itemnote FROM db_itemrec WHERE itemname='c'"), 0);
             EXPECT_EQ(
                 t.NoteOf(uint32_t(f.Int("SELECT itemid FROM db_itemrec WHERE itemname='c'"))), "");
         }},
        {"repository shared by two attachments",
         "UPDATE db_attachrec SET attrepository=(SELECT attrepository FROM db_attachrec WHERE "
         "attnamepath='/files/report.txt') WHERE attnamepath='/files/other.txt'",
         "repository shared by two attachments",
         [](VerifyTest& t, CCatalogFile& f) {
             // Each has a repository of its own, with its own texts, under the same key checksum.
             for (const char* pszItem : {"att", "att2"}) {
                 EXPECT_EQ(t.TextOf(pszItem, true), "server/share/report.txt") << pszItem;
             }
             EXPECT_EQ(f.Int("SELECT count(DISTINCT attrepository) FROM db_attachrec"), 2);
             EXPECT_EQ(f.Int("SELECT count(DISTINCT repositorylocationinfo) FROM "
                             "db_repositoryrec"),
                       2);
             EXPECT_EQ(f.Int("SELECT count(DISTINCT attreposcrc) FROM db_attachrec"), 1);
             EXPECT_NE(f.Int("SELECT attreposcrc FROM db_attachrec"), 0);
         }},
        {"note shared by two items",
         "UPDATE db_itemrec SET itemnote=" + kNoteOf + "'a') WHERE itemname='G'",
         "var string referenced twice",
         [](VerifyTest& t, CCatalogFile& f) {
             for (const char* pszItem : {"a", "G"}) {
                 EXPECT_EQ(t.TextOf(pszItem), "note of a") << pszItem;
             }
             EXPECT_EQ(f.Int("SELECT count(DISTINCT itemnote) FROM db_itemrec WHERE itemname IN "
                             "('a', 'G')"),
                       2);
         }},
        {"change data without its chunks",
         "UPDATE db_changeentryrec SET changedata=" + kNoteOf +
             "'c') WHERE slot=(SELECT max(slot) FROM db_changeentryrec); UPDATE db_itemrec SET "
             "itemnote=0 WHERE itemname='c'; DELETE FROM dbms_member WHERE setcode=20000 AND "
             "owner=(SELECT changedata FROM db_changeentryrec WHERE slot=(SELECT max(slot) FROM "
             "db_changeentryrec))",
         "var string data missing",
         [](VerifyTest&, CCatalogFile& f) {
             // The header went for want of data; the entry names no header that is gone.
             EXPECT_EQ(f.Int("SELECT changedata FROM db_changeentryrec WHERE slot=(SELECT "
                             "max(slot) FROM db_changeentryrec)"),
                       0);
         },
         true},
        {"note shared with a user's shadow data",
         "UPDATE db_userrec SET usershadowdata=" + kNoteOf + "'c') WHERE username='alice'",
         "var string referenced twice",
         [](VerifyTest& t, CCatalogFile& f) {
             // The item keeps the note it was written for; the user gets a copy.
             EXPECT_EQ(t.TextOf("c"), "note of c");
             EXPECT_EQ(t.ShadowOf("alice"), "note of c");
             EXPECT_EQ(f.Int("SELECT varstringkind FROM db_varstringrec WHERE (14 << 24) | slot=" +
                             kNoteOf + "'c')"),
                       1);
             EXPECT_EQ(f.Int("SELECT varstringkind FROM db_varstringrec WHERE (14 << 24) | "
                             "slot=(SELECT usershadowdata FROM db_userrec WHERE username='alice')"),
                       10);
         }},
    };
}

class VerifyDamageTest : public VerifyTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(VerifyDamageTest, FoundWithoutWritingThenRepairedThenSound) {
    const Damage damage = Damages()[GetParam()];
    SCOPED_TRACE(damage.pszName);
    {
        CCatalogFile file(m_strPath);
        ASSERT_GT(file.Exec(damage.strSql), 0) << damage.strSql;
        if (damage.fRecount) {
            ASSERT_GT(file.RecountOwners(), 0);
        }
    }
    const int64_t cItemsDamaged = CCatalogFile(m_strPath).Int("SELECT count(*) FROM db_itemrec");
    const std::string strDamaged = FileBytes();
    EXPECT_EQ(Verify(false), 52);
    EXPECT_EQ(FileBytes(), strDamaged);
    EXPECT_NE(SystemLog().find(damage.pszFinding), std::string::npos);
    EXPECT_NE(CatalogLog().find(damage.pszFinding), std::string::npos);

    EXPECT_EQ(Verify(true), 53);
    EXPECT_EQ(qn::test::ReadFile(m_strPath + ".before-repair").empty(), false);
    {
        // The copy kept beside the catalog is the catalog as it was.
        CCatalogFile copy(m_strPath + ".before-repair");
        EXPECT_EQ(copy.Int("SELECT count(*) FROM db_itemrec"), cItemsDamaged);
    }
    const std::string strRepaired = FileBytes();
    EXPECT_EQ(Verify(false), 0);
    EXPECT_EQ(FileBytes(), strRepaired);
    EXPECT_EQ(Verify(true), 0);
    CCatalogFile file(m_strPath);
    EXPECT_EQ(file.Int("SELECT count(*) FROM db_varstringrec WHERE varstringowner != 0"), 0);
    // What the application saw before is there still.
    for (const char* pszName : {"F", "G", "a", "b", "c", "att", "att2"}) {
        EXPECT_EQ(file.Int(std::string("SELECT count(*) FROM db_itemrec WHERE itemname='") +
                           pszName + "'"),
                  1)
            << pszName;
    }
    // A string the check corrected or kept is never adopted as well.
    EXPECT_EQ(file.Int("SELECT count(*) FROM db_itemrec WHERE itemname='Item for Orphan Strings'"),
              damage.cOrphanItems);
    damage.repaired(*this, file);
}

INSTANTIATE_TEST_SUITE_P(Kinds, VerifyDamageTest, ::testing::Range<size_t>(0, Damages().size()));

}  // namespace

namespace {

TEST_F(VerifyTest, LostAndFoundIsMadeOnlyByARepair) {
    {
        CCatalogFile file(m_strPath);
        ASSERT_EQ(file.Exec("DELETE FROM db_folderrec WHERE (15 << 24) | slot=(SELECT folderstruct "
                            "FROM db_itemrec WHERE itemname='Lost and Found'); DELETE FROM "
                            "dbms_member WHERE member=" +
                            ItemDba("Lost and Found") +
                            "; DELETE FROM db_itemrec WHERE itemname='Lost and Found'"),
                  1);
        ASSERT_GT(file.RecountOwners(), 0);
    }
    const std::string strBefore = FileBytes();
    EXPECT_EQ(Verify(false), 0);
    EXPECT_EQ(FileBytes(), strBefore);
    EXPECT_EQ(Verify(true), 0);
    CCatalogFile file(m_strPath);
    EXPECT_EQ(file.Int("SELECT count(*) FROM db_itemrec WHERE itemname='Lost and Found' AND "
                       "itemparentid=1 AND itemaccesslevel=3 AND itemaccessgrouporuserid=1 AND "
                       "type=4"),
              1);
    EXPECT_EQ(Verify(false), 0);
}

TEST_F(VerifyTest, AnOpenCatalogAndABadContextAnswerAStatus) {
    EXPECT_EQ(DBBoardVerify(nullptr, 0), 50);
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = Open();
    ASSERT_NE(hbrd, nullptr);
    // Another process cannot connect exclusively while the catalog is open here.
    pid_t pid = qn::test::ForkChild([&] {
        EXSM_STATUS s;
        BOARD_OBJECT* h = EXBoardConnect(m_strPath.c_str(), 2, &s);
        return h == nullptr ? 0 : 1;
    });
    EXPECT_EQ(qn::test::WaitChild(pid), 0);
    EXBoardClose(hbrd, &st);
}

// Many items out of their folder sets: a repair with much to write, killed at random moments.
TEST_F(VerifyTest, AKilledRepairLeavesACatalogThatVerifiesAndRepairs) {
    {
        EXSM_STATUS st;
        BOARD_OBJECT* hbrd = Open();
        ASSERT_NE(hbrd, nullptr);
        catstore::CStoreTransaction tx(hbrd->pdb, "Fill", catstore::ItemWritePacket());
        ASSERT_EQ(tx.Status(), DBSuccess);
        DBStatus dbs = DBSuccess;
        for (int i = 0; i < 400 && dbs == DBSuccess; ++i) {
            DB_ITEM item;
            item.item.type = 1;
            std::snprintf(item.item.itemname, sizeof item.item.itemname, "n%d", i);
            item.item.itemparentid = 1;
            item.item.itemaccess.itemaccesslevel = 1;
            item.vsiNote.value = "note " + std::to_string(i);
            dbs = catstore::ItemCreateLocked(hbrd->pdb, &item, nullptr, hbrd);
        }
        ASSERT_EQ(tx.Finish(dbs), DBSuccess);
        EXBoardClose(hbrd, &st);
    }
    std::mt19937 random(12);
    for (int nRound = 0; nRound < 4; ++nRound) {
        {
            CCatalogFile file(m_strPath);
            ASSERT_GT(file.Exec("UPDATE db_varstringrec SET varstringlength=varstringlength+1"), 0);
            ASSERT_GT(file.Exec("DELETE FROM dbms_member WHERE setcode IN (20003, 20005) AND "
                                "member IN (SELECT (11 << 24) | slot FROM db_itemrec WHERE "
                                "itemname LIKE 'n%')"),
                      0);
            ASSERT_GT(file.RecountOwners(), 0);
        }
        pid_t pid = qn::test::ForkChild([&] { return Verify(true) == 53 ? 0 : 1; });
        usleep(static_cast<useconds_t>(20000 + random() % 400000));
        kill(pid, SIGKILL);
        qn::test::WaitChild(pid);
        const uint16_t w = Verify(true);
        EXPECT_TRUE(w == 53 || w == 0) << w;
        EXPECT_EQ(Verify(false), 0);
        CCatalogFile file(m_strPath);
        EXPECT_EQ(file.Int("SELECT count(*) FROM db_itemrec WHERE itemname LIKE 'n%' AND "
                           "itemparentid=1"),
                  400);
        EXPECT_EQ(file.Int("SELECT count(*) FROM db_itemrec WHERE itemname='Item for Orphan "
                           "Strings'"),
                  0);
    }
}

}  // namespace

namespace {

TEST_F(VerifyTest, ItemTypesWithoutMembersKeepTheirMeaning) {
    {
        CCatalogFile file(m_strPath);
        ASSERT_EQ(file.Exec("UPDATE db_itemrec SET type=CASE itemname WHEN 'a' THEN 2 WHEN 'b' "
                            "THEN 3 ELSE 5 END WHERE itemname IN ('a', 'b', 'c')"),
                  3);
    }
    EXPECT_EQ(Verify(false), 0);
    EXPECT_EQ(Verify(true), 0);
    CCatalogFile file(m_strPath);
    EXPECT_EQ(file.Int("SELECT group_concat(type, '') FROM (SELECT type FROM db_itemrec WHERE "
                       "itemname IN ('a', 'b', 'c') ORDER BY itemname)"),
              235);
}

}  // namespace

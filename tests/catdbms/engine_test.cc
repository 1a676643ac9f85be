// Records, stamps, keys, sets and currency of one task on a real catalog file.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <vector>

#include "catdbms/store.h"
#include "catdbms/testhooks.h"
#include "dbmstest.h"

namespace qn::dbms::test {
namespace {

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path = NewCatalog(dir);
        ASSERT_EQ(OpenTask(task, path, "s"), S_OKAY);
    }
    qn::test::TempDir dir;
    std::string path;
    CDbTask task;

    // Names of the members of a set under its current owner, first to last.
    std::vector<std::string> Names(int set) {
        std::vector<std::string> out;
        int rc = task.FindFirst(set);
        while (rc == S_OKAY) {
            char name[64] = {};
            EXPECT_EQ(task.CrRead(ITEMNAME, name), S_OKAY);
            out.push_back(name);
            rc = task.FindNext(set);
        }
        EXPECT_EQ(rc, S_EOS);
        return out;
    }
};

TEST(Schema, CodesAndDictionaryCounts) {
    EXPECT_EQ(DB_BOARDREC, 10000);
    EXPECT_EQ(SYSTEM, 10018);
    EXPECT_EQ(DBS_VARSTRING, 20000);
    EXPECT_EQ(DBS_ITEM_REFERENCERS, 20013);
    EXPECT_EQ(ITEMID, 11002);
    EXPECT_EQ(ATTRIBUTES, 11004);
    EXPECT_EQ(USERID, 8001);
    EXPECT_EQ(ATTFILEKEY, 12005);
    EXPECT_EQ(ATTREPOSKEY, 12025);
    EXPECT_EQ(STATUSBYFOLDER, 11024);
    EXPECT_EQ(kFieldCount, 172);
    // Packed layouts: the field offsets the dictionary gives.
    EXPECT_EQ(offsetof(db_itemrec, itemname), 14u);
    EXPECT_EQ(offsetof(db_attachrec, attreposkey), 422u);
    EXPECT_EQ(FindField(ATTNAMECRC)->offset, 14);
    EXPECT_EQ(FindField(BOARDTIMESTAMP)->parent, BOARDTIMERS);
    EXPECT_EQ(FindField(ITEMACCESSLEVEL)->parent, ITEMACCESS);
    EXPECT_EQ(FindField(99999), nullptr);
    EXPECT_TRUE(IsSetMember(DBS_VARSTRING, DB_SMALLVAR));
    EXPECT_FALSE(IsSetMember(DBS_ITEMS, DB_USERREC));
}

TEST_F(EngineTest, CatalogReadsInTheSqliteShellWithFieldNames) {
    task.Close();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    std::set<std::string> columns;
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT name FROM pragma_table_info('db_itemrec')", -1, &st,
                                 nullptr),
              SQLITE_OK);
    while (sqlite3_step(st) == SQLITE_ROW)
        columns.insert(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    sqlite3_finalize(st);
    for (const char* c : {"slot", "stamp", "itemid", "itemname", "itemaccesslevel", "folderstruct"})
        EXPECT_TRUE(columns.count(c)) << c;
    int tables = 0;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "SELECT count(*) FROM sqlite_master WHERE type='table' AND name "
                                 "LIKE 'db\\_%' ESCAPE '\\'",
                                 -1, &st, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    tables = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    EXPECT_EQ(tables, kRecordCount);
    sqlite3_close(db);
}

// The sqlite3 shell, as a user would run it beside a process that has the catalog open.
std::string Shell(const std::string& path, const std::string& sql) {
    const std::string cmd = "sqlite3 -readonly '" + path + "' \"" + sql + "\" 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return "";
    std::string out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

TEST_F(EngineTest, CatalogOpensInTheSqlite3ShellWithOneTablePerRecordType) {
    if (system("sqlite3 -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no sqlite3 shell here";
    Make(task, DB_ITEMREC, Item(7, "Seven"));
    Make(task, DB_USERREC, User(3, "Ann Lee"));
    // Committed work is visible while the task still has the catalog open.
    EXPECT_EQ(Shell(path, "SELECT itemname FROM db_itemrec"), "Seven\n");
    EXPECT_EQ(Shell(path, "SELECT username, userid FROM db_userrec"), "Ann Lee|3\n");
    // One table per record type, named after it (the system record's as db_system).
    std::set<std::string> tables;
    for (const RecordDef& r : kRecords) {
        std::string t = r.code == SYSTEM ? "db_system" : r.name;
        for (char& c : t)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        tables.insert(t);
    }
    std::string expected;
    for (const std::string& t : tables)
        expected += t + "\n";
    EXPECT_EQ(Shell(path,
                    "SELECT name FROM sqlite_master WHERE type='table' AND name LIKE 'db%' "
                    "AND name NOT LIKE 'dbms%' ORDER BY name"),
              expected);
    // The fields in their order, group members as their own columns, arrays as one column.
    EXPECT_EQ(Shell(path, "SELECT group_concat(name, ',') FROM pragma_table_info('db_userrec')"),
              "slot,stamp,userversion,userid,userlastchangeaddr,username,userdescription,"
              "useremailaddr,userlongname,userpassword,localpassword,userserialnumber,"
              "userlastlogin,usershadowkind,usershadowdata,usernotifyflags,useritems,"
              "userreserved\n");
    EXPECT_EQ(Shell(path, "SELECT group_concat(name, ',') FROM pragma_table_info('db_attachrec')"),
              "slot,stamp,attversion,atttype,attsubtype,attnametype,attnamesubtype,"
              "attnameresourceid,attnamecrc,attnamepath,attnametopicname,attinfoattr,attinfosize,"
              "attinfotimeaccessed,attinfotimecreated,attinfotimeexpired,attinfotime,"
              "attinfouseraccessed,attchecksum,attspecialinfo,attsync,attsynctype,"
              "attsyncinterval,attsynctime,attachreserved,attreposresourceid,attreposcrc,"
              "attrepository\n");
}

TEST_F(EngineTest, RecordRoundTripAndFieldAccess) {
    db_itemrec in = Item(7, "Seven");
    in.itemaccess.itemaccesslevel = 3;
    in.itemaccess.itemaccessgrouporuserid = 12;
    in.itemreserved[77] = 0xAB;
    const DBA dba = Make(task, DB_ITEMREC, in);
    EXPECT_EQ(DbaRecord(dba), DB_ITEMREC);
    db_itemrec out;
    std::memset(&out, 0x5A, sizeof out);
    ASSERT_EQ(task.RecRead(&out), S_OKAY);
    EXPECT_EQ(std::memcmp(&in, &out, sizeof in), 0);

    uint16_t level = 0;
    EXPECT_EQ(task.CrRead(ITEMACCESSLEVEL, &level), S_OKAY);
    EXPECT_EQ(level, 3);
    decltype(in.itemaccess) access{};
    EXPECT_EQ(task.CrRead(ITEMACCESS, &access), S_OKAY);
    EXPECT_EQ(uint16_t(access.itemaccessgrouporuserid), 12);
    const uint32_t due = 12345;
    EXPECT_EQ(task.CrWrite(DUEDATE, &due), S_OKAY);
    ASSERT_EQ(task.RecRead(&out), S_OKAY);
    EXPECT_EQ(uint32_t(out.duedate), 12345u);
    EXPECT_EQ(task.CrRead(USERNAME, &out), S_INVFLD);  // a field of another record type
    EXPECT_EQ(task.CrRead(STATUSBYFOLDER, &out), S_INVFLD);
    int type = 0;
    EXPECT_EQ(task.RecType(&type), S_OKAY);
    EXPECT_EQ(type, DB_ITEMREC);

    // Board record: arrays and arrays of groups survive whole.
    db_boardrec board{};
    for (int i = 0; i < 16; ++i) {
        board.boarditems[i] = DBA(i * 3);
        board.boardtimers[i].boardtimeinterval = uint32_t(i);
        board.boardtimers[i].boardtimestamp = uint32_t(1000 + i);
    }
    Make(task, DB_BOARDREC, board);
    db_boardrec back{};
    ASSERT_EQ(task.RecRead(&back), S_OKAY);
    EXPECT_EQ(std::memcmp(&board, &back, sizeof board), 0);
}

TEST_F(EngineTest, StringFieldsKeepTheirTextAndUniqueKeysRefuseDuplicates) {
    db_itemrec a = Item(1, "One");
    Make(task, DB_ITEMREC, a);
    db_itemrec b = Item(1, "Other");
    uint32_t before = 0, after = 0;
    ASSERT_EQ(task.RecCount(DB_ITEMREC, &before), S_OKAY);
    EXPECT_EQ(task.FillNew(DB_ITEMREC, &b), S_DUPLICATE);
    ASSERT_EQ(task.RecCount(DB_ITEMREC, &after), S_OKAY);
    EXPECT_EQ(before, after);
    // Write that would duplicate a unique key: refused, record unchanged.
    b.itemid = 2;
    const DBA second = Make(task, DB_ITEMREC, b);
    b.itemid = 1;
    EXPECT_EQ(task.RecWrite(&b), S_DUPLICATE);
    ASSERT_EQ(task.CrSet(second), S_OKAY);
    db_itemrec out{};
    ASSERT_EQ(task.RecRead(&out), S_OKAY);
    EXPECT_EQ(uint32_t(out.itemid), 2u);
}

TEST_F(EngineTest, StampsChangeOnEveryWriteAndTestAnswersZeroSixSeven) {
    db_itemrec rec = Item(5, "Five");
    const DBA dba = Make(task, DB_ITEMREC, rec);
    uint32_t s1 = 0, s2 = 0, s3 = 0;
    ASSERT_EQ(task.CrStamp(&s1), S_OKAY);
    EXPECT_NE(s1, 0u);
    EXPECT_EQ(task.CrTest(s1), S_OKAY);
    rec.status = 2;
    ASSERT_EQ(task.RecWrite(&rec), S_OKAY);
    ASSERT_EQ(task.CrStamp(&s2), S_OKAY);
    EXPECT_GT(s2, s1);
    EXPECT_EQ(task.CrTest(s1), S_UPDATED);
    const uint16_t st = 3;
    ASSERT_EQ(task.CrWrite(STATUS, &st), S_OKAY);
    ASSERT_EQ(task.CrStamp(&s3), S_OKAY);
    EXPECT_GT(s3, s2);
    // Another task deletes it: the test answers "deleted".
    CDbTask other;
    ASSERT_EQ(OpenTask(other, path, "s"), S_OKAY);
    ASSERT_EQ(other.CrSet(dba), S_OKAY);
    ASSERT_EQ(other.Delete(), S_OKAY);
    EXPECT_EQ(task.CrTest(s3), S_DELETED);
    EXPECT_EQ(task.RecRead(&rec), S_DELETED);
    // Records without stamps report 0.
    db_changeentryrec ce{};
    Make(task, DB_CHANGEENTRYREC, ce);
    uint32_t s = 99;
    ASSERT_EQ(task.CrStamp(&s), S_OKAY);
    EXPECT_EQ(s, 0u);
}

TEST_F(EngineTest, MakeCurrentAnswersBadAddressOrDeleted) {
    const DBA dba = Make(task, DB_ITEMREC, Item(1, "a"));
    EXPECT_EQ(task.CrSet(0), S_INVADDR);
    EXPECT_EQ(task.CrSet(MakeDba(DB_ITEMREC, 0)), S_INVADDR);
    EXPECT_EQ(task.CrSet(DBA(200u << 24) | 1u), S_INVADDR);
    EXPECT_EQ(task.CrSet(MakeDba(DB_ITEMREC, 4711)), S_DELETED);
    EXPECT_EQ(Current(task), dba);  // currency unchanged
    ASSERT_EQ(task.Delete(), S_OKAY);
    EXPECT_EQ(task.CrGet(nullptr), S_NOCR);
    EXPECT_EQ(task.CrSet(dba), S_DELETED);
    db_itemrec r;
    EXPECT_EQ(task.RecRead(&r), S_NOCR);
}

TEST_F(EngineTest, ScansFollowCreationOrderAndSkipDeletedSlots) {
    std::vector<DBA> made;
    for (uint32_t i = 1; i <= 5; ++i)
        made.push_back(Make(task, DB_ITEMREC, Item(i, "x")));
    ASSERT_EQ(task.CrSet(made[2]), S_OKAY);
    ASSERT_EQ(task.Delete(), S_OKAY);
    const DBA again = Make(task, DB_ITEMREC, Item(6, "x"));
    EXPECT_GT(DbaSlot(again), DbaSlot(made[4]));  // slots are never reused
    std::vector<DBA> seen;
    for (int rc = task.RecFirst(DB_ITEMREC); rc == S_OKAY; rc = task.RecNext(DB_ITEMREC))
        seen.push_back(Current(task));
    EXPECT_EQ(seen, (std::vector<DBA>{made[0], made[1], made[3], made[4], again}));
    EXPECT_EQ(task.RecNext(DB_ITEMREC), S_NOTFOUND);
    EXPECT_EQ(Current(task), again);
    ASSERT_EQ(task.RecLast(DB_ITEMREC), S_OKAY);
    ASSERT_EQ(task.RecPrev(DB_ITEMREC), S_OKAY);
    EXPECT_EQ(Current(task), made[4]);
    // RecSet: continue a scan from a record found another way.
    ASSERT_EQ(task.CrSet(made[1]), S_OKAY);
    ASSERT_EQ(task.RecSet(DB_ITEMREC), S_OKAY);
    ASSERT_EQ(task.RecNext(DB_ITEMREC), S_OKAY);
    EXPECT_EQ(Current(task), made[3]);
    EXPECT_EQ(task.RecSet(DB_USERREC), S_INVREC);
    EXPECT_EQ(task.RecFirst(DB_GROUPREC), S_NOTFOUND);
    EXPECT_EQ(task.RecFirst(12345), S_INVREC);
}

TEST_F(EngineTest, ReadingScansReadWholeRecordsAndSeeWritesMadeBetweenSteps) {
    std::vector<DBA> made;
    for (uint32_t i = 1; i <= 6; ++i)
        made.push_back(Make(task, DB_ITEMREC, Item(i, "x")));
    std::vector<uint32_t> ids;
    DBA dba = 0;
    db_itemrec rec{};
    uint32_t stamp = 0;
    ASSERT_EQ(task.RecReadNext(DB_ITEMREC, 0, &dba, &rec, &stamp), S_OKAY);
    EXPECT_EQ(dba, made[0]);
    EXPECT_EQ(Current(task), made[0]);
    EXPECT_NE(stamp, 0u);
    ids.push_back(rec.itemid);
    // Between two steps: the next record goes, one is added at the end, another is read.
    ASSERT_EQ(task.CrSet(made[1]), S_OKAY);
    ASSERT_EQ(task.Delete(), S_OKAY);
    const DBA added = Make(task, DB_ITEMREC, Item(7, "x"));
    ASSERT_EQ(task.ReadAt(made[4], &rec, nullptr), S_OKAY);
    for (int rc = task.RecReadNext(DB_ITEMREC, dba, &dba, &rec, &stamp); rc == S_OKAY;
         rc = task.RecReadNext(DB_ITEMREC, dba, &dba, &rec, &stamp))
        ids.push_back(rec.itemid);
    EXPECT_EQ(ids, (std::vector<uint32_t>{1, 3, 4, 5, 6, 7}));
    EXPECT_EQ(dba, added);
    // A walk may start again from any record, and goes on as RecNext would.
    ASSERT_EQ(task.RecReadNext(DB_ITEMREC, made[3], &dba, &rec, &stamp), S_OKAY);
    EXPECT_EQ(rec.itemid, 5u);
    ASSERT_EQ(task.RecNext(DB_ITEMREC), S_OKAY);
    EXPECT_EQ(Current(task), made[5]);
    EXPECT_EQ(task.RecReadNext(DB_ITEMREC, made[0] + 0u, &dba, nullptr, &stamp), S_BADPARAM);
    EXPECT_EQ(task.RecReadNext(DB_USERREC, made[0], &dba, &rec, &stamp), S_INVREC);
}

TEST_F(EngineTest, KeyFindAndDuplicateKeysInAddressOrder) {
    const DBA a = Make(task, DB_USERREC, User(1, "ann"));
    const DBA b = Make(task, DB_USERREC, User(2, "bob"));
    const DBA c = Make(task, DB_USERREC, User(3, "bob"));
    uint16_t id = 2;
    ASSERT_EQ(task.KeyFind(USERID, &id), S_OKAY);
    EXPECT_EQ(Current(task), b);
    id = 9;
    EXPECT_EQ(task.KeyFind(USERID, &id), S_NOTFOUND);
    EXPECT_EQ(Current(task), b);
    ASSERT_EQ(task.KeyFind(USERNAME, "bob"), S_OKAY);
    EXPECT_EQ(Current(task), b);
    ASSERT_EQ(task.KeyNext(USERNAME), S_OKAY);
    EXPECT_EQ(Current(task), c);
    EXPECT_EQ(task.KeyNext(USERNAME), S_NOTFOUND);
    ASSERT_EQ(task.KeyPrev(USERNAME), S_OKAY);
    EXPECT_EQ(Current(task), b);
    ASSERT_EQ(task.KeyPrev(USERNAME), S_OKAY);
    EXPECT_EQ(Current(task), a);
    char name[32] = {};
    ASSERT_EQ(task.KeyRead(name), S_OKAY);
    EXPECT_STREQ(name, "ann");
    // An absent value leaves the position between its neighbours.
    EXPECT_EQ(task.KeyFind(USERNAME, "b"), S_NOTFOUND);
    ASSERT_EQ(task.KeyNext(USERNAME), S_OKAY);
    EXPECT_EQ(Current(task), b);
    EXPECT_EQ(task.KeyFind(USERNAME, "b"), S_NOTFOUND);
    ASSERT_EQ(task.KeyPrev(USERNAME), S_OKAY);
    EXPECT_EQ(Current(task), a);
    EXPECT_EQ(task.KeyFind(ITEMNAME, "x"), S_NOTKEY);
    EXPECT_EQ(task.KeyFind(4242, "x"), S_INVFLD);
    // A renamed user is found under its new name only.
    ASSERT_EQ(task.CrSet(a), S_OKAY);
    db_userrec u = User(1, "zed");
    ASSERT_EQ(task.RecWrite(&u), S_OKAY);
    EXPECT_EQ(task.KeyFind(USERNAME, "ann"), S_NOTFOUND);
    ASSERT_EQ(task.KeyFind(USERNAME, "zed"), S_OKAY);
    EXPECT_EQ(Current(task), a);
}

TEST_F(EngineTest, CompoundKeyStepsInOrderAndReachesTheNextParent) {
    struct Row {
        uint32_t id, parent;
        uint16_t status;
    };
    const Row rows[] = {{1, 10, 5}, {2, 10, 1}, {3, 20, 0}, {4, 10, 3}, {5, 5, 9}, {6, 10, 1}};
    std::map<uint32_t, DBA> dbas;
    for (const Row& r : rows) {
        db_itemrec it = Item(r.id, "i", r.parent);
        it.status = r.status;
        dbas[r.id] = Make(task, DB_ITEMREC, it);
    }
    // The store's walk: position at (folder, 0), step while ITEMPARENTID stays the folder.
    db_statusbyfolder key{10, 0};
    int rc = task.KeyFind(STATUSBYFOLDER, &key);
    EXPECT_EQ(rc, S_NOTFOUND);
    std::vector<uint32_t> ids;
    for (rc = task.KeyNext(STATUSBYFOLDER); rc == S_OKAY; rc = task.KeyNext(STATUSBYFOLDER)) {
        db_statusbyfolder k{};
        ASSERT_EQ(task.KeyRead(&k), S_OKAY);
        uint32_t parent = 0, id = 0;
        ASSERT_EQ(task.CrRead(ITEMPARENTID, &parent), S_OKAY);
        EXPECT_EQ(uint32_t(k.first), parent);
        if (parent != 10)
            break;
        ASSERT_EQ(task.CrRead(ITEMID, &id), S_OKAY);
        ids.push_back(id);
    }
    ASSERT_EQ(rc, S_OKAY);
    EXPECT_EQ(Current(task), dbas[3]);                    // the first record of the next folder
    EXPECT_EQ(ids, (std::vector<uint32_t>{2, 6, 4, 1}));  // status 1, 1 (by address), 3, 5
    // Backwards from the top of the folder.
    db_statusbyfolder top{10, 0xFFFF};
    EXPECT_EQ(task.KeyFind(STATUSBYFOLDER, &top), S_NOTFOUND);
    ASSERT_EQ(task.KeyPrev(STATUSBYFOLDER), S_OKAY);
    EXPECT_EQ(Current(task), dbas[1]);
    // A record whose key fields change moves in the key.
    ASSERT_EQ(task.CrSet(dbas[1]), S_OKAY);
    const uint32_t newParent = 30;
    ASSERT_EQ(task.CrWrite(ITEMPARENTID, &newParent), S_OKAY);
    db_statusbyfolder exact{30, 5};
    ASSERT_EQ(task.KeyFind(STATUSBYFOLDER, &exact), S_OKAY);
    EXPECT_EQ(Current(task), dbas[1]);
    db_modifiedbyfolder m{20, 0};
    ASSERT_EQ(task.KeyFind(MODIFIEDBYFOLDER, &m), S_OKAY);
    EXPECT_EQ(Current(task), dbas[3]);
}

TEST_F(EngineTest, OptionalKeysAreStoredOnlyOnRequestAndFollowTheRecord) {
    db_attachrec att{};
    att.attfilekey.attnameresourceid = 4;
    att.attfilekey.attnamecrc = 0xDEADBEEF;
    const DBA dba = Make(task, DB_ATTACHREC, att);
    decltype(att.attfilekey) key = att.attfilekey;
    EXPECT_EQ(task.KeyFind(ATTFILEKEY, &key), S_NOTFOUND);  // not kept on create
    EXPECT_EQ(task.KeyExists(ATTFILEKEY), S_NOTFOUND);
    ASSERT_EQ(task.KeyStore(ATTFILEKEY), S_OKAY);
    EXPECT_EQ(task.KeyStore(ATTFILEKEY), S_OKAY);  // again: still one entry
    EXPECT_EQ(task.KeyExists(ATTFILEKEY), S_OKAY);
    ASSERT_EQ(task.KeyFind(ATTFILEKEY, &key), S_OKAY);
    EXPECT_EQ(Current(task), dba);
    EXPECT_EQ(task.KeyNext(ATTFILEKEY), S_NOTFOUND);
    // A write of the key fields moves the stored entry.
    att.attfilekey.attnamecrc = 77;
    ASSERT_EQ(task.RecWrite(&att), S_OKAY);
    EXPECT_EQ(task.KeyFind(ATTFILEKEY, &key), S_NOTFOUND);
    ASSERT_EQ(task.KeyFind(ATTFILEKEY, &att.attfilekey), S_OKAY);
    // The other optional key is separate.
    EXPECT_EQ(task.KeyFind(ATTREPOSKEY, &att.attreposkey), S_NOTFOUND);
    ASSERT_EQ(task.CrSet(dba), S_OKAY);
    ASSERT_EQ(task.KeyDelete(ATTFILEKEY), S_OKAY);
    EXPECT_EQ(task.KeyDelete(ATTFILEKEY), S_NOTFOUND);
    EXPECT_EQ(task.KeyFind(ATTFILEKEY, &att.attfilekey), S_NOTFOUND);
    EXPECT_EQ(task.KeyStore(ITEMID), S_NOTKEY);
    // Deleting the record drops its entries.
    ASSERT_EQ(task.CrSet(dba), S_OKAY);
    ASSERT_EQ(task.KeyStore(ATTREPOSKEY), S_OKAY);
    ASSERT_EQ(task.Delete(), S_OKAY);
    EXPECT_EQ(task.KeyFind(ATTREPOSKEY, &att.attreposkey), S_NOTFOUND);
    CheckReport report;
    EXPECT_EQ(task.CheckCatalog(&report), S_OKAY)
        << (report.messages.empty() ? "" : report.messages[0]);
}

TEST_F(EngineTest, AscendingSetSortsWithoutRegardToCaseThenBytewise) {
    const DBA folder = Make(task, DB_ITEMREC, Item(1, "folder"));
    ASSERT_EQ(task.SetOwnerToCurrent(DBS_ITEMS_IN_FOLDER), S_OKAY);
    uint32_t id = 2;
    for (const char* name : {"banana", "Apple", "cherry", "apple", "Banana", "", "apple"}) {
        Make(task, DB_ITEMREC, Item(id++, name, 1));
        ASSERT_EQ(task.Connect(DBS_ITEMS_IN_FOLDER), S_OKAY);
    }
    EXPECT_EQ(Names(DBS_ITEMS_IN_FOLDER), (std::vector<std::string>{"", "Apple", "apple", "apple",
                                                                    "Banana", "banana", "cherry"}));
    uint32_t n = 0;
    ASSERT_EQ(task.MemberCount(DBS_ITEMS_IN_FOLDER, &n), S_OKAY);
    EXPECT_EQ(n, 7u);
    // Renaming a member moves it.
    ASSERT_EQ(task.FindFirst(DBS_ITEMS_IN_FOLDER), S_OKAY);
    ASSERT_EQ(task.CrWrite(ITEMNAME,
                           "zebra\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0"
                           "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0"),
              S_OKAY);
    ASSERT_EQ(task.CrSet(folder), S_OKAY);
    ASSERT_EQ(task.SetOwnerToCurrent(DBS_ITEMS_IN_FOLDER), S_OKAY);
    EXPECT_EQ(Names(DBS_ITEMS_IN_FOLDER),
              (std::vector<std::string>{"Apple", "apple", "apple", "Banana", "banana", "cherry",
                                        "zebra"}));
    CheckReport report;
    EXPECT_EQ(task.CheckCatalog(&report), S_OKAY);
}

// A walk finds its place again from where its last record stood, whatever became of it.
TEST_F(EngineTest, WalksResumeFromThePlaceOfARecordThatWasRenamedMovedOrDeleted) {
    Make(task, DB_ITEMREC, Item(1, "folder"));
    ASSERT_EQ(task.SetOwnerToCurrent(DBS_ITEMS_IN_FOLDER), S_OKAY);
    std::map<std::string, DBA> dbas;
    uint32_t id = 2;
    for (const char* name : {"a", "b", "c", "d", "e"}) {
        dbas[name] = Make(task, DB_ITEMREC, Item(id++, name, 1));
        ASSERT_EQ(task.Connect(DBS_ITEMS_IN_FOLDER), S_OKAY);
    }
    auto name = [&]() {
        char ach[64] = {};
        EXPECT_EQ(task.CrRead(ITEMNAME, ach), S_OKAY);
        return std::string(ach);
    };
    char achB[64] = "b";
    // "b" renamed to "z" after the walk passed it: the walk goes on at "c", not after "z".
    ASSERT_EQ(task.CrSet(dbas["b"]), S_OKAY);
    char achZ[64] = "z";
    ASSERT_EQ(task.CrWrite(ITEMNAME, achZ), S_OKAY);
    ASSERT_EQ(task.FindFrom(DBS_ITEMS_IN_FOLDER, achB, dbas["b"], true), S_OKAY);
    EXPECT_EQ(name(), "c");
    ASSERT_EQ(task.FindNext(DBS_ITEMS_IN_FOLDER), S_OKAY);
    EXPECT_EQ(name(), "d");
    // "d" deleted: backwards from its place reaches "c".
    ASSERT_EQ(task.CrSet(dbas["d"]), S_OKAY);
    ASSERT_EQ(task.DisconnectDelete(), S_OKAY);
    char achD[64] = "d";
    ASSERT_EQ(task.FindFrom(DBS_ITEMS_IN_FOLDER, achD, dbas["d"], false), S_OKAY);
    EXPECT_EQ(name(), "c");
    ASSERT_EQ(task.FindPrev(DBS_ITEMS_IN_FOLDER), S_OKAY);
    EXPECT_EQ(name(), "a");
    ASSERT_EQ(task.FindFrom(DBS_ITEMS_IN_FOLDER, achZ, dbas["b"], true), S_EOS);
    EXPECT_EQ(task.FindFrom(DBS_ITEMS, achZ, dbas["b"], true), S_BADPARAM);

    // The same for a key walk: after (parent 1, status 0, "c") comes "e" once "c" moved away.
    ASSERT_EQ(task.CrSet(dbas["c"]), S_OKAY);
    const uint32_t other = 9;
    ASSERT_EQ(task.CrWrite(ITEMPARENTID, &other), S_OKAY);
    db_statusbyfolder key{1, 0};
    ASSERT_EQ(task.KeyFrom(STATUSBYFOLDER, &key, dbas["c"], true), S_OKAY);
    EXPECT_EQ(Current(task), dbas["e"]);
    ASSERT_EQ(task.KeyFrom(STATUSBYFOLDER, &key, dbas["c"], false), S_OKAY);
    EXPECT_EQ(Current(task), dbas["b"]);
    ASSERT_EQ(task.KeyPrev(STATUSBYFOLDER), S_OKAY);
    EXPECT_EQ(Current(task), dbas["a"]);

    // ReadAt: one read with the stamp, the record becomes current.
    db_itemrec rec{};
    uint32_t stamp = 0, stampCr = 0;
    ASSERT_EQ(task.ReadAt(dbas["e"], &rec, &stamp), S_OKAY);
    EXPECT_STREQ(rec.itemname, "e");
    EXPECT_EQ(Current(task), dbas["e"]);
    ASSERT_EQ(task.CrStamp(&stampCr), S_OKAY);
    EXPECT_EQ(stamp, stampCr);
    EXPECT_EQ(task.ReadAt(dbas["d"], &rec, nullptr), S_DELETED);
    EXPECT_EQ(task.ReadAt(0, &rec, nullptr), S_INVADDR);
}

TEST_F(EngineTest, OrderLastAppendsAndOrderNextInsertsAfterTheCurrentMember) {
    // DBS_ITEMS (next): created and connected one after another: creation order.
    const DBA sys = SystemDba(task);
    ASSERT_EQ(task.SetOwnerToCurrent(DBS_ITEMS), S_OKAY);
    std::map<std::string, DBA> d;
    uint32_t id = 1;
    for (const char* name : {"a", "b", "c"}) {
        d[name] = Make(task, DB_ITEMREC, Item(id++, name));
        ASSERT_EQ(task.Connect(DBS_ITEMS), S_OKAY);
    }
    EXPECT_EQ(Names(DBS_ITEMS), (std::vector<std::string>{"a", "b", "c"}));
    // After "a": the new member goes between a and b and becomes current member.
    ASSERT_EQ(task.MemberSet(DBS_ITEMS, d["a"]), S_OKAY);
    d["d"] = Make(task, DB_ITEMREC, Item(id++, "d"));
    ASSERT_EQ(task.Connect(DBS_ITEMS), S_OKAY);
    DBA m = 0;
    ASSERT_EQ(task.MemberGet(DBS_ITEMS, &m), S_OKAY);
    EXPECT_EQ(m, d["d"]);
    EXPECT_EQ(Current(task), d["d"]);  // the current record stays the connected record
    EXPECT_EQ(Names(DBS_ITEMS), (std::vector<std::string>{"a", "d", "b", "c"}));
    // Many inserts at the same place (forces the positions to be spread again).
    std::vector<std::string> want = {"a"};
    for (int i = 0; i < 60; ++i) {
        ASSERT_EQ(task.MemberSet(DBS_ITEMS, d["a"]), S_OKAY);
        const std::string name = "n" + std::to_string(i);
        Make(task, DB_ITEMREC, Item(id++, name.c_str()));
        ASSERT_EQ(task.Connect(DBS_ITEMS), S_OKAY);
        want.insert(want.begin() + 1, name);
    }
    for (const char* s : {"d", "b", "c"})
        want.push_back(s);
    EXPECT_EQ(Names(DBS_ITEMS), want);
    // No current member: at the end.
    ASSERT_EQ(task.OwnerSet(DBS_ITEMS, sys), S_OKAY);
    Make(task, DB_ITEMREC, Item(id++, "end"));
    ASSERT_EQ(task.Connect(DBS_ITEMS), S_OKAY);
    ASSERT_EQ(task.FindLast(DBS_ITEMS), S_OKAY);
    char name[64] = {};
    ASSERT_EQ(task.CrRead(ITEMNAME, name), S_OKAY);
    EXPECT_STREQ(name, "end");

    // DBS_ATTACHMENTS (last): always at the end, whatever the current member.
    ASSERT_EQ(task.CrSet(d["a"]), S_OKAY);
    ASSERT_EQ(task.SetOwnerToCurrent(DBS_ATTACHMENTS), S_OKAY);
    std::vector<DBA> atts;
    for (int i = 0; i < 3; ++i) {
        db_attachrec a{};
        a.attversion = uint16_t(i);
        atts.push_back(Make(task, DB_ATTACHREC, a));
        ASSERT_EQ(task.Connect(DBS_ATTACHMENTS), S_OKAY);
        ASSERT_EQ(task.FindFirst(DBS_ATTACHMENTS), S_OKAY);
    }
    std::vector<DBA> seen;
    for (int rc = task.FindFirst(DBS_ATTACHMENTS); rc == S_OKAY;
         rc = task.FindNext(DBS_ATTACHMENTS))
        seen.push_back(Current(task));
    EXPECT_EQ(seen, atts);
    seen.clear();
    for (int rc = task.FindLast(DBS_ATTACHMENTS); rc == S_OKAY; rc = task.FindPrev(DBS_ATTACHMENTS))
        seen.push_back(Current(task));
    EXPECT_EQ(seen, (std::vector<DBA>{atts[2], atts[1], atts[0]}));
    CheckReport report;
    EXPECT_EQ(task.CheckCatalog(&report), S_OKAY)
        << (report.messages.empty() ? "" : report.messages[0]);
}

TEST_F(EngineTest, CurrencyAfterConnectDisconnectAndDelete) {
    const DBA owner = Make(task, DB_VARSTRINGREC, db_varstringrec{});
    ASSERT_EQ(task.SetOwnerToCurrent(DBS_VARSTRING), S_OKAY);
    std::vector<DBA> parts;
    for (int i = 0; i < 3; ++i) {
        db_smallvar v{};
        v.varlen = uint8_t(i);
        parts.push_back(Make(task, DB_SMALLVAR, v));
        ASSERT_EQ(task.Connect(DBS_VARSTRING), S_OKAY);
        DBA m = 0;
        ASSERT_EQ(task.MemberGet(DBS_VARSTRING, &m), S_OKAY);
        EXPECT_EQ(m, parts.back());
    }
    EXPECT_EQ(task.Connect(DBS_VARSTRING), S_ISOWNED);
    // Type and membership tests.
    int type = 0;
    ASSERT_EQ(task.MemberType(DBS_VARSTRING, &type), S_OKAY);
    EXPECT_EQ(type, DB_SMALLVAR);
    EXPECT_EQ(task.IsMember(DBS_VARSTRING), S_OKAY);
    EXPECT_EQ(task.IsOwner(DBS_VARSTRING), S_EOS);
    EXPECT_EQ(task.IsMember(DBS_ITEMS), S_EOS);
    // A connected record is not deleted; an owner with members neither.
    EXPECT_EQ(task.Delete(), S_ISMEMBER);
    ASSERT_EQ(task.CrSet(owner), S_OKAY);
    EXPECT_EQ(task.IsOwner(DBS_VARSTRING), S_OKAY);
    EXPECT_EQ(task.Delete(), S_HASMEMBER);
    // Disconnect the middle member: the next becomes current member, current record unchanged.
    ASSERT_EQ(task.MemberSet(DBS_VARSTRING, parts[1]), S_OKAY);
    ASSERT_EQ(task.Disconnect(DBS_VARSTRING), S_OKAY);
    DBA m = 0;
    ASSERT_EQ(task.MemberGet(DBS_VARSTRING, &m), S_OKAY);
    EXPECT_EQ(m, parts[2]);
    EXPECT_EQ(Current(task), owner);
    // Disconnect the last: none follows.
    EXPECT_EQ(task.Disconnect(DBS_VARSTRING), S_EOS);
    EXPECT_EQ(task.MemberGet(DBS_VARSTRING, &m), S_NOCM);
    EXPECT_EQ(task.Disconnect(DBS_VARSTRING), S_NOCM);
    uint32_t n = 0;
    ASSERT_EQ(task.MemberCount(DBS_VARSTRING, &n), S_OKAY);
    EXPECT_EQ(n, 1u);
    // Owner of a member, and reading the owner's field.
    ASSERT_EQ(task.CrSet(parts[0]), S_OKAY);
    ASSERT_EQ(task.FindOwner(DBS_VARSTRING), S_OKAY);
    EXPECT_EQ(Current(task), owner);
    ASSERT_EQ(task.CrSet(parts[1]), S_OKAY);
    EXPECT_EQ(task.FindOwner(DBS_VARSTRING), S_NOTCON);
    uint32_t len = 99;
    ASSERT_EQ(task.OwnerRead(DBS_VARSTRING, VARSTRINGLENGTH, &len), S_OKAY);
    EXPECT_EQ(len, 0u);
    // Disconnected records delete; deleting the current member clears it.
    ASSERT_EQ(task.CrSet(parts[1]), S_OKAY);
    ASSERT_EQ(task.Delete(), S_OKAY);
    ASSERT_EQ(task.MemberSet(DBS_VARSTRING, parts[0]), S_OKAY);
    ASSERT_EQ(task.CurrentToMember(DBS_VARSTRING), S_OKAY);
    ASSERT_EQ(task.DisconnectDelete(), S_OKAY);
    EXPECT_EQ(task.MemberGet(DBS_VARSTRING, &m), S_NOCM);
    ASSERT_EQ(task.OwnerGet(DBS_VARSTRING, &m), S_OKAY);
    EXPECT_EQ(task.FindFirst(DBS_VARSTRING), S_EOS);
    // Disconnect-and-delete of an owner frees its members.
    ASSERT_EQ(task.CrSet(owner), S_OKAY);
    db_largedata big{};
    Make(task, DB_LARGEDATA, big);
    ASSERT_EQ(task.Connect(DBS_VARSTRING), S_OKAY);
    const DBA orphan = Current(task);
    ASSERT_EQ(task.CrSet(owner), S_OKAY);
    ASSERT_EQ(task.DisconnectDelete(), S_OKAY);
    EXPECT_EQ(task.OwnerGet(DBS_VARSTRING, &m), S_NOCO);
    ASSERT_EQ(task.CrSet(orphan), S_OKAY);
    EXPECT_EQ(task.IsMember(DBS_VARSTRING), S_EOS);
    ASSERT_EQ(task.Delete(), S_OKAY);
    CheckReport report;
    EXPECT_EQ(task.CheckCatalog(&report), S_OKAY)
        << (report.messages.empty() ? "" : report.messages[0]);
}

TEST_F(EngineTest, WalksSurviveWritesAndNestedWalksOfOtherSets) {
    // Folder with five items; each item gets two attachments while the folder is walked.
    const DBA folder = Make(task, DB_ITEMREC, Item(1, "folder"));
    ASSERT_EQ(task.SetOwnerToCurrent(DBS_ITEMS_IN_FOLDER), S_OKAY);
    for (uint32_t i = 0; i < 5; ++i) {
        Make(task, DB_ITEMREC, Item(10 + i, std::string(1, char('a' + i)).c_str(), 1));
        ASSERT_EQ(task.Connect(DBS_ITEMS_IN_FOLDER), S_OKAY);
    }
    std::vector<std::string> visited;
    for (int rc = task.FindFirst(DBS_ITEMS_IN_FOLDER); rc == S_OKAY;
         rc = task.FindNext(DBS_ITEMS_IN_FOLDER)) {
        char name[64] = {};
        ASSERT_EQ(task.CrRead(ITEMNAME, name), S_OKAY);
        visited.push_back(name);
        ASSERT_EQ(task.SetOwnerToCurrent(DBS_ATTACHMENTS), S_OKAY);
        for (int k = 0; k < 2; ++k) {
            Make(task, DB_ATTACHREC, db_attachrec{});
            ASSERT_EQ(task.Connect(DBS_ATTACHMENTS), S_OKAY);
        }
        uint32_t n = 0;
        for (int a = task.FindFirst(DBS_ATTACHMENTS); a == S_OKAY;
             a = task.FindNext(DBS_ATTACHMENTS))
            ++n;
        EXPECT_EQ(n, 2u);
        // Renaming the member being walked keeps the walk going from its new place.
        if (visited.size() == 2) {
            ASSERT_EQ(task.CurrentToMember(DBS_ITEMS_IN_FOLDER), S_OKAY);
            db_itemrec r{};
            ASSERT_EQ(task.RecRead(&r), S_OKAY);
            std::snprintf(r.itemname, sizeof r.itemname, "%s", "bb");
            ASSERT_EQ(task.RecWrite(&r), S_OKAY);
        }
    }
    EXPECT_EQ(visited, (std::vector<std::string>{"a", "b", "c", "d", "e"}));
    // Emptying a set member by member.
    ASSERT_EQ(task.CrSet(folder), S_OKAY);
    ASSERT_EQ(task.SetOwnerToCurrent(DBS_ITEMS_IN_FOLDER), S_OKAY);
    int removed = 0;
    while (task.FindFirst(DBS_ITEMS_IN_FOLDER) == S_OKAY) {
        ASSERT_EQ(task.Disconnect(DBS_ITEMS_IN_FOLDER), removed == 4 ? S_EOS : S_OKAY);
        ++removed;
    }
    EXPECT_EQ(removed, 5);
    // Deleting while walking: the next member is reached from the one before.
    ASSERT_EQ(task.RecFirst(DB_ITEMREC), S_OKAY);
    ASSERT_EQ(task.RecNext(DB_ITEMREC), S_OKAY);
    ASSERT_EQ(task.SetOwnerToCurrent(DBS_ATTACHMENTS), S_OKAY);
    ASSERT_EQ(task.FindFirst(DBS_ATTACHMENTS), S_OKAY);
    ASSERT_EQ(task.DisconnectDelete(), S_OKAY);
    EXPECT_EQ(task.FindNext(DBS_ATTACHMENTS), S_OKAY);  // no current member: the first again
    EXPECT_EQ(task.FindNext(DBS_ATTACHMENTS), S_EOS);
    CheckReport report;
    EXPECT_EQ(task.CheckCatalog(&report), S_OKAY)
        << (report.messages.empty() ? "" : report.messages[0]);
}

TEST_F(EngineTest, ErrorCallbackHearsSystemErrors) {
    std::vector<int> heard;
    task.SetErrorCallback(
        [](int status, const char* text, void* ctx) {
            EXPECT_NE(text, nullptr);
            static_cast<std::vector<int>*>(ctx)->push_back(status);
        },
        &heard);
    ASSERT_EQ(task.SetSizeLimit(300 * 1024), S_OKAY);
    db_largedata d{};
    int rc = S_OKAY;
    for (int i = 0; i < 5000 && rc == S_OKAY; ++i)
        rc = task.FillNew(DB_LARGEDATA, &d);
    EXPECT_EQ(rc, S_NOSPACE);
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(heard.back(), S_NOSPACE);
    const size_t before = heard.size();
    EXPECT_EQ(task.CrSet(0), S_INVADDR);  // ordinary errors are not reported
    EXPECT_EQ(heard.size(), before);
}

TEST_F(EngineTest, SystemOwnedSetsHaveTheSystemRecordAsOwnerFromTheOpen) {
    DBA owner = 0;
    for (int set : {DBS_USERS, DBS_ITEMS, DBS_GROUPS, DBS_RESOURCES}) {
        ASSERT_EQ(task.OwnerGet(set, &owner), S_OKAY) << set;
        EXPECT_EQ(DbaRecord(owner), SYSTEM);
    }
    EXPECT_EQ(task.OwnerGet(DBS_ITEMS_IN_FOLDER, &owner), S_NOCO);
    Make(task, DB_RESOURCEREC, db_resourcerec{});
    EXPECT_EQ(task.Connect(DBS_RESOURCES), S_OKAY);
    uint32_t n = 0;
    ASSERT_EQ(task.MemberCount(DBS_RESOURCES, &n), S_OKAY);
    EXPECT_EQ(n, 1u);
}

TEST_F(EngineTest, CurrencyMovesBetweenSetsAndChecksTypes) {
    const DBA sys = SystemDba(task);
    const DBA user = Make(task, DB_USERREC, User(1, "ann"));
    ASSERT_EQ(task.OwnerSet(DBS_USERS, sys), S_OKAY);
    ASSERT_EQ(task.Connect(DBS_USERS), S_OKAY);
    ASSERT_EQ(task.SetOwnerFromMember(DBS_OWNS_ITEM, DBS_USERS), S_OKAY);
    DBA o = 0;
    ASSERT_EQ(task.OwnerGet(DBS_OWNS_ITEM, &o), S_OKAY);
    EXPECT_EQ(o, user);
    EXPECT_EQ(task.SetOwnerFromOwner(DBS_GROUPS, DBS_USERS), S_OKAY);  // both owned by SYSTEM
    EXPECT_EQ(task.SetOwnerFromMember(DBS_GROUPS, DBS_USERS), S_INVOWN);
    EXPECT_EQ(task.SetOwnerToCurrent(DBS_ITEMS), S_INVOWN);
    const DBA item = Make(task, DB_ITEMREC, Item(1, "i"));
    EXPECT_EQ(task.Connect(DBS_USERS), S_INVMEM);
    ASSERT_EQ(task.Connect(DBS_OWNS_ITEM), S_OKAY);
    ASSERT_EQ(task.CrSet(item), S_OKAY);
    ASSERT_EQ(task.FindOwner(DBS_OWNS_ITEM), S_OKAY);
    EXPECT_EQ(Current(task), user);
    char name[64] = {};
    ASSERT_EQ(task.CrSet(item), S_OKAY);
    ASSERT_EQ(task.SetMemberToCurrent(DBS_OWNS_ITEM), S_OKAY);
    ASSERT_EQ(task.OwnerRead(DBS_OWNS_ITEM, USERNAME, name), S_OKAY);
    EXPECT_STREQ(name, "ann");
    EXPECT_EQ(task.OwnerRead(DBS_OWNS_ITEM, ITEMNAME, name), S_INVFLD);
    ASSERT_EQ(task.MemberRead(DBS_OWNS_ITEM, ITEMNAME, name), S_OKAY);
    EXPECT_STREQ(name, "i");
    EXPECT_EQ(task.SetMemberFromMember(DBS_ITEMS, DBS_OWNS_ITEM), S_NOTCON);
    EXPECT_EQ(task.FindFirst(DBS_ITEMS_IN_FOLDER), S_NOCO);
    EXPECT_EQ(task.Connect(30000), S_INVSET);
    ASSERT_EQ(task.CurrentToOwner(DBS_OWNS_ITEM), S_OKAY);
    EXPECT_EQ(Current(task), user);
}

TEST_F(EngineTest, TransactionsCommitOrRollBackAndSetTheStateWord) {
    EXPECT_EQ(task.StateWord() & kStateTransaction, 0);
    ASSERT_EQ(task.TransactionBegin("ItemCreate"), S_OKAY);
    EXPECT_EQ(task.StateWord() & kStateTransaction, kStateTransaction);
    EXPECT_STREQ(task.TransactionTag(), "ItemCreate");
    EXPECT_EQ(task.TransactionBegin("again"), S_TRACTIVE);
    const LOCK_REQUEST packet[] = {{DB_ITEMREC, 'w'}, {DBS_ITEMS, 'w'}};
    ASSERT_EQ(task.Lock(packet, 2), S_OKAY);
    Make(task, DB_ITEMREC, Item(1, "gone"));
    ASSERT_EQ(task.TransactionAbort(), S_OKAY);
    EXPECT_EQ(task.StateWord() & kStateTransaction, 0);
    char state = 0;
    ASSERT_EQ(task.LockState(DB_ITEMREC, &state), S_OKAY);
    EXPECT_EQ(state, 'f');
    uint32_t n = 1;
    ASSERT_EQ(task.RecCount(DB_ITEMREC, &n), S_OKAY);
    EXPECT_EQ(n, 0u);
    ASSERT_EQ(task.TransactionBegin("ItemCreate"), S_OKAY);
    ASSERT_EQ(task.Lock(packet, 2), S_OKAY);
    Make(task, DB_ITEMREC, Item(1, "kept"));
    ASSERT_EQ(task.TransactionEnd(), S_OKAY);
    EXPECT_EQ(task.TransactionEnd(), S_TRNOTACT);
    EXPECT_EQ(task.TransactionAbort(), S_TRNOTACT);
    CDbTask other;
    ASSERT_EQ(OpenTask(other, path, "s"), S_OKAY);
    ASSERT_EQ(other.RecCount(DB_ITEMREC, &n), S_OKAY);
    EXPECT_EQ(n, 1u);
    // Options: bit 2 mirrors "keep locks".
    task.SetOptions(kOptKeepLocks);
    EXPECT_EQ(task.StateWord() & kStateKeepLocks, kStateKeepLocks);
    task.ClearOptions(kOptKeepLocks);
    EXPECT_EQ(task.StateWord() & kStateKeepLocks, 0);
}

TEST_F(EngineTest, AFailedOperationInsideATransactionLeavesTheRestOfIt) {
    ASSERT_EQ(task.TransactionBegin("t"), S_OKAY);
    Make(task, DB_ITEMREC, Item(1, "one"));
    db_itemrec dup = Item(1, "dup");
    EXPECT_EQ(task.FillNew(DB_ITEMREC, &dup), S_DUPLICATE);
    Make(task, DB_ITEMREC, Item(2, "two"));
    ASSERT_EQ(task.TransactionEnd(), S_OKAY);
    uint32_t n = 0;
    ASSERT_EQ(task.RecCount(DB_ITEMREC, &n), S_OKAY);
    EXPECT_EQ(n, 2u);
}

TEST_F(EngineTest, InitializeEmptiesAnExclusiveCatalogOnly) {
    Make(task, DB_ITEMREC, Item(1, "x"));
    EXPECT_EQ(task.Initialize(), S_INCOMPAT);
    task.Close();
    ASSERT_EQ(OpenTask(task, path, "x"), S_OKAY);
    ASSERT_EQ(task.Initialize(), S_OKAY);
    uint32_t n = 9;
    ASSERT_EQ(task.RecCount(DB_ITEMREC, &n), S_OKAY);
    EXPECT_EQ(n, 0u);
    ASSERT_EQ(task.RecCount(SYSTEM, &n), S_OKAY);
    EXPECT_EQ(n, 1u);
}

TEST_F(EngineTest, CheckFindsDamageAndRebuildRepairsIt) {
    ASSERT_EQ(task.OwnerSet(DBS_USERS, SystemDba(task)), S_OKAY);
    Make(task, DB_USERREC, User(1, "ann"));
    ASSERT_EQ(task.Connect(DBS_USERS), S_OKAY);
    Make(task, DB_USERREC, User(2, "bob"));
    ASSERT_EQ(task.Connect(DBS_USERS), S_OKAY);
    CheckReport clean;
    ASSERT_EQ(task.CheckCatalog(&clean), S_OKAY);
    EXPECT_EQ(clean.memberships, 2u);
    task.Close();
    // Damage behind the engine's back: a stale order key and a wrong member count.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "UPDATE db_userrec SET username='zz' WHERE userid=1;"
                           "UPDATE dbms_owner SET members=5;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    ASSERT_EQ(OpenTask(task, path, "x"), S_OKAY);
    CheckReport damaged;
    EXPECT_EQ(task.CheckCatalog(&damaged), S_NOTFOUND);
    EXPECT_EQ(damaged.errors, 2u);
    CheckReport rebuilt;
    ASSERT_EQ(task.RebuildKeys(&rebuilt), S_OKAY);
    CheckReport after;
    EXPECT_EQ(task.CheckCatalog(&after), S_OKAY);
    ASSERT_EQ(task.OwnerSet(DBS_USERS, SystemDba(task)), S_OKAY);
    ASSERT_EQ(task.FindFirst(DBS_USERS), S_OKAY);
    char name[32] = {};
    ASSERT_EQ(task.CrRead(USERNAME, name), S_OKAY);
    EXPECT_STREQ(name, "bob");
}

TEST(Checksum, IsCrc32) {
    EXPECT_EQ(CDbTask::Checksum("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(CDbTask::Checksum("", 0), 0u);
    const uint32_t part = CDbTask::Checksum("12345", 5);
    EXPECT_EQ(CDbTask::Checksum("6789", 4, part), 0xCBF43926u);
    EXPECT_EQ(CDbTask::Checksum("The quick brown fox jumps over the lazy dog", 43), 0x414FA339u);
}

TEST(StatusText, EveryStatusHasAText) {
    for (int s : {S_OKAY,          S_EOS,     S_NOTFOUND,     S_DUPLICATE, S_UNAVAIL,   S_DELETED,
                  S_UPDATED,       S_INVADDR, S_NOCR,         S_NOTCON,    S_NOTFREE,   S_NAMELEN,
                  S_BADUSERID,     S_NOUSER,  S_NOSPACE,      S_NOMEMORY,  S_READ,      S_NOLOCKMGR,
                  S_DBALREADYOPEN, S_NOSHARE, S_BADTRANSPORT, S_INVDB,     S_TAFINVALID})
        EXPECT_STRNE(StatusText(s), "unknown engine status") << s;
    EXPECT_STREQ(StatusText(12345), "unknown engine status");
}

// The write-ahead log over many commits, with another process holding the catalog open: it
// never grows past its bound and the last transaction, and a close gives its space back.
TEST_F(EngineTest, WriteAheadLogStaysInItsBoundAndIsTruncatedAtClose) {
    int afdReady[2], afdDone[2];
    ASSERT_EQ(pipe(afdReady), 0);
    ASSERT_EQ(pipe(afdDone), 0);
    const pid_t child = qn::test::ForkChild([&] {
        CDbTask other;
        const char c = OpenTask(other, path) == S_OKAY ? 'y' : 'n';
        if (write(afdReady[1], &c, 1) != 1)
            return 1;
        char done;
        return read(afdDone[0], &done, 1) == 1 ? 0 : 2;
    });
    char ready = 0;
    ASSERT_EQ(read(afdReady[0], &ready, 1), 1);
    ASSERT_EQ(ready, 'y');
    const std::string log = path + "-wal";
    auto sizeOf = [](const std::string& p) -> int64_t {
        struct stat sb;
        return stat(p.c_str(), &sb) == 0 ? int64_t(sb.st_size) : 0;
    };
    constexpr int64_t kLastTransaction = 64 * 1024;  // what one transaction below writes at most
    int64_t largest = 0;
    db_largedata d{};
    for (int round = 0; round < 400; ++round) {
        ASSERT_EQ(task.TransactionBegin("fill"), S_OKAY);
        for (int i = 0; i < 20; ++i) {
            d.data256[0] = uint8_t(i);
            ASSERT_EQ(task.FillNew(DB_LARGEDATA, &d), S_OKAY);
        }
        ASSERT_EQ(task.TransactionEnd(), S_OKAY);
        largest = std::max(largest, sizeOf(log));
    }
    EXPECT_GT(largest, kLogSizeLimit / 2) << "the log was filled";
    EXPECT_LE(largest, kLogSizeLimit + kLastTransaction);
    task.Close();
    EXPECT_EQ(sizeOf(log), 0);
    ASSERT_EQ(write(afdDone[1], "x", 1), 1);
    EXPECT_EQ(qn::test::WaitChild(child), 0);
    ASSERT_EQ(OpenTask(task, path), S_OKAY);
    uint32_t n = 0;
    ASSERT_EQ(task.RecCount(DB_LARGEDATA, &n), S_OKAY);
    EXPECT_EQ(n, 400u * 20u);
}

// True when the catalog keeps sqlite_sequence (its record tables are AUTOINCREMENT).
bool HasSequenceTable(const std::string& path) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    bool found = false;
    if (sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_master WHERE name='sqlite_sequence'", -1, &st,
                           nullptr) == SQLITE_OK)
        found = sqlite3_step(st) == SQLITE_ROW;
    sqlite3_finalize(st);
    sqlite3_close(db);
    return found;
}

// Slots are never given twice, in the catalogs the engine makes now (it gives the slots itself)
// and in those made before (AUTOINCREMENT tables), across deletes of the highest slot and
// reopens; emptying the catalog starts them again.
TEST(Slots, AreNeverGivenAgainAfterADeleteInEitherFormOfCatalog) {
    for (const bool classic : {false, true}) {
        SCOPED_TRACE(classic ? "AUTOINCREMENT catalog" : "catalog of today");
        qn::test::TempDir dir;
        testing::CreateAutoincrementCatalogs(classic);
        const std::string path = NewCatalog(dir);
        testing::CreateAutoincrementCatalogs(false);
        EXPECT_EQ(HasSequenceTable(path), classic);
        uint32_t highest = 0;
        {
            CDbTask t;
            ASSERT_EQ(OpenTask(t, path, "x"), S_OKAY);
            std::vector<DBA> made;
            for (uint32_t i = 1; i <= 5; ++i)
                made.push_back(Make(t, DB_ITEMREC, Item(i, "x")));
            EXPECT_EQ(DbaSlot(made[0]), 1u);
            // The highest two go, the highest first, then one below the highest left.
            for (const size_t gone : {size_t(4), size_t(3), size_t(1)}) {
                ASSERT_EQ(t.CrSet(made[gone]), S_OKAY);
                ASSERT_EQ(t.Delete(), S_OKAY);
            }
            const DBA next = Make(t, DB_ITEMREC, Item(6, "x"));
            EXPECT_EQ(DbaSlot(next), 6u);
            ASSERT_EQ(t.Delete(), S_OKAY);
            highest = DbaSlot(next);
            // Other record types keep their own slots.
            EXPECT_EQ(DbaSlot(Make(t, DB_USERREC, User(1, "ann"))), 1u);
        }
        CDbTask t;
        ASSERT_EQ(OpenTask(t, path, "x"), S_OKAY);
        const DBA after = Make(t, DB_ITEMREC, Item(7, "x"));
        EXPECT_EQ(DbaSlot(after), highest + 1) << "after a reopen too";
        CheckReport report;
        EXPECT_EQ(t.CheckCatalog(&report), S_OKAY);
        ASSERT_EQ(t.Initialize(), S_OKAY);
        EXPECT_EQ(DbaSlot(Make(t, DB_ITEMREC, Item(8, "x"))), 1u)
            << "an emptied catalog starts again";
        EXPECT_EQ(HasSequenceTable(path), classic);
    }
}

// A record write that leaves its keys as they were rewrites no index entry; the keys are right
// after every kind of write, and a write that would duplicate a unique key changes nothing.
TEST_F(EngineTest, WritesKeepTheKeysRightAndLeaveUnchangedKeysAlone) {
    ASSERT_EQ(task.OwnerSet(DBS_USERS, SystemDba(task)), S_OKAY);
    const DBA ann = Make(task, DB_USERREC, User(1, "ann"));
    ASSERT_EQ(task.Connect(DBS_USERS), S_OKAY);
    Make(task, DB_USERREC, User(2, "bob"));
    ASSERT_EQ(task.Connect(DBS_USERS), S_OKAY);
    struct Case {
        const char* name;
        uint16_t id;
        const char* user;
        const char* description;
        int status;
        uint16_t expectId;  // what is stored afterwards
        const char* expectUser;
    };
    const Case cases[] = {
        {"no key changes", 1, "ann", "first", S_OKAY, 1, "ann"},
        {"the duplicate key changes", 1, "anna", "second", S_OKAY, 1, "anna"},
        {"the unique key changes", 3, "anna", "third", S_OKAY, 3, "anna"},
        {"both change back", 1, "ann", "fourth", S_OKAY, 1, "ann"},
        {"a unique key taken by another", 2, "ann", "fifth", S_DUPLICATE, 1, "ann"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(task.CrSet(ann), S_OKAY);
        db_userrec r;
        ASSERT_EQ(task.RecRead(&r), S_OKAY);
        r.userid = c.id;
        std::snprintf(r.username, sizeof r.username, "%s", c.user);
        std::snprintf(r.userdescription, sizeof r.userdescription, "%s", c.description);
        EXPECT_EQ(task.RecWrite(&r), c.status) << c.name;
        ASSERT_EQ(task.KeyFind(USERID, &c.expectId), S_OKAY) << c.name;
        EXPECT_EQ(Current(task), ann) << c.name;
        ASSERT_EQ(task.KeyFind(USERNAME, c.expectUser), S_OKAY) << c.name;
        EXPECT_EQ(Current(task), ann) << c.name;
        for (const char* other : {"ann", "anna"}) {
            if (std::strcmp(other, c.expectUser) != 0) {
                EXPECT_EQ(task.KeyFind(USERNAME, other), S_NOTFOUND) << c.name;
            }
        }
        CheckReport report;
        EXPECT_EQ(task.CheckCatalog(&report), S_OKAY) << c.name;
    }
    // The user set still orders by name.
    ASSERT_EQ(task.OwnerSet(DBS_USERS, SystemDba(task)), S_OKAY);
    ASSERT_EQ(task.FindFirst(DBS_USERS), S_OKAY);
    EXPECT_EQ(Current(task), ann);

    // What each write costs in pages: without a key change no index page is among them.
    auto pagesOf = [&](const char* user, const char* description) {
        EXPECT_EQ(task.CrSet(ann), S_OKAY);
        db_userrec r;
        EXPECT_EQ(task.RecRead(&r), S_OKAY);
        std::snprintf(r.username, sizeof r.username, "%s", user);
        std::snprintf(r.userdescription, sizeof r.userdescription, "%s", description);
        const uint64_t before = testing::PagesWritten();
        EXPECT_EQ(task.RecWrite(&r), S_OKAY);
        return testing::PagesWritten() - before;
    };
    const uint64_t unkeyed = pagesOf("ann", "sixth");
    const uint64_t keyed = pagesOf("anne", "seventh");
    EXPECT_LT(unkeyed, keyed);
    EXPECT_EQ(unkeyed, 2u) << "the record's page and the stamp's";
}

}  // namespace
}  // namespace qn::dbms::test

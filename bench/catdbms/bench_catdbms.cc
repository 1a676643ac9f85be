// The engine beside raw SQLite doing the same work with the same durability (WAL,
// synchronous=FULL), in the same folder and the same run; main prints the rates as ratios
// (engine rate / SQLite rate, goal >= 0.5) and the folder's fsync floor.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "catdbms/dbms.h"
#include "ratioreporter.h"
#include "testsupport.h"

namespace {

using namespace qn::dbms;

constexpr uint32_t kMembers = 100000;

qn::test::TempDir& Dir() {
    static qn::test::TempDir dir;
    return dir;
}

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "benchmark set-up failed: %s\n", what);
        std::abort();
    }
}

db_itemrec Item(uint32_t id) {
    db_itemrec r;
    std::memset(&r, 0, sizeof r);
    r.itemversion = 25;
    r.type = 1;
    r.itemid = id;
    r.itemparentid = 1;
    std::snprintf(r.itemname, sizeof r.itemname, "item %u", id);
    return r;
}

// ---- Raw SQLite peer

struct RawDb {
    sqlite3* db = nullptr;
    explicit RawDb(const std::string& path) {
        std::remove(path.c_str());
        Check(sqlite3_open(path.c_str(), &db) == SQLITE_OK, "raw open");
        Exec(
            "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
            "CREATE TABLE item(slot INTEGER PRIMARY KEY AUTOINCREMENT, stamp INTEGER, itemid "
            "INTEGER, "
            "itemparentid INTEGER, itemname TEXT, itemdescription TEXT, status INTEGER, "
            "tmlastmodified INTEGER, "
            "duedate INTEGER, body BLOB);"
            "CREATE UNIQUE INDEX item_id ON item(itemid);"
            // The same keys as the catalog's item record: its id and the three compound keys.
            "CREATE INDEX item_status ON item(itemparentid, status, slot);"
            "CREATE INDEX item_modified ON item(itemparentid, tmlastmodified, slot);"
            "CREATE INDEX item_due ON item(itemparentid, duedate, slot);"
            "CREATE TABLE member(setcode INTEGER, owner INTEGER, member INTEGER, ord BLOB, "
            "PRIMARY KEY(setcode, member)) WITHOUT ROWID;"
            "CREATE UNIQUE INDEX member_order ON member(setcode, owner, ord);");
    }
    ~RawDb() { sqlite3_close(db); }
    void Exec(const char* sql) {
        Check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK, sql);
    }
    sqlite3_stmt* Prepare(const char* sql) {
        sqlite3_stmt* st = nullptr;
        Check(sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK, sql);
        return st;
    }
};

// ---- 1. One transaction: create a record, connect it to two sets and one key

void BM_EngineCreateConnectCommit(benchmark::State& state) {
    const std::string path = Dir().file("create.vfc");
    std::remove(path.c_str());
    Check(CDbTask::CreateCatalog(path.c_str()) == S_OKAY, "create catalog");
    CDbTask t;
    Check(t.Open(path.c_str(), "s") == S_OKAY, "open");
    db_itemrec folder = Item(1);
    Check(t.FillNew(DB_ITEMREC, &folder) == S_OKAY, "folder");
    DBA folderDba = 0, system = 0;
    t.CrGet(&folderDba);
    t.RecFirst(SYSTEM);
    t.CrGet(&system);
    const LOCK_REQUEST packet[] = {{DB_ITEMREC, 'w'}, {DBS_ITEMS, 'w'}, {DBS_ITEMS_IN_FOLDER, 'w'}};
    uint32_t id = 2;
    for (auto _ : state) {
        t.TransactionBegin("ItemCreate");
        t.Lock(packet, 3);
        db_itemrec r = Item(id++);
        int rc = t.FillNew(DB_ITEMREC, &r);  // ITEMID is kept by the record's key
        t.OwnerSet(DBS_ITEMS, system);
        rc |= t.Connect(DBS_ITEMS);
        t.OwnerSet(DBS_ITEMS_IN_FOLDER, folderDba);
        rc |= t.Connect(DBS_ITEMS_IN_FOLDER);
        rc |= t.TransactionEnd();
        if (rc != S_OKAY)
            state.SkipWithError("engine transaction failed");
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_EngineCreateConnectCommit)->MinTime(2.0)->UseRealTime();

void BM_SqliteCreateConnectCommit(benchmark::State& state) {
    RawDb raw(Dir().file("create.raw"));
    sqlite3_stmt* ins = raw.Prepare(
        "INSERT INTO item(stamp, itemid, itemparentid, itemname, itemdescription, status, "
        "tmlastmodified, duedate, "
        "body) VALUES(?1, ?2, 1, ?3, '', 0, 0, 0, zeroblob(78))");
    sqlite3_stmt* mem =
        raw.Prepare("INSERT INTO member(setcode, owner, member, ord) VALUES(?1, ?2, ?3, ?4)");
    int64_t id = 2;
    for (auto _ : state) {
        raw.Exec("BEGIN IMMEDIATE");
        char name[32];
        std::snprintf(name, sizeof name, "item %lld", static_cast<long long>(id));
        sqlite3_bind_int64(ins, 1, id);
        sqlite3_bind_int64(ins, 2, id);
        sqlite3_bind_text(ins, 3, name, -1, SQLITE_TRANSIENT);
        int rc = sqlite3_step(ins);
        sqlite3_reset(ins);
        const int64_t slot = sqlite3_last_insert_rowid(raw.db);
        for (int set = 0; set < 2; ++set) {
            uint8_t ord[8];
            for (int i = 0; i < 8; ++i)
                ord[i] = uint8_t(uint64_t(slot) >> (56 - 8 * i));
            sqlite3_bind_int(mem, 1, set);
            sqlite3_bind_int64(mem, 2, 1);
            sqlite3_bind_int64(mem, 3, slot);
            sqlite3_bind_blob(mem, 4, ord, 8, SQLITE_TRANSIENT);
            rc = rc == SQLITE_DONE ? sqlite3_step(mem) : rc;
            sqlite3_reset(mem);
        }
        raw.Exec("COMMIT");
        if (rc != SQLITE_DONE)
            state.SkipWithError("sqlite transaction failed");
        ++id;
    }
    sqlite3_finalize(ins);
    sqlite3_finalize(mem);
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_SqliteCreateConnectCommit)->MinTime(2.0)->UseRealTime();

// The floor under both: one small write and fdatasync in the same folder.
void BM_FsyncFloor(benchmark::State& state) {
    const std::string path = Dir().file("fsync.dat");
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Check(fd >= 0, "fsync file");
    char block[4096] = {};
    off_t off = 0;
    for (auto _ : state) {
        if (pwrite(fd, block, sizeof block, off) != ssize_t(sizeof block) || fdatasync(fd) != 0)
            state.SkipWithError("write failed");
        off = (off + 4096) % (1 << 20);
    }
    close(fd);
}
BENCHMARK(BM_FsyncFloor)->MinTime(1.0)->UseRealTime();

// ---- 2. Walking 100,000 members of one set

struct WalkCatalog {
    CDbTask task;
    DBA owner = 0;
    WalkCatalog() {
        const std::string path = Dir().file("walk.vfc");
        std::remove(path.c_str());
        Check(CDbTask::CreateCatalog(path.c_str()) == S_OKAY, "create");
        Check(task.Open(path.c_str(), "s") == S_OKAY, "open");
        db_varstringrec head{};
        Check(task.FillNew(DB_VARSTRINGREC, &head) == S_OKAY, "owner");
        task.CrGet(&owner);
        Check(task.SetOwnerToCurrent(DBS_VARSTRING) == S_OKAY, "owner currency");
        Check(task.TransactionBegin("fill") == S_OKAY, "begin");
        db_smalldata piece{};
        for (uint32_t i = 0; i < kMembers; ++i) {
            Check(task.FillNew(DB_SMALLDATA, &piece) == S_OKAY, "member");
            Check(task.Connect(DBS_VARSTRING) == S_OKAY, "connect");
        }
        Check(task.TransactionEnd() == S_OKAY, "end");
    }
};

void BM_EngineWalkSet(benchmark::State& state) {
    static WalkCatalog catalog;
    CDbTask& t = catalog.task;
    const LOCK_REQUEST packet[] = {{DBS_VARSTRING, 'r'}, {DB_SMALLDATA, 'r'}};
    for (auto _ : state) {
        t.Lock(packet, 2);  // one read snapshot for the walk
        t.OwnerSet(DBS_VARSTRING, catalog.owner);
        uint32_t n = 0;
        for (int rc = t.FindFirst(DBS_VARSTRING); rc == S_OKAY; rc = t.FindNext(DBS_VARSTRING))
            ++n;
        t.FreeAll();
        if (n != kMembers)
            state.SkipWithError("walk lost members");
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kMembers);
}
BENCHMARK(BM_EngineWalkSet)->Unit(benchmark::kMillisecond);

struct RawWalk {
    std::unique_ptr<RawDb> raw;
    RawWalk() {
        raw = std::make_unique<RawDb>(Dir().file("walk.raw"));
        raw->Exec("BEGIN");
        sqlite3_stmt* ins =
            raw->Prepare("INSERT INTO member(setcode, owner, member, ord) VALUES(0, 1, ?1, ?2)");
        for (uint32_t i = 1; i <= kMembers; ++i) {
            uint8_t ord[8];
            for (int k = 0; k < 8; ++k)
                ord[k] = uint8_t(uint64_t(i) << 20 >> (56 - 8 * k));
            sqlite3_bind_int64(ins, 1, i);
            sqlite3_bind_blob(ins, 2, ord, 8, SQLITE_TRANSIENT);
            Check(sqlite3_step(ins) == SQLITE_DONE, "raw member");
            sqlite3_reset(ins);
        }
        sqlite3_finalize(ins);
        raw->Exec("COMMIT");
    }
};

void BM_SqliteOrderedIndexScan(benchmark::State& state) {
    static RawWalk walk;
    sqlite3_stmt* st =
        walk.raw->Prepare("SELECT member FROM member WHERE setcode=?1 AND owner=?2 ORDER BY ord");
    for (auto _ : state) {
        walk.raw->Exec("BEGIN");
        sqlite3_bind_int(st, 1, 0);
        sqlite3_bind_int64(st, 2, 1);
        uint32_t n = 0;
        while (sqlite3_step(st) == SQLITE_ROW) {
            benchmark::DoNotOptimize(sqlite3_column_int64(st, 0));
            ++n;
        }
        sqlite3_reset(st);
        walk.raw->Exec("COMMIT");
        if (n != kMembers)
            state.SkipWithError("scan lost rows");
    }
    sqlite3_finalize(st);
    state.SetItemsProcessed(int64_t(state.iterations()) * kMembers);
}
BENCHMARK(BM_SqliteOrderedIndexScan)->Unit(benchmark::kMillisecond);

// ---- 3. Key find

struct KeyCatalog {
    CDbTask task;
    KeyCatalog() {
        const std::string path = Dir().file("keys.vfc");
        std::remove(path.c_str());
        Check(CDbTask::CreateCatalog(path.c_str()) == S_OKAY, "create");
        Check(task.Open(path.c_str(), "s") == S_OKAY, "open");
        Check(task.TransactionBegin("fill") == S_OKAY, "begin");
        for (uint32_t i = 1; i <= kMembers; ++i) {
            db_itemrec r = Item(i);
            Check(task.FillNew(DB_ITEMREC, &r) == S_OKAY, "item");
        }
        Check(task.TransactionEnd() == S_OKAY, "end");
    }
};

void BM_EngineKeyFind(benchmark::State& state) {
    static KeyCatalog catalog;
    CDbTask& t = catalog.task;
    std::mt19937 rng(1);
    const LOCK_REQUEST packet[] = {{DB_ITEMREC, 'r'}};
    t.Lock(packet, 1);
    for (auto _ : state) {
        const uint32_t id = 1 + rng() % kMembers;
        if (t.KeyFind(ITEMID, &id) != S_OKAY)
            state.SkipWithError("key not found");
    }
    t.FreeAll();
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_EngineKeyFind);

struct RawKeys {
    std::unique_ptr<RawDb> raw;
    RawKeys() {
        raw = std::make_unique<RawDb>(Dir().file("keys.raw"));
        raw->Exec("BEGIN");
        sqlite3_stmt* ins = raw->Prepare(
            "INSERT INTO item(stamp, itemid, itemparentid, itemname, itemdescription, status, "
            "tmlastmodified, "
            "duedate, body) VALUES(0, ?1, 1, 'item', '', 0, 0, 0, zeroblob(78))");
        for (uint32_t i = 1; i <= kMembers; ++i) {
            sqlite3_bind_int64(ins, 1, i);
            Check(sqlite3_step(ins) == SQLITE_DONE, "raw item");
            sqlite3_reset(ins);
        }
        sqlite3_finalize(ins);
        raw->Exec("COMMIT");
    }
};

void BM_SqlitePointLookup(benchmark::State& state) {
    static RawKeys keys;
    sqlite3_stmt* st = keys.raw->Prepare("SELECT slot FROM item WHERE itemid=?1");
    std::mt19937 rng(1);
    keys.raw->Exec("BEGIN");
    for (auto _ : state) {
        sqlite3_bind_int64(st, 1, 1 + rng() % kMembers);
        if (sqlite3_step(st) != SQLITE_ROW)
            state.SkipWithError("row not found");
        benchmark::DoNotOptimize(sqlite3_column_int64(st, 0));
        sqlite3_reset(st);
    }
    keys.raw->Exec("COMMIT");
    sqlite3_finalize(st);
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_SqlitePointLookup);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    qn::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    struct Pair {
        const char* what;
        const char* engine;
        const char* peer;
        bool real;
    } pairs[] = {
        {"create + 2 connects + key, one durable transaction (wall clock)",
         "BM_EngineCreateConnectCommit/min_time:2.000/real_time",
         "BM_SqliteCreateConnectCommit/min_time:2.000/real_time", true},
        {"walk 100,000 set members first to last (CPU)", "BM_EngineWalkSet",
         "BM_SqliteOrderedIndexScan", false},
        {"key find (CPU)", "BM_EngineKeyFind", "BM_SqlitePointLookup", false},
    };
    for (const Pair& p : pairs) {
        // Wall-clock time where the disk is the work, CPU time where the work is in memory (the
        // machine may be shared with other jobs).
        const double te = p.real ? reporter.RealTime(p.engine) : reporter.CpuTime(p.engine);
        const double tp = p.real ? reporter.RealTime(p.peer) : reporter.CpuTime(p.peer);
        if (te > 0 && tp > 0)
            std::printf("ratio: %s: engine rate / SQLite rate = %.2f (goal >= 0.5)\n", p.what,
                        tp / te);
    }
    const double fs = reporter.RealTime("BM_FsyncFloor/min_time:1.000/real_time");
    if (fs > 0)
        std::printf("fsync floor: %.3f ms per write + fdatasync in the catalog's folder\n",
                    fs / 1e6);
    return 0;
}

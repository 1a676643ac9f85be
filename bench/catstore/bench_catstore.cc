// The catalog store beside raw SQLite in the same program:
//  - stored item create (the store routine with its change entry, one durable transaction per
//    item) against raw SQLite inserting the same rows (item, change entry, two set links) in one
//    transaction per item with the same durability (WAL, synchronous=FULL); the fsync floor of
//    the disk is reported as the limit of both;
//  - reading 10,000 change entries written by another process with the change-log reader,
//    against a raw SQLite scan of the same rows.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "board.h"
#include "catstore.h"
#include "changelog.h"
#include "items.h"
#include "locks.h"
#include "schema.h"
#include "testsupport.h"

using namespace catstore;

namespace {

std::map<std::string, double> g_rates;  // items (or entries) per second by benchmark

struct Env {
    qn::test::IsolatedEnvironment env;
    qn::test::TempDir dir;
    BOARD_OBJECT* hbrd = nullptr;
    std::string strPath;
    DBA dbaLogStart = 0;
    uint32_t cEntries = 0;
    Env() {
        strPath = dir.file("bench.vfc");
        EX_BOARDINFO info{};
        EXSM_STATUS st;
        hbrd = EXBoardCreate(strPath.c_str(), "SYSTEM", "", &info, 0, 0, 0, nullptr, &st);
        if (hbrd == nullptr) {
            std::fprintf(stderr, "cannot create the catalog: %s\n", EXStatusText(st));
            std::abort();
        }
    }
};

Env& TheEnv() {
    static Env* s_p = new Env;
    return *s_p;
}

double Seconds(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void BM_StoredItemCreate(benchmark::State& state) {
    Env& e = TheEnv();
    uint64_t n = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        DB_ITEM item;
        std::snprintf(item.item.itemname, sizeof item.item.itemname, "bookmark %llu",
                      static_cast<unsigned long long>(n++));
        item.item.type = 1;
        item.item.itemparentid = 1;
        item.item.itemaccess.itemaccesslevel = 1;
        DBStatus st = ItemCreate(e.hbrd->pdb, &item, ChangeEntryNotifier, e.hbrd);
        if (st != DBSuccess) {
            state.SkipWithError("ItemCreate failed");
            break;
        }
    }
    g_rates["item create"] = static_cast<double>(n) / Seconds(t0);
    state.SetItemsProcessed(static_cast<int64_t>(n));
}

struct RawDb {
    qn::test::TempDir dir;
    sqlite3* db = nullptr;
    sqlite3_stmt* pItem = nullptr;
    sqlite3_stmt* pChange = nullptr;
    sqlite3_stmt* pLink = nullptr;
    RawDb() {
        sqlite3_open(dir.file("raw.db").c_str(), &db);
        sqlite3_exec(db,
                     "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
                     "CREATE TABLE item(slot INTEGER PRIMARY KEY, stamp INTEGER, itemversion, "
                     "type, itemid INTEGER UNIQUE, itemparentid, attributes, itemname, "
                     "itemdescription, uidowner, uidresponsible, duedate, status, "
                     "uidlastmodified, tmlastmodified, itemaccesslevel, itemaccessid, "
                     "itemreserved BLOB, extinfo, instructions, keywords, note, subscribers, "
                     "dbalastmodified, folderstruct);"
                     "CREATE INDEX item_status ON item(itemparentid, status);"
                     "CREATE INDEX item_mod ON item(itemparentid, tmlastmodified);"
                     "CREATE INDEX item_due ON item(itemparentid, duedate);"
                     "CREATE TABLE change(slot INTEGER PRIMARY KEY, access, fields, itemid, "
                     "parentid, userid, kind, time, data);"
                     "CREATE TABLE member(setcode, owner, member, orderkey);"
                     "CREATE INDEX member_order ON member(setcode, owner, orderkey);",
                     nullptr, nullptr, nullptr);
        sqlite3_prepare_v2(db,
                           "INSERT INTO item VALUES(NULL,?1,25,1,?2,1,0,?3,'',0,0,0,0,2,?4,1,0,"
                           "zeroblob(78),0,0,0,0,0,0,0)",
                           -1, &pItem, nullptr);
        sqlite3_prepare_v2(db, "INSERT INTO change VALUES(NULL,1,-1,?1,1,2,1,?2,0)", -1, &pChange,
                           nullptr);
        sqlite3_prepare_v2(db, "INSERT INTO member VALUES(?1,?2,?3,?4)", -1, &pLink, nullptr);
    }
    ~RawDb() {
        sqlite3_finalize(pItem);
        sqlite3_finalize(pChange);
        sqlite3_finalize(pLink);
        sqlite3_close(db);
    }
};

void BM_RawSqliteInsert(benchmark::State& state) {
    RawDb raw;
    uint64_t n = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        sqlite3_exec(raw.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        char achName[64];
        std::snprintf(achName, sizeof achName, "bookmark %llu", static_cast<unsigned long long>(n));
        sqlite3_bind_int64(raw.pItem, 1, static_cast<int64_t>(n));
        sqlite3_bind_int64(raw.pItem, 2, static_cast<int64_t>(n + 1000));
        sqlite3_bind_text(raw.pItem, 3, achName, -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(raw.pItem, 4, time(nullptr));
        sqlite3_step(raw.pItem);
        sqlite3_reset(raw.pItem);
        int64_t slot = sqlite3_last_insert_rowid(raw.db);
        for (int nSet : {20002, 20003}) {
            sqlite3_bind_int(raw.pLink, 1, nSet);
            sqlite3_bind_int(raw.pLink, 2, 1);
            sqlite3_bind_int64(raw.pLink, 3, slot);
            sqlite3_bind_text(raw.pLink, 4, achName, -1, SQLITE_TRANSIENT);
            sqlite3_step(raw.pLink);
            sqlite3_reset(raw.pLink);
        }
        sqlite3_bind_int64(raw.pChange, 1, static_cast<int64_t>(n + 1000));
        sqlite3_bind_int64(raw.pChange, 2, time(nullptr));
        sqlite3_step(raw.pChange);
        sqlite3_reset(raw.pChange);
        if (sqlite3_exec(raw.db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
            state.SkipWithError("COMMIT failed");
            break;
        }
        ++n;
    }
    g_rates["raw insert"] = static_cast<double>(n) / Seconds(t0);
    state.SetItemsProcessed(static_cast<int64_t>(n));
}

void BM_FsyncFloor(benchmark::State& state) {
    qn::test::TempDir dir;
    int fd = ::open(dir.file("fsync").c_str(), O_CREAT | O_WRONLY, 0644);
    uint64_t n = 0;
    char ach[512] = {};
    auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (::pwrite(fd, ach, sizeof ach, 0) != static_cast<ssize_t>(sizeof ach) ||
            ::fsync(fd) != 0) {
            state.SkipWithError("fsync failed");
            break;
        }
        ++n;
    }
    ::close(fd);
    g_rates["fsync"] = static_cast<double>(n) / Seconds(t0);
}

// 10,000 entries written by another process.
void PrepareLog() {
    Env& e = TheEnv();
    if (e.cEntries != 0) {
        return;
    }
    CDbContext* pdb = e.hbrd->pdb;
    pdb->ScanLast(DB_CHANGEENTRYREC);
    pdb->CurrentDba(&e.dbaLogStart);
    std::string strPath = e.strPath;
    pid_t pid = qn::test::ForkChild([&]() {
        EXSM_STATUS st;
        BOARD_OBJECT* h = EXBoardOpen(strPath.c_str(), "SYSTEM", "", 1, 0, 0, 0, nullptr, &st);
        if (h == nullptr) {
            return 1;
        }
        CStoreTransaction tx(h->pdb, "Bench", Packet({DB_CHANGEENTRYREC}, 'w'));
        for (uint32_t i = 0; i < 10000; ++i) {
            qn::dbms::db_changeentryrec entry{};
            entry.changeaccess = 1;
            entry.changefields = 0xFFFFFFFF;
            entry.changeitemid = 100000 + i;
            entry.changeparentid = 1;
            entry.changeuserid = 77;  // another user than the reader
            entry.changekind = 2;
            entry.changetime = static_cast<uint32_t>(time(nullptr));
            if (h->pdb->Create(DB_CHANGEENTRYREC, &entry) != 0) {
                return 2;
            }
        }
        if (tx.Finish(DBSuccess) != DBSuccess) {
            return 3;
        }
        EXBoardClose(h, &st);
        return 0;
    });
    if (qn::test::WaitChild(pid) != 0) {
        std::fprintf(stderr, "the writer process failed\n");
        std::abort();
    }
    e.cEntries = 10000;
}

uint64_t g_cSeen = 0;
int CountEntry(qn::dbms::db_changeentryrec*, unsigned short, BOARD_OBJECT*) {
    ++g_cSeen;
    return 1;
}

void BM_ChangeLogRead(benchmark::State& state) {
    PrepareLog();
    Env& e = TheEnv();
    uint64_t cTotal = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        DBA dba = e.dbaLogStart;
        g_cSeen = 0;
        DBStatus st = ChangeLogProcessEntries(e.hbrd->pdb, 1, &dba, CountEntry, e.hbrd);
        if (st != DBSuccess || g_cSeen < 10000) {
            state.SkipWithError("the change-log read failed");
            break;
        }
        cTotal += g_cSeen;
    }
    g_rates["log read"] = static_cast<double>(cTotal) / Seconds(t0);
    state.SetItemsProcessed(static_cast<int64_t>(cTotal));
}

void BM_RawSqliteScan(benchmark::State& state) {
    PrepareLog();
    Env& e = TheEnv();
    sqlite3* db = nullptr;
    sqlite3_open_v2(e.strPath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* pStmt = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT * FROM db_changeentryrec WHERE slot > ?1 ORDER BY slot", -1,
                           &pStmt, nullptr) != SQLITE_OK) {
        state.SkipWithError(sqlite3_errmsg(db));
        sqlite3_close(db);
        return;
    }
    uint64_t cTotal = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        sqlite3_bind_int64(pStmt, 1, qn::dbms::DbaSlot(e.dbaLogStart));
        int nCols = sqlite3_column_count(pStmt);
        while (sqlite3_step(pStmt) == SQLITE_ROW) {
            int64_t sum = 0;
            for (int i = 0; i < nCols; ++i) {
                sum += sqlite3_column_int64(pStmt, i);
            }
            benchmark::DoNotOptimize(sum);
            ++cTotal;
        }
        sqlite3_reset(pStmt);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    }
    g_rates["raw scan"] = static_cast<double>(cTotal) / Seconds(t0);
    state.SetItemsProcessed(static_cast<int64_t>(cTotal));
    sqlite3_finalize(pStmt);
    sqlite3_close(db);
}

BENCHMARK(BM_StoredItemCreate)->MinTime(2.0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawSqliteInsert)->MinTime(2.0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FsyncFloor)->MinTime(1.0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ChangeLogRead)->MinTime(2.0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawSqliteScan)->MinTime(2.0)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    auto ratio = [](const char* a, const char* b) {
        return g_rates[b] > 0 ? g_rates[a] / g_rates[b] : 0.0;
    };
    std::printf(
        "\nstored item create: %.0f items/s, raw SQLite: %.0f items/s, ratio %.2f (goal >= 0.3)\n",
        g_rates["item create"], g_rates["raw insert"], ratio("item create", "raw insert"));
    std::printf("fsync floor: %.0f fsyncs/s (the limit of any durable commit)\n", g_rates["fsync"]);
    std::printf(
        "change-log read: %.0f entries/s, raw SQLite scan: %.0f rows/s, ratio %.2f (goal >= 0.3)\n",
        g_rates["log read"], g_rates["raw scan"], ratio("log read", "raw scan"));
    EXSM_STATUS st;
    EXBoardClose(TheEnv().hbrd, &st);
    benchmark::Shutdown();
    return 0;
}

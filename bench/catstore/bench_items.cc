// The public item, list and notification calls beside raw SQLite doing the same work on the same
// file system, in one program. main prints each rate beside its peer's as a ratio (ours / peer,
// 1.0 or more: as fast as the peer) with its goal:
//  1. EXItemNew + EXItemCreate + EXItemRelease into one folder (item, change entry, notification,
//     one durable transaction each) against raw SQLite inserting the same rows into tables made
//     with the catalog's own DDL (the item row, its change entry, its memberships of the folder's
//     set and of DBS_ITEMS), one transaction each, WAL with synchronous=FULL, in the same folder;
//     and the fsync floor of that folder;
//  2. listing a folder of 100,000 items (EXFolderGetItems, batches of 500 through
//     EXItemIteratorGetNextItems, final release) by name and by modified time, against raw SQLite
//     ordered scans of the same catalog file (by name through dbms_member's order index, by time
//     through key_modifiedbyfolder) reading every column of the item rows;
//  3. opening a list and fetching its first item at 1,000 and at 100,000 items (the ratio of the
//     two times);
//  4. one EXBoardRefresh taking in 10,000 items another process created in a folder whose list is
//     open and fetched, against a raw SQLite read of the same 10,000 change entries;
//  5. the bytes the memory report gives per cached item with 100,000 items listed, beside the
//     heap the open list really holds per item.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "catdbms/catschema.h"
#include "catdbms/store.h"
#include "catstore.h"
#include "ratioreporter.h"
#include "testsupport.h"

namespace {

constexpr uint32_t kLargeFolder = 100000;
constexpr uint32_t kSmallFolder = 1000;
constexpr uint32_t kBatch = 500;             // handles per EXItemIteratorGetNextItems
constexpr uint32_t kRefreshChanges = 10000;  // items the other process creates
constexpr int kRepetitions = 5;

void Check(bool fOk, const char* pszWhat, EXSM_STATUS st = EXSM_SUCCESS) {
    if (!fOk) {
        std::fprintf(stderr, "benchmark set-up failed: %s (%s)\n", pszWhat, EXStatusText(st));
        std::abort();
    }
}

// Notifications heard by kind, through the catalog's default notifier and the lists' notifier.
uint64_t g_acHeard[6];
void CountCall(ITEM_OBJECT*, ITEM_ITERATOR*, long, uint16_t wKind, uintptr_t, uint32_t) {
    ++g_acHeard[wKind < 6 ? wKind : 0];
}

std::string Name(const char* pszPrefix, uint32_t n) {
    char ach[64];
    std::snprintf(ach, sizeof ach, "%s %06u", pszPrefix, n);
    return ach;
}

EX_ITEMINFO BookmarkInfo(const std::string& strName) {
    EX_ITEMINFO info{};
    info.type = 1;
    info.itemaccesslevel = 1;
    std::snprintf(info.itemname, sizeof info.itemname, "%s", strName.c_str());
    return info;
}

// Stores n bookmarks under hFolder through EXItemBulkCreate. The array's bounds are 16-bit, so
// a larger folder takes several calls, each one transaction.
void BulkCreate(BOARD_OBJECT* hbrd, ITEM_OBJECT* hFolder, uint32_t n,
                const std::function<std::string(uint32_t)>& nameOf) {
    constexpr uint32_t kPerCall = 50000;
    const uint32_t cAlloc = std::min(n, kPerCall);
    std::vector<unsigned char> buffer(sizeof(EX_ITEMINFOARRAY) +
                                      (cAlloc - 1) * sizeof(EX_ITEMINFO));
    auto* pArray = reinterpret_cast<EX_ITEMINFOARRAY*>(buffer.data());
    EX_ITEMINFO* aInfo = pArray->aInfo;
    for (uint32_t first = 0; first < n; first += kPerCall) {
        const uint32_t c = std::min(kPerCall, n - first);
        pArray->wLower = 0;
        pArray->wUpper = static_cast<uint16_t>(c - 1);
        for (uint32_t i = 0; i < c; ++i) {
            aInfo[i] = BookmarkInfo(nameOf(first + i));
        }
        EXSM_STATUS st;
        int cStored = EXItemBulkCreate(hbrd, hFolder, pArray, &st);
        Check(st == EXSM_SUCCESS && cStored == static_cast<int>(c), "EXItemBulkCreate", st);
    }
}

// The catalog, opened as SYSTEM, and its folders. The writer user makes the changes another
// process takes in: the change-log reader passes over the entries of its own user.
struct Catalog {
    qn::test::IsolatedEnvironment env;
    qn::test::TempDir dir;
    std::string strPath = dir.file("bench.vfc");
    BOARD_OBJECT* hbrd = nullptr;
    ITEM_OBJECT* hCreated = nullptr;  // receives the items of the create benchmark
    ITEM_OBJECT* hLarge = nullptr;
    ITEM_OBJECT* hSmall = nullptr;

    Catalog() {
        EX_BOARDINFO info{};
        EXSM_STATUS st;
        hbrd = EXBoardCreate(strPath.c_str(), "SYSTEM", "", &info, 0,
                             reinterpret_cast<uintptr_t>(&CountCall), 0, nullptr, &st);
        Check(hbrd != nullptr, "EXBoardCreate", st);
        EX_USERINFO user{};
        user.hName = EXStringCreate("writer");
        user.hPassword = EXStringCreate("w");
        USER_OBJECT* hUser = EXUserCreate(hbrd, &user, &st);
        Check(hUser != nullptr && st == EXSM_SUCCESS, "EXUserCreate", st);
        EXUserRelease(hUser, &st);
        QNGlobalFree(reinterpret_cast<QNHGLOBAL>(user.hName));
        QNGlobalFree(reinterpret_cast<QNHGLOBAL>(user.hPassword));
        hCreated = NewFolder("created");
    }

    ITEM_OBJECT* NewFolder(const std::string& strName) {
        EX_ITEMINFO info = BookmarkInfo(strName);
        info.type = 4;
        EXSM_STATUS st;
        ITEM_OBJECT* h = EXItemNew(&st, &info);
        Check(h != nullptr, "EXItemNew", st);
        EXItemObjectSetFolder(h);
        EXItemCreate(hbrd, EXBoardGetRootFolder(hbrd), h, &st);
        Check(st == EXSM_SUCCESS, "EXItemCreate of a folder", st);
        return h;
    }

    // Names in an order unrelated to creation, so that name order walks the item table at random
    // as it would in a catalog that grew over time (7919 is prime to both folder sizes).
    ITEM_OBJECT* Large() {
        if (hLarge == nullptr) {
            hLarge = NewFolder("large");
            BulkCreate(hbrd, hLarge, kLargeFolder,
                       [](uint32_t i) { return Name("bookmark", i * 7919u % kLargeFolder); });
        }
        return hLarge;
    }
    ITEM_OBJECT* Small() {
        if (hSmall == nullptr) {
            hSmall = NewFolder("small");
            BulkCreate(hbrd, hSmall, kSmallFolder,
                       [](uint32_t i) { return Name("bookmark", i * 7919u % kSmallFolder); });
        }
        return hSmall;
    }
};

Catalog& TheCatalog() {
    static Catalog* s_p = new Catalog;
    return *s_p;
}

// ---- Raw SQLite

struct RawDb {
    sqlite3* db = nullptr;
    RawDb(const std::string& strPath, int nFlags) {
        Check(sqlite3_open_v2(strPath.c_str(), &db, nFlags, nullptr) == SQLITE_OK, "raw open");
    }
    ~RawDb() { sqlite3_close(db); }
    RawDb(const RawDb&) = delete;
    RawDb& operator=(const RawDb&) = delete;
    void Exec(const std::string& strSql) {
        Check(sqlite3_exec(db, strSql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK,
              strSql.c_str());
    }
    sqlite3_stmt* Prepare(const char* pszSql) {
        sqlite3_stmt* pStmt = nullptr;
        Check(sqlite3_prepare_v2(db, pszSql, -1, &pStmt, nullptr) == SQLITE_OK, pszSql);
        return pStmt;
    }
    int64_t Value(const char* pszSql, int64_t nArg) {
        sqlite3_stmt* pStmt = Prepare(pszSql);
        sqlite3_bind_int64(pStmt, 1, nArg);
        Check(sqlite3_step(pStmt) == SQLITE_ROW, pszSql);
        int64_t n = sqlite3_column_int64(pStmt, 0);
        sqlite3_finalize(pStmt);
        return n;
    }
};

// Reads every column of the current row the way its type asks, so no column goes unread.
int64_t ReadColumns(sqlite3_stmt* pStmt) {
    int64_t sum = 0;
    for (int i = 0, n = sqlite3_column_count(pStmt); i < n; ++i) {
        switch (sqlite3_column_type(pStmt, i)) {
            case SQLITE_TEXT:
            case SQLITE_BLOB: {
                // An empty value has no buffer at all.
                const auto* pb = static_cast<const unsigned char*>(sqlite3_column_blob(pStmt, i));
                const int cb = sqlite3_column_bytes(pStmt, i);
                sum += cb + (cb > 0 ? pb[0] : 0);
                break;
            }
            default:
                sum += sqlite3_column_int64(pStmt, i);
                break;
        }
    }
    return sum;
}

// The folder's address as its set memberships name it.
qn::dbms::DBA FolderDba(RawDb& raw, ITEM_OBJECT* hFolder) {
    int64_t slot = raw.Value("SELECT slot FROM db_itemrec WHERE itemid = ?1", EXItemGetID(hFolder));
    return qn::dbms::MakeDba(qn::dbms::DB_ITEMREC, static_cast<uint32_t>(slot));
}

// ---- 1. Item create

void BM_ItemCreate(benchmark::State& state) {
    Catalog& c = TheCatalog();
    uint32_t n = 0;
    for (auto _ : state) {
        EX_ITEMINFO info = BookmarkInfo(Name("created", n++));
        EXSM_STATUS st;
        ITEM_OBJECT* h = EXItemNew(&st, &info);
        EXItemCreate(c.hbrd, c.hCreated, h, &st);
        if (st != EXSM_SUCCESS) {
            state.SkipWithError(EXStatusText(st));
            break;
        }
        EXItemRelease(h, &st);
    }
}
BENCHMARK(BM_ItemCreate)
    ->MinTime(0.5)
    ->UseRealTime()
    ->Repetitions(kRepetitions)
    ->DisplayAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

// The tables and indexes of the catalog that an item create writes, made from the catalog's own
// DDL, so the peer pays for the same keys.
struct RawCreateDb {
    RawDb raw;
    sqlite3_stmt* pItem;
    sqlite3_stmt* pMember;
    sqlite3_stmt* pChange;
    explicit RawCreateDb(const std::string& strPath)
        : raw(strPath, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) {
        raw.Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL");
        RawDb catalog(TheCatalog().strPath, SQLITE_OPEN_READONLY);
        sqlite3_stmt* pDdl = catalog.Prepare(
            "SELECT sql FROM sqlite_master WHERE sql NOT NULL AND tbl_name IN "
            "('db_itemrec', 'db_changeentryrec', 'dbms_member') ORDER BY type = 'index'");
        while (sqlite3_step(pDdl) == SQLITE_ROW) {
            raw.Exec(reinterpret_cast<const char*>(sqlite3_column_text(pDdl, 0)));
        }
        sqlite3_finalize(pDdl);
        pItem = raw.Prepare(
            "INSERT INTO db_itemrec VALUES(NULL, ?1, 25, 1, ?2, ?3, 0, ?4, '', 0, 0, 0, 0, 2, ?5, "
            "1, 0, zeroblob(78), 0, 0, 0, 0, 0, 0, 0)");
        pMember = raw.Prepare("INSERT INTO dbms_member VALUES(?1, ?2, ?3, ?4)");
        pChange = raw.Prepare(
            "INSERT INTO db_changeentryrec VALUES(NULL, 0, 1, ?1, ?2, ?3, 2, 1, ?4, 0)");
    }
    ~RawCreateDb() {
        sqlite3_finalize(pItem);
        sqlite3_finalize(pMember);
        sqlite3_finalize(pChange);
    }
    int Member(int nSet, qn::dbms::DBA owner, qn::dbms::DBA member, const std::string& strOrd) {
        sqlite3_bind_int(pMember, 1, nSet);
        sqlite3_bind_int64(pMember, 2, owner);
        sqlite3_bind_int64(pMember, 3, member);
        sqlite3_bind_blob(pMember, 4, strOrd.data(), static_cast<int>(strOrd.size()),
                          SQLITE_TRANSIENT);
        int rc = sqlite3_step(pMember);
        sqlite3_reset(pMember);
        return rc;
    }
};

void BM_RawItemCreate(benchmark::State& state) {
    const std::string strPath = TheCatalog().dir.file("rawcreate.db");
    std::remove(strPath.c_str());
    RawCreateDb raw(strPath);
    const qn::dbms::DBA dbaSystem = qn::dbms::MakeDba(qn::dbms::SYSTEM, 1);
    const qn::dbms::DBA dbaFolder = qn::dbms::MakeDba(qn::dbms::DB_ITEMREC, 1);
    const uint32_t dwFolderID = 1;
    uint32_t n = 0;
    for (auto _ : state) {
        raw.raw.Exec("BEGIN IMMEDIATE");
        const std::string strName = Name("created", n);
        const uint32_t dwItemID = 1000 + n;
        const auto tm = static_cast<int64_t>(time(nullptr));
        sqlite3_bind_int64(raw.pItem, 1, n + 1);
        sqlite3_bind_int64(raw.pItem, 2, dwItemID);
        sqlite3_bind_int64(raw.pItem, 3, dwFolderID);
        sqlite3_bind_text(raw.pItem, 4, strName.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(raw.pItem, 5, tm);
        int rc = sqlite3_step(raw.pItem);
        sqlite3_reset(raw.pItem);
        const auto dba = qn::dbms::MakeDba(
            qn::dbms::DB_ITEMREC, static_cast<uint32_t>(sqlite3_last_insert_rowid(raw.raw.db)));
        if (rc == SQLITE_DONE) {
            rc = raw.Member(qn::dbms::DBS_ITEMS, dbaSystem, dba,
                            qn::dbms::OrderKeyPosition(uint64_t(n + 1) << 20));
        }
        if (rc == SQLITE_DONE) {
            rc = raw.Member(qn::dbms::DBS_ITEMS_IN_FOLDER, dbaFolder, dba,
                            qn::dbms::OrderKeyAscending(strName.c_str(), 64, dba));
        }
        if (rc == SQLITE_DONE) {
            sqlite3_bind_int64(raw.pChange, 1, dwItemID);
            sqlite3_bind_int64(raw.pChange, 2, dwItemID);
            sqlite3_bind_int64(raw.pChange, 3, dwFolderID);
            sqlite3_bind_int64(raw.pChange, 4, tm);
            rc = sqlite3_step(raw.pChange);
            sqlite3_reset(raw.pChange);
        }
        if (rc != SQLITE_DONE ||
            sqlite3_exec(raw.raw.db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
            state.SkipWithError(sqlite3_errmsg(raw.raw.db));
            break;
        }
        ++n;
    }
}
BENCHMARK(BM_RawItemCreate)
    ->MinTime(0.5)
    ->UseRealTime()
    ->Repetitions(kRepetitions)
    ->DisplayAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

// The floor under both: one small write and fsync in the catalog's folder.
void BM_FsyncFloor(benchmark::State& state) {
    const std::string strPath = TheCatalog().dir.file("fsync.dat");
    const int fd = ::open(strPath.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    Check(fd >= 0, "fsync file");
    char ach[512] = {};
    for (auto _ : state) {
        if (::pwrite(fd, ach, sizeof ach, 0) != static_cast<ssize_t>(sizeof ach) ||
            ::fsync(fd) != 0) {
            state.SkipWithError("fsync failed");
            break;
        }
    }
    ::close(fd);
}
BENCHMARK(BM_FsyncFloor)
    ->MinTime(0.5)
    ->UseRealTime()
    ->Repetitions(kRepetitions)
    ->DisplayAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

// ---- 2. Listing 100,000 items

// What an application reads of each listed item.
int64_t ReadItem(ITEM_OBJECT* h) {
    const EX_ITEM* p = EXItemObjectItem(h);
    return p->itemid + p->tmlastmodified + p->type + static_cast<int64_t>(strnlen(p->itemname, 64));
}

void BM_List(benchmark::State& state) {
    Catalog& c = TheCatalog();
    ITEM_OBJECT* hFolder = c.Large();
    const auto wSortCode = static_cast<uint16_t>(state.range(0));
    std::vector<unsigned char> buffer(sizeof(EX_ITEMARRAY) + (kBatch - 1) * sizeof(ITEM_OBJECT*));
    auto* pArray = reinterpret_cast<EX_ITEMARRAY*>(buffer.data());
    pArray->wLower = 0;
    pArray->wUpper = kBatch - 1;
    ITEM_OBJECT** ahItems = pArray->ahItems;
    for (auto _ : state) {
        EXSM_STATUS st;
        ITEM_ITERATOR* pIter = EXFolderGetItems(c.hbrd, hFolder, 0, wSortCode, CountCall, 0, &st);
        uint32_t cListed = 0;
        int64_t sum = 0;
        for (int n; (n = EXItemIteratorGetNextItems(pIter, pArray)) > 0;) {
            for (int i = 0; i < n; ++i) {
                sum += ReadItem(ahItems[i]);
            }
            cListed += static_cast<uint32_t>(n);
        }
        benchmark::DoNotOptimize(sum);
        EXItemIteratorRelease(pIter, 1);
        if (st != EXSM_SUCCESS || cListed != kLargeFolder) {
            state.SkipWithError("the list lost items");
            break;
        }
    }
}
BENCHMARK(BM_List)
    ->Arg(EX_SORT_NAME)
    ->Arg(EX_SORT_MODIFIED)
    ->Repetitions(kRepetitions)
    ->DisplayAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

void BM_RawScan(benchmark::State& state) {
    Catalog& c = TheCatalog();
    ITEM_OBJECT* hFolder = c.Large();
    RawDb raw(c.strPath, SQLITE_OPEN_READONLY);
    sqlite3_stmt* pStmt;
    if (state.range(0) == EX_SORT_NAME) {
        pStmt = raw.Prepare(
            "SELECT i.* FROM dbms_member m JOIN db_itemrec i ON i.slot = (m.member & 16777215) "
            "WHERE m.setcode = ?1 AND m.owner = ?2 ORDER BY m.ord");
        sqlite3_bind_int(pStmt, 1, qn::dbms::DBS_ITEMS_IN_FOLDER);
        sqlite3_bind_int64(pStmt, 2, FolderDba(raw, hFolder));
    } else {
        pStmt = raw.Prepare(
            "SELECT * FROM db_itemrec INDEXED BY key_modifiedbyfolder WHERE itemparentid = ?1 "
            "ORDER BY tmlastmodified, slot");
        sqlite3_bind_int64(pStmt, 1, EXItemGetID(hFolder));
    }
    for (auto _ : state) {
        raw.Exec("BEGIN");
        uint32_t cRows = 0;
        int64_t sum = 0;
        while (sqlite3_step(pStmt) == SQLITE_ROW) {
            sum += ReadColumns(pStmt);
            ++cRows;
        }
        benchmark::DoNotOptimize(sum);
        sqlite3_reset(pStmt);
        raw.Exec("COMMIT");
        if (cRows != kLargeFolder) {
            state.SkipWithError("the scan lost rows");
            break;
        }
    }
    sqlite3_finalize(pStmt);
}
BENCHMARK(BM_RawScan)
    ->Arg(EX_SORT_NAME)
    ->Arg(EX_SORT_MODIFIED)
    ->Repetitions(kRepetitions)
    ->DisplayAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

// ---- 3. Open and first item

// A final release, so no parked list turns the next open into a cache hit.
void BM_OpenFirst(benchmark::State& state) {
    Catalog& c = TheCatalog();
    ITEM_OBJECT* hFolder = state.range(0) == kSmallFolder ? c.Small() : c.Large();
    const auto wSortCode = static_cast<uint16_t>(state.range(1));
    for (auto _ : state) {
        EXSM_STATUS st;
        ITEM_ITERATOR* pIter = EXFolderGetItems(c.hbrd, hFolder, 0, wSortCode, CountCall, 0, &st);
        ITEM_OBJECT* h = EXItemIteratorFirst(pIter);
        benchmark::DoNotOptimize(h);
        EXItemIteratorRelease(pIter, 1);
        if (st != EXSM_SUCCESS || h == nullptr) {
            state.SkipWithError("no first item");
            break;
        }
    }
}
BENCHMARK(BM_OpenFirst)
    ->Args({kSmallFolder, EX_SORT_NAME})
    ->Args({kLargeFolder, EX_SORT_NAME})
    ->Args({kSmallFolder, EX_SORT_MODIFIED})
    ->Args({kLargeFolder, EX_SORT_MODIFIED})
    ->Repetitions(kRepetitions)
    ->DisplayAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

// ---- 4. Refresh with 10,000 changes of another process

// The place in the change log after which the first refresh's entries start, for the peer.
int64_t g_nRefreshFromSlot = -1;

int64_t LastChangeSlot(const std::string& strPath) {
    RawDb raw(strPath, SQLITE_OPEN_READONLY);
    return raw.Value("SELECT coalesce(max(slot), 0) + ?1 FROM db_changeentryrec", 0);
}

// In a forked process logged in as the writer: the items, in one bulk call, with names that fall
// between the names the list holds, as new bookmarks of a grown folder do.
int CreateAsWriter(const std::string& strPath, uint32_t dwFolderID) {
    EXSM_STATUS st;
    BOARD_OBJECT* h =
        EXBoardOpen(strPath.c_str(), "writer", "w", EX_OPEN_SHARED, 0, 0, 0, nullptr, &st);
    if (h == nullptr) {
        return 10;
    }
    ITEM_OBJECT* hFolder = EXItemFindByID(h, dwFolderID, nullptr, 0, &st);
    if (hFolder == nullptr) {
        return 11;
    }
    BulkCreate(h, hFolder, kRefreshChanges,
               [](uint32_t i) { return Name("item", (i * 7919u % (11 * kSmallFolder)) * 10 + 5); });
    EXItemRelease(hFolder, &st);
    EXBoardClose(h, &st);
    return 0;
}

void BM_RefreshCreated(benchmark::State& state) {
    Catalog& c = TheCatalog();
    static int s_nFolder = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ITEM_OBJECT* hFolder = c.NewFolder(Name("refreshed", static_cast<uint32_t>(s_nFolder++)));
        BulkCreate(c.hbrd, hFolder, kSmallFolder,
                   [](uint32_t i) { return Name("item", i * 11 * 10); });
        EXSM_STATUS st;
        ITEM_ITERATOR* pIter =
            EXFolderGetItems(c.hbrd, hFolder, 1, EX_SORT_NAME, CountCall, 0, &st);
        Check(pIter != nullptr && EXItemIteratorCount(pIter) == kSmallFolder, "the list", st);
        EXBoardRefresh(c.hbrd, &st);  // nothing of anyone else's is pending
        if (g_nRefreshFromSlot < 0) {
            g_nRefreshFromSlot = LastChangeSlot(c.strPath);
        }
        const std::string strPath = c.strPath;
        const uint32_t dwFolderID = EXItemGetID(hFolder);
        const int rc = qn::test::WaitChild(
            qn::test::ForkChild([&]() { return CreateAsWriter(strPath, dwFolderID); }));
        Check(rc == 0, "the writer process");
        const uint64_t cHeardBefore = g_acHeard[EX_CHANGE_CREATED];
        state.ResumeTiming();

        EXBoardRefresh(c.hbrd, &st);

        state.PauseTiming();
        const bool fAll = st == EXSM_SUCCESS &&
                          g_acHeard[EX_CHANGE_CREATED] - cHeardBefore == kRefreshChanges &&
                          EXItemIteratorCount(pIter) == kSmallFolder + kRefreshChanges;
        EXItemIteratorRelease(pIter, 1);
        EXItemRelease(hFolder, &st);
        state.ResumeTiming();
        if (!fAll) {
            state.SkipWithError("the refresh did not deliver every change");
            break;
        }
    }
}
BENCHMARK(BM_RefreshCreated)
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->DisplayAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

void BM_RawChangeRead(benchmark::State& state) {
    if (g_nRefreshFromSlot < 0) {
        state.SkipWithError("needs BM_RefreshCreated");
        return;
    }
    RawDb raw(TheCatalog().strPath, SQLITE_OPEN_READONLY);
    sqlite3_stmt* pStmt =
        raw.Prepare("SELECT * FROM db_changeentryrec WHERE slot > ?1 ORDER BY slot LIMIT ?2");
    sqlite3_bind_int64(pStmt, 1, g_nRefreshFromSlot);
    sqlite3_bind_int64(pStmt, 2, kRefreshChanges);
    for (auto _ : state) {
        raw.Exec("BEGIN");
        uint32_t cRows = 0;
        int64_t sum = 0;
        while (sqlite3_step(pStmt) == SQLITE_ROW) {
            sum += ReadColumns(pStmt);
            ++cRows;
        }
        benchmark::DoNotOptimize(sum);
        sqlite3_reset(pStmt);
        raw.Exec("COMMIT");
        if (cRows != kRefreshChanges) {
            state.SkipWithError("the read lost rows");
            break;
        }
    }
    sqlite3_finalize(pStmt);
}
BENCHMARK(BM_RawChangeRead)
    ->Repetitions(kRepetitions)
    ->DisplayAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

// ---- 5. Memory per cached item

size_t HeapInUse() {
    struct mallinfo2 mi = ::mallinfo2();
    return mi.uordblks + mi.hblkhd;
}

// The report's own figure beside the heap that the open list holds per item (entries, handles,
// notifiers and slots), so a report that leaves something out shows.
void BM_ListMemory(benchmark::State& state) {
    Catalog& c = TheCatalog();
    ITEM_OBJECT* hFolder = c.Large();
    for (auto _ : state) {
        EXSM_STATUS st;
        EX_MEMORYUSAGE before{};
        before.cbSize = sizeof before;
        EXBoardMemoryUsage(c.hbrd, &before, 0, &st);
        const size_t cbHeapBefore = HeapInUse();
        ITEM_ITERATOR* pIter =
            EXFolderGetItems(c.hbrd, hFolder, 1, EX_SORT_NAME, CountCall, 0, &st);
        const size_t cbHeapAfter = HeapInUse();
        EX_MEMORYUSAGE after{};
        after.cbSize = sizeof after;
        EXBoardMemoryUsage(c.hbrd, &after, 0, &st);
        const long cListed = EXItemIteratorCount(pIter);
        EXItemIteratorRelease(pIter, 1);
        if (st != EXSM_SUCCESS || cListed != kLargeFolder || after.dwEntryCount == 0) {
            state.SkipWithError("the list or the memory report failed");
            break;
        }
        state.counters["entries"] = after.dwEntryCount;
        state.counters["report_bytes_per_entry"] =
            static_cast<double>(after.cbEntries) / after.dwEntryCount;
        state.counters["report_total_per_item"] =
            static_cast<double>(after.cbTotal - before.cbTotal) / kLargeFolder;
        state.counters["heap_bytes_per_item"] =
            static_cast<double>(cbHeapAfter - cbHeapBefore) / kLargeFolder;
    }
}
BENCHMARK(BM_ListMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- Report

struct Rates {
    double dOurs = 0;
    double dPeer = 0;
};

// Items per second from the time per iteration (microseconds): wall clock where the disk is the
// work, CPU time where the work is in memory (the machine may be shared with other jobs).
double Rate(const qn::bench::RatioReporter& r, const std::string& strName, double cItems,
            bool fRealTime) {
    const double us = fRealTime ? r.RealTime(strName) : r.CpuTime(strName);
    return us > 0 ? cItems * 1e6 / us : 0;
}

void PrintRatio(const char* pszWhat, const Rates& rates, const char* pszGoal, const char* pszUnit) {
    if (rates.dOurs <= 0 || rates.dPeer <= 0) {
        return;
    }
    std::printf("ratio: %s: %.2f (goal %s); %.0f vs %.0f %s\n", pszWhat, rates.dOurs / rates.dPeer,
                pszGoal, rates.dOurs, rates.dPeer, pszUnit);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    qn::bench::RatioReporter r;
    benchmark::RunSpecifiedBenchmarks(&r);
    benchmark::Shutdown();

    std::printf("\nFigures are medians of %d repetitions where a benchmark repeats.\n",
                kRepetitions);
    PrintRatio("EXItemCreate (new, create, release; one durable transaction) / raw SQLite rows",
               {Rate(r, "BM_ItemCreate", 1, true), Rate(r, "BM_RawItemCreate", 1, true)}, ">= 0.4",
               "items/s, wall clock");
    const double dFsync = Rate(r, "BM_FsyncFloor", 1, true);
    if (dFsync > 0) {
        std::printf("fsync floor: %.0f writes + fsync per second in the catalog's folder\n",
                    dFsync);
    }
    const double cLarge = kLargeFolder;
    PrintRatio("list 100,000 by name, batches of 500 / raw scan in membership order",
               {Rate(r, "BM_List/2", cLarge, false), Rate(r, "BM_RawScan/2", cLarge, false)},
               ">= 0.3", "items/s, CPU");
    PrintRatio("list 100,000 by modified time, batches of 500 / raw scan of the compound index",
               {Rate(r, "BM_List/4", cLarge, false), Rate(r, "BM_RawScan/4", cLarge, false)},
               ">= 0.3", "items/s, CPU");
    for (int nSort : {EX_SORT_NAME, EX_SORT_MODIFIED}) {
        const std::string strSort = "/" + std::to_string(nSort);
        const double tSmall = r.CpuTime("BM_OpenFirst/" + std::to_string(kSmallFolder) + strSort);
        const double tLarge = r.CpuTime("BM_OpenFirst/" + std::to_string(kLargeFolder) + strSort);
        if (tSmall > 0 && tLarge > 0) {
            std::printf(
                "open + first item + final release, sort %d: %.0f us at 100,000 items, %.0f us "
                "at 1,000: %.2f times (goal <= 2)\n",
                nSort, tLarge, tSmall, tLarge / tSmall);
        }
    }
    PrintRatio("EXBoardRefresh of 10,000 created items into an open list / raw change-entry read",
               {Rate(r, "BM_RefreshCreated", kRefreshChanges, false),
                Rate(r, "BM_RawChangeRead", kRefreshChanges, false)},
               ">= 0.2", "changes/s, CPU");
    const double cbEntry = r.Counter("BM_ListMemory", "report_bytes_per_entry");
    if (cbEntry > 0) {
        std::printf(
            "memory: %.0f bytes per cached item by the report (cbEntries / dwEntryCount, %.0f "
            "entries; goal <= 2048); the open list adds %.0f bytes per item to the report's total "
            "and %.0f bytes per item to the heap\n",
            cbEntry, r.Counter("BM_ListMemory", "entries"),
            r.Counter("BM_ListMemory", "report_total_per_item"),
            r.Counter("BM_ListMemory", "heap_bytes_per_item"));
    }
    EXSM_STATUS st;
    EXBoardClose(TheCatalog().hbrd, &st);
    return 0;
}

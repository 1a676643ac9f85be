// The catalog search beside raw SQLite in the same program: a text search (name or description,
// without regard to letter case) over every one of 100,000 items with EXBoardFindItems, fetched
// whole, sorted by name and finally released, against a raw SQLite query of the same catalog
// file doing the same matching on the same rows (LIKE on both columns, every column of the
// matching rows read, ordered by name without regard to case). main prints the two rates and
// their ratio (ours / peer) with its goal.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "catstore.h"
#include "ratioreporter.h"
#include "testsupport.h"

namespace {

constexpr uint32_t kItems = 100000;
constexpr uint32_t kFolders = 100;
constexpr uint32_t kMatchEvery = 100;  // one item in a hundred has the text in name or description
constexpr int kRepetitions = 5;

void Check(bool fOk, const char* pszWhat, EXSM_STATUS st = EXSM_SUCCESS) {
    if (!fOk) {
        std::fprintf(stderr, "benchmark set-up failed: %s (%s)\n", pszWhat, EXStatusText(st));
        std::abort();
    }
}

EX_ITEMINFO Info(uint16_t wType, uint32_t i) {
    EX_ITEMINFO info{};
    info.type = wType;
    info.itemaccesslevel = 1;
    const bool fMatch = i % kMatchEvery == 0;
    const bool fInName = (i / kMatchEvery) % 2 == 0;
    std::snprintf(info.itemname, sizeof info.itemname, "%s page %u",
                  fMatch && fInName ? "Needle" : "bookmark", i);
    std::snprintf(info.itemdescription, sizeof info.itemdescription,
                  "a description of the page %u that goes on for a while%s", i,
                  fMatch && !fInName ? ", with a NEEDLE in it" : "");
    return info;
}

// The catalog with 100 folders under the root and 1,000 bookmarks in each.
struct Catalog {
    qn::test::IsolatedEnvironment env;
    qn::test::TempDir dir;
    std::string strPath = dir.file("search.vfc");
    BOARD_OBJECT* hbrd = nullptr;
    uint32_t cExpected = 0;

    Catalog() {
        EX_BOARDINFO info{};
        EXSM_STATUS st;
        hbrd = EXBoardCreate(strPath.c_str(), "SYSTEM", "", &info, 0, 0, 0, nullptr, &st);
        Check(hbrd != nullptr, "EXBoardCreate", st);
        ITEM_OBJECT* hRoot = EXBoardGetRootFolder(hbrd);
        const uint32_t cPerFolder = kItems / kFolders;
        std::vector<unsigned char> buffer(sizeof(EX_ITEMINFOARRAY) +
                                          (cPerFolder - 1) * sizeof(EX_ITEMINFO));
        auto* pArray = reinterpret_cast<EX_ITEMINFOARRAY*>(buffer.data());
        for (uint32_t f = 0; f < kFolders; ++f) {
            EX_ITEMINFO folderInfo = Info(4, 1);
            std::snprintf(folderInfo.itemname, sizeof folderInfo.itemname, "folder %u", f);
            ITEM_OBJECT* hFolder = EXItemNew(&st, &folderInfo);
            EXItemObjectSetFolder(hFolder);
            EXItemCreate(hbrd, hRoot, hFolder, &st);
            Check(st == EXSM_SUCCESS, "EXItemCreate", st);
            pArray->wLower = 0;
            pArray->wUpper = static_cast<uint16_t>(cPerFolder - 1);
            for (uint32_t i = 0; i < cPerFolder; ++i) {
                pArray->aInfo[i] = Info(1, f * cPerFolder + i);
            }
            const int cStored = EXItemBulkCreate(hbrd, hFolder, pArray, &st);
            Check(st == EXSM_SUCCESS && cStored == static_cast<int>(cPerFolder), "EXItemBulkCreate",
                  st);
            EXItemRelease(hFolder, &st);
        }
        cExpected = kItems / kMatchEvery;
        // Nothing cached from the fill: each search reads what it finds.
        EX_MEMORYUSAGE usage{};
        EXBoardMemoryUsage(hbrd, &usage, 1, &st);
    }
};

Catalog& TheCatalog() {
    static Catalog* s_p = new Catalog;
    return *s_p;
}

void BM_FindItems(benchmark::State& state) {
    Catalog& c = TheCatalog();
    EX_SEARCH search{};
    search.wMatchFlags = EX_MATCH_NAME | EX_MATCH_DESCRIPTION;
    search.fRecursive = 1;
    std::snprintf(search.szText, sizeof search.szText, "needle");
    for (auto _ : state) {
        EXSM_STATUS st;
        ITEM_ITERATOR* p =
            EXBoardFindItems(c.hbrd, &search, EX_SORT_NAME, nullptr, nullptr, 0, &st);
        const long cFound = EXItemIteratorCount(p);
        EXItemIteratorRelease(p, 1);
        if (st != EXSM_SUCCESS || cFound != static_cast<long>(c.cExpected)) {
            state.SkipWithError("the search did not find what it should");
            break;
        }
        // The next search finds an empty cache again, as the first did.
        state.PauseTiming();
        EX_MEMORYUSAGE usage{};
        EXBoardMemoryUsage(c.hbrd, &usage, 1, &st);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kItems);
}

void BM_RawSqliteSearch(benchmark::State& state) {
    Catalog& c = TheCatalog();
    sqlite3* db = nullptr;
    sqlite3_open_v2(c.strPath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* pStmt = nullptr;
    if (sqlite3_prepare_v2(db,
                           "SELECT * FROM db_itemrec WHERE (type & 5) != 0 AND (itemname LIKE ?1 "
                           "OR itemdescription LIKE ?1) ORDER BY itemname COLLATE NOCASE",
                           -1, &pStmt, nullptr) != SQLITE_OK) {
        state.SkipWithError(sqlite3_errmsg(db));
        sqlite3_close(db);
        return;
    }
    for (auto _ : state) {
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        sqlite3_bind_text(pStmt, 1, "%needle%", -1, SQLITE_STATIC);
        const int nCols = sqlite3_column_count(pStmt);
        uint32_t cRows = 0;
        int64_t sum = 0;
        while (sqlite3_step(pStmt) == SQLITE_ROW) {
            for (int i = 0; i < nCols; ++i) {
                sum += sqlite3_column_type(pStmt, i) == SQLITE_INTEGER
                           ? sqlite3_column_int64(pStmt, i)
                           : sqlite3_column_bytes(pStmt, i);
            }
            ++cRows;
        }
        benchmark::DoNotOptimize(sum);
        sqlite3_reset(pStmt);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        if (cRows != c.cExpected) {
            state.SkipWithError("the query did not find what it should");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kItems);
    sqlite3_finalize(pStmt);
    sqlite3_close(db);
}

BENCHMARK(BM_FindItems)->Repetitions(kRepetitions)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawSqliteSearch)->Repetitions(kRepetitions)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    qn::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double tOurs = reporter.RealTime("BM_FindItems");
    const double tPeer = reporter.RealTime("BM_RawSqliteSearch");
    if (tOurs > 0 && tPeer > 0) {
        std::printf(
            "\ntext search over %u items: EXBoardFindItems %.1f ms, raw SQLite %.1f ms, ratio "
            "%.2f (goal >= 0.3)\n",
            kItems, tOurs, tPeer, tPeer / tOurs);
    }
    EXSM_STATUS st;
    EXBoardClose(TheCatalog().hbrd, &st);
    benchmark::Shutdown();
    return 0;
}

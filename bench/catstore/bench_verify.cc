// The structure verification (DBBoardVerify, without repair) of a catalog of 100,000 items (100
// folders of 1,000), each with a note, and 50,000 references with data, beside SQLite's own
// PRAGMA integrity_check on the same file in the same program. Goal: the verification costs at
// most 5 times the integrity check.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <string>
#include <vector>

#include "board.h"
#include "catstore.h"
#include "foundation/prefs.h"
#include "items.h"
#include "locks.h"
#include "ratioreporter.h"
#include "testsupport.h"
#include "varstr.h"

using namespace catstore;

namespace {

constexpr int kFolders = 100;
constexpr int kPerFolder = 1000;
constexpr int kItems = kFolders * kPerFolder;

[[noreturn]] void Fail(const char* pszWhat) {
    std::fprintf(stderr, "bench_verify: %s\n", pszWhat);
    std::abort();
}

// A reference from one item to another with a few bytes of data, as the reference calls store it.
int AddReference(CDbContext* pdb, const DB_ITEM& src, const DB_ITEM& dst, int n) {
    VarStringHolder data;
    data.value = "reference " + std::to_string(n);
    if (VarStringWrite(&data, pdb, VSK_ITEMREFDATA) != DBSuccess) {
        return S_SYSERR;
    }
    qn::dbms::db_itemrefrec rec{};
    rec.itemrefsrcitemid = src.item.itemid;
    rec.itemrefdstitemid = dst.item.itemid;
    rec.itemrefdata = data.dba;
    int rc = pdb->Create(qn::dbms::DB_ITEMREFREC, &rec);
    DBA dbaRef = 0;
    if (rc == S_OKAY) {
        rc = pdb->CurrentDba(&dbaRef);
    }
    for (auto [nSet, dbaOwner] : {std::pair{int32_t(qn::dbms::DBS_ITEMS_REFERENCED), src.dba},
                                  std::pair{int32_t(qn::dbms::DBS_ITEM_REFERENCERS), dst.dba}}) {
        if (rc == S_OKAY) {
            rc = pdb->MakeCurrent(dbaOwner);
        }
        if (rc == S_OKAY) {
            rc = pdb->SetOwnerCurrent(nSet);
        }
        if (rc == S_OKAY) {
            rc = pdb->MakeCurrent(dbaRef);
        }
        if (rc == S_OKAY) {
            rc = pdb->Connect(nSet);
        }
    }
    return rc;
}

struct Catalog {
    qn::test::IsolatedEnvironment env;
    qn::test::TempDir dir;
    std::string strPath = dir.file("bench.vfc");
    BOARD_OBJECT* hbrd = nullptr;

    Catalog() {
        QNPrefSetString("DBTuning", "DBCachePages", "500", QNINI_INIFILENAME);
        EX_BOARDINFO info{};
        EXSM_STATUS st;
        BOARD_OBJECT* hMake =
            EXBoardCreate(strPath.c_str(), "SYSTEM", "", &info, 0, 0, 0, nullptr, &st);
        if (hMake == nullptr) {
            Fail("cannot create the catalog");
        }
        CStoreTransaction tx(
            hMake->pdb, "Bench",
            ItemWritePacket() + Packet({qn::dbms::DB_ITEMREFREC, qn::dbms::DBS_ITEMS_REFERENCED,
                                        qn::dbms::DBS_ITEM_REFERENCERS},
                                       'w'));
        DBStatus dbs = tx.Status();
        uint32_t dwNextID = 1000000;
        for (int f = 0; dbs == DBSuccess && f < kFolders; ++f) {
            DB_ITEM folder;
            InitFolderItem(&folder, ("folder " + std::to_string(f)).c_str(), "", 0, 0);
            folder.item.itemparentid = 1;
            folder.item.itemid = dwNextID++;
            dbs = ItemCreateLocked(hMake->pdb, &folder, nullptr, hMake);
            DB_ITEM previous;
            for (int i = 0; dbs == DBSuccess && i < kPerFolder; ++i) {
                DB_ITEM item;
                item.item.type = 1;
                std::snprintf(item.item.itemname, sizeof item.item.itemname, "bookmark %d", i);
                item.item.itemparentid = folder.item.itemid;
                item.item.itemaccess.itemaccesslevel = 1;
                item.item.itemid = dwNextID++;
                item.vsiNote.value =
                    "the note of bookmark " + std::to_string(i) + " in folder " + std::to_string(f);
                dbs = ItemCreateLocked(hMake->pdb, &item, nullptr, hMake);
                if (dbs == DBSuccess && i % 2 == 1 &&
                    AddReference(hMake->pdb, previous, item, i) != S_OKAY) {
                    dbs = DBEngineError;
                }
                previous = item;
            }
        }
        if (tx.Finish(dbs) != DBSuccess) {
            Fail("cannot fill the catalog");
        }
        EXBoardClose(hMake, &st);
        hbrd = EXBoardConnect(strPath.c_str(), 2, &st);
        if (hbrd == nullptr) {
            Fail("cannot connect to the catalog");
        }
    }
};

Catalog& TheCatalog() {
    static Catalog* s_p = new Catalog;
    return *s_p;
}

void BM_DBBoardVerify(benchmark::State& state) {
    Catalog& c = TheCatalog();
    for (auto _ : state) {
        const uint16_t w = DBBoardVerify(c.hbrd->pdb, 0);
        if (w != 0) {
            state.SkipWithError("the catalog does not verify");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kItems);
}
BENCHMARK(BM_DBBoardVerify)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_SqliteIntegrityCheck(benchmark::State& state) {
    Catalog& c = TheCatalog();
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(c.strPath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        state.SkipWithError("cannot open the file");
        return;
    }
    for (auto _ : state) {
        sqlite3_stmt* st = nullptr;
        bool fOk =
            sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW &&
            std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 0))) == "ok";
        sqlite3_finalize(st);
        if (!fOk) {
            state.SkipWithError("integrity_check failed");
            break;
        }
    }
    sqlite3_close(db);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kItems);
}
BENCHMARK(BM_SqliteIntegrityCheck)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    TheCatalog();
    qn::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double tOurs = reporter.RealTime("BM_DBBoardVerify");
    const double tPeer = reporter.RealTime("BM_SqliteIntegrityCheck");
    if (tOurs > 0 && tPeer > 0) {
        std::printf(
            "\nstructure verification of %d items with notes and references: DBBoardVerify %.0f "
            "ms, PRAGMA integrity_check %.0f ms, ratio %.2f (goal <= 5)\n",
            kItems, tOurs, tPeer, tOurs / tPeer);
    }
    EXSM_STATUS st;
    EXBoardClose(TheCatalog().hbrd, &st);
    benchmark::Shutdown();
    return 0;
}

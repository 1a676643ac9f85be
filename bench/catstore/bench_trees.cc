// Tree copy and tree destroy of a 10,000-item tree (100 folders of 99 bookmarks) beside raw
// SQLite writing the same rows in the same program: per item its record, its memberships (all
// items, its folder, and for a folder its parent's folders), a folder record for a folder and a
// change entry; one durable transaction for the copy, and for the destroy one per slice (a
// tree this size fits in one), WAL with synchronous=FULL and the same page cache on both sides.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "board.h"
#include "catstore.h"
#include "foundation/prefs.h"
#include "handles.h"
#include "items.h"
#include "locks.h"
#include "testsupport.h"

using namespace catstore;

namespace {

constexpr int FOLDERS = 100;
constexpr int PER_FOLDER = 99;
constexpr int TREE_ITEMS = FOLDERS * (PER_FOLDER + 1);

std::map<std::string, double> g_rates;  // items per second by benchmark

double Seconds(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

struct Env {
    qn::test::IsolatedEnvironment env;
    qn::test::TempDir dir;
    BOARD_OBJECT* hbrd = nullptr;
    ITEM_OBJECT* hSource = nullptr;
    ITEM_OBJECT* hTarget = nullptr;
    Env() {
        // The engine's page cache as large as raw SQLite's default (2,000 KiB of 4 KiB pages):
        // the comparison is of the work, not of the cache a tuning value gives.
        QNPrefSetString("DBTuning", "DBCachePages", "500", QNINI_INIFILENAME);
        EX_BOARDINFO info{};
        EXSM_STATUS st;
        hbrd = EXBoardCreate(dir.file("bench.vfc").c_str(), "SYSTEM", "", &info, 0, 0, 0, nullptr,
                             &st);
        if (hbrd == nullptr) {
            std::fprintf(stderr, "cannot create the catalog: %s\n", EXStatusText(st));
            std::abort();
        }
        hSource = MakeFolder(1, "Source");
        hTarget = MakeFolder(1, "Target");
        // The source tree in one transaction.
        CStoreTransaction tx(hbrd->pdb, "Bench", ItemWritePacket());
        DBStatus dbs = tx.Status();
        uint32_t dwNextID = 1000000;  // in a row: one candidate id per item would collide
        for (int f = 0; dbs == DBSuccess && f < FOLDERS; ++f) {
            DB_ITEM folder;
            InitFolderItem(&folder, ("folder " + std::to_string(f)).c_str(), "", 0, 0);
            folder.item.itemparentid = EXItemGetID(hSource);
            folder.item.itemid = dwNextID++;
            dbs = ItemCreateLocked(hbrd->pdb, &folder, nullptr, hbrd);
            for (int i = 0; dbs == DBSuccess && i < PER_FOLDER; ++i) {
                DB_ITEM item;
                item.item.type = 1;
                std::snprintf(item.item.itemname, sizeof item.item.itemname, "bookmark %d", i);
                item.item.itemparentid = folder.item.itemid;
                item.item.itemaccess.itemaccesslevel = 1;
                item.item.itemid = dwNextID++;
                dbs = ItemCreateLocked(hbrd->pdb, &item, nullptr, hbrd);
            }
        }
        if (tx.Finish(dbs) != DBSuccess) {
            std::fprintf(stderr, "cannot make the source tree\n");
            std::abort();
        }
    }
    ITEM_OBJECT* MakeFolder(uint32_t dwParent, const char* pszName) {
        EXSM_STATUS st;
        EX_ITEMINFO info{};
        info.type = 4;
        std::snprintf(info.itemname, sizeof info.itemname, "%s", pszName);
        info.itemaccesslevel = 1;
        ITEM_OBJECT* h = EXItemNew(&st, &info);
        EXItemObjectSetFolder(h);
        ITEM_OBJECT* hParent = EXItemFindByID(hbrd, dwParent, nullptr, 0, &st);
        EXItemCreate(hbrd, hParent, h, &st);
        EXItemRelease(hParent, &st);
        return h;
    }
};

Env& TheEnv() {
    static Env* s_p = new Env;
    return *s_p;
}

// Copies the source tree into the target and destroys the copy again: each timed on its own.
void BM_TreeCopyAndDestroy(benchmark::State& state) {
    Env& e = TheEnv();
    double dCopy = 0, dDestroy = 0;
    uint64_t n = 0;
    for (auto _ : state) {
        EXSM_STATUS st;
        auto t0 = std::chrono::steady_clock::now();
        EXItemCopy(e.hSource, e.hTarget, &st);
        dCopy += Seconds(t0);
        if (st != EXSM_SUCCESS) {
            state.SkipWithError("EXItemCopy failed");
            break;
        }
        ITEM_ITERATOR* p = EXFolderGetItems(e.hbrd, e.hTarget, 0, EX_SORT_NAME, nullptr, 0, &st);
        ITEM_OBJECT* hCopy = EXItemAcquire(EXItemIteratorFirst(p), nullptr, 0, &st);
        EXItemIteratorRelease(p, 1);
        t0 = std::chrono::steady_clock::now();
        ITEM_OBJECT* hLeft = EXItemDestroy(hCopy, &st);
        dDestroy += Seconds(t0);
        if (st != EXSM_SUCCESS || hLeft != nullptr) {
            state.SkipWithError("EXItemDestroy failed");
            break;
        }
        n += TREE_ITEMS + 1;
    }
    g_rates["copy"] = static_cast<double>(n) / dCopy;
    g_rates["destroy"] = static_cast<double>(n) / dDestroy;
    state.SetItemsProcessed(static_cast<int64_t>(n));
}

struct RawDb {
    qn::test::TempDir dir;
    sqlite3* db = nullptr;
    sqlite3_stmt* pItem = nullptr;
    sqlite3_stmt* pFolder = nullptr;
    sqlite3_stmt* pChange = nullptr;
    sqlite3_stmt* pLink = nullptr;
    sqlite3_stmt* pDelItem = nullptr;
    sqlite3_stmt* pDelFolder = nullptr;
    sqlite3_stmt* pDelLinks = nullptr;
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
                     "CREATE TABLE folder(slot INTEGER PRIMARY KEY, stamp, body BLOB);"
                     "CREATE TABLE change(slot INTEGER PRIMARY KEY, access, fields, itemid, "
                     "parentid, userid, kind, time, data);"
                     "CREATE TABLE member(setcode, owner, member, orderkey);"
                     "CREATE INDEX member_order ON member(setcode, owner, orderkey);"
                     "CREATE INDEX member_of ON member(member);",
                     nullptr, nullptr, nullptr);
        sqlite3_prepare_v2(db,
                           "INSERT INTO item VALUES(NULL,?1,25,?2,?3,?4,0,?5,'',0,0,0,0,2,?6,1,0,"
                           "zeroblob(78),0,0,0,0,0,0,?7)",
                           -1, &pItem, nullptr);
        sqlite3_prepare_v2(db, "INSERT INTO folder VALUES(NULL,1,zeroblob(440))", -1, &pFolder,
                           nullptr);
        sqlite3_prepare_v2(db, "INSERT INTO change VALUES(NULL,1,-1,?1,?2,2,?3,?4,0)", -1, &pChange,
                           nullptr);
        sqlite3_prepare_v2(db, "INSERT INTO member VALUES(?1,?2,?3,?4)", -1, &pLink, nullptr);
        sqlite3_prepare_v2(db, "DELETE FROM item WHERE slot=?1", -1, &pDelItem, nullptr);
        sqlite3_prepare_v2(db, "DELETE FROM folder WHERE slot=?1", -1, &pDelFolder, nullptr);
        sqlite3_prepare_v2(db, "DELETE FROM member WHERE member=?1", -1, &pDelLinks, nullptr);
    }
    ~RawDb() {
        for (sqlite3_stmt* p : {pItem, pFolder, pChange, pLink, pDelItem, pDelFolder, pDelLinks}) {
            sqlite3_finalize(p);
        }
        sqlite3_close(db);
    }
    static void Run(sqlite3_stmt* p) {
        sqlite3_step(p);
        sqlite3_reset(p);
    }
    void Link(int nSet, int64_t owner, int64_t member, const char* pszOrder) {
        sqlite3_bind_int(pLink, 1, nSet);
        sqlite3_bind_int64(pLink, 2, owner);
        sqlite3_bind_int64(pLink, 3, member);
        sqlite3_bind_text(pLink, 4, pszOrder, -1, SQLITE_TRANSIENT);
        Run(pLink);
    }
    void Change(int64_t id, int64_t parent, int kind) {
        sqlite3_bind_int64(pChange, 1, id);
        sqlite3_bind_int64(pChange, 2, parent);
        sqlite3_bind_int(pChange, 3, kind);
        sqlite3_bind_int64(pChange, 4, time(nullptr));
        Run(pChange);
    }
    // One item with its rows; returns its slot.
    int64_t Insert(int64_t id, int64_t parentId, int64_t parentSlot, bool fFolder,
                   const char* pszName, int64_t* pFolderSlot = nullptr) {
        int64_t folderSlot = 0;
        if (fFolder) {
            Run(pFolder);
            folderSlot = sqlite3_last_insert_rowid(db);
        }
        sqlite3_bind_int64(pItem, 1, id);
        sqlite3_bind_int(pItem, 2, fFolder ? 4 : 1);
        sqlite3_bind_int64(pItem, 3, id);
        sqlite3_bind_int64(pItem, 4, parentId);
        sqlite3_bind_text(pItem, 5, pszName, -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(pItem, 6, time(nullptr));
        sqlite3_bind_int64(pItem, 7, folderSlot);
        Run(pItem);
        int64_t slot = sqlite3_last_insert_rowid(db);
        Link(20002, 0, slot, "");
        Link(20003, parentSlot, slot, pszName);
        if (fFolder) {
            Link(20004, parentSlot, slot, pszName);
        }
        Change(id, parentId, 1);
        if (pFolderSlot != nullptr) {
            *pFolderSlot = folderSlot;
        }
        return slot;
    }
    void Delete(int64_t slot, int64_t folderSlot, int64_t id, int64_t parentId) {
        sqlite3_bind_int64(pDelLinks, 1, slot);
        Run(pDelLinks);
        if (folderSlot != 0) {
            sqlite3_bind_int64(pDelFolder, 1, folderSlot);
            Run(pDelFolder);
        }
        sqlite3_bind_int64(pDelItem, 1, slot);
        Run(pDelItem);
        Change(id, parentId, 3);
    }
};

void BM_RawSqliteTree(benchmark::State& state) {
    RawDb raw;
    double dCopy = 0, dDestroy = 0;
    uint64_t n = 0;
    int64_t id = 1000;
    struct Row {
        int64_t slot, folderSlot, id, parentId;
    };
    std::vector<Row> rows;
    for (auto _ : state) {
        rows.clear();
        auto t0 = std::chrono::steady_clock::now();
        sqlite3_exec(raw.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        const int64_t topId = ++id;
        int64_t folderSlot = 0;
        const int64_t top = raw.Insert(topId, 1, 1, true, "Source", &folderSlot);
        rows.push_back({top, folderSlot, topId, 1});
        for (int f = 0; f < FOLDERS; ++f) {
            const std::string strFolder = "folder " + std::to_string(f);
            const int64_t folderId = ++id;
            const int64_t folder =
                raw.Insert(folderId, topId, top, true, strFolder.c_str(), &folderSlot);
            rows.push_back({folder, folderSlot, folderId, topId});
            for (int i = 0; i < PER_FOLDER; ++i) {
                const std::string strName = "bookmark " + std::to_string(i);
                const int64_t itemId = ++id;
                rows.push_back({raw.Insert(itemId, folderId, folder, false, strName.c_str()), 0,
                                itemId, folderId});
            }
        }
        if (sqlite3_exec(raw.db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
            state.SkipWithError("COMMIT failed");
            break;
        }
        dCopy += Seconds(t0);
        t0 = std::chrono::steady_clock::now();
        sqlite3_exec(raw.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        // Children before their folder, as the tree destroy goes.
        for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
            raw.Delete(it->slot, it->folderSlot, it->id, it->parentId);
        }
        if (sqlite3_exec(raw.db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
            state.SkipWithError("COMMIT failed");
            break;
        }
        dDestroy += Seconds(t0);
        n += rows.size();
    }
    g_rates["raw copy"] = static_cast<double>(n) / dCopy;
    g_rates["raw destroy"] = static_cast<double>(n) / dDestroy;
    state.SetItemsProcessed(static_cast<int64_t>(n));
}

BENCHMARK(BM_TreeCopyAndDestroy)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawSqliteTree)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    auto ratio = [](const char* a, const char* b) {
        return g_rates[b] > 0 ? g_rates[a] / g_rates[b] : 0.0;
    };
    std::printf(
        "\ntree copy (%d items): %.0f items/s, raw SQLite: %.0f items/s, ratio %.2f (goal "
        ">= 0.3)\n",
        TREE_ITEMS + 1, g_rates["copy"], g_rates["raw copy"], ratio("copy", "raw copy"));
    std::printf(
        "tree destroy (%d items): %.0f items/s, raw SQLite: %.0f items/s, ratio %.2f (goal "
        ">= 0.3)\n",
        TREE_ITEMS + 1, g_rates["destroy"], g_rates["raw destroy"],
        ratio("destroy", "raw destroy"));
    EXSM_STATUS st;
    EXBoardClose(TheEnv().hbrd, &st);
    benchmark::Shutdown();
    return 0;
}

// A browser's bookmark export of 10,000 bookmarks in 20 folders, imported with catcli (the
// program, as a user runs it: reading and parsing the file, opening the catalog, one transaction
// per folder and per batch of bookmarks, change entries and all) beside the browser-side
// baseline: raw SQLite inserting the same rows (items, attachments, notes, change entries and
// set links) in one transaction with the same durability (WAL, synchronous=FULL).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bookmarkfile.h"
#include "ratioreporter.h"
#include "testsupport.h"

namespace {

constexpr int kFolders = 20;
constexpr int kPerFolder = 500;

struct Bookmark {
    std::string strTitle, strUrl, strNote;
    uint32_t dwAdded;
};

// The same bookmarks for both sides: every other one has a description.
std::vector<Bookmark> Bookmarks(int nFolder) {
    std::vector<Bookmark> v;
    for (int i = 0; i < kPerFolder; ++i) {
        char achTitle[64], achUrl[128];
        std::snprintf(achTitle, sizeof achTitle, "Example page %d of folder %d", i, nFolder);
        std::snprintf(achUrl, sizeof achUrl, "https://www.example.org/folder%d/page%d.html?x=1",
                      nFolder, i);
        v.push_back({achTitle, achUrl, i % 2 == 0 ? "What this page is about & why" : "",
                     1700000000u + static_cast<uint32_t>(i)});
    }
    return v;
}

struct Fixture {
    qn::test::IsolatedEnvironment env;  // catcli children inherit its settings and namespace
    qn::test::TempDir dir;
    std::string strFile;
    Fixture() {
        strFile = dir.file("bookmarks.html");
        FILE* pFile = std::fopen(strFile.c_str(), "w");
        BookmarkWriteHeader(pFile, "Bookmarks");
        for (int f = 0; f < kFolders; ++f) {
            char achName[32];
            std::snprintf(achName, sizeof achName, "Folder %d", f);
            BookmarkWriteBeginFolder(pFile, 0, achName, nullptr, 1700000000u, 1700000001u);
            for (const Bookmark& b : Bookmarks(f)) {
                BookmarkWriteBookmark(pFile, 1, b.strTitle.c_str(), b.strUrl.c_str(),
                                      b.strNote.c_str(), b.dwAdded, 0, 0);
            }
            BookmarkWriteEndFolder(pFile, 0);
        }
        BookmarkWriteTrailer(pFile);
        std::fclose(pFile);
    }
};

Fixture& TheFixture() {
    static Fixture* s_p = new Fixture;
    return *s_p;
}

double Seconds(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Runs catcli with its standard output (the summary line) thrown away; the exit code.
int Run(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& str : args) {
        argv.push_back(const_cast<char*>(str.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc != 0 ? -1 : qn::test::WaitChild(pid);
}

void BM_CatcliImport(benchmark::State& state) {
    Fixture& fx = TheFixture();
    int n = 0;
    for (auto _ : state) {
        const std::string strCatalog = fx.dir.file("import" + std::to_string(n++) + ".vfc");
        if (Run({CATCLI_PATH, "create", strCatalog}) != 0) {
            state.SkipWithError("catcli create failed");
            break;
        }
        auto t0 = std::chrono::steady_clock::now();
        if (Run({CATCLI_PATH, "import", strCatalog, fx.strFile}) != 0) {
            state.SkipWithError("catcli import failed");
            break;
        }
        state.SetIterationTime(Seconds(t0));
    }
    state.SetItemsProcessed(state.iterations() * kFolders * kPerFolder);
}

void Exec(sqlite3* db, const char* pszSql) {
    if (sqlite3_exec(db, pszSql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "%s: %s\n", pszSql, sqlite3_errmsg(db));
        std::abort();
    }
}

struct RawDb {
    sqlite3* db = nullptr;
    sqlite3_stmt *pItem = nullptr, *pAttach = nullptr, *pText = nullptr, *pChange = nullptr,
                 *pLink = nullptr;
    explicit RawDb(const std::string& strPath) {
        sqlite3_open(strPath.c_str(), &db);
        Exec(db,
             "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
             "CREATE TABLE item(slot INTEGER PRIMARY KEY, stamp INTEGER, itemversion, type, "
             "itemid INTEGER UNIQUE, itemparentid, attributes, itemname, itemdescription, "
             "uidowner, uidresponsible, duedate, status, uidlastmodified, tmlastmodified, "
             "itemaccesslevel, itemaccessid, itemreserved BLOB, extinfo, instructions, keywords, "
             "note, subscribers, dbalastmodified, folderstruct);"
             "CREATE INDEX item_status ON item(itemparentid, status);"
             "CREATE INDEX item_mod ON item(itemparentid, tmlastmodified);"
             "CREATE INDEX item_due ON item(itemparentid, duedate);"
             "CREATE TABLE attach(slot INTEGER PRIMARY KEY, stamp, atttype, attnamecrc, "
             "attnamepath, timecreated, timemodified, timeaccessed, reserved BLOB);"
             "CREATE INDEX attach_key ON attach(attnamecrc);"
             "CREATE TABLE text(slot INTEGER PRIMARY KEY, kind, data);"
             "CREATE TABLE change(slot INTEGER PRIMARY KEY, access, fields, itemid, parentid, "
             "userid, kind, time, data);"
             "CREATE TABLE member(setcode, owner, member, orderkey);"
             "CREATE INDEX member_order ON member(setcode, owner, orderkey);");
        sqlite3_prepare_v2(db,
                           "INSERT INTO item VALUES(NULL,1,25,?1,?2,?3,0,?4,'',1,0,0,0,1,?5,1,0,"
                           "zeroblob(78),0,0,0,?6,0,0,0)",
                           -1, &pItem, nullptr);
        sqlite3_prepare_v2(db, "INSERT INTO attach VALUES(NULL,1,1,?1,?2,?3,0,0,zeroblob(98))", -1,
                           &pAttach, nullptr);
        sqlite3_prepare_v2(db, "INSERT INTO text VALUES(NULL,1,?1)", -1, &pText, nullptr);
        sqlite3_prepare_v2(db, "INSERT INTO change VALUES(NULL,1,-1,?1,?2,1,1,?3,0)", -1, &pChange,
                           nullptr);
        sqlite3_prepare_v2(db, "INSERT INTO member VALUES(?1,?2,?3,?4)", -1, &pLink, nullptr);
    }
    ~RawDb() {
        for (sqlite3_stmt* p : {pItem, pAttach, pText, pChange, pLink}) {
            sqlite3_finalize(p);
        }
        sqlite3_close(db);
    }
    static void Step(sqlite3_stmt* p) {
        sqlite3_step(p);
        sqlite3_reset(p);
    }
    void Link(int nSet, int64_t owner, int64_t member, const char* pszKey) {
        sqlite3_bind_int(pLink, 1, nSet);
        sqlite3_bind_int64(pLink, 2, owner);
        sqlite3_bind_int64(pLink, 3, member);
        sqlite3_bind_text(pLink, 4, pszKey, -1, SQLITE_STATIC);
        Step(pLink);
    }
    // One item with its note, attachment (for a bookmark), change entry and set links.
    void Insert(int nType, int64_t id, int64_t parent, const char* pszName, const Bookmark* pb) {
        int64_t note = 0;
        if (pb != nullptr && !pb->strNote.empty()) {
            sqlite3_bind_text(pText, 1, pb->strNote.c_str(), -1, SQLITE_STATIC);
            Step(pText);
            note = sqlite3_last_insert_rowid(db);
        }
        sqlite3_bind_int(pItem, 1, nType);
        sqlite3_bind_int64(pItem, 2, id);
        sqlite3_bind_int64(pItem, 3, parent);
        sqlite3_bind_text(pItem, 4, pszName, -1, SQLITE_STATIC);
        sqlite3_bind_int64(pItem, 5, time(nullptr));
        sqlite3_bind_int64(pItem, 6, note);
        Step(pItem);
        const int64_t slot = sqlite3_last_insert_rowid(db);
        Link(20002, parent, slot, pszName);  // the folder's items
        Link(20003, 1, slot, pszName);       // every item
        if (pb != nullptr) {
            sqlite3_bind_int64(pAttach, 1, static_cast<int64_t>(pb->strUrl.size()) * 31 + id);
            sqlite3_bind_text(pAttach, 2, pb->strUrl.c_str(), -1, SQLITE_STATIC);
            sqlite3_bind_int64(pAttach, 3, pb->dwAdded);
            Step(pAttach);
            Link(20004, slot, sqlite3_last_insert_rowid(db), "");
        }
        sqlite3_bind_int64(pChange, 1, id);
        sqlite3_bind_int64(pChange, 2, parent);
        sqlite3_bind_int64(pChange, 3, time(nullptr));
        Step(pChange);
    }
};

void BM_RawSqliteImport(benchmark::State& state) {
    Fixture& fx = TheFixture();
    std::vector<std::vector<Bookmark>> folders;
    for (int f = 0; f < kFolders; ++f) {
        folders.push_back(Bookmarks(f));
    }
    int n = 0;
    for (auto _ : state) {
        RawDb raw(fx.dir.file("raw" + std::to_string(n++) + ".db"));
        auto t0 = std::chrono::steady_clock::now();
        Exec(raw.db, "BEGIN IMMEDIATE");
        int64_t id = 1000;
        for (int f = 0; f < kFolders; ++f) {
            const int64_t folder = ++id;
            raw.Insert(4, folder, 1, "Folder", nullptr);
            for (const Bookmark& b : folders[static_cast<size_t>(f)]) {
                raw.Insert(1, ++id, folder, b.strTitle.c_str(), &b);
            }
        }
        Exec(raw.db, "COMMIT");
        state.SetIterationTime(Seconds(t0));
    }
    state.SetItemsProcessed(state.iterations() * kFolders * kPerFolder);
}

BENCHMARK(BM_CatcliImport)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawSqliteImport)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    qn::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double tOurs = reporter.RealTime("BM_CatcliImport");
    const double tPeer = reporter.RealTime("BM_RawSqliteImport");
    std::printf(
        "\nimport of %d bookmarks in %d folders: catcli %.0f ms, raw SQLite in one "
        "transaction %.0f ms, ratio %.2f (goal >= 0.3)\n",
        kFolders * kPerFolder, kFolders, tOurs, tPeer,
        tOurs > 0 && tPeer > 0 ? tPeer / tOurs : 0.0);
    benchmark::Shutdown();
    return 0;
}

// What one change writes: the pages the catalog's connections write to the log for one item
// create, user create and group create, beside the pages raw SQLite writes for the item's rows
// (the item, its change entry and its two set links in one transaction); where the pages of one
// of each go, by table and index; and the largest the write-ahead log grows to over many user
// creates, beside the bound the engine keeps it under.
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "catdbms/testhooks.h"
#include "catstore.h"
#include "testsupport.h"

namespace {

void Check(bool fOk, const char* pszWhat, EXSM_STATUS st = EXSM_SUCCESS) {
    if (!fOk) {
        std::fprintf(stderr, "benchmark set-up failed: %s (%s)\n", pszWhat, EXStatusText(st));
        std::abort();
    }
}

uint64_t FileSize(const std::string& strPath) {
    struct stat sb;
    return stat(strPath.c_str(), &sb) == 0 ? uint64_t(sb.st_size) : 0;
}

std::string ReadFile(const std::string& strPath) {
    std::string str;
    if (FILE* pf = std::fopen(strPath.c_str(), "rb")) {
        char ach[65536];
        size_t cb;
        while ((cb = std::fread(ach, 1, sizeof ach, pf)) > 0)
            str.append(ach, cb);
        std::fclose(pf);
    }
    return str;
}

struct Catalog {
    qn::test::IsolatedEnvironment env;
    qn::test::TempDir dir;
    std::string strPath = dir.file("bench.vfc");
    BOARD_OBJECT* hbrd = nullptr;
    ITEM_OBJECT* hFolder = nullptr;
    sqlite3* pRaw = nullptr;  // a connection to the same file, for the log's contents
    uint32_t nNext = 0;

    Catalog() {
        EX_BOARDINFO info{};
        EXSM_STATUS st;
        hbrd = EXBoardCreate(strPath.c_str(), "SYSTEM", "", &info, 0, 0, 0, nullptr, &st);
        Check(hbrd != nullptr, "EXBoardCreate", st);
        EX_ITEMINFO folder = Info("folder", 4);
        hFolder = EXItemNew(&st, &folder);
        EXItemObjectSetFolder(hFolder);
        EXItemCreate(hbrd, EXBoardGetRootFolder(hbrd), hFolder, &st);
        Check(st == EXSM_SUCCESS, "EXItemCreate of a folder", st);
        Check(sqlite3_open_v2(strPath.c_str(), &pRaw, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK,
              "raw open");
    }
    ~Catalog() {
        sqlite3_close(pRaw);
        EXSM_STATUS st;
        EXItemRelease(hFolder, &st);
        EXBoardClose(hbrd, &st);
    }

    static EX_ITEMINFO Info(const std::string& strName, uint16_t wType) {
        EX_ITEMINFO info{};
        info.type = wType;
        info.itemaccesslevel = 1;
        std::snprintf(info.itemname, sizeof info.itemname, "%s", strName.c_str());
        return info;
    }
    std::string Name(const char* pszPrefix) {
        char ach[32];
        std::snprintf(ach, sizeof ach, "%s%05u", pszPrefix, nNext++);
        return ach;
    }

    void ItemCreate() {
        EX_ITEMINFO info = Info(Name("bookmark "), 1);
        EXSM_STATUS st;
        ITEM_OBJECT* h = EXItemNew(&st, &info);
        EXItemCreate(hbrd, hFolder, h, &st);
        Check(st == EXSM_SUCCESS, "EXItemCreate", st);
        EXItemRelease(h, &st);
    }
    void UserCreate() {
        EX_USERINFO info{};
        info.hName = EXStringCreate(Name("user").c_str());
        info.hPassword = EXStringCreate("pw");
        EXSM_STATUS st;
        USER_OBJECT* h = EXUserCreate(hbrd, &info, &st);
        Check(h != nullptr && st == EXSM_SUCCESS, "EXUserCreate", st);
        EXUserRelease(h, &st);
        QNGlobalFree(reinterpret_cast<QNHGLOBAL>(info.hName));
        QNGlobalFree(reinterpret_cast<QNHGLOBAL>(info.hPassword));
    }
    void GroupCreate() {
        EX_GROUPINFO info{};
        info.hName = EXStringCreate(Name("group").c_str());
        EXSM_STATUS st;
        GROUP_OBJECT* h = EXGroupCreate(hbrd, &info, &st);
        Check(h != nullptr && st == EXSM_SUCCESS, "EXGroupCreate", st);
        EXGroupRelease(h, &st);
        QNGlobalFree(reinterpret_cast<QNHGLOBAL>(info.hName));
    }

    // Moves every logged page into the file and empties the log, so that what the next change
    // logs can be read back frame by frame.
    void EmptyLog() {
        int cLog = 0, cDone = 0;
        Check(sqlite3_wal_checkpoint_v2(pRaw, nullptr, SQLITE_CHECKPOINT_TRUNCATE, &cLog, &cDone) ==
                  SQLITE_OK,
              "emptying the log");
    }
    // The b-tree (table or index) of each of the first cFrames pages in the log, counted.
    std::map<std::string, int> LoggedPagesByTree(uint64_t cFrames) {
        const std::string strLog = ReadFile(strPath + "-wal");
        std::map<uint32_t, std::string> treeOf;
        sqlite3_stmt* pStmt = nullptr;
        sqlite3_prepare_v2(pRaw, "SELECT name, pageno FROM dbstat", -1, &pStmt, nullptr);
        while (sqlite3_step(pStmt) == SQLITE_ROW)
            treeOf[uint32_t(sqlite3_column_int64(pStmt, 1))] =
                reinterpret_cast<const char*>(sqlite3_column_text(pStmt, 0));
        sqlite3_finalize(pStmt);
        std::map<std::string, int> counts;
        constexpr size_t kHeader = 32, kFrame = 24 + 4096;
        // Frames of the log's current round carry its salts; the file may hold older ones.
        if (strLog.size() < kHeader)
            return counts;
        const std::string strSalts = strLog.substr(16, 8);
        for (size_t off = kHeader; off + kFrame <= strLog.size() && cFrames > 0;
             off += kFrame, --cFrames) {
            if (strLog.compare(off + 8, 8, strSalts) != 0)
                break;
            const auto* pb = reinterpret_cast<const unsigned char*>(strLog.data() + off);
            const uint32_t page = uint32_t(pb[0]) << 24 | uint32_t(pb[1]) << 16 |
                                  uint32_t(pb[2]) << 8 | uint32_t(pb[3]);
            auto it = treeOf.find(page);
            ++counts[page == 1 ? "(file header)" : it == treeOf.end() ? "(free)" : it->second];
        }
        return counts;
    }
};

// Raw SQLite: the rows of one item create in one durable transaction, in a catalog-like file.
double RawItemPages() {
    qn::test::TempDir dir;
    sqlite3* db = nullptr;
    sqlite3_open(dir.file("raw.db").c_str(), &db);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
                 "CREATE TABLE item(slot INTEGER PRIMARY KEY, stamp, itemid UNIQUE, name, body);"
                 "CREATE TABLE change(slot INTEGER PRIMARY KEY, stamp, itemid, body);"
                 "CREATE TABLE member(setcode, owner, member, ord, PRIMARY KEY(setcode, member));"
                 "CREATE INDEX member_ord ON member(setcode, owner, ord);",
                 nullptr, nullptr, nullptr);
    constexpr int kItems = 200;
    int cBefore = 0, cHigh = 0;
    sqlite3_db_status(db, SQLITE_DBSTATUS_CACHE_WRITE, &cBefore, &cHigh, 1);
    for (int i = 0; i < kItems; ++i) {
        const std::string n = std::to_string(i);
        const std::string sql =
            "BEGIN; INSERT INTO item VALUES(NULL, " + n + ", " + n + ", 'bookmark " + n +
            "', zeroblob(600)); INSERT INTO change VALUES(NULL, " + n + ", " + n +
            ", zeroblob(100)); INSERT INTO member VALUES(1, 1, " + n + ", " + n +
            "); INSERT INTO member VALUES(2, 1, " + n + ", " + n + "); COMMIT;";
        sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    }
    int cPages = 0;
    sqlite3_db_status(db, SQLITE_DBSTATUS_CACHE_WRITE, &cPages, &cHigh, 1);
    sqlite3_close(db);
    return double(cPages) / kItems;
}

}  // namespace

int main() {
    Catalog c;
    struct Kind {
        const char* pszName;
        void (Catalog::*pfn)();
        int n;
    };
    const Kind kinds[] = {{"item create", &Catalog::ItemCreate, 200},
                          {"user create", &Catalog::UserCreate, 40},
                          {"group create", &Catalog::GroupCreate, 100}};
    for (const Kind& k : kinds) {
        // The second one logged alone, to show where its pages go (the first of a kind also
        // makes what later ones share).
        (c.*k.pfn)();
        c.EmptyLog();
        const uint64_t cStart = qn::dbms::testing::PagesWritten();
        (c.*k.pfn)();
        std::printf("%s: pages of one, by table or index:", k.pszName);
        for (const auto& [strTree, cPages] :
             c.LoggedPagesByTree(qn::dbms::testing::PagesWritten() - cStart))
            std::printf(" %s %d,", strTree.c_str(), cPages);
        std::printf("\n");
        for (int i = 1; i < k.n; ++i)
            (c.*k.pfn)();
        const double dPages = double(qn::dbms::testing::PagesWritten() - cStart) / k.n;
        std::printf("%s: %.1f pages (%.0f KiB) written per create over %d\n", k.pszName, dPages,
                    dPages * 4, k.n);
    }
    const double dRaw = RawItemPages();
    std::printf("raw SQLite rows of an item create: %.1f pages per create\n", dRaw);

    // The log over many user creates: sampled after each one.
    uint64_t cbLargest = 0;
    for (int i = 0; i < 200; ++i) {
        c.UserCreate();
        cbLargest = std::max(cbLargest, FileSize(c.strPath + "-wal"));
    }
    std::printf("write-ahead log over 200 user creates: largest %.0f KiB\n", cbLargest / 1024.0);
    return 0;
}

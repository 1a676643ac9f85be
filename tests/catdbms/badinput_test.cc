// Files that are not catalogs, damaged catalogs, read-only folders and full disks: each answers
// an engine status, never crashes and never changes the file.
#include <sched.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include "catdbms/store.h"
#include "dbmstest.h"

namespace qn::dbms::test {
namespace {

using qn::test::ForkChild;
using qn::test::ReadFile;
using qn::test::WaitChild;
using qn::test::WriteFile;

constexpr int kSkipped = 77;

// Opens the file and walks everything the engine can read; every status must be one the engine
// lists for damaged input.
void ProbeReadOnly(const std::string& path) {
    CDbTask t;
    int rc = OpenTask(t, path, "s");
    EXPECT_TRUE(rc == S_OKAY || rc == S_INVDB || rc == S_READ) << rc;
    if (rc != S_OKAY)
        return;
    for (const RecordDef& r : kRecords) {
        for (rc = t.RecFirst(r.code); rc == S_OKAY; rc = t.RecNext(r.code)) {
            uint8_t buf[1024];
            rc = t.RecRead(buf);
            if (rc != S_OKAY)
                break;
        }
        EXPECT_TRUE(rc == S_NOTFOUND || rc == S_READ || rc == S_INVDB || rc == S_DELETED) << rc;
    }
    uint32_t id = 1;
    rc = t.KeyFind(ITEMID, &id);
    EXPECT_TRUE(rc == S_OKAY || rc == S_NOTFOUND || rc == S_READ) << rc;
    CheckReport report;
    rc = t.CheckCatalog(&report);
    EXPECT_TRUE(rc == S_OKAY || rc == S_NOTFOUND || rc == S_READ) << rc;
}

std::string SampleCatalog(const qn::test::TempDir& dir) {
    const std::string path = NewCatalog(dir, "sample.vfc");
    CDbTask t;
    EXPECT_EQ(OpenTask(t, path), S_OKAY);
    EXPECT_EQ(t.OwnerSet(DBS_ITEMS, SystemDba(t)), S_OKAY);
    EXPECT_EQ(t.TransactionBegin("fill"), S_OKAY);
    for (uint32_t i = 1; i <= 300; ++i) {
        Make(t, DB_ITEMREC, Item(i, ("item" + std::to_string(i)).c_str()));
        EXPECT_EQ(t.Connect(DBS_ITEMS), S_OKAY);
    }
    EXPECT_EQ(t.TransactionEnd(), S_OKAY);
    return path;  // closed: the log is checkpointed into the file
}

TEST(BadInput, FilesThatAreNotCatalogsAreRefusedUnchanged) {
    qn::test::TempDir dir;
    struct Case {
        const char* name;
        std::string contents;
    } cases[] = {
        {"empty.vfc", ""},
        {"text.vfc", "This is not a catalog at all.\n"},
        {"short.vfc", "SQLite format"},
        {"header-only.vfc", std::string("SQLite format 3\0", 16) + std::string(84, '\0')},
        {"garbage.vfc", std::string(8192, '\x5A')},
    };
    for (const Case& c : cases) {
        const std::string path = dir.file(c.name);
        WriteFile(path, c.contents);
        CDbTask t;
        EXPECT_EQ(OpenTask(t, path), S_INVDB) << c.name;
        EXPECT_EQ(ReadFile(path), c.contents) << c.name;
    }
    // Another program's SQLite database.
    const std::string other = dir.file("other.vfc");
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE notes(x); INSERT INTO notes VALUES('hello')",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    const std::string otherBytes = ReadFile(other);
    {
        CDbTask t;
        EXPECT_EQ(OpenTask(t, other), S_INVDB);
        EXPECT_EQ(ReadFile(other), otherBytes);
    }
    const std::string foreign = dir.file("foreign.vfc");
    ASSERT_EQ(CDbTask::CreateCatalog(foreign.c_str()), S_OKAY);
    // A catalog file whose dictionary is not ours: take a real one and rename a field.
    const std::string before = ReadFile(foreign);
    std::string altered = before;
    const size_t at = altered.find("ITEMNAME");
    ASSERT_NE(at, std::string::npos);
    altered[at] = 'J';
    WriteFile(foreign, altered);
    CDbTask t;
    EXPECT_EQ(OpenTask(t, foreign), S_INVDB);
    EXPECT_EQ(ReadFile(foreign), altered);
    // Missing files, folders, over-long names.
    EXPECT_EQ(OpenTask(t, dir.file("missing.vfc")), S_INVDB);
    EXPECT_EQ(OpenTask(t, dir.path()), S_INVDB);
    EXPECT_EQ(OpenTask(t, dir.file(std::string(300, 'n') + ".vfc")), S_NAMELEN);
    EXPECT_EQ(OpenTask(t, "/" + std::string(5000, 'p')), S_NAMELEN);
    EXPECT_EQ(t.Open(nullptr, "s"), S_BADPARAM);
    EXPECT_EQ(t.Open("", "s"), S_BADPARAM);
    EXPECT_EQ(CDbTask::CreateCatalog(dir.file("no/such/folder.vfc").c_str()), S_NOLOCKMGR);
    EXPECT_EQ(CDbTask::CreateCatalog(""), S_BADPATH);
}

TEST(BadInput, TafThatIsAFolderIsRefused) {
    qn::test::TempDir dir;
    const std::string path = NewCatalog(dir);
    ASSERT_EQ(mkdir(dir.file("odd.TAF").c_str(), 0755), 0);
    CDbTask t;
    ASSERT_EQ(t.SetTafFile(dir.file("odd.TAF").c_str()), S_OKAY);
    EXPECT_EQ(OpenTask(t, path), S_TAFINVALID);
}

TEST(BadInput, TruncatedAndCorruptedCatalogsAnswerStatusesAndStayUnchanged) {
    qn::test::TempDir dir;
    const std::string path = SampleCatalog(dir);
    const std::string good = ReadFile(path);
    ASSERT_GT(good.size(), 40000u);
    std::mt19937 rng(7);
    std::vector<std::string> variants;
    for (size_t cut : {size_t(100), size_t(4096), good.size() / 2, good.size() - 4096})
        variants.push_back(good.substr(0, cut));
    for (int i = 0; i < 12; ++i) {
        std::string bad = good;
        const size_t page = std::uniform_int_distribution<size_t>(1, bad.size() / 4096 - 1)(rng);
        for (int k = 0; k < 64; ++k)
            bad[page * 4096 + std::uniform_int_distribution<size_t>(0, 4095)(rng)] = char(rng());
        variants.push_back(bad);
    }
    for (size_t i = 0; i < variants.size(); ++i) {
        const std::string p = dir.file("bad" + std::to_string(i) + ".vfc");
        WriteFile(p, variants[i]);
        ProbeReadOnly(p);
        EXPECT_EQ(ReadFile(p), variants[i]) << "variant " << i;
    }
}

// Runs fn in a child with a private mount namespace (root) so mounts vanish with it.
int InPrivateMounts(const std::function<int()>& fn) {
    const pid_t child = ForkChild([&] {
        if (unshare(CLONE_NEWNS) != 0)
            return kSkipped;
        if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return kSkipped;
        return fn();
    });
    return WaitChild(child);
}

TEST(BadInput, ReadOnlyFolderRefusesTheOpenAndChangesNothing) {
    qn::test::TempDir dir;
    const std::string path = NewCatalog(dir);
    const std::string before = ReadFile(path);
    auto probe = [&]() -> int {
        CDbTask t;
        if (OpenTask(t, path, "s") != S_UNAVAIL)
            return 1;
        if (OpenTask(t, path, "x") != S_UNAVAIL)
            return 2;
        if (CDbTask::CreateCatalog(dir.file("new.vfc").c_str()) == S_OKAY)
            return 3;
        return ReadFile(path) == before ? 0 : 4;
    };
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
        const int rc = probe();
        chmod(dir.path().c_str(), 0755);
        EXPECT_EQ(rc, 0);
        return;
    }
    const int rc = InPrivateMounts([&] {
        if (mount(dir.path().c_str(), dir.path().c_str(), nullptr, MS_BIND, nullptr) != 0)
            return kSkipped;
        if (mount(nullptr, dir.path().c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                  nullptr) != 0)
            return kSkipped;
        return probe();
    });
    if (rc == kSkipped)
        GTEST_SKIP() << "no private read-only mount here";
    EXPECT_EQ(rc, 0);
}

TEST(BadInput, OutOfMemoryAnswersStatusAndLosesNothing) {
    qn::test::TempDir dir;
    const std::string path = NewCatalog(dir);
    // In a child: the heap limit is process-wide.
    const pid_t child = ForkChild([&] {
        CDbTask t;
        if (OpenTask(t, path) != S_OKAY)
            return 10;
        const int64_t used = sqlite3_memory_used();
        bool sawNoMemory = false;
        uint32_t committed = 0;
        for (int64_t room = 4096; room < 2 * 1024 * 1024 && !sawNoMemory; room *= 2) {
            sqlite3_hard_heap_limit64(used + room);
            for (uint32_t i = 0; i < 50; ++i) {
                db_itemrec r = Item(1000 + committed, "m");
                const int rc = t.FillNew(DB_ITEMREC, &r);
                if (rc == S_OKAY) {
                    ++committed;
                } else if (rc == S_NOMEMORY) {
                    sawNoMemory = true;
                    break;
                } else {
                    return 11;
                }
            }
        }
        sqlite3_hard_heap_limit64(0);
        uint32_t n = 0;
        if (t.RecCount(DB_ITEMREC, &n) != S_OKAY || n != committed)
            return 12;
        CheckReport report;
        if (t.CheckCatalog(&report) != S_OKAY)
            return 13;
        return sawNoMemory ? 0 : kSkipped;
    });
    const int rc = WaitChild(child);
    if (rc == kSkipped)
        GTEST_SKIP() << "the heap limit was never reached";
    EXPECT_EQ(rc, 0);
}

// Fills the catalog until the storage is full; the failing transaction leaves nothing and what
// was committed before stays whole.
int FillUntilFull(const std::string& path, const std::string& filler) {
    uint32_t committed = 0;
    {
        CDbTask t;
        if (OpenTask(t, path) != S_OKAY)
            return 10;
        db_largedata d{};
        for (int round = 0;; ++round) {
            if (round > 100000)
                return 11;
            if (t.TransactionBegin("fill") != S_OKAY)
                return 12;
            int rc = S_OKAY;
            for (int i = 0; i < 20 && rc == S_OKAY; ++i) {
                d.data256[0] = uint8_t(i);
                rc = t.FillNew(DB_LARGEDATA, &d);
            }
            if (rc == S_OKAY)
                rc = t.TransactionEnd();
            if (rc == S_OKAY) {
                committed += 20;
                continue;
            }
            if (rc != S_NOSPACE)
                return 13;
            t.TransactionAbort();
            break;
        }
    }
    if (!filler.empty())
        std::remove(filler.c_str());  // room to open again
    CDbTask t;
    if (OpenTask(t, path) != S_OKAY)
        return 14;
    uint32_t n = 0;
    if (t.RecCount(DB_LARGEDATA, &n) != S_OKAY || n != committed)
        return 15;
    CheckReport report;
    if (t.CheckCatalog(&report) != S_OKAY)
        return 16;
    return committed > 0 ? 0 : 17;
}

TEST(BadInput, SizeLimitAnswersDiskFullAndKeepsCommittedData) {
    qn::test::TempDir dir;
    const std::string path = NewCatalog(dir);
    {
        CDbTask t;
        ASSERT_EQ(OpenTask(t, path), S_OKAY);
        ASSERT_EQ(t.SetSizeLimit(600 * 1024), S_OKAY);
        db_largedata d{};
        int rc = S_OKAY;
        uint32_t made = 0;
        ASSERT_EQ(t.TransactionBegin("fill"), S_OKAY);
        while (rc == S_OKAY && made < 100000) {
            rc = t.FillNew(DB_LARGEDATA, &d);
            made += rc == S_OKAY ? 1 : 0;
        }
        EXPECT_EQ(rc, S_NOSPACE);
        EXPECT_GT(made, 100u);
        // Either the transaction survived the failed create (then what fitted is committed) or
        // the storage rolled it back (then the end says so and nothing of it is kept; no later
        // call may commit half of it).
        db_largedata more{};
        const int again = t.FillNew(DB_LARGEDATA, &more);
        const int end = t.TransactionEnd();
        uint32_t n = 0;
        ASSERT_EQ(t.RecCount(DB_LARGEDATA, &n), S_OKAY);
        if (end == S_OKAY) {
            EXPECT_EQ(n, made + (again == S_OKAY ? 1 : 0));
        } else {
            EXPECT_EQ(end, S_NOSPACE);
            EXPECT_EQ(again, S_NOSPACE);
            EXPECT_EQ(n, 0u);
        }
        CheckReport report;
        EXPECT_EQ(t.CheckCatalog(&report), S_OKAY);
    }
}

TEST(BadInput, FullFileSystemAnswersDiskFull) {
    qn::test::TempDir dir;
    const std::string mnt = dir.file("small");
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    const int rc = InPrivateMounts([&] {
        if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=2m") != 0)
            return kSkipped;
        const std::string path = mnt + "/full.vfc";
        if (CDbTask::CreateCatalog(path.c_str()) != S_OKAY)
            return 20;
        // Leave room for reopening: a filler that is removed once the disk is full.
        const std::string filler = mnt + "/filler";
        WriteFile(filler, std::string(200 * 1024, 'f'));
        return FillUntilFull(path, filler);
    });
    if (rc == kSkipped)
        GTEST_SKIP() << "no private tmpfs mount here";
    EXPECT_EQ(rc, 0);
}

// A catalog whose small volume filled up: the log does not keep the space once its writers
// closed, and the catalog takes writes again as soon as space is freed, without anything else.
TEST(BadInput, FullFileSystemTakesWritesAgainOnceSpaceIsFreed) {
    qn::test::TempDir dir;
    const std::string mnt = dir.file("small");
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    const int rc = InPrivateMounts([&] {
        if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=2m") != 0)
            return kSkipped;
        const std::string path = mnt + "/full.vfc";
        if (CDbTask::CreateCatalog(path.c_str()) != S_OKAY)
            return 20;
        const std::string filler = mnt + "/filler";
        WriteFile(filler, std::string(300 * 1024, 'f'));
        auto sizeOf = [](const std::string& p) -> int64_t {
            struct stat sb;
            return stat(p.c_str(), &sb) == 0 ? int64_t(sb.st_size) : 0;
        };
        uint32_t committed = 0;
        {
            CDbTask t;
            if (OpenTask(t, path) != S_OKAY)
                return 21;
            db_largedata d{};
            for (int round = 0;; ++round) {
                if (round > 100000)
                    return 22;
                if (t.TransactionBegin("fill") != S_OKAY)
                    return 23;
                int st = S_OKAY;
                for (int i = 0; i < 20 && st == S_OKAY; ++i)
                    st = t.FillNew(DB_LARGEDATA, &d);
                if (st == S_OKAY)
                    st = t.TransactionEnd();
                if (st == S_OKAY) {
                    committed += 20;
                    continue;
                }
                if (st != S_NOSPACE)
                    return 24;
                t.TransactionAbort();
                break;
            }
            if (sizeOf(path + "-wal") > kLogSizeLimit + 128 * 1024)
                return 25;
        }
        // Still full: a write is refused, and nothing is lost.
        {
            CDbTask t;
            if (OpenTask(t, path) != S_OKAY)
                return 26;
            db_largedata d{};
            if (t.TransactionBegin("more") != S_OKAY)
                return 27;
            int st = S_OKAY;
            for (int i = 0; i < 200 && st == S_OKAY; ++i)
                st = t.FillNew(DB_LARGEDATA, &d);
            if (st == S_OKAY)
                st = t.TransactionEnd();
            else
                t.TransactionAbort();
            if (st == S_OKAY)
                committed += 200;
            else if (st != S_NOSPACE)
                return 28;
        }
        std::remove(filler.c_str());
        CDbTask t;
        if (OpenTask(t, path) != S_OKAY)
            return 29;
        db_largedata d{};
        for (int i = 0; i < 100; ++i) {
            if (t.FillNew(DB_LARGEDATA, &d) != S_OKAY)
                return 30;
            ++committed;
        }
        uint32_t n = 0;
        if (t.RecCount(DB_LARGEDATA, &n) != S_OKAY || n != committed)
            return 31;
        CheckReport report;
        if (t.CheckCatalog(&report) != S_OKAY)
            return 32;
        t.Close();
        return sizeOf(path + "-wal") == 0 ? 0 : 33;
    });
    if (rc == kSkipped)
        GTEST_SKIP() << "no private tmpfs mount here";
    EXPECT_EQ(rc, 0);
}

}  // namespace
}  // namespace qn::dbms::test

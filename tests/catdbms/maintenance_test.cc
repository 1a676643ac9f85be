// The calls the catalog utilities use: who has a catalog open, copies that include the log of a
// crashed writer, re-creating a catalog over an old one, backups of an open catalog, holding a
// catalog across an exclusive open, and the catalog file as storage alone.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "dbmstest.h"

namespace qn::dbms::test {
namespace {

using qn::test::ForkChild;
using qn::test::WaitChild;

// A child that commits count items and is then killed, so its log is never checkpointed.
void CommitAndDie(const std::string& path, uint32_t count) {
    int fd[2];
    ASSERT_EQ(pipe(fd), 0);
    const pid_t child = ForkChild([&] {
        CDbTask t;
        if (OpenTask(t, path) != S_OKAY)
            return 10;
        for (uint32_t i = 1; i <= count; ++i) {
            db_itemrec r = Item(i, "x");
            if (t.FillNew(DB_ITEMREC, &r) != S_OKAY)
                return 11;
        }
        char c = 'c';
        if (write(fd[1], &c, 1) != 1)
            return 12;
        pause();
        return 0;
    });
    char c = 0;
    ASSERT_EQ(read(fd[0], &c, 1), 1);
    close(fd[0]);
    close(fd[1]);
    kill(child, SIGKILL);
    WaitChild(child);
}

uint32_t Items(const std::string& path) {
    CDbTask t;
    EXPECT_EQ(OpenTask(t, path), S_OKAY);
    uint32_t n = 0;
    EXPECT_EQ(t.RecCount(DB_ITEMREC, &n), S_OKAY);
    return n;
}

TEST(Maintenance, CopyIncludesCommittedLogOfACrashedWriter) {
    qn::test::TempDir dir;
    const std::string path = NewCatalog(dir);
    CommitAndDie(path, 25);
    ASSERT_FALSE(qn::test::ReadFile(path + "-wal").empty());  // the commits live in the log
    const std::string copy = dir.file("copy.vfc");
    ASSERT_EQ(CDbTask::CopyCatalog(path.c_str(), copy.c_str()), S_OKAY);
    EXPECT_EQ(Items(copy), 25u);
    EXPECT_EQ(Items(path), 25u);
    // The destination may not be open anywhere while it is replaced.
    CDbTask holder;
    ASSERT_EQ(OpenTask(holder, copy), S_OKAY);
    EXPECT_EQ(CDbTask::CopyCatalog(path.c_str(), copy.c_str()), S_UNAVAIL);
    holder.Close();
    // A source held exclusively is not read.
    ASSERT_EQ(OpenTask(holder, path, "x"), S_OKAY);
    EXPECT_EQ(CDbTask::CopyCatalog(path.c_str(), copy.c_str()), S_UNAVAIL);
    holder.Close();
    EXPECT_EQ(CDbTask::CopyCatalog(dir.file("none.vfc").c_str(), copy.c_str()), S_INVDB);
}

TEST(Maintenance, CreatingOverAnOldCatalogDropsItsLog) {
    qn::test::TempDir dir;
    const std::string path = NewCatalog(dir);
    CommitAndDie(path, 10);
    ASSERT_EQ(CDbTask::CreateCatalog(path.c_str()), S_OKAY);
    EXPECT_EQ(Items(path), 0u);
    // Refused while the catalog is open.
    CDbTask holder;
    ASSERT_EQ(OpenTask(holder, path), S_OKAY);
    EXPECT_EQ(CDbTask::CreateCatalog(path.c_str()), S_UNAVAIL);
}

TEST(Maintenance, BackupOfAnOpenCatalogIsAWholeCatalog) {
    qn::test::TempDir dir;
    const std::string path = NewCatalog(dir);
    CDbTask t;
    ASSERT_EQ(OpenTask(t, path), S_OKAY);
    ASSERT_EQ(t.OwnerSet(DBS_USERS, SystemDba(t)), S_OKAY);
    Make(t, DB_USERREC, User(1, "ann"));
    ASSERT_EQ(t.Connect(DBS_USERS), S_OKAY);
    ASSERT_EQ(t.TransactionBegin("t"), S_OKAY);
    EXPECT_EQ(t.Backup(dir.file("b.vfc").c_str()), S_TRACTIVE);
    ASSERT_EQ(t.TransactionEnd(), S_OKAY);
    ASSERT_EQ(t.Backup(dir.file("b.vfc").c_str()), S_OKAY);
    CDbTask b;
    ASSERT_EQ(OpenTask(b, dir.file("b.vfc")), S_OKAY);
    ASSERT_EQ(b.KeyFind(USERNAME, "ann"), S_OKAY);
    ASSERT_EQ(b.FindOwner(DBS_USERS), S_OKAY);
    CheckReport report;
    EXPECT_EQ(b.CheckCatalog(&report), S_OKAY);
    EXPECT_EQ(report.memberships, 1u);
    OpenState state;
    ASSERT_EQ(CDbTask::QueryOpenState(dir.file("b.vfc").c_str(), &state), S_OKAY);
    EXPECT_EQ(state, OpenState::Shared);
    ASSERT_EQ(CDbTask::QueryOpenState(dir.file("never.vfc").c_str(), &state), S_OKAY);
    EXPECT_EQ(state, OpenState::Closed);
    EXPECT_EQ(CDbTask::DefaultTafPath("/a/b/CATALOG.VFC"), "/a/b/CATALOG.TAF");
    EXPECT_EQ(CDbTask::DefaultTafPath("/a.dir/catalog"), "/a.dir/catalog.TAF");
}

// The status another process gets when it opens the catalog.
int OpenElsewhere(const std::string& path) {
    return WaitChild(ForkChild([&] {
        CDbTask t;
        return OpenTask(t, path);
    }));
}

OpenState StateOf(const std::string& path) {
    OpenState state = OpenState::Closed;
    EXPECT_EQ(CDbTask::QueryOpenState(path.c_str(), &state), S_OKAY);
    return state;
}

TEST(Maintenance, AHoldKeepsEveryTaskOutAcrossTheOpenThatTakesItOver) {
    qn::test::TempDir dir;
    const std::string path = NewCatalog(dir);
    const std::string other = NewCatalog(dir, "other.vfc");
    CCatalogHold hold;
    CDbTask task;
    EXPECT_EQ(task.OpenHeld(path.c_str(), &hold), S_BADPARAM) << "nothing held yet";
    ASSERT_EQ(hold.Acquire(path.c_str()), S_OKAY);
    EXPECT_EQ(OpenElsewhere(path), S_UNAVAIL);
    CCatalogHold second;
    EXPECT_EQ(second.Acquire(path.c_str()), S_UNAVAIL);
    EXPECT_EQ(task.OpenHeld(other.c_str(), &hold), S_BADPARAM) << "the hold is of another catalog";

    ASSERT_EQ(task.OpenHeld(path.c_str(), &hold), S_OKAY);
    EXPECT_STREQ(task.OpenMode(), "x");
    Make(task, DB_ITEMREC, Item(1, "kept"));
    EXPECT_EQ(OpenElsewhere(path), S_UNAVAIL);
    CDbTask third;
    EXPECT_EQ(third.OpenHeld(path.c_str(), &hold), S_BADPARAM) << "the hold is lent out";
    task.Close();
    EXPECT_TRUE(hold.IsHeld());
    EXPECT_EQ(OpenElsewhere(path), S_UNAVAIL) << "the close gave the hold back";

    // An open that fails gives the hold back too.
    CCatalogHold broken;
    const std::string text = dir.file("text.vfc");
    qn::test::WriteFile(text, "not a catalog");
    ASSERT_EQ(broken.Acquire(text.c_str()), S_OKAY);
    EXPECT_EQ(task.OpenHeld(text.c_str(), &broken), S_INVDB);
    EXPECT_TRUE(broken.IsHeld());
    EXPECT_EQ(StateOf(text), OpenState::Exclusive);
    broken.Release();
    EXPECT_EQ(StateOf(text), OpenState::Closed);

    hold.Release();
    EXPECT_FALSE(hold.IsHeld());
    EXPECT_EQ(OpenElsewhere(path), S_OKAY);
    EXPECT_EQ(Items(path), 1u);
}

struct Progress {
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    size_t stopAfter = SIZE_MAX;
};

bool RecordProgress(uint64_t done, uint64_t total, void* context) {
    Progress& p = *static_cast<Progress*>(context);
    p.calls.emplace_back(done, total);
    return p.calls.size() < p.stopAfter;
}

// Calls in order, each total the same, the last one the whole copy.
void ExpectWholeProgress(const Progress& p) {
    ASSERT_FALSE(p.calls.empty());
    for (size_t i = 0; i < p.calls.size(); ++i) {
        EXPECT_EQ(p.calls[i].second, p.calls.back().second);
        EXPECT_LE(p.calls[i].first, p.calls[i].second);
        if (i > 0) {
            EXPECT_GT(p.calls[i].first, p.calls[i - 1].first);
        }
    }
    EXPECT_EQ(p.calls.back().first, p.calls.back().second);
}

// True when the file at path uses the rollback journal (its header's read and write versions).
bool PlainFile(const std::string& path) {
    const std::string head = qn::test::ReadFile(path).substr(0, 20);
    return head.size() == 20 && head[18] == 1 && head[19] == 1;
}

TEST(Maintenance, CopiesReportTheirProgressAndStopWhenAsked) {
    qn::test::TempDir dir;
    const std::string path = NewCatalog(dir);
    CommitAndDie(path, 300);
    {
        Progress p;
        ASSERT_EQ(
            CDbTask::CopyCatalog(path.c_str(), dir.file("copy.vfc").c_str(), &RecordProgress, &p),
            S_OKAY);
        ExpectWholeProgress(p);
        EXPECT_EQ(Items(dir.file("copy.vfc")), 300u);
    }
    CDbFile file;
    ASSERT_EQ(file.Open(path.c_str(), false), S_OKAY);
    ASSERT_TRUE(file.IsCatalog());
    ASSERT_EQ(file.BeginSnapshot(), S_OKAY);
    uint64_t pages = 0;
    ASSERT_EQ(file.PageCount(&pages), S_OKAY);
    ASSERT_GT(pages, 8u);
    const std::string image = dir.file("image.vfc");
    {
        Progress p;
        ASSERT_EQ(file.CopyTo(image.c_str(), 4, &RecordProgress, &p), S_OKAY);
        ExpectWholeProgress(p);
        EXPECT_EQ(p.calls.size(), (pages + 3) / 4);
        EXPECT_EQ(p.calls.back().second, pages);
    }
    EXPECT_TRUE(PlainFile(image)) << "the image is one file without a log";
    EXPECT_EQ(Items(image), 300u);
    {
        Progress p;
        p.stopAfter = 2;
        EXPECT_EQ(file.CopyTo(dir.file("stopped.vfc").c_str(), 4, &RecordProgress, &p), S_STOPPED);
        EXPECT_EQ(p.calls.size(), 2u);
    }
    {
        // The last batch cannot be stopped: the copy is whole by then.
        Progress p;
        p.stopAfter = 1;
        EXPECT_EQ(file.CopyTo(dir.file("whole.vfc").c_str(), 0, &RecordProgress, &p), S_OKAY);
        EXPECT_EQ(p.calls.size(), 1u);
    }
    std::vector<std::string> findings;
    EXPECT_EQ(file.CheckStorage(false, &findings), S_OKAY);
    EXPECT_TRUE(findings.empty());
}

TEST(Maintenance, TheCatalogFileOpensAsStorageWhereATaskWouldRefuseIt) {
    qn::test::TempDir dir;
    const std::string path = NewCatalog(dir);
    const std::string text = dir.file("text.vfc");
    qn::test::WriteFile(text, "plain text, not a database at all, but long enough to look");
    const std::string empty = dir.file("empty.vfc");
    qn::test::WriteFile(empty, "");
    const std::string readOnly = NewCatalog(dir, "readonly.vfc");
    ::chmod(readOnly.c_str(), 0444);
    struct Case {
        const char* name;
        std::string path;
        bool write;
        int status;
        bool catalog;
    };
    const Case cases[] = {
        {"a catalog", path, true, S_OKAY, true},
        {"a catalog to read", path, false, S_OKAY, true},
        {"a text file", text, false, S_INVDB, false},
        {"an empty file: a database without tables", empty, false, S_OKAY, false},
        {"a missing file", dir.file("missing.vfc"), false, S_BADPATH, false},
        {"a read-only catalog to read", readOnly, false, S_OKAY, true},
    };
    for (const Case& c : cases) {
        CDbFile file;
        EXPECT_EQ(file.Open(c.path.c_str(), c.write), c.status) << c.name;
        EXPECT_EQ(file.IsCatalog(), c.catalog) << c.name;
        if (c.status != S_OKAY) {
            EXPECT_STRNE(file.LastError(), "") << c.name;
        }
    }
    EXPECT_EQ(qn::test::ReadFile(text),
              "plain text, not a database at all, but long enough to look");
    ::chmod(readOnly.c_str(), 0644);

    // Pages overwritten with rubbish are found: the last ones, which hold items.
    {
        CDbTask t;
        ASSERT_EQ(OpenTask(t, path), S_OKAY);
        for (uint32_t i = 1; i <= 200; ++i)
            Make(t, DB_ITEMREC, Item(i, "item"));
    }
    uint64_t pages = 0;
    {
        CDbFile file;
        ASSERT_EQ(file.Open(path.c_str(), false), S_OKAY);
        ASSERT_EQ(file.PageCount(&pages), S_OKAY);
    }
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const std::string rubbish(4096, '\x5A');
    for (uint64_t page = pages - 2; page < pages; ++page)
        ASSERT_EQ(::pwrite(fd, rubbish.data(), rubbish.size(), off_t(page) * 4096), 4096);
    ::close(fd);
    CDbFile file;
    ASSERT_EQ(file.Open(path.c_str(), true), S_OKAY);
    std::vector<std::string> findings;
    // Damage too deep for the check to go on is its status; either way it is never sound.
    const int status = file.CheckStorage(true, &findings);
    EXPECT_TRUE(status == S_OKAY ? !findings.empty() : status == S_INVDB) << status;
}

TEST(Maintenance, SettlingTheJournalsMovesACrashedWritersLogIntoTheFile) {
    qn::test::TempDir dir;
    const std::string path = NewCatalog(dir);
    CommitAndDie(path, 25);
    ASSERT_FALSE(qn::test::ReadFile(path + "-wal").empty());
    CDbFile::SettleJournals(path.c_str());
    EXPECT_EQ(qn::test::ReadFile(path + "-wal"), "");
    CDbFile::RemoveJournals(path.c_str());
    EXPECT_EQ(Items(path), 25u) << "the commits are in the file itself";
}

}  // namespace
}  // namespace qn::dbms::test

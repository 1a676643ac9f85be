// The calls the catalog utilities use: who has a catalog open, copies that include the log of a
// crashed writer, re-creating a catalog over an old one, and backups of an open catalog.
#include <signal.h>
#include <unistd.h>

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

}  // namespace
}  // namespace qn::dbms::test

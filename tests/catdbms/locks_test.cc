// Locks, open modes and lock-manager users between tasks and between real processes, and a
// writer killed at random moments.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <set>
#include <thread>

#include "catdbms/testhooks.h"
#include "dbmstest.h"

namespace qn::dbms::test {
namespace {

using qn::test::ForkChild;
using qn::test::WaitChild;

// A one-byte pipe signal between parent and child.
struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe(fd), 0); }
    ~Pipe() {
        for (int f : fd)
            if (f >= 0)
                close(f);
    }
    void Send(char c = 'x') { EXPECT_EQ(write(fd[1], &c, 1), 1); }
    // 0 when nothing came within the wait (a child that failed before it signalled).
    char Wait(int ms = 30000) {
        struct pollfd p = {fd[0], POLLIN, 0};
        char c = 0;
        if (poll(&p, 1, ms) != 1)
            return 0;
        return read(fd[0], &c, 1) == 1 ? c : 0;
    }
};

// Kills the children a failed assertion left running (readers that loop, holders that pause).
struct Reaper {
    std::vector<pid_t> pids;
    ~Reaper() {
        for (pid_t p : pids) {
            if (waitpid(p, nullptr, WNOHANG) == 0) {
                kill(p, SIGKILL);
                waitpid(p, nullptr, 0);
            }
        }
    }
};

class LockTest : public ::testing::Test {
  protected:
    void SetUp() override { path = NewCatalog(dir); }
    qn::test::TempDir dir;
    std::string path;
};

TEST_F(LockTest, WriteLockInOneProcessTimesOutAReadPacketInAnotherUntilReleased) {
    Pipe locked, tried, released;
    const pid_t child = ForkChild([&] {
        CDbTask t;
        if (OpenTask(t, path, "s", 100) != S_OKAY)
            return 10;
        locked.Wait();
        const LOCK_REQUEST packet[] = {{DB_ITEMREC, 'r'}, {DBS_ITEMS, 'r'}};
        if (t.Lock(packet, 2) != S_UNAVAIL)
            return 11;
        char state = 0;
        if (t.LockState(DB_ITEMREC, &state) != S_OKAY || state != 'f')
            return 12;  // nothing half-granted
        tried.Send();
        released.Wait();
        if (t.Lock(packet, 2) != S_OKAY)
            return 13;
        uint32_t n = 0;
        if (t.RecCount(DB_ITEMREC, &n) != S_OKAY || n != 1)
            return 14;  // the committed record is seen
        return 0;
    });
    CDbTask task;
    ASSERT_EQ(OpenTask(task, path, "s"), S_OKAY);
    ASSERT_EQ(task.TransactionBegin("ItemCreate"), S_OKAY);
    const LOCK_REQUEST w[] = {{DB_ITEMREC, 'w'}};
    ASSERT_EQ(task.Lock(w, 1), S_OKAY);
    Make(task, DB_ITEMREC, Item(1, "one"));
    locked.Send();
    tried.Wait();
    ASSERT_EQ(task.TransactionEnd(), S_OKAY);  // commits and frees the locks
    released.Send();
    EXPECT_EQ(WaitChild(child), 0);
}

TEST_F(LockTest, ReadLocksAreSharedAndWriteLocksExclusive) {
    CDbTask a, b;
    ASSERT_EQ(OpenTask(a, path, "s", 50), S_OKAY);
    ASSERT_EQ(OpenTask(b, path, "s", 50), S_OKAY);
    const LOCK_REQUEST r[] = {{DB_USERREC, 'r'}};
    const LOCK_REQUEST w[] = {{DB_USERREC, 'w'}};
    ASSERT_EQ(a.Lock(r, 1), S_OKAY);
    EXPECT_EQ(b.Lock(r, 1), S_OKAY);
    ASSERT_EQ(b.FreeAll(), S_OKAY);
    EXPECT_EQ(b.Lock(w, 1), S_UNAVAIL);
    ASSERT_EQ(a.FreeAll(), S_OKAY);
    EXPECT_EQ(b.Lock(w, 1), S_OKAY);
    EXPECT_EQ(a.Lock(r, 1), S_UNAVAIL);
    // Different record types and sets do not conflict.
    const LOCK_REQUEST other[] = {{DB_GROUPREC, 'w'}, {DBS_USERS, 'w'}};
    EXPECT_EQ(a.Lock(other, 2), S_OKAY);
}

TEST_F(LockTest, PartlyHeldPacketsAnswerNotFreeAndLockStatesReportEachLock) {
    CDbTask task;
    ASSERT_EQ(OpenTask(task, path, "s", 50), S_OKAY);
    ASSERT_EQ(task.TransactionBegin("t"), S_OKAY);
    const LOCK_REQUEST first[] = {{DB_ITEMREC, 'r'}, {DBS_ITEMS, 'w'}};
    ASSERT_EQ(task.Lock(first, 2), S_OKAY);
    const LOCK_REQUEST second[] = {{DB_FOLDERREC, 'w'}, {DB_ITEMREC, 'w'}};
    EXPECT_EQ(task.Lock(second, 2), S_NOTFREE);
    struct {
        int code;
        char want;
    } cases[] = {{DB_ITEMREC, 'r'}, {DBS_ITEMS, 'w'}, {DB_FOLDERREC, 'f'}, {DBS_VARSTRING, 'f'}};
    for (const auto& c : cases) {
        char state = 0;
        ASSERT_EQ(task.LockState(c.code, &state), S_OKAY);
        EXPECT_EQ(state, c.want) << c.code;
    }
    // The store's fallback: lock the missing ones one by one, upgrading read to write.
    EXPECT_EQ(task.LockOne(DB_FOLDERREC, 'w'), S_OKAY);
    EXPECT_EQ(task.LockOne(DB_ITEMREC, 'w'), S_OKAY);
    EXPECT_EQ(task.LockOne(DB_ITEMREC, 'r'), S_OKAY);  // already held stronger
    char state = 0;
    ASSERT_EQ(task.LockState(DB_ITEMREC, &state), S_OKAY);
    EXPECT_EQ(state, 'w');
    // Write locks stay until the transaction ends.
    EXPECT_EQ(task.Free(DB_ITEMREC), S_TRFREE);
    ASSERT_EQ(task.TransactionEnd(), S_OKAY);
    ASSERT_EQ(task.LockState(DB_ITEMREC, &state), S_OKAY);
    EXPECT_EQ(state, 'f');
    // Bad packets.
    const LOCK_REQUEST badType[] = {{DB_ITEMREC, 'x'}};
    const LOCK_REQUEST badRec[] = {{10019, 'r'}};
    const LOCK_REQUEST badSet[] = {{20014, 'r'}};
    EXPECT_EQ(task.Lock(badType, 1), S_BADTYPE);
    EXPECT_EQ(task.Lock(badRec, 1), S_INVREC);
    EXPECT_EQ(task.Lock(badSet, 1), S_INVSET);
    EXPECT_EQ(task.Lock(badSet, 0), S_BADPARAM);
    EXPECT_EQ(task.Lock(nullptr, 1), S_BADPARAM);
    EXPECT_EQ(task.LockState(5, &state), S_INVREC);
    // Freeing: one, the read locks, all.
    const LOCK_REQUEST mix[] = {{DB_ITEMREC, 'r'}, {DB_USERREC, 'w'}, {DBS_USERS, 'r'}};
    ASSERT_EQ(task.Lock(mix, 3), S_OKAY);
    ASSERT_EQ(task.Free(DBS_USERS), S_OKAY);
    EXPECT_EQ(task.Free(DBS_USERS), S_NOTFOUND);
    ASSERT_EQ(task.FreeReadLocks(), S_OKAY);
    ASSERT_EQ(task.LockState(DB_ITEMREC, &state), S_OKAY);
    EXPECT_EQ(state, 'f');
    ASSERT_EQ(task.LockState(DB_USERREC, &state), S_OKAY);
    EXPECT_EQ(state, 'w');
    ASSERT_EQ(task.FreeAll(), S_OKAY);
    ASSERT_EQ(task.LockState(DB_USERREC, &state), S_OKAY);
    EXPECT_EQ(state, 'f');
}

TEST_F(LockTest, AReadPacketIsOneSnapshotUntilItsLocksAreFreed) {
    CDbTask reader, writer;
    ASSERT_EQ(OpenTask(reader, path, "s", 50), S_OKAY);
    ASSERT_EQ(OpenTask(writer, path, "s", 50), S_OKAY);
    const LOCK_REQUEST r[] = {{DB_USERREC, 'r'}};
    ASSERT_EQ(reader.Lock(r, 1), S_OKAY);
    uint32_t n = 9;
    ASSERT_EQ(reader.RecCount(DB_ITEMREC, &n), S_OKAY);
    EXPECT_EQ(n, 0u);
    // A writer of another record type commits meanwhile.
    ASSERT_EQ(writer.TransactionBegin("w"), S_OKAY);
    const LOCK_REQUEST w[] = {{DB_ITEMREC, 'w'}};
    ASSERT_EQ(writer.Lock(w, 1), S_OKAY);
    Make(writer, DB_ITEMREC, Item(1, "x"));
    ASSERT_EQ(writer.TransactionEnd(), S_OKAY);
    ASSERT_EQ(reader.RecCount(DB_ITEMREC, &n), S_OKAY);
    EXPECT_EQ(n, 0u);  // still the snapshot taken with the locks
    // A further grant reads what it covers as it is now (locks kept after reads).
    const LOCK_REQUEST r2[] = {{DB_ITEMREC, 'r'}};
    ASSERT_EQ(reader.Lock(r2, 1), S_OKAY);
    ASSERT_EQ(reader.RecCount(DB_ITEMREC, &n), S_OKAY);
    EXPECT_EQ(n, 1u);
    ASSERT_EQ(reader.FreeAll(), S_OKAY);
    ASSERT_EQ(reader.RecCount(DB_ITEMREC, &n), S_OKAY);
    EXPECT_EQ(n, 1u);
}

// With the rollback journal a read snapshot holds off commits: a reader that waits for a lock
// must not keep one, or the writer it waits for cannot commit.
TEST_F(LockTest, AReaderWaitingForALockDoesNotHoldOffTheWritersCommit) {
    qn::dbms::testing::ForceRollbackJournal(true);
    const std::string p = NewCatalog(dir, "journal.vfc");
    Pipe reading, written;
    const pid_t child = ForkChild([&] {
        CDbTask t;
        if (OpenTask(t, p, "s", 10000) != S_OKAY)
            return 10;
        const LOCK_REQUEST users[] = {{DB_USERREC, 'r'}};
        if (t.Lock(users, 1) != S_OKAY)
            return 11;
        uint32_t n = 9;
        if (t.RecCount(DB_USERREC, &n) != S_OKAY || n != 0)
            return 12;
        reading.Send();
        if (written.Wait() != 'x')
            return 13;
        const LOCK_REQUEST items[] = {{DB_ITEMREC, 'r'}};
        if (t.Lock(items, 1) != S_OKAY)  // granted once the writer has committed
            return 14;
        if (t.RecCount(DB_ITEMREC, &n) != S_OKAY || n != 1)
            return 15;
        return 0;
    });
    Reaper reaper{{child}};
    CDbTask writer;
    ASSERT_EQ(OpenTask(writer, p, "s", 2000), S_OKAY);
    ASSERT_EQ(reading.Wait(), 'x');
    ASSERT_EQ(writer.TransactionBegin("ItemCreate"), S_OKAY);
    const LOCK_REQUEST w[] = {{DB_ITEMREC, 'w'}};
    ASSERT_EQ(writer.Lock(w, 1), S_OKAY);
    Make(writer, DB_ITEMREC, Item(1, "one"));
    written.Send();
    EXPECT_EQ(writer.TransactionEnd(), S_OKAY);
    EXPECT_EQ(WaitChild(child), 0);
    qn::dbms::testing::ForceRollbackJournal(false);
}

TEST_F(LockTest, AnUnfinishedWalkDoesNotHideLaterCommitsOfOthers) {
    CDbTask reader, writer;
    ASSERT_EQ(OpenTask(reader, path, "s", 50), S_OKAY);
    ASSERT_EQ(OpenTask(writer, path, "s", 50), S_OKAY);
    for (uint32_t i = 1; i <= 3; ++i) {
        Make(writer, DB_ITEMREC, Item(i, "x"));
        ASSERT_EQ(writer.Connect(DBS_ITEMS), S_OKAY);
    }
    ASSERT_EQ(reader.FindFirst(DBS_ITEMS), S_OKAY);  // a walk left standing on its first row
    Make(writer, DB_ITEMREC, Item(4, "x"));
    ASSERT_EQ(writer.Connect(DBS_ITEMS), S_OKAY);
    const LOCK_REQUEST r[] = {{DBS_ITEMS, 'r'}};
    ASSERT_EQ(reader.Lock(r, 1), S_OKAY);
    uint32_t n = 0;
    ASSERT_EQ(reader.MemberCount(DBS_ITEMS, &n), S_OKAY);
    EXPECT_EQ(n, 4u);
    uint32_t walked = 0;
    for (int rc = reader.FindFirst(DBS_ITEMS); rc == S_OKAY; rc = reader.FindNext(DBS_ITEMS))
        ++walked;
    EXPECT_EQ(walked, 4u);
}

TEST_F(LockTest, WriteLocksSerialiseReadModifyWriteAcrossProcesses) {
    DBA board = 0;
    {
        CDbTask t;
        ASSERT_EQ(OpenTask(t, path), S_OKAY);
        board = Make(t, DB_BOARDREC, db_boardrec{});
    }
    constexpr int kProcesses = 4, kIncrements = 25;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        children.push_back(ForkChild([&] {
            CDbTask t;
            if (OpenTask(t, path, "s", 5000) != S_OKAY)
                return 10;
            const LOCK_REQUEST w[] = {{DB_BOARDREC, 'w'}};
            for (int i = 0; i < kIncrements; ++i) {
                if (t.TransactionBegin("count") != S_OKAY)
                    return 11;
                if (t.Lock(w, 1) != S_OKAY)
                    return 12;
                uint32_t n = 0;
                if (t.CrSet(board) != S_OKAY || t.CrRead(BOARDID, &n) != S_OKAY)
                    return 13;
                ++n;
                if (t.CrWrite(BOARDID, &n) != S_OKAY)
                    return 14;
                if (t.TransactionEnd() != S_OKAY)
                    return 15;
            }
            return 0;
        }));
    }
    for (pid_t c : children)
        EXPECT_EQ(WaitChild(c), 0);
    CDbTask t;
    ASSERT_EQ(OpenTask(t, path), S_OKAY);
    uint32_t n = 0;
    ASSERT_EQ(t.CrSet(board), S_OKAY);
    ASSERT_EQ(t.CrRead(BOARDID, &n), S_OKAY);
    EXPECT_EQ(n, uint32_t(kProcesses * kIncrements));  // no update lost
}

TEST_F(LockTest, AWaitingWriterIsNotStarvedByAStreamOfReaders) {
    // Two readers that overlap: at every moment at least one of them holds a read lock (their
    // different holding times keep them from falling into step).
    constexpr int kReaders = 2;
    Pipe started;
    Reaper reaper;
    std::vector<pid_t>& readers = reaper.pids;
    for (int r = 0; r < kReaders; ++r) {
        readers.push_back(ForkChild([&] {
            CDbTask t;
            if (OpenTask(t, path, "s", 10000) != S_OKAY)
                return 10;
            const LOCK_REQUEST packet[] = {{DB_ITEMREC, 'r'}, {DBS_ITEMS, 'r'}};
            for (bool first = true;; first = false) {
                if (t.Lock(packet, 2) != S_OKAY)
                    return 11;
                if (first)
                    started.Send();
                std::this_thread::sleep_for(std::chrono::milliseconds(5 + 3 * r));
                if (t.FreeAll() != S_OKAY)
                    return 12;
            }
        }));
    }
    for (int r = 0; r < kReaders; ++r)
        ASSERT_EQ(started.Wait(), 'x');
    CDbTask writer;
    ASSERT_EQ(OpenTask(writer, path, "s", 10000), S_OKAY);
    ASSERT_EQ(writer.TransactionBegin("ItemCreate"), S_OKAY);
    const LOCK_REQUEST w[] = {{DB_ITEMREC, 'w'}};
    EXPECT_EQ(writer.Lock(w, 1), S_OKAY);  // in turn, not after the readers stop
    Make(writer, DB_ITEMREC, Item(1, "one"));
    EXPECT_EQ(writer.TransactionEnd(), S_OKAY);
    // The same for a writer that already holds other locks of its transaction, once the readers
    // are streaming again.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(writer.TransactionBegin("ItemWrite"), S_OKAY);
    const LOCK_REQUEST board[] = {{DB_BOARDREC, 'w'}};
    ASSERT_EQ(writer.Lock(board, 1), S_OKAY);
    EXPECT_EQ(writer.Lock(w, 1), S_OKAY);
    Make(writer, DB_ITEMREC, Item(2, "two"));
    EXPECT_EQ(writer.TransactionEnd(), S_OKAY);
    // The readers carry on after the writer (none of them timed out meanwhile).
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (pid_t c : readers) {
        kill(c, SIGKILL);
        EXPECT_EQ(WaitChild(c), 128 + SIGKILL);
    }
}

TEST_F(LockTest, WritersThatReadWhatTheOtherWritesDoNotBlockEachOther) {
    // One writes items and reads users, the other the other way round, both at once.
    constexpr int kRounds = 30;
    Reaper reaper;
    for (int p = 0; p < 2; ++p) {
        reaper.pids.push_back(ForkChild([&] {
            CDbTask t;
            if (OpenTask(t, path, "s", 5000) != S_OKAY)
                return 10;
            const int write = p == 0 ? DB_ITEMREC : DB_USERREC;
            const int read = p == 0 ? DB_USERREC : DB_ITEMREC;
            const LOCK_REQUEST packet[] = {{write, 'w'}, {read, 'r'}};
            for (int i = 0; i < kRounds; ++i) {
                if (t.TransactionBegin("cross") != S_OKAY)
                    return 11;
                if (t.Lock(packet, 2) != S_OKAY)
                    return 12;
                const db_itemrec item = Item(uint32_t(i + 1), "x");
                const db_userrec user = User(uint16_t(i + 1), "u");
                const int rc = p == 0 ? t.FillNew(DB_ITEMREC, &item) : t.FillNew(DB_USERREC, &user);
                if (rc != S_OKAY)
                    return 13;
                if (t.TransactionEnd() != S_OKAY)
                    return 14;
            }
            return 0;
        }));
    }
    for (pid_t c : reaper.pids)
        EXPECT_EQ(WaitChild(c), 0);
}

TEST_F(LockTest, ExclusiveOpenRefusedWhileOthersHaveItOpenAndTheOtherWayRound) {
    struct Case {
        const char* first;
        const char* second;
        int want;
    } cases[] = {{"s", "s", S_OKAY},    {"s", "x", S_UNAVAIL}, {"s", "o", S_UNAVAIL},
                 {"x", "s", S_UNAVAIL}, {"x", "x", S_UNAVAIL}, {"o", "s", S_UNAVAIL}};
    for (const Case& c : cases) {
        CDbTask a, b;
        ASSERT_EQ(OpenTask(a, path, c.first), S_OKAY);
        EXPECT_EQ(OpenTask(b, path, c.second), c.want) << c.first << " then " << c.second;
        OpenState state;
        ASSERT_EQ(CDbTask::QueryOpenState(path.c_str(), &state), S_OKAY);
        EXPECT_EQ(state, *c.first == 's' ? OpenState::Shared : OpenState::Exclusive);
        a.Close();
        if (c.want != S_OKAY) {
            EXPECT_EQ(OpenTask(b, path, c.second), S_OKAY);
        }
    }
    OpenState state;
    ASSERT_EQ(CDbTask::QueryOpenState(path.c_str(), &state), S_OKAY);
    EXPECT_EQ(state, OpenState::Closed);
    // The same between processes, and a killed holder lets the next one in.
    Pipe opened;
    const pid_t child = ForkChild([&] {
        CDbTask t;
        if (OpenTask(t, path, "x") != S_OKAY)
            return 10;
        opened.Send();
        pause();
        return 0;
    });
    Reaper reaper{{child}};
    ASSERT_EQ(opened.Wait(), 'x');
    CDbTask task;
    EXPECT_EQ(OpenTask(task, path, "s"), S_UNAVAIL);
    EXPECT_EQ(task.IsOpen(), false);
    kill(child, SIGKILL);
    EXPECT_EQ(WaitChild(child), 128 + SIGKILL);
    EXPECT_EQ(OpenTask(task, path, "x"), S_OKAY);
    EXPECT_STREQ(task.OpenMode(), "x");
    EXPECT_EQ(OpenTask(task, path, "x"), S_DBALREADYOPEN);
    CDbTask bad;
    EXPECT_EQ(OpenTask(bad, path, "w"), S_BADTYPE);
}

TEST_F(LockTest, LockManagerUsersInUseListedClearedAndFreedByDeath) {
    CDbTask a;
    ASSERT_EQ(a.SetTafFile(CDbTask::DefaultTafPath(path.c_str()).c_str()), S_OKAY);
    EXPECT_EQ(a.TestUserId("SYSTEM"), S_OKAY);  // no lock manager file yet
    ASSERT_EQ(a.SetUserId("SYSTEM"), S_OKAY);
    ASSERT_EQ(OpenTask(a, path), S_OKAY);
    CDbTask b;
    ASSERT_EQ(b.SetTafFile(CDbTask::DefaultTafPath(path.c_str()).c_str()), S_OKAY);
    EXPECT_EQ(b.TestUserId("SYSTEM"), S_DUPLICATE);
    EXPECT_EQ(b.TestUserId("SYSTEM01"), S_OKAY);
    for (const char* bad : {"", "has space", "sixteen_chars_xx", "semi;colon"})
        EXPECT_EQ(b.TestUserId(bad), S_BADUSERID) << bad;
    EXPECT_EQ(b.SetUserId("a b"), S_BADUSERID);
    ASSERT_EQ(b.SetUserId("SYSTEM"), S_OKAY);
    EXPECT_EQ(OpenTask(b, path), S_DUPLICATE);  // taken by a meanwhile
    ASSERT_EQ(b.SetUserId("SYSTEM01"), S_OKAY);
    ASSERT_EQ(OpenTask(b, path), S_OKAY);
    LM_USER users[4];
    uint16_t count = 0;
    ASSERT_EQ(a.ListUsers(users, 4, &count), S_OKAY);
    ASSERT_EQ(count, 2);
    std::set<std::string> names{users[0].name, users[1].name};
    EXPECT_EQ(names, (std::set<std::string>{"SYSTEM", "SYSTEM01"}));
    ASSERT_EQ(a.ListUsers(users, 1, &count), S_OKAY);  // capacity smaller than the list
    EXPECT_EQ(count, 2);
    EXPECT_EQ(a.ClearUser("SYSTEM01"), S_UNAVAIL);  // alive
    EXPECT_EQ(a.ClearUser("nobody"), S_NOUSER);
    b.Close();
    ASSERT_EQ(a.ListUsers(users, 4, &count), S_OKAY);
    EXPECT_EQ(count, 1);

    // A process that dies keeps its name in the file, but the entry is free.
    Pipe opened;
    const pid_t child = ForkChild([&] {
        CDbTask t;
        t.SetUserId("annl0012");
        if (OpenTask(t, path) != S_OKAY)
            return 10;
        opened.Send();
        pause();
        return 0;
    });
    Reaper reaper{{child}};
    ASSERT_EQ(opened.Wait(), 'x');
    EXPECT_EQ(a.TestUserId("annl0012"), S_DUPLICATE);
    kill(child, SIGKILL);
    WaitChild(child);
    EXPECT_EQ(a.TestUserId("annl0012"), S_OKAY);
    ASSERT_EQ(a.ListUsers(users, 4, &count), S_OKAY);
    EXPECT_EQ(count, 1);
    a.Close();
    // Without anyone open: no users.
    CDbTask c;
    ASSERT_EQ(c.SetTafFile(CDbTask::DefaultTafPath(path.c_str()).c_str()), S_OKAY);
    EXPECT_EQ(c.ListUsers(users, 4, &count), S_NOUSER);
    EXPECT_EQ(c.ClearUser("SYSTEM"), S_NOUSER);
}

TEST(LockManager, TransportsOtherThanTheFileLockManagerAreRefused) {
    CDbTask t;
    EXPECT_EQ(t.SetLockManager(kTransportFile), S_OKAY);
    for (int transport : {0, 2, 3, 5, 6, 7, 12, 13})
        EXPECT_EQ(t.SetLockManager(transport), S_NOLOCKMGR) << transport;
    EXPECT_EQ(t.SetLockManager(-1), S_BADTRANSPORT);
    EXPECT_EQ(t.SetLockManager(99), S_BADTRANSPORT);
}

// ---- A writer killed at random moments

// One unit of work: item n is created, keyed, put into DBS_ITEMS and the folder, and the board
// record counts it, all in one transaction.
int AddItem(CDbTask& t, DBA folder, DBA board, uint32_t n) {
    int rc = t.TransactionBegin("ItemCreate");
    const LOCK_REQUEST packet[] = {
        {DB_ITEMREC, 'w'}, {DBS_ITEMS, 'w'}, {DBS_ITEMS_IN_FOLDER, 'w'}, {DB_BOARDREC, 'w'}};
    if (rc == S_OKAY)
        rc = t.Lock(packet, 4);
    db_itemrec item = Item(n + 100, ("item" + std::to_string(n)).c_str(), 1);
    if (rc == S_OKAY)
        rc = t.FillNew(DB_ITEMREC, &item);
    if (rc == S_OKAY)
        rc = t.RecFirst(SYSTEM);
    if (rc == S_OKAY)
        rc = t.SetOwnerToCurrent(DBS_ITEMS);
    if (rc == S_OKAY)
        rc = t.FindLast(DBS_ITEMS);
    if (rc == S_EOS)
        rc = S_OKAY;
    if (rc == S_OKAY)
        rc = t.KeyFind(ITEMID, &item.itemid);  // the new record again, by its key
    if (rc == S_OKAY)
        rc = t.Connect(DBS_ITEMS);
    if (rc == S_OKAY)
        rc = t.OwnerSet(DBS_ITEMS_IN_FOLDER, folder);
    if (rc == S_OKAY)
        rc = t.Connect(DBS_ITEMS_IN_FOLDER);
    if (rc == S_OKAY)
        rc = t.CrSet(board);
    if (rc == S_OKAY)
        rc = t.CrWrite(BOARDID, &n);
    if (rc == S_OKAY)
        return t.TransactionEnd();
    t.TransactionAbort();
    return rc;
}

void KillWriterAtRandomMoments(const std::string& path, unsigned seed) {
    DBA folder = 0, board = 0;
    {
        CDbTask t;
        ASSERT_EQ(OpenTask(t, path), S_OKAY);
        folder = Make(t, DB_ITEMREC, Item(1, "folder"));
        db_boardrec b{};
        board = Make(t, DB_BOARDREC, b);
    }
    std::mt19937 rng(seed);
    uint32_t next = 1;
    for (int round = 0; round < 24; ++round) {
        Pipe progress;
        const uint32_t start = next;
        const pid_t child = ForkChild([&] {
            CDbTask t;
            if (OpenTask(t, path, "s", 2000) != S_OKAY)
                return 10;
            progress.Send('o');
            for (uint32_t n = start;; ++n) {
                if (AddItem(t, folder, board, n) != S_OKAY)
                    return 11;
                progress.Send('c');  // n is committed
            }
        });
        ASSERT_EQ(progress.Wait(), 'o');
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::uniform_int_distribution<int>(0, 40000)(rng)));
        kill(child, SIGKILL);
        ASSERT_EQ(WaitChild(child), 128 + SIGKILL);
        uint32_t reported = start - 1;
        {
            close(progress.fd[1]);
            progress.fd[1] = -1;
            char c;
            while (read(progress.fd[0], &c, 1) == 1)
                ++reported;
        }
        // The next process gets every lock at once and finds whole transactions only.
        CDbTask t;
        ASSERT_EQ(OpenTask(t, path, "s", 1000), S_OKAY);
        ASSERT_EQ(t.TransactionBegin("check"), S_OKAY);
        const LOCK_REQUEST all[] = {
            {DB_ITEMREC, 'w'}, {DBS_ITEMS, 'w'}, {DBS_ITEMS_IN_FOLDER, 'w'}, {DB_BOARDREC, 'w'}};
        ASSERT_EQ(t.Lock(all, 4), S_OKAY) << "round " << round;
        uint32_t counted = 0;
        ASSERT_EQ(t.CrSet(board), S_OKAY);
        ASSERT_EQ(t.CrRead(BOARDID, &counted), S_OKAY);
        EXPECT_GE(counted, reported) << "a committed transaction was lost in round " << round;
        EXPECT_LE(counted, reported + 1);
        uint32_t items = 0, members = 0;
        ASSERT_EQ(t.RecCount(DB_ITEMREC, &items), S_OKAY);
        EXPECT_EQ(items, counted + 1) << "round " << round;
        ASSERT_EQ(t.OwnerSet(DBS_ITEMS_IN_FOLDER, folder), S_OKAY);
        ASSERT_EQ(t.MemberCount(DBS_ITEMS_IN_FOLDER, &members), S_OKAY);
        EXPECT_EQ(members, counted);
        // Every committed item is in DBS_ITEMS too, and nothing else is.
        ASSERT_EQ(t.RecFirst(SYSTEM), S_OKAY);
        ASSERT_EQ(t.SetOwnerToCurrent(DBS_ITEMS), S_OKAY);
        ASSERT_EQ(t.MemberCount(DBS_ITEMS, &members), S_OKAY);
        EXPECT_EQ(members, counted) << "round " << round;
        uint32_t last = counted + 100;
        if (counted > 0) {
            EXPECT_EQ(t.KeyFind(ITEMID, &last), S_OKAY);
        }
        ++last;
        EXPECT_EQ(t.KeyFind(ITEMID, &last), S_NOTFOUND);
        CheckReport report;
        ASSERT_EQ(t.CheckCatalog(&report), S_OKAY)
            << (report.messages.empty() ? "" : report.messages[0]);
        ASSERT_EQ(t.TransactionEnd(), S_OKAY);
        next = counted + 1;
    }
    EXPECT_GT(next, 1u);
}

TEST_F(LockTest, KilledWriterLosesOnlyItsOpenTransactionAndItsLocks) {
    KillWriterAtRandomMoments(path, 20240611);
}

// The same with the rollback journal that network file systems get.
TEST_F(LockTest, KilledWriterWithTheRollbackJournal) {
    qn::dbms::testing::ForceRollbackJournal(true);
    const std::string p = NewCatalog(dir, "journal.vfc");
    KillWriterAtRandomMoments(p, 7);
    qn::dbms::testing::ForceRollbackJournal(false);
    EXPECT_FALSE(qn::test::ReadFile(p + "-wal").size() > 0);
    const std::string header = qn::test::ReadFile(p).substr(0, 20);
    ASSERT_EQ(header.size(), 20u);
    EXPECT_EQ(header[18], 1);  // file format 1: rollback journal, not WAL
}

}  // namespace
}  // namespace qn::dbms::test

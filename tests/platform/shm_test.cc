#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

#include "platform/shm.h"
#include "testsupport.h"

using qn::platform::CNamedEvent;
using qn::platform::CNamedMutex;
using qn::platform::CSharedSegment;
using qn::test::ForkChild;
using qn::test::WaitChild;

TEST(SharedSegment, FreshWhileNobodyHoldsItAndSharedOtherwise) {
    qn::test::IsolatedEnvironment env;
    {
        CSharedSegment first;
        ASSERT_TRUE(first.Attach("seg", 4096));
        EXPECT_TRUE(first.Fresh());
        static_cast<char*>(first.Data())[10] = 'x';
        CSharedSegment second;
        ASSERT_TRUE(second.Attach("seg", 4096));
        EXPECT_FALSE(second.Fresh());
        EXPECT_EQ(static_cast<char*>(second.Data())[10], 'x');
        first.Detach();
        CSharedSegment third;
        ASSERT_TRUE(third.Attach("seg", 4096));
        EXPECT_FALSE(third.Fresh()) << "second still holds it";
        EXPECT_EQ(static_cast<char*>(third.Data())[10], 'x');
    }
    CSharedSegment again;
    ASSERT_TRUE(again.Attach("seg", 4096));
    EXPECT_TRUE(again.Fresh()) << "every holder has gone: the block starts over";
    EXPECT_EQ(static_cast<char*>(again.Data())[10], 0);
}

TEST(SharedSegment, AnotherProcessSeesWritesAndACrashedHolderLetsGo) {
    qn::test::IsolatedEnvironment env;
    CSharedSegment seg;
    ASSERT_TRUE(seg.Attach("crossproc", 64));
    auto* pValue = static_cast<std::atomic<int>*>(seg.Data());
    pValue->store(41);
    pid_t pid = ForkChild([] {
        CSharedSegment child;
        if (!child.Attach("crossproc", 64) || child.Fresh())
            return 1;
        auto* p = static_cast<std::atomic<int>*>(child.Data());
        if (p->load() != 41)
            return 2;
        p->store(42);
        return 0;
    });
    EXPECT_EQ(WaitChild(pid), 0);
    EXPECT_EQ(pValue->load(), 42);
    seg.Detach();

    // A process that attaches and is killed leaves no hold behind.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid = ForkChild([&] {
        CSharedSegment child;
        if (!child.Attach("crossproc", 64))
            return 1;
        static_cast<std::atomic<int>*>(child.Data())->store(7);
        (void)!write(fds[1], "r", 1);
        pause();
        return 0;
    });
    close(fds[1]);  // a child that ends early ends the read too
    char ch;
    ASSERT_EQ(read(fds[0], &ch, 1), 1);
    CSharedSegment during;
    ASSERT_TRUE(during.Attach("crossproc", 64));
    EXPECT_FALSE(during.Fresh());
    during.Detach();
    kill(pid, SIGKILL);
    EXPECT_EQ(WaitChild(pid), 128 + SIGKILL);
    CSharedSegment after;
    ASSERT_TRUE(after.Attach("crossproc", 64));
    EXPECT_TRUE(after.Fresh());
    EXPECT_EQ(static_cast<std::atomic<int>*>(after.Data())->load(), 0);
    close(fds[0]);
}

TEST(SharedSegment, RefusesNamesTheSystemCannotHold) {
    qn::test::IsolatedEnvironment env;
    CSharedSegment seg;
    EXPECT_FALSE(seg.Attach(std::string(400, 'n'), 64));
    EXPECT_FALSE(seg.Attached());
    EXPECT_FALSE(seg.Attach("zero", 0));
}

TEST(NamedMutex, ADeadOwnerDoesNotBlockTheNextLocker) {
    qn::test::IsolatedEnvironment env;
    CNamedMutex mutex;
    ASSERT_TRUE(mutex.Open("mtx"));
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = ForkChild([&] {
        CNamedMutex child;
        if (!child.Open("mtx"))
            return 1;
        if (child.Lock(1000) != CNamedMutex::LockResult::Acquired)
            return 2;
        (void)!write(fds[1], "l", 1);
        pause();
        return 0;
    });
    close(fds[1]);  // a child that ends early ends the read too
    char ch;
    ASSERT_EQ(read(fds[0], &ch, 1), 1);
    EXPECT_EQ(mutex.Lock(50), CNamedMutex::LockResult::TimedOut);
    kill(pid, SIGKILL);
    WaitChild(pid);
    EXPECT_EQ(mutex.Lock(2000), CNamedMutex::LockResult::AcquiredOwnerDied);
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_EQ(mutex.Lock(100), CNamedMutex::LockResult::Acquired) << "usable again";
    EXPECT_TRUE(mutex.Unlock());
    close(fds[0]);
}

TEST(NamedEvent, ManualResetAcrossProcesses) {
    qn::test::IsolatedEnvironment env;
    CNamedEvent event;
    ASSERT_TRUE(event.Open("evt", true));
    EXPECT_TRUE(event.Wait(0)) << "created set";
    EXPECT_TRUE(event.Wait(0)) << "manual reset: stays set";
    ASSERT_TRUE(event.Reset());
    EXPECT_FALSE(event.Wait(30));
    pid_t pid = ForkChild([] {
        CNamedEvent child;
        if (!child.Open("evt", false))
            return 1;
        usleep(50 * 1000);
        return child.Set() ? 0 : 2;
    });
    EXPECT_TRUE(event.Wait(5000));
    EXPECT_EQ(WaitChild(pid), 0);
    CNamedEvent unopened;
    EXPECT_FALSE(unopened.Wait(0));
    EXPECT_FALSE(unopened.Set());
}

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

#include "foundation/shmem.h"
#include "qnplatform.h"
#include "testsupport.h"

using qn::test::ForkChild;
using qn::test::WaitChild;

namespace {

struct Counted : CQNSharedMemory {
    Counted(const char* pszName, uint32_t cb, const void* pvImage = nullptr)
        : CQNSharedMemory(pszName, cb, pvImage) {}
    int cHooks = 0;

  protected:
    void OnInitializeData() override {
        ++cHooks;
        // The hook's data: a counter of how often any process ran it.
        static_cast<std::atomic<int>*>(Data())->fetch_add(1);
    }
};

}  // namespace

TEST(SharedMemory, HeaderLayoutAndSizes) {
    qn::test::IsolatedEnvironment env;
    EXPECT_EQ(QNSharedMappingSize(1352), 4096u);
    EXPECT_EQ(QNSharedMappingSize(4096 - 788), 4096u);
    EXPECT_EQ(QNSharedMappingSize(4096 - 787), 8192u);
    CQNSharedMemory block("layout", 100);
    ASSERT_TRUE(block.IsValid());
    EXPECT_TRUE(block.Created());
    EXPECT_EQ(block.Size(), 100u);
    EXPECT_EQ(static_cast<char*>(block.Data()) - reinterpret_cast<const char*>(block.Header()),
              788);
    EXPECT_STREQ(block.Header()->szEvtObject, "QNI_EVT:layout");
    EXPECT_STREQ(block.Header()->szMapObject, "QNI_MAP:layout");
    EXPECT_STREQ(block.Header()->szMtxObject, "QNI_MTX:layout");
    EXPECT_EQ(block.Header()->dwInitialized, 0u);
}

TEST(SharedMemory, NoImageReadsAsZerosAndAnImageIsCopied) {
    qn::test::IsolatedEnvironment env;
    CQNSharedMemory zeros("zeros", 3000);
    ASSERT_TRUE(zeros.IsValid());
    const auto* p = static_cast<const unsigned char*>(zeros.Data());
    for (int i = 0; i < 3000; ++i)
        ASSERT_EQ(p[i], 0) << i;
    const char szImage[8] = "image!";
    CQNSharedMemory imaged("imaged", sizeof szImage, szImage);
    EXPECT_STREQ(static_cast<const char*>(imaged.Data()), "image!");
    const char szOther[8] = "other";
    CQNSharedMemory later("imaged", sizeof szOther, szOther);
    EXPECT_FALSE(later.Created());
    EXPECT_STREQ(static_cast<const char*>(later.Data()), "image!")
        << "later attachers see it as it is";
}

TEST(SharedMemory, TwoProcessesSeeOneCopy) {
    qn::test::IsolatedEnvironment env;
    CQNSharedMemory block("both", 64);
    ASSERT_TRUE(block.IsValid());
    auto* pCounter = static_cast<std::atomic<int>*>(block.Data());
    pid_t pid = ForkChild([] {
        CQNSharedMemory child("both", 64);
        if (!child.IsValid() || child.Created())
            return 1;
        auto* p = static_cast<std::atomic<int>*>(child.Data());
        for (int i = 0; i < 1000; ++i) {
            CQNCriticalSection guard(child.Mutex());
            if (!guard.Owned())
                return 2;
            p->store(p->load() + 1);
        }
        return 0;
    });
    for (int i = 0; i < 1000; ++i) {
        CQNCriticalSection guard(block.Mutex());
        ASSERT_TRUE(guard.Owned());
        pCounter->store(pCounter->load() + 1);
    }
    EXPECT_EQ(WaitChild(pid), 0);
    EXPECT_EQ(pCounter->load(), 2000);
}

TEST(SharedMemory, TheHookRunsOncePerBlockLife) {
    qn::test::IsolatedEnvironment env;
    {
        Counted first("hooked", 64);
        Counted second("hooked", 64);  // another module of this process
        EXPECT_TRUE(first.InitializeData());
        EXPECT_FALSE(second.InitializeData());
        EXPECT_FALSE(first.InitializeData());
        pid_t pid = ForkChild([] {
            Counted child("hooked", 64);
            return child.InitializeData() ? 1 : 0;
        });
        EXPECT_EQ(WaitChild(pid), 0);
        EXPECT_EQ(first.cHooks + second.cHooks, 1);
        EXPECT_EQ(static_cast<std::atomic<int>*>(first.Data())->load(), 1);
        EXPECT_EQ(first.Header()->dwInitialized, 1u);
    }
    Counted renewed("hooked", 64);
    EXPECT_TRUE(renewed.Created());
    EXPECT_TRUE(renewed.InitializeData()) << "a new life runs the hook again";
}

TEST(SharedMemory, RacingInitialisersRunTheHookOnce) {
    qn::test::IsolatedEnvironment env;
    // The block exists but nobody has initialised it; several processes then race for it.
    CQNSharedMemory holder("raced", 64);
    ASSERT_TRUE(holder.Created());
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    constexpr int kProcs = 6;
    pid_t pids[kProcs];
    for (pid_t& pid : pids) {
        pid = ForkChild([&] {
            Counted block("raced", 64);
            char ch;
            if (read(go[0], &ch, 1) != 1)
                return 100;
            block.InitializeData();
            return block.cHooks;
        });
    }
    ASSERT_EQ(write(go[1], "gggggg", kProcs), kProcs);
    int cHooks = 0;
    for (pid_t pid : pids)
        cHooks += WaitChild(pid);
    EXPECT_EQ(cHooks, 1);
    EXPECT_EQ(static_cast<std::atomic<int>*>(holder.Data())->load(), 1);
    EXPECT_EQ(holder.Header()->dwInitialized, 1u);
    close(go[0]);
    close(go[1]);
}

TEST(SharedMemory, BusyIdleAndWaitIdle) {
    qn::test::IsolatedEnvironment env;
    CQNSharedMemory block("busy", 16);
    EXPECT_EQ(block.BusyCount(), 0u);
    EXPECT_TRUE(block.WaitIdle(0)) << "the idle event starts set";
    block.Busy();
    block.Busy();
    EXPECT_EQ(block.BusyCount(), 2u);
    EXPECT_FALSE(block.WaitIdle(20));
    pid_t pid = ForkChild([] {
        CQNSharedMemory child("busy", 16);
        usleep(50 * 1000);
        child.Idle();
        child.Idle();
        return 0;
    });
    EXPECT_TRUE(block.WaitIdle(5000));
    EXPECT_EQ(WaitChild(pid), 0);
    EXPECT_EQ(block.BusyCount(), 0u);
    block.Idle();
    EXPECT_EQ(block.BusyCount(), 0u) << "never below zero";
}

TEST(SharedMemory, GuardTimeOutDoesNotPretendToOwn) {
    qn::test::IsolatedEnvironment env;
    CQNSharedMemory block("guarded", 16);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = ForkChild([&] {
        CQNSharedMemory child("guarded", 16);
        CQNCriticalSection guard(child.Mutex());
        if (!guard.Owned())
            return 1;
        (void)!write(fds[1], "l", 1);
        pause();  // holds the mutex until killed
        return 0;
    });
    close(fds[1]);  // a child that ends early ends the read too
    char ch;
    ASSERT_EQ(read(fds[0], &ch, 1), 1);
    {
        CQNCriticalSection guard(block.Mutex(), 50);
        EXPECT_FALSE(guard.Owned());
    }
    kill(pid, SIGKILL);
    WaitChild(pid);
    CQNCriticalSection guard(block.Mutex());
    EXPECT_TRUE(guard.Owned());
    EXPECT_TRUE(guard.OwnerDied());
    CQNCriticalSection none(nullptr);
    EXPECT_FALSE(none.Owned());
    close(fds[0]);
}

TEST(SharedMemory, BadNamesLeaveAnInvalidObject) {
    qn::test::IsolatedEnvironment env;
    CQNSharedMemory tooLong(std::string(300, 'n').c_str(), 16);
    EXPECT_FALSE(tooLong.IsValid());
    EXPECT_EQ(tooLong.Data(), nullptr);
    EXPECT_EQ(tooLong.Mutex(), nullptr);
    EXPECT_FALSE(tooLong.InitializeData());
    tooLong.Busy();
    EXPECT_FALSE(tooLong.WaitIdle(0));
    CQNSharedMemory empty("", 16);
    EXPECT_FALSE(empty.IsValid());
    CQNSharedMemory null(nullptr, 16);
    EXPECT_FALSE(null.IsValid());
}

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/prefs.h"
#include "foundation/shmem.h"
#include "foundation/syslog.h"
#include "platform/shm.h"
#include "qnplatform.h"
#include "testsupport.h"

using qn::test::ForkChild;
using qn::test::ReadFile;
using qn::test::WaitChild;

namespace {

constexpr const char* kIni = "QNCLIENT.INI";

// An isolated environment with a log file and the given settings, attached fresh.
class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        QNSysLogDetach();
        m_strLog = m_env.file("system.log");
    }
    void TearDown() override {
        QNSetMessageBoxHandler(nullptr, nullptr);
        QNSysLogDetach();
    }
    void Set(const char* pszSection, const char* pszKey, const char* pszValue) {
        QNPrefSetString(pszSection, pszKey, pszValue, kIni);
    }
    void UseLog() { Set("SystemLog", "LogFilename", m_strLog.c_str()); }
    std::string Log() const { return ReadFile(m_strLog); }
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::string strText = Log();
        size_t pos = 0;
        while (pos < strText.size()) {
            size_t end = strText.find("\r\n", pos);
            if (end == std::string::npos)
                end = strText.size();
            lines.push_back(strText.substr(pos, end - pos));
            pos = end + 2;
        }
        return lines;
    }

    qn::test::IsolatedEnvironment m_env;
    std::string m_strLog;
};

struct Boxes {
    std::vector<std::string> seen;
    int nAnswer = QN_IDOK;
};
int RecordBox(const char* pszText, const char* pszCaption, unsigned int uType, void* pContext) {
    auto* pBoxes = static_cast<Boxes*>(pContext);
    char sz[16];
    snprintf(sz, sizeof sz, "%04X", uType);
    pBoxes->seen.push_back(std::string(sz) + "|" + pszCaption + "|" + pszText);
    return pBoxes->nAnswer;
}

}  // namespace

TEST_F(LogTest, DefaultsWhenNothingIsConfigured) {
    ASSERT_TRUE(QNSysLogAttach());
    EXPECT_TRUE(QNSysLogCreatedBlock());
    const QNLOG_STATE_INFO& s = QNLogState();
    EXPECT_EQ(s.AssertionChecking, 0);
    EXPECT_EQ(s.TracingFilter, 0u);
    EXPECT_EQ(QNGetDBCachePages(), 20);
    EXPECT_EQ(QNGetDBTimeout(), 20);
    EXPECT_EQ(QNGetNapInLockQueue(), 1);
    EXPECT_EQ(QNGetSMCachePages(), 50);
    EXPECT_EQ(QNGetLogFilename(), "");
    EXPECT_EQ(QNSysLogFileDescriptor(), -1);
    QNTrace(0, "nowhere to go\r\n");  // no log file: nothing happens
}

TEST_F(LogTest, TheCreatorReadsEverySetting) {
    UseLog();
    Set("SystemLog", "AssertionChecking", "1");
    Set("SystemLog", "BreakOnEntryPoint", "1");
    Set("SystemLog", "BreakOnError", "0x1");
    Set("SystemLog", "DebugOutput", "1");
    Set("SystemLog", "TestingFilter", "0x200");
    Set("SystemLog", "TimingFilter", "0400");
    Set("SystemLog", "TracingFilter", "4097");
    Set("DBTuning", "BeepInLockQueue", "1");
    Set("DBTuning", "CommitViaDupClose", "1");
    Set("DBTuning", "DBCachePages", "64");
    Set("DBTuning", "DBTimeout", "7");
    Set("DBTuning", "NapInDBLAccess", "3");
    Set("DBTuning", "NapInTAFAccess", "4");
    QNPrefSetNumber("DBTuning", "NapInLockQueue", 0, kIni);
    Set("DBTuning", "SMCachePages", "70000");
    ASSERT_TRUE(QNSysLogAttach());
    EXPECT_EQ(QNGetAssertionChecking(), 1);
    EXPECT_EQ(QNGetBreakOnEntryPoint(), 1);
    EXPECT_EQ(QNGetBreakOnError(), 1);
    EXPECT_EQ(QNGetDebugOutput(), 0) << "no monochrome display here: 1 falls back to 0";
    EXPECT_EQ(QNGetTestingFilter(), 0x200u);
    EXPECT_EQ(QNGetTimingFilter(), 0400u);
    EXPECT_EQ(QNGetTracingFilter(), 4097u);
    EXPECT_EQ(QNGetBeepInLockQueue(), 1);
    EXPECT_EQ(QNGetCommitViaDupClose(), 1);
    EXPECT_EQ(QNGetDBCachePages(), 64);
    EXPECT_EQ(QNGetDBTimeout(), 7);
    EXPECT_EQ(QNGetNapInDBLAccess(), 3);
    EXPECT_EQ(QNGetNapInTAFAccess(), 4);
    EXPECT_EQ(QNGetNapInLockQueue(), 0);
    EXPECT_EQ(QNGetSMCachePages(), static_cast<uint16_t>(70000)) << "kept in 16 bits";
    EXPECT_EQ(QNGetLogFilename(), m_strLog);
    EXPECT_EQ(Lines().at(0),
              "QNSYSLOG: Initialized; FD=" + std::to_string(QNSysLogFileDescriptor()) +
                  ", LogFile=\"" + m_strLog + "\"");
}

TEST_F(LogTest, SettingsAreReadOnceForTheBlocksLife) {
    Set("DBTuning", "DBTimeout", "7");
    ASSERT_TRUE(QNSysLogAttach());
    Set("DBTuning", "DBTimeout", "9");
    pid_t pid = ForkChild([] {
        QNSysLogDetach();  // leave the parent's attachment to the parent
        QNSysLogAttach();
        bool fOk = QNGetDBTimeout() == 7 && !QNSysLogCreatedBlock();
        QNSysLogDetach();
        return fOk ? 0 : 1;
    });
    EXPECT_EQ(WaitChild(pid), 0) << "a later process sees the creator's settings";
    QNSysLogDetach();
    ASSERT_TRUE(QNSysLogAttach());
    EXPECT_EQ(QNGetDBTimeout(), 9) << "a new block life reads them again";
}

TEST_F(LogTest, AbsentOrBadFilterValuesLeaveTheDefault) {
    Set("SystemLog", "TracingFilter", "0x1FFFFFFFF");
    ASSERT_TRUE(QNSysLogAttach());
    EXPECT_EQ(QNGetTracingFilter(), 0u);
    EXPECT_EQ(QNGetTimingFilter(), 0u);
}

TEST_F(LogTest, TracingFilterSelectsCategories) {
    UseLog();
    Set("SystemLog", "TracingFilter", "0x100");
    QNTrace(0, "always %d\r\n", 1);
    QNTrace(0x200, "internals\r\n");
    QNTrace(0x300, "shares a bit\r\n");
    QNTrace(0x100, "database %s\r\n", "line");
    EXPECT_TRUE(QNTraceEnabled(0));
    EXPECT_FALSE(QNTraceEnabled(0x1000));
    auto lines = Lines();
    ASSERT_EQ(lines.size(), 4u) << Log();
    EXPECT_EQ(lines[1], "always 1");
    EXPECT_EQ(lines[2], "shares a bit");
    EXPECT_EQ(lines[3], "database line");
}

TEST_F(LogTest, OnlyCategoryZeroWithTracingFilterZero) {
    UseLog();
    for (uint32_t cat : {0u, 1u, 0x100u, 0x200u, 0x1000u, 0xFFFFFFFFu})
        QNTrace(cat, "cat %x\r\n", cat);
    auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "cat 0");
}

TEST_F(LogTest, TimingPrefix) {
    UseLog();
    Set("SystemLog", "TracingFilter", "0x200");
    Set("SystemLog", "TimingFilter", "0x200");
    QNTrace(0x200, "timed\r\n");
    QNTrace(0, "untimed\r\n");
    auto lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("[0-9]{4}\\.[0-9]{3}: timed"))) << lines[1];
    EXPECT_EQ(lines[2], "untimed");
}

TEST_F(LogTest, TimerPairReportsLevelOne) {
    UseLog();
    Set("SystemLog", "TracingFilter", "0x200");
    EXPECT_TRUE(QNTimerStart(0x200, "TIMER: Start %s", "ItemWrite"));
    EXPECT_EQ(QNTimerDepth(), 1);
    EXPECT_TRUE(QNTimerStart(0x200, "TIMER: Entering %s", "Inner"));
    EXPECT_TRUE(QNTimerStop(0x200, "TIMER: Leaving %s", "Inner"));
    EXPECT_TRUE(QNTimerStop(0x200, "TIMER: Stop %s", "ItemWrite"));
    EXPECT_EQ(QNTimerDepth(), 0);
    EXPECT_FALSE(QNTimerStart(0x1000, "filtered")) << "a filtered timer opens nothing";
    EXPECT_EQ(QNTimerDepth(), 0);
    auto lines = Lines();
    ASSERT_EQ(lines.size(), 5u) << Log();
    EXPECT_EQ(lines[1], "TIMER: Start ItemWrite");
    EXPECT_TRUE(std::regex_match(
        lines[3], std::regex("TIMER: Leaving Inner \\(T2=[0-9]+\\.[0-9]{3} secs\\)")))
        << lines[3];
    EXPECT_TRUE(std::regex_match(
        lines[4], std::regex("TIMER: Stop ItemWrite \\(T1=[0-9]+\\.[0-9]{3} secs\\)")))
        << lines[4];
}

TEST_F(LogTest, TimerStackLimitsNeverWriteOutsideTheStack) {
    UseLog();
    Set("SystemLog", "TracingFilter", "0x200");
    EXPECT_FALSE(QNTimerStop(0x200, "TIMER: Stop none")) << "a stop with no open timer";
    EXPECT_EQ(QNTimerDepth(), 0);
    for (int i = 1; i <= QNLOG_MAX_TIMERS; ++i)
        ASSERT_TRUE(QNTimerStart(0x200, "start %d", i));
    EXPECT_EQ(QNTimerDepth(), 255);
    EXPECT_FALSE(QNTimerStart(0x200, "start 256")) << "past 255 open timers nothing is opened";
    EXPECT_EQ(QNTimerDepth(), 255);
    const QNLOG_STATE_INFO& s = QNLogState();
    EXPECT_EQ(s.TimerStack[0], 0u) << "slot 0 is never used";
    EXPECT_EQ(s.Padding2[0], 0);
    EXPECT_EQ(s.Padding2[1], 0);
    EXPECT_TRUE(QNTimerStop(0x200, "stop"));
    EXPECT_EQ(QNTimerDepth(), 254);
    auto lines = Lines();
    EXPECT_EQ(lines[1], "TIMER: Stop none (T0=0.000 secs)");
    EXPECT_EQ(lines[257], "start 256") << "the line itself is still written";
    EXPECT_TRUE(std::regex_match(lines[258], std::regex("stop \\(T255=.*")));
}

TEST_F(LogTest, EntryTraceAndBreakOnEntryPoint) {
    UseLog();
    Set("SystemLog", "TracingFilter", "1");
    Set("SystemLog", "BreakOnEntryPoint", "1");
    uint32_t cBefore = QNBreakHookCount();
    QNEntryTrace("EXItemSetInfo");
    EXPECT_EQ(QNBreakHookCount(), cBefore + 1);
    EXPECT_EQ(Lines().at(1), "ENTER: EXItemSetInfo...");
}

TEST_F(LogTest, LoggedMessageBoxShowsOnlyWithAssertionChecking) {
    UseLog();
    Boxes boxes;
    QNSetMessageBoxHandler(RecordBox, &boxes);
    EXPECT_EQ(QNLoggedMessageBox("the message", "the caption", 0x30), QN_IDCANCEL);
    EXPECT_TRUE(boxes.seen.empty());
    EXPECT_NE(Log().find("\r\nQNMSGBOX: the caption\r\nthe message\r\n"), std::string::npos);
}

TEST_F(LogTest, AssertionBoxTextAndCancelBreaks) {
    UseLog();
    Set("SystemLog", "AssertionChecking", "1");
    Boxes boxes;
    boxes.nAnswer = QN_IDCANCEL;
    QNSetMessageBoxHandler(RecordBox, &boxes);
    uint32_t cBefore = QNBreakHookCount();
    int nValue = 3;
    QNASSERT(nValue == 4, "QNFILE");
    QNASSERT(nValue == 3, "QNFILE");
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0],
              "2011|Quillon Assertion Error|Assertion (nValue == 4) failed in QNFILE\r\n\r\nPlease "
              "report this problem to Customer Support...Thank You");
    EXPECT_EQ(QNBreakHookCount(), cBefore + 1);
    boxes.nAnswer = QN_IDOK;
    QNAssertFailed("x", "EXSM");
    EXPECT_EQ(QNBreakHookCount(), cBefore + 1) << "OK continues without the break hook";
}

TEST_F(LogTest, AssertionsAreNotEvaluatedWhileCheckingIsOff) {
    int nEvaluated = 0;
    QNASSERT(++nEvaluated == 0, "EXSM");
    EXPECT_EQ(nEvaluated, 0);
}

TEST_F(LogTest, ASecondProcessAppendsInsteadOfTruncating) {
    UseLog();
    QNTrace(0, "from the first process\r\n");
    pid_t pid = ForkChild([] {
        QNSysLogDetach();
        QNSysLogAttach();
        QNTrace(0, "from the second process\r\n");
        bool fCreated = QNSysLogCreatedBlock();
        QNSysLogDetach();
        return fCreated ? 1 : 0;
    });
    EXPECT_EQ(WaitChild(pid), 0);
    QNTrace(0, "first again\r\n");
    auto lines = Lines();
    ASSERT_EQ(lines.size(), 5u) << Log();
    EXPECT_EQ(lines[1], "from the first process");
    EXPECT_EQ(lines[2].rfind("QNSYSLOG: Initialized; FD=", 0), 0u);
    EXPECT_EQ(lines[3], "from the second process");
    EXPECT_EQ(lines[4], "first again");
}

TEST_F(LogTest, TheFirstProcessOfANewBlockLifeStartsAFreshLog) {
    UseLog();
    qn::test::WriteFile(m_strLog, "stale text from an earlier life\r\n");
    QNTrace(0, "new life\r\n");
    auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "new life");
}

TEST_F(LogTest, TwoProcessesNeverInterleaveWithinALine) {
    UseLog();
    ASSERT_TRUE(QNSysLogAttach());
    constexpr int kLines = 10000;
    auto writer = [](char ch) {
        return [ch] {
            QNSysLogDetach();
            QNSysLogAttach();
            std::string strBody(60, ch);
            for (int i = 0; i < kLines; ++i)
                QNTrace(0, "%c %05d %s\r\n", ch, i, strBody.c_str());
            QNSysLogDetach();
            return 0;
        };
    };
    pid_t a = ForkChild(writer('a'));
    pid_t b = ForkChild(writer('b'));
    EXPECT_EQ(WaitChild(a), 0);
    EXPECT_EQ(WaitChild(b), 0);
    int nNext[2] = {0, 0};
    int cInit = 0;
    for (const std::string& line : Lines()) {
        if (line.rfind("QNSYSLOG: Initialized", 0) == 0) {
            ++cInit;
            continue;
        }
        ASSERT_EQ(line.size(), 68u) << line;
        char ch = line[0];
        ASSERT_TRUE(ch == 'a' || ch == 'b') << line;
        ASSERT_EQ(line.substr(8), std::string(60, ch)) << line;
        int n = std::stoi(line.substr(2, 5));
        ASSERT_EQ(n, nNext[ch - 'a']++) << "lines of one process stay in order";
    }
    EXPECT_EQ(nNext[0], kLines);
    EXPECT_EQ(nNext[1], kLines);
    EXPECT_EQ(cInit, 3);
}

TEST_F(LogTest, AProcessKilledHoldingTheLockDoesNotBlockTheNextWriter) {
    UseLog();
    ASSERT_TRUE(QNSysLogAttach());
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = ForkChild([&] {
        QNSysLogDetach();
        // Hold the block's lock the way a writer does, then die inside.
        CQNSharedMemory block(QNLOG_STATE_BLOCK_NAME, sizeof(QNLOG_STATE_INFO));
        CQNCriticalSection guard(block.Mutex());
        if (!guard.Owned())
            return 1;
        (void)!write(fds[1], "l", 1);
        pause();
        return 0;
    });
    close(fds[1]);  // a child that ends early ends the read too
    char ch;
    ASSERT_EQ(read(fds[0], &ch, 1), 1);
    kill(pid, SIGKILL);
    WaitChild(pid);
    uint32_t tStart = QNGetTickCount();
    QNTrace(0, "after the crash\r\n");
    EXPECT_LT(QNGetTickCount() - tStart, 4000u) << "no wait for the guard's time-out";
    EXPECT_EQ(Lines().back(), "after the crash");
    close(fds[0]);
}

TEST_F(LogTest, ALogInAMissingFolderShowsTheBoxAndTracingGoesOn) {
    std::string strBad = m_env.file("no/such/folder/x.log");
    Set("SystemLog", "LogFilename", strBad.c_str());
    Boxes boxes;
    QNSetMessageBoxHandler(RecordBox, &boxes);
    QNTrace(0, "goes nowhere\r\n");
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0],
              "1010|" + strBad + "|QNSYSLOG: Errors detected while opening log file.");
    EXPECT_EQ(QNSysLogFileDescriptor(), -1);
    QNTrace(0, "still fine\r\n");
}

TEST_F(LogTest, AnOverLongLogNameIsCutNotOverrun) {
    std::string strLong = m_env.file(std::string(400, 'x') + ".log");
    Set("SystemLog", "LogFilename", strLong.c_str());
    ASSERT_TRUE(QNSysLogAttach());
    EXPECT_EQ(QNGetLogFilename().size(), QNLOG_FILENAME_SIZE - 1);
    EXPECT_EQ(QNLogState().Padding1[0], 0);
}

TEST_F(LogTest, UseFileSetsALogWhenNoneIsConfigured) {
    ASSERT_TRUE(QNSysLogUseFile(m_strLog.c_str()));
    EXPECT_FALSE(QNSysLogUseFile(m_env.file("other.log").c_str())) << "one log per block life";
    QNTrace(0, "into the chosen log\r\n");
    EXPECT_EQ(QNGetLogFilename(), m_strLog);
    EXPECT_EQ(Lines().back(), "into the chosen log");
    EXPECT_FALSE(QNSysLogUseFile(std::string(300, 'y').c_str()));
}

TEST_F(LogTest, ALogChosenLaterReachesProcessesAttachedBefore) {
    ASSERT_TRUE(QNSysLogAttach());
    int toChild[2];
    int toParent[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(toParent), 0);
    pid_t pid = ForkChild([&] {
        QNSysLogDetach();
        QNSysLogAttach();  // attached while no log file is set
        bool fNoLog = QNSysLogFileDescriptor() == -1;
        (void)!write(toParent[1], "a", 1);
        char ch;
        if (read(toChild[0], &ch, 1) != 1)
            return 2;
        QNTrace(0, "from the earlier process\r\n");
        QNSysLogDetach();
        return fNoLog ? 0 : 1;
    });
    close(toParent[1]);
    close(toChild[0]);
    char ch;
    ASSERT_EQ(read(toParent[0], &ch, 1), 1);
    ASSERT_TRUE(QNSysLogUseFile(m_strLog.c_str()));
    QNTrace(0, "from the process that chose it\r\n");
    ASSERT_EQ(write(toChild[1], "g", 1), 1);
    EXPECT_EQ(WaitChild(pid), 0);
    close(toParent[0]);
    close(toChild[1]);
    auto lines = Lines();
    ASSERT_EQ(lines.size(), 4u) << Log();
    EXPECT_EQ(lines[1], "from the process that chose it");
    EXPECT_EQ(lines[2].rfind("QNSYSLOG: Initialized; FD=", 0), 0u);
    EXPECT_EQ(lines[3], "from the earlier process");
}

TEST_F(LogTest, DebugOutputTwoGoesToStandardError) {
    Set("SystemLog", "DebugOutput", "2");
    std::string strErr = m_env.file("stderr.txt");
    pid_t pid = ForkChild([&] {
        int fd = open(strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, STDERR_FILENO);
        QNTrace(0, "echoed line\r\n");
        QNSysLogDetach();
        return 0;
    });
    EXPECT_EQ(WaitChild(pid), 0);
    EXPECT_NE(ReadFile(strErr).find("echoed line\r\n"), std::string::npos);
}

TEST_F(LogTest, ShortWriteRetriesOnceThenShowsTheBox) {
    // A file-size limit makes every write past it fall short.
    UseLog();
    std::string strErr;
    pid_t pid = ForkChild([&] {
        Boxes boxes;
        QNSetMessageBoxHandler(RecordBox, &boxes);
        signal(SIGXFSZ, SIG_IGN);
        QNSysLogAttach();
        struct rlimit limit = {200, 200};
        setrlimit(RLIMIT_FSIZE, &limit);
        QNTrace(0, "%s\r\n", std::string(300, 'z').c_str());
        QNSysLogDetach();
        if (boxes.seen.size() != 1)
            return 1;
        const std::string& box = boxes.seen[0];
        if (box.rfind("1010|", 0) != 0)
            return 2;
        if (box.find("|Errors detecting writing log output to disk") == std::string::npos)
            return 3;
        return 0;
    });
    EXPECT_EQ(WaitChild(pid), 0);
}

TEST_F(LogTest, ALogPathThatIsAFifoWithoutReaderDoesNotHang) {
    std::string strFifo = m_env.file("log.fifo");
    ASSERT_EQ(mkfifo(strFifo.c_str(), 0600), 0);
    Set("SystemLog", "LogFilename", strFifo.c_str());
    Boxes boxes;
    QNSetMessageBoxHandler(RecordBox, &boxes);
    QNTrace(0, "no reader\r\n");
    EXPECT_EQ(QNSysLogFileDescriptor(), -1);
    EXPECT_EQ(boxes.seen.size(), 1u);
}

TEST_F(LogTest, TheSharedBlockIsLaidOutByteForByte) {
    UseLog();
    Set("DBTuning", "DBTimeout", "33");
    Set("DBTuning", "SMCachePages", "77");
    Set("SystemLog", "TracingFilter", "0x200");
    ASSERT_TRUE(QNSysLogAttach());
    ASSERT_TRUE(QNTimerStart(0x200, "t"));
    // Look at the raw mapping as another module built separately would.
    qn::platform::CSharedSegment raw;
    ASSERT_TRUE(raw.Attach("QNI_MAP:QNLOG_STATE_INFO", 4096));
    EXPECT_FALSE(raw.Fresh());
    const auto* pb = static_cast<const unsigned char*>(raw.Data());
    auto u32 = [&](size_t off) {
        uint32_t v;
        memcpy(&v, pb + 788 + off, 4);
        return v;
    };
    auto u16 = [&](size_t off) {
        uint16_t v;
        memcpy(&v, pb + 788 + off, 2);
        return v;
    };
    uint32_t dwInitialized;
    memcpy(&dwInitialized, pb, 4);
    EXPECT_EQ(dwInitialized, 1u) << "initialised flag of the header";
    EXPECT_EQ(u32(0), 0u);  // AssertionChecking
    EXPECT_EQ(memcmp(pb + 268, "QNI_MAP:QNLOG_STATE_INFO", 25), 0);
    EXPECT_EQ(u32(24), 0x200u);  // TracingFilter
    EXPECT_EQ(u32(36), 20u);     // DBCachePages
    EXPECT_EQ(u32(40), 33u);     // DBTimeout
    EXPECT_EQ(u32(52), 1u);      // NapInLockQueue
    EXPECT_EQ(u16(56), 77u);     // SMCachePages
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(pb + 788 + 58)), m_strLog);
    EXPECT_EQ(u32(1344), QNLogState().TimeBase);
    EXPECT_EQ(u16(1348), 1u);  // timer depth
    EXPECT_EQ(u32(320 + 4), QNLogState().TimerStack[1]);
    QNTimerStop(0x200, "t");
}

TEST_F(LogTest, WithoutABlockTheDefaultsServeAndNothingBreaks) {
    UseLog();
    // A namespace too long for any shared-memory name: the block cannot be made.
    setenv("QUILLON_SHM_NAMESPACE", std::string(300, 'n').c_str(), 1);
    EXPECT_FALSE(QNSysLogAttach());
    EXPECT_EQ(QNGetDBTimeout(), 20);
    EXPECT_EQ(QNGetLogFilename(), "");
    QNTrace(0, "dropped\r\n");
    QNEntryTrace("Nothing");
    EXPECT_FALSE(QNTimerStart(0, "t"));
    EXPECT_FALSE(QNTimerStop(0, "t"));
    EXPECT_EQ(QNTimerDepth(), 0);
    EXPECT_EQ(QNLoggedMessageBox("m", "c", 0), QN_IDCANCEL);
    EXPECT_FALSE(QNSysLogUseFile(m_strLog.c_str()));
    EXPECT_EQ(ReadFile(m_strLog), "");
}

TEST_F(LogTest, ThreadsOfOneProcessShareTheLockToo) {
    UseLog();
    ASSERT_TRUE(QNSysLogAttach());
    constexpr int kLines = 2000;
    auto writer = [](char ch) {
        for (int i = 0; i < kLines; ++i)
            QNTrace(0, "%c %05d %s\r\n", ch, i, std::string(40, ch).c_str());
    };
    std::thread a(writer, 'a');
    std::thread b(writer, 'b');
    a.join();
    b.join();
    int c = 0;
    for (const std::string& line : Lines()) {
        if (line.rfind("QNSYSLOG", 0) == 0)
            continue;
        ASSERT_EQ(line.size(), 48u) << line;
        ASSERT_EQ(line.substr(8), std::string(40, line[0])) << line;
        ++c;
    }
    EXPECT_EQ(c, 2 * kLines);
}

TEST_F(LogTest, ARelativeLogNameMeansOneFileForEveryProcess) {
    char szOld[4096];
    ASSERT_NE(getcwd(szOld, sizeof szOld), nullptr);
    ASSERT_EQ(chdir(m_env.configDir().c_str()), 0);
    Set("SystemLog", "LogFilename", "relative.log");
    QNTrace(0, "first\r\n");
    ASSERT_EQ(chdir(szOld), 0);
    EXPECT_EQ(QNGetLogFilename(), m_env.file("relative.log"));
    pid_t pid = ForkChild([] {
        QNSysLogDetach();
        if (chdir("/") != 0)
            return 2;
        QNTrace(0, "from elsewhere\r\n");
        QNSysLogDetach();
        return 0;
    });
    EXPECT_EQ(WaitChild(pid), 0);
    EXPECT_NE(ReadFile(m_env.file("relative.log")).find("from elsewhere\r\n"), std::string::npos);
}

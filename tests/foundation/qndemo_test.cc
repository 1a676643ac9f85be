// The main job's log demonstration, run as its own process.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/prefs.h"
#include "testsupport.h"

namespace {

int RunDemo(const std::vector<std::string>& args) {
    pid_t pid = qn::test::Spawn(args);
    return pid < 0 ? -1 : qn::test::WaitChild(pid);
}

}  // namespace

TEST(QnDemo, WritesTracesATimerPairAndAnAssertionReport) {
    qn::test::IsolatedEnvironment env;
    std::string strLog = env.file("demo.log");
    ASSERT_EQ(RunDemo({QN_QNDEMO, strLog}), 0);
    std::string strText = qn::test::ReadFile(strLog);
    EXPECT_EQ(strText.rfind("QNSYSLOG: Initialized; FD=", 0), 0u) << strText;
    EXPECT_NE(strText.find("\r\nTIMER: Start qndemo\r\nTIMER: Stop qndemo (T1="), std::string::npos)
        << strText;
    EXPECT_NE(strText.find("\r\nQNMSGBOX: Quillon Assertion Error\r\nAssertion ("),
              std::string::npos)
        << strText;
}

TEST(QnDemo, ALogThatCannotBeOpenedFailsTheRun) {
    qn::test::IsolatedEnvironment env;
    std::string strLog = env.file("no/such/folder/demo.log");
    QNPrefSetString("SystemLog", "LogFilename", strLog.c_str(), QNINI_INIFILENAME);
    EXPECT_EQ(RunDemo({QN_QNDEMO}), 1);
}

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "foundation/prefs.h"
#include "foundation/qnstatus.h"
#include "foundation/syslog.h"
#include "qnplatform.h"
#include "testsupport.h"

namespace {

const QNSTRING_RESOURCE kResources[] = {
    {QN_IDS_CONDITION_BASE + 5000, "Catalog file missing"},
    {QN_IDS_CONDITION_BASE + 5001, "Cannot copy"},
    {100, "Could not back up %s to %s."},
    {101, "Could not open %s."},
    {102, "Plain prompt"},
};

struct Boxes {
    std::vector<std::string> seen;
    int nAnswer = QN_IDOK;
};
int RecordBox(const char* pszText, const char* pszCaption, unsigned int uType, void* pContext) {
    auto* pBoxes = static_cast<Boxes*>(pContext);
    pBoxes->seen.push_back(std::to_string(uType) + "|" + pszCaption + "|" + pszText);
    return pBoxes->nAnswer;
}

class StatusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        QNSysLogDetach();
        QNRegisterStringResources(kResources, sizeof kResources / sizeof kResources[0]);
    }
    void TearDown() override {
        QNSetMessageBoxHandler(nullptr, nullptr);
        QNSysLogDetach();
    }
    qn::test::IsolatedEnvironment m_env;
};

}  // namespace

TEST_F(StatusTest, SuccessDescribesAsSuccessful) {
    CQNStatus status;
    EXPECT_EQ(status.Code(), 0u);
    EXPECT_EQ(status.Description(), "Successful");
}

TEST_F(StatusTest, ConditionsDescribeThemselves) {
    CQNStatus status;
    status.PushCondition(new CQNMessageCondition(5000, "/data/cat.vfc"));
    EXPECT_EQ(status.Description(), "Catalog file missing (/data/cat.vfc)");
    status.SetCondition(new CQNNumberedCondition(77));
    EXPECT_EQ(status.Code(), 77u);
    EXPECT_EQ(status.Description(), "Error #77 detected");
    status.SetCondition(new CQNMessageCondition(4095 - 0, ""));
    EXPECT_EQ(status.Description(), "") << "a missing text and no own text: nothing";
    status.SetCondition(new CQNMessageCondition(ENOENT, "x.txt"));
    EXPECT_EQ(status.Description(), "No such file or directory (x.txt)")
        << "system error numbers have the system's words";
}

TEST_F(StatusTest, ChainOfThreeDescribedWithCountTwo) {
    CQNStatus status;
    status.PushCondition(new CQNMessageCondition(5001, "third"));
    status.PushCondition(new CQNMessageCondition(5001, "second"));
    status.PushCondition(new CQNMessageCondition(5000, "first"));
    EXPECT_EQ(status.Code(), 5000u);
    EXPECT_EQ(status.Description(2),
              "Catalog file missing (first) [more]\r\nCannot copy (second) [more]");
    EXPECT_EQ(status.Description(1), "Catalog file missing (first) [more]");
    EXPECT_EQ(status.Description(0), "");
    EXPECT_EQ(status.Description(0x12340003),
              "Catalog file missing (first) [more]\r\nCannot copy (second) [more]\r\nCannot copy "
              "(third)");
    EXPECT_EQ(status.Description(),
              "Catalog file missing (first) [more]\r\nCannot copy (second) [more]\r\nCannot copy "
              "(third)");
    std::string strText = "prefix: ";
    status.GetDescription(strText, 1);
    EXPECT_EQ(strText, "prefix: Catalog file missing (first) [more]") << "appends";
}

TEST_F(StatusTest, SetConditionNullClearsChainAndCode) {
    CQNStatus status;
    status.PushCondition(new CQNNumberedCondition(1));
    status.PushCondition(new CQNNumberedCondition(2));
    status.PushCondition(nullptr);
    EXPECT_EQ(status.Code(), 2u) << "pushing null changes nothing";
    status.SetCondition(nullptr);
    EXPECT_EQ(status.Code(), 0u);
    EXPECT_EQ(status.TopMostCondition(), nullptr);
    EXPECT_EQ(status.Description(), "Successful");
}

TEST_F(StatusTest, LongChainsAreDestroyedWithoutRecursion) {
    auto* pStatus = new CQNStatus;
    for (int i = 0; i < 200000; ++i)
        pStatus->PushCondition(new CQNNumberedCondition(i + 1));
    EXPECT_EQ(pStatus->Code(), 200000u);
    delete pStatus;
}

TEST_F(StatusTest, AssertSuccessShowsTheChainOnlyWithChecking) {
    Boxes boxes;
    boxes.nAnswer = QN_IDCANCEL;
    QNSetMessageBoxHandler(RecordBox, &boxes);
    CQNStatus status;
    status.PushCondition(new CQNNumberedCondition(9));
    status.AssertSuccess();
    EXPECT_TRUE(boxes.seen.empty());

    QNSysLogDetach();
    QNPrefSetString("SystemLog", "AssertionChecking", "1", "QNCLIENT.INI");
    uint32_t cBefore = QNBreakHookCount();
    status.AssertSuccess();
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0],
              "8209|Quillon Assertion Error|Error Condition Detected\r\n\r\nError #9 detected");
    EXPECT_EQ(QNBreakHookCount(), cBefore + 1);
    CQNStatus ok;
    ok.AssertSuccess();
    EXPECT_EQ(boxes.seen.size(), 1u);
}

TEST_F(StatusTest, BreakOnErrorLogsTheBreakBox) {
    std::string strLog = m_env.file("log.txt");
    QNPrefSetString("SystemLog", "BreakOnError", "1", "QNCLIENT.INI");
    QNPrefSetString("SystemLog", "LogFilename", strLog.c_str(), "QNCLIENT.INI");
    Boxes boxes;
    QNSetMessageBoxHandler(RecordBox, &boxes);
    uint32_t cBefore = QNBreakHookCount();
    CQNStatus status;
    status.SetCondition(nullptr);
    EXPECT_EQ(QNBreakHookCount(), cBefore) << "no error, no break";
    status.PushCondition(new CQNNumberedCondition(3));
    EXPECT_EQ(QNBreakHookCount(), cBefore + 1) << "checking off: the box answers Cancel unseen";
    EXPECT_TRUE(boxes.seen.empty());
    EXPECT_NE(qn::test::ReadFile(strLog).find(
                  "\r\nQNMSGBOX: Vossa Hub - Break on Error\r\nError Condition Detected!\r\n\r\n"
                  "Press Cancel to generate stack trace.\r\n"),
              std::string::npos);
}

TEST_F(StatusTest, ReportErrorBuildsPromptAndDescription) {
    Boxes boxes;
    boxes.nAnswer = QN_IDRETRY;
    QNSetMessageBoxHandler(RecordBox, &boxes);
    CQNStatus status;
    status.PushCondition(new CQNMessageCondition(5001, "a.d00"));
    EXPECT_EQ(status.ReportError(100, QN_MB_RETRYCANCEL, "a.vfc", "/backup"), QN_IDRETRY);
    EXPECT_EQ(status.ReportError(101, QN_MB_OK, "a.vfc"), QN_IDRETRY);
    EXPECT_EQ(status.ReportError(102, QN_MB_OK), QN_IDRETRY);
    EXPECT_EQ(status.ReportError(0, QN_MB_OK), QN_IDRETRY);
    EXPECT_EQ(status.ReportError(999, QN_MB_OK), QN_IDRETRY);
    ASSERT_EQ(boxes.seen.size(), 5u);
    EXPECT_EQ(boxes.seen[0],
              "5|Zelto Bookmarks|Could not back up a.vfc to /backup.\r\n\r\nCannot copy (a.d00)");
    EXPECT_EQ(boxes.seen[1], "0|Zelto Bookmarks|Could not open a.vfc.\r\n\r\nCannot copy (a.d00)");
    EXPECT_EQ(boxes.seen[2], "0|Zelto Bookmarks|Plain prompt\r\n\r\nCannot copy (a.d00)");
    EXPECT_EQ(boxes.seen[3], "0|Zelto Bookmarks|Cannot copy (a.d00)");
    EXPECT_EQ(boxes.seen[4], "0|Zelto Bookmarks|Cannot copy (a.d00)")
        << "a missing prompt adds nothing";
}

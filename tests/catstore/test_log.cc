// What the catalog store writes into the system log: entry lines, transaction lines, traces.
#include <string>

#include "catalog_fixture.h"
#include "foundation/prefs.h"

using namespace cstest;

namespace {
size_t CountOf(const std::string& strText, const std::string& strNeedle) {
    size_t n = 0;
    for (size_t pos = strText.find(strNeedle); pos != std::string::npos;
         pos = strText.find(strNeedle, pos + 1)) {
        ++n;
    }
    return n;
}
}  // namespace

TEST_F(CatalogTest, EntryAndTransactionLinesReachTheLog) {
    std::string strLog = m_dir.file("quillon.log");
    QNPrefSetString("SystemLog", "LogFilename", strLog.c_str(), QNINI_INIFILENAME);
    QNPrefSetString("SystemLog", "TracingFilter", "0xFFFFFFFF", QNINI_INIFILENAME);
    MakeCatalog();
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = Open();
    ASSERT_NE(hbrd, nullptr);
    EXBoardBeginTransaction(hbrd, "outer", &st);
    EXBoardBeginTransaction(hbrd, "inner", &st);
    EXBoardEndTransaction(hbrd, &st);
    EXBoardEndTransaction(hbrd, &st);
    EXSystemLog(hbrd, 0, "hello from the application");
    USER_OBJECT* h = EXUserFindByName(hbrd, "SYSTEM", &st);
    EXUserRelease(h, &st);
    EXBoardBindCurrent(&st);
    EXBoardClose(hbrd, &st);

    std::string strText = qn::test::ReadFile(strLog);
    ASSERT_FALSE(strText.empty());
    EXPECT_GE(CountOf(strText, "ENTER: EXBoardOpen...\r\n"), 1u);
    EXPECT_GE(CountOf(strText, "ENTER: EXBoardCreate...\r\n"), 1u);
    EXPECT_EQ(CountOf(strText, "ENTER: EXBoardBeginTransaction...\r\n"), 2u);
    EXPECT_EQ(CountOf(strText, "EXSM: EXBoardBeginTransaction ('outer')...\r\n"), 1u);
    EXPECT_EQ(CountOf(strText, "'inner'"), 0u);
    EXPECT_EQ(CountOf(strText, "EXSM: EXBoardEndTransaction (Operations="), 1u);
    EXPECT_EQ(CountOf(strText, "hello from the application\r\n"), 1u);
    EXPECT_EQ(CountOf(strText, "EXSM: EXUserFindByName ()\r\n"), 1u);
    EXPECT_EQ(CountOf(strText, "ENTER: EXBoardGetCurrent...\r\n"), 1u);
    EXPECT_GE(CountOf(strText, "CHGLOG: Creating entry for Created event: ID=1, Test Catalog"), 1u);
    EXPECT_GE(CountOf(strText, "TIMER: Start EXChangeLogProcessEntries..."), 1u);
    EXPECT_GE(CountOf(strText, "CheckMemoryUsage spent "), 1u);
}

#include <gtest/gtest.h>

#include <string>

#include "foundation/prefs.h"
#include "foundation/status.h"
#include "foundation/syslog.h"
#include "testsupport.h"

TEST(StatusText, EveryStatusHasItsText) {
    const char* const texts[] = {"Successful",
                                 "Catalog Already Open",
                                 "Folder Required",
                                 "Invalid Handle",
                                 "Item Has Changed",
                                 "Out Of Memory",
                                 "Already Exists",
                                 "Does Not Exist",
                                 "Error Unknown",
                                 "Internal Error",
                                 "Lock Error",
                                 "Access Denied",
                                 "Catalog Open Error",
                                 "Out Of Disk Space",
                                 "Catalog Corrupted",
                                 "Catalog Repaired",
                                 "Catalog Backup Failed",
                                 "Catalog Restore Failed",
                                 "Catalog Unavailable",
                                 "Invalid Catalog File",
                                 "Catalog Name Too Long",
                                 "Invalid Lock Manager",
                                 "Lock Manager Not Found",
                                 "NetBIOS Not Found",
                                 "Item Deleted",
                                 "Parent Deleted",
                                 "Fatal Error",
                                 "Invalid Catalog Name",
                                 "Item Already Referenced",
                                 "Item Not Referenced",
                                 "Share Not Loaded"};
    static_assert(sizeof texts / sizeof texts[0] == NUM_EXSM_TEXTS);
    for (uint32_t i = 0; i < NUM_EXSM_TEXTS; ++i) {
        ASSERT_NE(QNStatusText(i), nullptr) << i;
        EXPECT_STREQ(QNStatusText(i), texts[i]) << i;
        EXPECT_STREQ(QNStatusText(0xABCD0000u | i), texts[i]) << "only the low 16 bits count";
    }
    EXPECT_EQ(QNStatusText(31), nullptr);
    EXPECT_EQ(QNStatusText(0xFFFF), nullptr);
    static_assert(sizeof(EXSM_STATUS) == 4);
}

TEST(StatusText, IsExErrorTestsThePointedValue) {
    EXSM_STATUS status = EXSM_SUCCESS;
    EXPECT_FALSE(IS_EXERROR(&status));
    status = EXSM_CATALOG_REPAIRED;
    EXPECT_TRUE(IS_EXERROR(&status)) << "a repair is still a failure to IS_EXERROR";
}

TEST(DBStatusMap, TheWholeTable) {
    // EXSM_STATUS -> database-layer values, as the table is written.
    const std::pair<EXSM_STATUS, std::vector<unsigned>> table[] = {
        {EXSM_SUCCESS, {0, 18, 54}},
        {EXSM_CATALOG_ALREADY_OPEN, {1, 2, 9}},
        {EXSM_FOLDER_REQUIRED, {26}},
        {EXSM_ITEM_HAS_CHANGED, {34}},
        {EXSM_OUT_OF_MEMORY, {31}},
        {EXSM_ALREADY_EXISTS, {7, 17, 22, 24, 25, 39}},
        {EXSM_DOES_NOT_EXIST, {8, 20, 21, 27, 35, 36, 40, 41, 57}},
        {EXSM_INTERNAL_ERROR, {10, 11, 12, 13, 14, 15, 23, 28, 29, 30, 32, 38, 42, 43, 50}},
        {EXSM_LOCK_ERROR, {33, 37}},
        {EXSM_CATALOG_OPEN_ERROR, {3, 5, 6, 44}},
        {EXSM_OUT_OF_DISK_SPACE, {16}},
        {EXSM_CATALOG_CORRUPTED, {52}},
        {EXSM_CATALOG_REPAIRED, {53}},
        {EXSM_CATALOG_UNAVAILABLE, {4}},
        {EXSM_INVALID_CATALOG_FILE, {47}},
        {EXSM_CATALOG_NAME_TOO_LONG, {48}},
        {EXSM_INVALID_LOCK_MANAGER, {45, 46}},
        {EXSM_LOCK_MANAGER_NOT_FOUND, {49}},
        {EXSM_FATAL_ERROR, {19}},
        {EXSM_INVALID_CATALOG_NAME, {51}},
        {EXSM_ITEM_ALREADY_REFERENCED, {55}},
        {EXSM_ITEM_NOT_REFERENCED, {56}},
        {EXSM_SHARE_NOT_LOADED, {58}},
    };
    int seen[NUM_DBERRORS] = {};
    for (const auto& row : table) {
        for (unsigned db : row.second) {
            EXPECT_EQ(QNMapDBStatusValue(db), row.first) << "DBStatus " << db;
            seen[db]++;
        }
    }
    for (unsigned db = 0; db < NUM_DBERRORS; ++db)
        EXPECT_EQ(seen[db], 1) << db;
    // Codes the exported operations set themselves never come out of the table.
    for (unsigned db = 0; db < NUM_DBERRORS; ++db) {
        EXSM_STATUS mapped = QNMapDBStatusValue(db);
        for (EXSM_STATUS direct :
             {EXSM_INVALID_HANDLE, EXSM_ERROR_UNKNOWN, EXSM_ACCESS_DENIED,
              EXSM_CATALOG_BACKUP_FAILED, EXSM_CATALOG_RESTORE_FAILED, EXSM_NETBIOS_NOT_FOUND,
              EXSM_ITEM_DELETED, EXSM_PARENT_DELETED}) {
            EXPECT_NE(mapped, direct) << db;
        }
    }
}

TEST(DBStatusMap, ValuesMappingToSuccessLeaveTheOutParameter) {
    qn::test::IsolatedEnvironment env;
    for (unsigned db : {0u, 18u, 54u}) {
        EXSM_STATUS status = EXSM_LOCK_ERROR;
        QNMapDBStatus(db, &status);
        EXPECT_EQ(status, EXSM_LOCK_ERROR) << db;
    }
    EXSM_STATUS status = EXSM_SUCCESS;
    QNMapDBStatus(DBRecordModified, &status);
    EXPECT_EQ(status, EXSM_ITEM_HAS_CHANGED);
    QNMapDBStatus(34, nullptr);  // no out-parameter: nothing happens
}

TEST(DBStatusMap, OutOfRangeAssertsAndGivesInternalError) {
    qn::test::IsolatedEnvironment env;
    QNSysLogDetach();
    std::string strLog = env.file("log.txt");
    QNPrefSetString("SystemLog", "AssertionChecking", "1", "QNCLIENT.INI");
    QNPrefSetString("SystemLog", "LogFilename", strLog.c_str(), "QNCLIENT.INI");
    EXSM_STATUS status = EXSM_SUCCESS;
    uint32_t cBreaks = QNBreakHookCount();
    QNMapDBStatus(59, &status);
    EXPECT_EQ(status, EXSM_INTERNAL_ERROR);
    QNMapDBStatus(0xFFFF, &status, ".\\DBINTEG");
    EXPECT_EQ(QNMapDBStatusValue(1000), EXSM_INTERNAL_ERROR);
    std::string strText = qn::test::ReadFile(strLog);
    EXPECT_NE(strText.find("\r\nQNMSGBOX: Quillon Assertion Error\r\nAssertion (DBStatus < "
                           "NUM_DBERRORS) failed in .\\EXSM\r\n\r\nPlease report this problem to "
                           "Customer Support...Thank You\r\n"),
              std::string::npos)
        << strText;
    EXPECT_NE(strText.find("failed in .\\DBINTEG\r\n"), std::string::npos);
    EXPECT_EQ(QNBreakHookCount(), cBreaks + 2) << "the default box answers Cancel";
    QNSysLogDetach();
}

TEST(StatusText, UnexpectedErrorText) {
    EXPECT_EQ(QNUnexpectedErrorText(EXSM_LOCK_ERROR),
              "Unexpected error detected (Lock Error).  Please contact Customer Support.");
    EXPECT_EQ(QNUnexpectedErrorText(77),
              "Unexpected error detected ().  Please contact Customer Support.");
}

// The catalog utilities on real catalog files, with real second processes.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "catalogs.h"
#include "catdbms/dbms.h"
#include "catdbu.h"
#include "testsupport.h"

namespace {

using namespace qn::test;
using namespace qn::test::catalogs;

struct ProgressRecord {
    int nType;
    intptr_t lValue;
    std::string strText;
};
std::vector<ProgressRecord> g_progress;
int g_nStopAtStep = -1;

uint32_t RecordProgress(int nType, intptr_t lValue) {
    ProgressRecord record{nType, lValue, {}};
    if (nType == DBU_PROGRESS_MESSAGE) {
        record.strText = reinterpret_cast<const char*>(lValue);
    }
    g_progress.push_back(record);
    if (nType == DBU_PROGRESS_STEP && g_nStopAtStep >= 0 && lValue >= g_nStopAtStep) {
        return 0;
    }
    return 1;
}

class CatdbuTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_progress.clear();
        g_nStopAtStep = -1;
        DBUSetProgress(&RecordProgress);
        m_strCatalog = m_dir.file("catalog.vfc");
        m_strBackupDir = m_dir.file("backup");
        ::mkdir(m_strBackupDir.c_str(), 0755);
        m_strBackup = m_strBackupDir + "/catalog.vfc";
    }
    void TearDown() override { DBUSetProgress(nullptr); }

    IsolatedEnvironment m_env;
    TempDir m_dir;
    std::string m_strCatalog;
    std::string m_strBackupDir;
    std::string m_strBackup;
};

TEST_F(CatdbuTest, BackupAndRestoreRoundTrip) {
    MakeCatalog(m_strCatalog, 300);
    const std::string strOriginal = Contents(m_strCatalog);
    ASSERT_EQ(UTBackUp(m_strCatalog.c_str(), m_strBackupDir.c_str(), 1), EXSM_SUCCESS);
    EXPECT_EQ(Contents(m_strBackup), strOriginal);
    EXPECT_EQ(IntegrityOf(m_strBackup), "ok");
    EXPECT_EQ(ReadFile(m_strBackupDir + "/catalog.ini"), ReadFile(m_dir.file("catalog.ini")));
    // No temporary file is left beside the backup.
    EXPECT_EQ(ReadFile(m_strBackupDir + "/.catalog.vfc.part-" + std::to_string(getpid())), "");

    AddRecords(m_strCatalog, 50, "later");
    WriteFile(m_dir.file("catalog.ini"), "[DBTuning]\nLockMgr=3\n");
    ASSERT_NE(Contents(m_strCatalog), strOriginal);
    ASSERT_EQ(UTRestore(m_strBackup.c_str(), m_dir.path().c_str(), 1), EXSM_SUCCESS);
    EXPECT_EQ(Contents(m_strCatalog), strOriginal);
    EXPECT_EQ(IntegrityOf(m_strCatalog), "ok");
    EXPECT_EQ(ReadFile(m_dir.file("catalog.ini")), ReadFile(m_strBackupDir + "/catalog.ini"));
    // The restored catalog takes changes again.
    AddRecords(m_strCatalog, 5, "after");
    EXPECT_EQ(IntegrityOf(m_strCatalog), "ok");
    // Both operations wrote to the catalog's log.
    const std::string strLog = ReadFile(m_dir.file("catalog.log"));
    EXPECT_NE(strLog.find("Backup of '" + m_strCatalog), std::string::npos);
    EXPECT_NE(strLog.find("Restore of '" + m_strCatalog), std::string::npos);
}

TEST_F(CatdbuTest, AJournalLeftBesideTheOldBackupIsNotReplayedIntoTheNewOne) {
    MakeCatalog(m_strCatalog, 200);
    ASSERT_EQ(UTBackUp(m_strCatalog.c_str(), m_strBackupDir.c_str(), 0), EXSM_SUCCESS);
    // Someone opened the old backup in WAL mode and changed it; its journal stays behind.
    sqlite3* pDb = nullptr;
    ASSERT_EQ(sqlite3_open(m_strBackup.c_str(), &pDb), SQLITE_OK);
    sqlite3_wal_autocheckpoint(pDb, 0);
    ASSERT_EQ(sqlite3_exec(pDb,
                           "PRAGMA journal_mode=WAL; DELETE FROM qn_test_notes;"
                           "INSERT INTO qn_test_notes(itemname) VALUES('stale');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    const std::string strWal = ReadFile(m_strBackup + "-wal");
    sqlite3_close(pDb);
    ASSERT_FALSE(strWal.empty());
    AddRecords(m_strCatalog, 30, "new");
    ASSERT_EQ(UTBackUp(m_strCatalog.c_str(), m_strBackupDir.c_str(), 0), EXSM_SUCCESS);
    WriteFile(m_strBackup + "-wal", strWal);
    ASSERT_EQ(UTBackUp(m_strCatalog.c_str(), m_strBackupDir.c_str(), 0), EXSM_SUCCESS);
    EXPECT_EQ(Contents(m_strBackup), Contents(m_strCatalog));
    EXPECT_EQ(IntegrityOf(m_strBackup), "ok");
}

TEST_F(CatdbuTest, BackupReportsProgressFromStartToLastStep) {
    MakeCatalog(m_strCatalog, 2000);
    ASSERT_EQ(UTBackUp(m_strCatalog.c_str(), m_strBackupDir.c_str(), 0), EXSM_SUCCESS);
    intptr_t nSteps = -1;
    intptr_t nLast = 0;
    bool fMessage = false;
    for (const ProgressRecord& record : g_progress) {
        if (record.nType == DBU_PROGRESS_START) {
            nSteps = record.lValue;
            nLast = 0;
        } else if (record.nType == DBU_PROGRESS_STEP) {
            ASSERT_GE(nSteps, 1) << "a step before the start";
            EXPECT_GE(record.lValue, nLast);
            EXPECT_LE(record.lValue, nSteps);
            nLast = record.lValue;
        } else if (record.nType == DBU_PROGRESS_MESSAGE) {
            fMessage = !record.strText.empty();
        }
    }
    EXPECT_GT(nSteps, 1);
    EXPECT_EQ(nLast, nSteps) << "the last step is reported";
    EXPECT_TRUE(fMessage);
}

TEST_F(CatdbuTest, StoppedBackupKeepsThePreviousBackup) {
    MakeCatalog(m_strCatalog, 2000);
    ASSERT_EQ(UTBackUp(m_strCatalog.c_str(), m_strBackupDir.c_str(), 0), EXSM_SUCCESS);
    const std::string strFirst = Contents(m_strBackup);
    AddRecords(m_strCatalog, 100, "more");
    g_nStopAtStep = 2;
    EXPECT_EQ(UTBackUp(m_strCatalog.c_str(), m_strBackupDir.c_str(), 0),
              EXSM_CATALOG_BACKUP_FAILED);
    EXPECT_EQ(Contents(m_strBackup), strFirst);
    EXPECT_EQ(IntegrityOf(m_strBackup), "ok");
}

TEST_F(CatdbuTest, BackupWhileAnotherProcessWritesIsOneConsistentMoment) {
    MakeCatalog(m_strCatalog, 500);
    // A writer adds records in transactions of 20 while the backup runs.
    const pid_t writer = ForkChild([this] {
        for (int i = 0; i < 40; ++i) {
            char szTag[16];
            std::snprintf(szTag, sizeof szTag, "w%d", i);
            AddRecords(m_strCatalog, 20, szTag);
        }
        return 0;
    });
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(UTBackUp(m_strCatalog.c_str(), m_strBackupDir.c_str(), 0), EXSM_SUCCESS);
        EXPECT_EQ(IntegrityOf(m_strBackup), "ok");
        const std::string strCopy = Contents(m_strBackup);
        const size_t nLines = static_cast<size_t>(std::count(strCopy.begin(), strCopy.end(), '\n'));
        EXPECT_EQ((nLines - 500) % 20, 0u) << "a transaction was copied in part";
    }
    EXPECT_EQ(WaitChild(writer), 0);
}

TEST_F(CatdbuTest, RestoreIsRefusedWhileTheCatalogIsOpenElsewhere) {
    MakeCatalog(m_strCatalog, 100);
    ASSERT_EQ(UTBackUp(m_strCatalog.c_str(), m_strBackupDir.c_str(), 0), EXSM_SUCCESS);
    AddRecords(m_strCatalog, 10, "new");
    const std::string strNow = Contents(m_strCatalog);
    {
        CCatalogHolder holder(m_strCatalog);
        ASSERT_TRUE(holder.Holding());
        EXPECT_EQ(UTRestore(m_strBackup.c_str(), m_dir.path().c_str(), 0),
                  EXSM_CATALOG_UNAVAILABLE);
        EXPECT_EQ(Contents(m_strCatalog), strNow);
        EXPECT_EQ(UTCheckFix(m_strCatalog.c_str(), 1, 0), EXSM_CATALOG_UNAVAILABLE);
        // A backup reads what a reader may read: it is not refused.
        EXPECT_EQ(UTBackUp(m_strCatalog.c_str(), m_strBackupDir.c_str(), 0), EXSM_SUCCESS);
    }
    EXPECT_EQ(UTRestore(m_strBackup.c_str(), m_dir.path().c_str(), 0), EXSM_SUCCESS);
    EXPECT_EQ(Contents(m_strCatalog), strNow);
}

TEST_F(CatdbuTest, BackupOfACatalogHeldExclusivelyIsRefused) {
    MakeCatalog(m_strCatalog, 100);
    ASSERT_EQ(UTBackUp(m_strCatalog.c_str(), m_strBackupDir.c_str(), 0), EXSM_SUCCESS);
    const std::string strFirst = ReadFile(m_strBackup);
    AddRecords(m_strCatalog, 10, "new");
    {
        CCatalogHolder holder(m_strCatalog, "x");
        ASSERT_TRUE(holder.Holding());
        EXPECT_EQ(UTBackUp(m_strCatalog.c_str(), m_strBackupDir.c_str(), 0),
                  EXSM_CATALOG_UNAVAILABLE);
        EXPECT_EQ(ReadFile(m_strBackup), strFirst) << "the earlier backup stays as it was";
        EXPECT_EQ(UTCheckFix(m_strCatalog.c_str(), 0, 0), EXSM_CATALOG_UNAVAILABLE);
    }
    EXPECT_EQ(UTBackUp(m_strCatalog.c_str(), m_strBackupDir.c_str(), 0), EXSM_SUCCESS);
    EXPECT_EQ(Contents(m_strBackup), Contents(m_strCatalog));
}

TEST_F(CatdbuTest, DamagedOrForeignBackupLeavesTheCatalogAsItWas) {
    MakeCatalog(m_strCatalog, 400);
    const std::string strBefore = ReadFile(m_strCatalog);
    ASSERT_EQ(UTBackUp(m_strCatalog.c_str(), m_strBackupDir.c_str(), 0), EXSM_SUCCESS);
    DamageRecords(m_strBackup);
    EXPECT_EQ(UTRestore(m_strBackup.c_str(), m_dir.path().c_str(), 0), EXSM_INVALID_CATALOG_FILE);
    EXPECT_EQ(ReadFile(m_strCatalog), strBefore);

    WriteFile(m_strBackup, "this is not a catalog at all, just some text\n");
    EXPECT_EQ(UTRestore(m_strBackup.c_str(), m_dir.path().c_str(), 0), EXSM_INVALID_CATALOG_FILE);
    EXPECT_EQ(ReadFile(m_strCatalog), strBefore);
    EXPECT_EQ(IntegrityOf(m_strCatalog), "ok");
}

TEST_F(CatdbuTest, RestoreThatCannotTakeTheConfigurationFileLeavesTheCatalogAsItWas) {
    MakeCatalog(m_strCatalog, 100);
    ASSERT_EQ(UTBackUp(m_strCatalog.c_str(), m_strBackupDir.c_str(), 0), EXSM_SUCCESS);
    AddRecords(m_strCatalog, 10, "new");
    const std::string strNow = Contents(m_strCatalog);
    const std::string strIni = ReadFile(m_dir.file("catalog.ini"));
    const std::string strBackupIni = m_strBackupDir + "/catalog.ini";
    ::chmod(strBackupIni.c_str(), 0);
    EXSM_STATUS status = EXSM_SUCCESS;
    {
        PermissionsBind bind;
        status = UTRestore(m_strBackup.c_str(), m_dir.path().c_str(), 0);
    }
    ::chmod(strBackupIni.c_str(), 0644);
    EXPECT_EQ(status, EXSM_CATALOG_RESTORE_FAILED);
    EXPECT_EQ(Contents(m_strCatalog), strNow) << "the catalog was not replaced";
    EXPECT_EQ(ReadFile(m_dir.file("catalog.ini")), strIni);
    // Nothing staged is left behind.
    EXPECT_EQ(ReadFile(m_dir.file(".catalog.ini.stage-" + std::to_string(getpid()))), "");
    EXPECT_EQ(UTRestore(m_strBackup.c_str(), m_dir.path().c_str(), 0), EXSM_SUCCESS);
    EXPECT_NE(Contents(m_strCatalog), strNow);
}

TEST_F(CatdbuTest, BadPathsGiveClearStatuses) {
    MakeCatalog(m_strCatalog, 10);
    const std::string strText = m_dir.file("notes.vfc");
    WriteFile(strText, "plain text, not a database");
    const std::string strEmptyDb = m_dir.file("empty.vfc");
    WriteFile(strEmptyDb, "");
    struct Case {
        const char* pszName;
        EXSM_STATUS status;
        EXSM_STATUS expected;
    };
    const std::string strMissing = m_dir.file("missing.vfc");
    const Case cases[] = {
        {"backup of a missing catalog", UTBackUp(strMissing.c_str(), m_strBackupDir.c_str(), 0),
         EXSM_DOES_NOT_EXIST},
        {"backup of a folder", UTBackUp(m_dir.path().c_str(), m_strBackupDir.c_str(), 0),
         EXSM_INVALID_CATALOG_FILE},
        {"backup of a text file", UTBackUp(strText.c_str(), m_strBackupDir.c_str(), 0),
         EXSM_INVALID_CATALOG_FILE},
        {"backup of an empty file", UTBackUp(strEmptyDb.c_str(), m_strBackupDir.c_str(), 0),
         EXSM_INVALID_CATALOG_FILE},
        {"backup into a missing folder",
         UTBackUp(m_strCatalog.c_str(), m_dir.file("nowhere").c_str(), 0), EXSM_DOES_NOT_EXIST},
        {"backup onto the catalog itself", UTBackUp(m_strCatalog.c_str(), m_dir.path().c_str(), 0),
         EXSM_CATALOG_BACKUP_FAILED},
        {"backup with a null path", UTBackUp(nullptr, nullptr, 0), EXSM_DOES_NOT_EXIST},
        {"backup with no lock manager", UTBackUp(m_strCatalog.c_str(), m_strBackupDir.c_str(), -1),
         EXSM_INVALID_LOCK_MANAGER},
        {"restore of a missing backup",
         UTRestore(m_dir.file("backup/none.vfc").c_str(), m_dir.path().c_str(), 0),
         EXSM_DOES_NOT_EXIST},
        {"restore into a missing folder",
         UTRestore(m_strCatalog.c_str(), m_dir.file("nowhere").c_str(), 0), EXSM_DOES_NOT_EXIST},
        {"restore of the catalog onto itself",
         UTRestore(m_strCatalog.c_str(), m_dir.path().c_str(), 0), EXSM_CATALOG_RESTORE_FAILED},
        {"check of a missing catalog", UTCheckFix(strMissing.c_str(), 1, 0), EXSM_DOES_NOT_EXIST},
        {"check of a folder", UTCheckFix(m_dir.path().c_str(), 1, 0), EXSM_INVALID_CATALOG_FILE},
        {"check of a text file", UTCheckFix(strText.c_str(), 1, 0), EXSM_INVALID_CATALOG_FILE},
        {"check with a null path", UTCheckFix(nullptr, 0, 0), EXSM_DOES_NOT_EXIST},
        {"key rebuild of a text file", DB_KEYBUILD(strText.c_str(), 0), EXSM_INVALID_CATALOG_FILE},
        {"key rebuild of nothing", DB_KEYBUILD(nullptr, 0), EXSM_DOES_NOT_EXIST},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.status, c.expected) << c.pszName;
    }
    EXPECT_EQ(IntegrityOf(m_strCatalog), "ok");
    EXPECT_EQ(ReadFile(strText), "plain text, not a database");
}

TEST_F(CatdbuTest, CheckFindsAndRepairsIndexDamage) {
    MakeCatalog(m_strCatalog, 300);
    EXPECT_EQ(UTCheckFix(m_strCatalog.c_str(), 1, 0), EXSM_SUCCESS);
    DamageIndex(m_strCatalog);
    ASSERT_NE(IntegrityOf(m_strCatalog), "ok");
    EXPECT_EQ(UTCheckFix(m_strCatalog.c_str(), 0, 0), EXSM_CATALOG_CORRUPTED);
    EXPECT_NE(IntegrityOf(m_strCatalog), "ok") << "a check without repair changes nothing";
    EXPECT_EQ(UTCheckFix(m_strCatalog.c_str(), 1, 0), EXSM_CATALOG_REPAIRED);
    EXPECT_EQ(IntegrityOf(m_strCatalog), "ok");
    EXPECT_EQ(UTCheckFix(m_strCatalog.c_str(), 1, 0), EXSM_SUCCESS);
    const std::string strLog = ReadFile(m_dir.file("catalog.log"));
    EXPECT_NE(strLog.find("missing from index qn_test_notes_name"), std::string::npos) << strLog;
}

TEST_F(CatdbuTest, CheckReportsRecordDamageItCannotRepair) {
    MakeCatalog(m_strCatalog, 2000);
    DamageRecords(m_strCatalog);
    EXPECT_EQ(UTCheckFix(m_strCatalog.c_str(), 1, 0), EXSM_CATALOG_CORRUPTED);
}

TEST_F(CatdbuTest, CheckFindsAndRepairsEngineStructureDamage) {
    MakeCatalog(m_strCatalog, 50);
    if (!DamageEngineCounts(m_strCatalog)) {
        GTEST_SKIP() << "the engine keeps no structures in this catalog";
    }
    EXPECT_EQ(IntegrityOf(m_strCatalog), "ok") << "the file itself is sound";
    EXPECT_EQ(UTCheckFix(m_strCatalog.c_str(), 0, 0), EXSM_CATALOG_CORRUPTED);
    EXPECT_EQ(UTCheckFix(m_strCatalog.c_str(), 1, 0), EXSM_CATALOG_REPAIRED);
    EXPECT_EQ(UTCheckFix(m_strCatalog.c_str(), 1, 0), EXSM_SUCCESS);
    const std::string strLog = ReadFile(m_dir.file("catalog.log"));
    EXPECT_NE(strLog.find("structures: "), std::string::npos) << strLog;

    ASSERT_TRUE(DamageEngineCounts(m_strCatalog));
    EXPECT_EQ(DB_KEYBUILD(m_strCatalog.c_str(), 1), EXSM_SUCCESS);
    EXPECT_EQ(UTCheckFix(m_strCatalog.c_str(), 0, 0), EXSM_SUCCESS);
}

TEST_F(CatdbuTest, ACatalogThatCannotBeWrittenIsNotCalledInUse) {
    MakeCatalog(m_strCatalog, 20);
    const std::string strSub = m_dir.file("locked");
    ::mkdir(strSub.c_str(), 0755);
    const std::string strLocked = strSub + "/catalog.vfc";
    MakeCatalog(strLocked, 20);
    ::chmod(m_strCatalog.c_str(), 0444);
    ::chmod(strSub.c_str(), 0555);
    EXSM_STATUS readOnlyFile = EXSM_SUCCESS;
    EXSM_STATUS readOnlyFolder = EXSM_SUCCESS;
    EXSM_STATUS backup = EXSM_ERROR_UNKNOWN;
    {
        PermissionsBind bind;
        readOnlyFile = UTCheckFix(m_strCatalog.c_str(), 1, 0);
        readOnlyFolder = UTCheckFix(strLocked.c_str(), 0, 0);
        // What can be read can still be backed up.
        backup = UTBackUp(m_strCatalog.c_str(), m_strBackupDir.c_str(), 0);
    }
    ::chmod(strSub.c_str(), 0755);
    ::chmod(m_strCatalog.c_str(), 0644);
    EXPECT_EQ(readOnlyFile, EXSM_ACCESS_DENIED);
    EXPECT_EQ(readOnlyFolder, EXSM_ACCESS_DENIED);
    EXPECT_EQ(backup, EXSM_SUCCESS);
    EXPECT_EQ(UTCheckFix(m_strCatalog.c_str(), 1, 0), EXSM_SUCCESS);
}

// What another process gets when it opens the catalog, asked at every step of a check.
std::string g_strCheckedCatalog;
std::vector<int> g_opensDuringCheck;

uint32_t OpenElsewhereAtEachStep(int nType, intptr_t) {
    if (nType == DBU_PROGRESS_STEP) {
        g_opensDuringCheck.push_back(WaitChild(ForkChild([] {
            qn::dbms::CDbTask task;
            task.SetLockTimeoutMs(0);
            return task.Open(g_strCheckedCatalog.c_str(), "s");
        })));
    }
    return 1;
}

TEST_F(CatdbuTest, NoOtherProcessOpensTheCatalogWhileACheckRuns) {
    MakeCatalog(m_strCatalog, 50);
    g_strCheckedCatalog = m_strCatalog;
    DBUSetProgress(&OpenElsewhereAtEachStep);
    for (const int fRepair : {0, 1}) {
        g_opensDuringCheck.clear();
        EXPECT_EQ(UTCheckFix(m_strCatalog.c_str(), fRepair, 0), EXSM_SUCCESS);
        EXPECT_EQ(g_opensDuringCheck, std::vector<int>(3, qn::dbms::S_UNAVAIL))
            << "repair " << fRepair;
    }
    DBUSetProgress(nullptr);
    g_opensDuringCheck.clear();
    OpenElsewhereAtEachStep(DBU_PROGRESS_STEP, 0);
    EXPECT_EQ(g_opensDuringCheck, std::vector<int>{qn::dbms::S_OKAY}) << "open again after it";
}

TEST_F(CatdbuTest, KeyRebuildMendsIndexes) {
    MakeCatalog(m_strCatalog, 300);
    DamageIndex(m_strCatalog);
    EXPECT_EQ(DB_KEYBUILD(m_strCatalog.c_str(), 1), EXSM_SUCCESS);
    EXPECT_EQ(IntegrityOf(m_strCatalog), "ok");
    CCatalogHolder holder(m_strCatalog);
    ASSERT_TRUE(holder.Holding());
    EXPECT_EQ(DB_KEYBUILD(m_strCatalog.c_str(), 1), EXSM_CATALOG_UNAVAILABLE);
}

TEST_F(CatdbuTest, WorkPathIsKept) {
    DBUSetWorkPath("/opt/quillon/bin");
    EXPECT_STREQ(DBUGetWorkPath(), "/opt/quillon/bin");
    DBUSetWorkPath(nullptr);
    EXPECT_STREQ(DBUGetWorkPath(), "");
}

}  // namespace

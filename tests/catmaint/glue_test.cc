// The administration glue: configuration and destination rules, the "DBTuning" keys and the
// status rules of the verification, on real catalogs, with the catalog store bound at run time.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "catalogs.h"
#include "exsmstatus.h"
#include "glue.h"
#include "testsupport.h"

namespace {

using namespace qn::test;
using namespace qn::test::catalogs;
using qn::maint::StructureCheck;

TEST(GlueRules, ConfigurationPath) {
    struct Case {
        const char* pszPath;
        const char* pszExpected;
    };
    const Case cases[] = {
        {"/cat/catalog.vfc", "/cat/catalog.ini"},
        {"/cat.dir/catalog", "/cat.dir/catalog.ini"},  // a dot earlier in the path
        {"catalog.vfc", "catalog.ini"},
        {"/cat/catalog.v", "/cat/catalog.ini"},
        {"/cat/catalog.", "/cat/catalog.ini"},
        {"/cat/catalog.data", "/cat/catalog.data.ini"},  // four characters are no extension
        {"/a.b/c", "/a.b/c.ini"},  // the dot of a folder is no extension, however near the end
        {"/cat/backup/CATALOG.VFC", "/cat/backup/CATALOG.ini"},
        {"", ".ini"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(qn::maint::ConfigurationPathOf(c.pszPath), c.pszExpected) << c.pszPath;
    }
}

TEST(GlueRules, DestinationDirectory) {
    EXPECT_EQ(qn::maint::DestinationDirectoryOf("/cat/backup/catalog.vfc"), "/cat/backup");
    EXPECT_EQ(qn::maint::DestinationDirectoryOf("catalog.vfc"), ".");
    EXPECT_EQ(qn::maint::DestinationDirectoryOf("backup/catalog.vfc"), "backup");
    EXPECT_EQ(qn::maint::DestinationDirectoryOf("/catalog.vfc"), "/");
}

TEST(GlueRules, TuningKeysAndDefaults) {
    TempDir dir;
    const qn::maint::DBTuning none = qn::maint::ReadDBTuning(dir.file("missing.ini"));
    EXPECT_EQ(none.nLockMgr, 0);
    EXPECT_EQ(none.nCheckDBIntegrity, 1);
    EXPECT_EQ(none.nCheckSchemaIntegrity, 1);
    WriteFile(dir.file("c.ini"),
              "[DBTuning]\r\nLockMgr=3\r\nCheckDBIntegrity=0\r\nCheckSchemaIntegrity=0\r\n");
    const qn::maint::DBTuning set = qn::maint::ReadDBTuning(dir.file("c.ini"));
    EXPECT_EQ(set.nLockMgr, 3);
    EXPECT_EQ(set.nCheckDBIntegrity, 0);
    EXPECT_EQ(set.nCheckSchemaIntegrity, 0);
}

class GlueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_strCatalog = m_dir.file("catalog.vfc");
        m_strConfig = m_dir.file("catalog.ini");
        m_strTrace = m_dir.file("standin.trace");
        ::setenv("QN_STANDIN_TRACE", m_strTrace.c_str(), 1);
        ::unsetenv("QN_STANDIN_CONNECT_STATUS");
        ::unsetenv("QN_STANDIN_VERIFY_RESULT");
        qn::maint::SetCatalogStoreLibrary(QN_STANDIN_CATSTORE);
        MakeCatalog(m_strCatalog, 200);
    }
    void TearDown() override { qn::maint::SetCatalogStoreLibrary(""); }

    void Tuning(int nCheckDB, int nCheckSchema) {
        WriteFile(m_strConfig,
                  "[DBTuning]\r\nLockMgr=1\r\nCheckDBIntegrity=" + std::to_string(nCheckDB) +
                      "\r\nCheckSchemaIntegrity=" + std::to_string(nCheckSchema) + "\r\n");
    }
    uint32_t Verify(bool fRepair) {
        uint32_t dwStatus = 0xDEADBEEF;
        DBUVerify(m_strCatalog.c_str(), fRepair, &dwStatus);
        return dwStatus;
    }

    IsolatedEnvironment m_env;
    TempDir m_dir;
    std::string m_strCatalog;
    std::string m_strConfig;
    std::string m_strTrace;
};

TEST_F(GlueTest, StructureVerificationBindsTheCatalogStore) {
    EXPECT_EQ(Verify(true), EXSM_SUCCESS);
    EXPECT_EQ(qn::maint::LastStructureCheck(), StructureCheck::Ran);
    EXPECT_EQ(ReadFile(m_strTrace),
              "connect " + m_strCatalog + " mode=2\nverify context repair=1\nclose handle\n");
}

TEST_F(GlueTest, StructureResultsMapThroughTheStatusTable) {
    struct Case {
        const char* pszVerifyResult;
        uint32_t dwExpected;
    };
    const Case cases[] = {
        {"0", EXSM_SUCCESS},
        {"52", EXSM_CATALOG_CORRUPTED},
        {"53", EXSM_CATALOG_REPAIRED},
        {"18", EXSM_SUCCESS},
        {"54", EXSM_SUCCESS},
        {"50", EXSM_INTERNAL_ERROR},
        {"4", EXSM_CATALOG_UNAVAILABLE},
        {"200", EXSM_INTERNAL_ERROR},  // outside the table
    };
    for (const Case& c : cases) {
        ::setenv("QN_STANDIN_VERIFY_RESULT", c.pszVerifyResult, 1);
        EXPECT_EQ(Verify(false), c.dwExpected) << "DBBoardVerify answered " << c.pszVerifyResult;
    }
}

TEST_F(GlueTest, StructureAloneWhenTheRecordCheckIsOff) {
    DamageIndex(m_strCatalog);  // the record-level check would find this; it does not run
    Tuning(0, 1);
    ::setenv("QN_STANDIN_VERIFY_RESULT", "53", 1);
    EXPECT_EQ(Verify(true), EXSM_CATALOG_REPAIRED);
    EXPECT_EQ(qn::maint::LastStructureCheck(), StructureCheck::Ran);
    Tuning(0, 0);
    EXPECT_EQ(Verify(true), EXSM_SUCCESS);
    EXPECT_EQ(qn::maint::LastStructureCheck(), StructureCheck::NotRun);
    EXPECT_NE(IntegrityOf(m_strCatalog), "ok") << "nothing ran, nothing was repaired";
}

TEST_F(GlueTest, UnrepairedRecordErrorsSkipTheStructureVerification) {
    DamageIndex(m_strCatalog);
    Tuning(1, 1);
    EXPECT_EQ(Verify(false), EXSM_CATALOG_CORRUPTED);
    EXPECT_EQ(qn::maint::LastStructureCheck(), StructureCheck::NotRun);
    EXPECT_EQ(ReadFile(m_strTrace), "");
}

TEST_F(GlueTest, RepairedRecordErrorsStayReportedAfterACleanStructureCheck) {
    DamageIndex(m_strCatalog);
    Tuning(1, 1);
    EXPECT_EQ(Verify(true), EXSM_CATALOG_REPAIRED);
    EXPECT_EQ(qn::maint::LastStructureCheck(), StructureCheck::Ran);
    // Structure errors left win over the repaired record level.
    DamageIndex(m_strCatalog);
    ::setenv("QN_STANDIN_VERIFY_RESULT", "52", 1);
    EXPECT_EQ(Verify(true), EXSM_CATALOG_CORRUPTED);
    EXPECT_EQ(IntegrityOf(m_strCatalog), "ok");
}

TEST_F(GlueTest, AFailedConnectIsTheResult) {
    ::setenv("QN_STANDIN_CONNECT_STATUS", "12", 1);
    EXPECT_EQ(Verify(true), EXSM_CATALOG_OPEN_ERROR);
    EXPECT_EQ(qn::maint::LastStructureCheck(), StructureCheck::ConnectFailed);
    EXPECT_EQ(ReadFile(m_strTrace), "connect " + m_strCatalog + " mode=2\n");
}

TEST_F(GlueTest, MissingLibraryOrExportSkipsTheStructureVerification) {
    DamageIndex(m_strCatalog);
    qn::maint::SetCatalogStoreLibrary(m_dir.file("no-such-library.so"));
    EXPECT_EQ(Verify(true), EXSM_CATALOG_REPAIRED);
    EXPECT_EQ(qn::maint::LastStructureCheck(), StructureCheck::NoLibrary);
    qn::maint::SetCatalogStoreLibrary(QN_STANDIN_NOVERIFY);
    EXPECT_EQ(Verify(true), EXSM_SUCCESS);
    EXPECT_EQ(qn::maint::LastStructureCheck(), StructureCheck::MissingExport);
}

TEST(GlueRules, TheCatalogStoreIsLookedForByItsSonameFirst) {
    const std::vector<std::string> expected = {"/opt/q/bin/libcatstore.so.2", "libcatstore.so.2",
                                               "/opt/q/bin/libcatstore.so", "libcatstore.so"};
    EXPECT_EQ(qn::maint::CatalogStoreCandidates("/opt/q/bin"), expected);
}

TEST_F(GlueTest, ASkippedStructureVerificationSaysWhyInTheLogs) {
    const std::string strMissing = m_dir.file("no-such-library.so");
    struct Case {
        const char* pszLibrary;
        const char* pszConnectStatus;
        StructureCheck check;
        std::string strWhy;
    };
    const Case cases[] = {
        {strMissing.c_str(), "", StructureCheck::NoLibrary,
         "the catalog store library cannot be loaded (tried " + strMissing + ")"},
        {QN_STANDIN_NOVERIFY, "", StructureCheck::MissingExport,
         std::string("the catalog store library ") + QN_STANDIN_NOVERIFY + " lacks DBBoardVerify"},
        {QN_STANDIN_CATSTORE, "18", StructureCheck::ConnectFailed,
         "the exclusive connect failed with status 18 (Catalog Unavailable)"},
        {QN_STANDIN_CATSTORE, "", StructureCheck::Ran, ""},
    };
    for (const Case& c : cases) {
        qn::maint::SetCatalogStoreLibrary(c.pszLibrary);
        ::setenv("QN_STANDIN_CONNECT_STATUS", c.pszConnectStatus, 1);
        ::unlink(m_dir.file("catalog.log").c_str());
        Verify(true);
        EXPECT_EQ(qn::maint::LastStructureCheck(), c.check) << c.strWhy;
        const std::string strNote = c.strWhy.empty() ? ""
                                                     : "Structure check of '" + m_strCatalog +
                                                           "' skipped: " + c.strWhy + ".";
        EXPECT_EQ(qn::maint::LastStructureCheckNote(), strNote);
        const std::string strLog = ReadFile(m_dir.file("catalog.log"));
        if (strNote.empty()) {
            EXPECT_EQ(strLog.find("Structure check"), std::string::npos) << strLog;
        } else {
            EXPECT_NE(strLog.find("  " + strNote + "\n"), std::string::npos) << strLog;
        }
    }
    // A record-level check that left errors, or a check turned off in the configuration, say so
    // too.
    qn::maint::SetCatalogStoreLibrary(QN_STANDIN_CATSTORE);
    DamageRecords(m_strCatalog);
    EXPECT_EQ(Verify(false), EXSM_CATALOG_CORRUPTED);
    EXPECT_EQ(qn::maint::LastStructureCheckNote(),
              "Structure check of '" + m_strCatalog +
                  "' skipped: the record-level check ended with status 14 (Catalog Corrupted).");
    Tuning(1, 0);
    Verify(true);
    EXPECT_EQ(qn::maint::LastStructureCheckNote(), "Structure check of '" + m_strCatalog +
                                                       "' skipped: CheckSchemaIntegrity is 0 in " +
                                                       m_strConfig + ".");
}

TEST_F(GlueTest, CatalogInUseIsReportedWithoutTheStructureVerification) {
    CCatalogHolder holder(m_strCatalog);
    ASSERT_TRUE(holder.Holding());
    EXPECT_EQ(Verify(true), EXSM_CATALOG_UNAVAILABLE);
    EXPECT_EQ(ReadFile(m_strTrace), "");
}

TEST_F(GlueTest, BackupAndRestoreUseTheirFoldersAndConfigurations) {
    const std::string strBackupDir = m_dir.file("backup");
    ::mkdir(strBackupDir.c_str(), 0755);
    const std::string strBackup = strBackupDir + "/catalog.vfc";
    const std::string strOriginal = Contents(m_strCatalog);
    uint32_t dwStatus = 0xDEADBEEF;
    DBUBackup(m_strCatalog.c_str(), strBackup.c_str(), &dwStatus);
    ASSERT_EQ(dwStatus, EXSM_SUCCESS);
    EXPECT_EQ(Contents(strBackup), strOriginal);

    AddRecords(m_strCatalog, 20, "late");
    // The backup's own configuration file chooses the lock manager of the restore.
    WriteFile(strBackupDir + "/catalog.ini", "[DBTuning]\r\nLockMgr=99\r\n");
    DBURestore(strBackup.c_str(), m_strCatalog.c_str(), &dwStatus);
    EXPECT_EQ(dwStatus, EXSM_INVALID_LOCK_MANAGER);
    EXPECT_NE(Contents(m_strCatalog), strOriginal);
    WriteFile(strBackupDir + "/catalog.ini", "[DBTuning]\r\nLockMgr=1\r\n");
    DBURestore(strBackup.c_str(), m_strCatalog.c_str(), &dwStatus);
    EXPECT_EQ(dwStatus, EXSM_SUCCESS);
    EXPECT_EQ(Contents(m_strCatalog), strOriginal);

    // Failures of the utilities pass through unchanged.
    DBUBackup(m_dir.file("none.vfc").c_str(), strBackup.c_str(), &dwStatus);
    EXPECT_EQ(dwStatus, EXSM_DOES_NOT_EXIST);
    DBUBackup(m_strCatalog.c_str(), m_dir.file("nowhere/catalog.vfc").c_str(), &dwStatus);
    EXPECT_EQ(dwStatus, EXSM_DOES_NOT_EXIST);
    DBUVerify(nullptr, true, nullptr);  // no status pointer: nothing breaks
}

#if defined(QN_REAL_CATSTORE) && defined(QN_CATCLI)
TEST_F(GlueTest, ACatalogMadeByTheStoreIsVerifiedThroughIt) {
    const std::string strMade = m_dir.file("made.vfc");
    const std::string strCommand =
        std::string("'") + QN_CATCLI + "' create '" + strMade + "' -n Made > /dev/null 2>&1";
    ASSERT_EQ(std::system(strCommand.c_str()), 0);
    qn::maint::SetCatalogStoreLibrary(QN_REAL_CATSTORE);
    uint32_t dwStatus = 0xDEADBEEF;
    DBUVerify(strMade.c_str(), true, &dwStatus);
    EXPECT_EQ(dwStatus, EXSM_SUCCESS);
    const StructureCheck check = qn::maint::LastStructureCheck();
    EXPECT_TRUE(check == StructureCheck::Ran || check == StructureCheck::MissingExport)
        << static_cast<int>(check);
    // Held open by another process, the catalog is not verified.
    CCatalogHolder holder(strMade);
    ASSERT_TRUE(holder.Holding());
    DBUVerify(strMade.c_str(), true, &dwStatus);
    EXPECT_EQ(dwStatus, EXSM_CATALOG_UNAVAILABLE);
}
#endif

}  // namespace

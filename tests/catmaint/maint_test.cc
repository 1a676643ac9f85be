// The maintenance program's start-up, paths, progress rules, and its headless mode run as a
// real program on real catalogs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "catalogs.h"
#include "foundation/prefs.h"
#include "maintcore.h"
#include "maintstrings.h"
#include "testsupport.h"

namespace {

using namespace qn::test;
using namespace qn::test::catalogs;
using namespace qn::maint;

std::string PickListCatalog() {
    char szPath[300] = {};
    QNPrefGetString("Pick List", "Catalog 1", nullptr, szPath, sizeof szPath, QNINI_INIFILENAME);
    return szPath;
}

TEST(MaintPaths, CompanionsOfACatalog) {
    const MaintPaths paths = DerivePaths("/data/cat/catalog.vfc");
    EXPECT_EQ(paths.strCatalog, "/data/cat/catalog.vfc");
    EXPECT_EQ(paths.strBackupDir, "/data/cat/backup");
    EXPECT_EQ(paths.strBackup, "/data/cat/backup/catalog.vfc");
    EXPECT_EQ(paths.strLog, "/data/cat/catalog.log");
    EXPECT_EQ(DerivePaths("/data/cat.d/catalog").strLog, "/data/cat.d/catalog.log");
    // Relative paths are made absolute.
    char szCwd[4096];
    ASSERT_NE(getcwd(szCwd, sizeof szCwd), nullptr);
    EXPECT_EQ(DerivePaths("vfc/catalog.vfc").strCatalog, std::string(szCwd) + "/vfc/catalog.vfc");
}

TEST(MaintPaths, ShorteningKeepsTheRootAndTheEnd) {
    const auto chars = [](const std::string& s) { return static_cast<int>(s.size()); };
    struct Case {
        const char* pszPath;
        int nWidth;
        const char* pszExpected;
    };
    const Case cases[] = {
        {"/home/user/catalog.vfc", 40, "/home/user/catalog.vfc"},  // fits whole
        {"/home/user/catalog.vfc", 22, "/home/user/catalog.vfc"},  // exactly
        {"/home/user/catalog.vfc", 21, "/.../user/catalog.vfc"},   // first folder cut
        {"/home/user/catalog.vfc", 20, "/...user/catalog.vfc"},    // then its slash
        {"/home/user/catalog.vfc", 16, "/.../catalog.vfc"},
        {"/home/user/catalog.vfc", 10, "/...og.vfc"},  // a name too long alone
        {"/home/user/catalog.vfc", 3, "/..."},         // nothing fits: never loops
        {"relative/deep/path/catalog.vfc", 20, "rel.../catalog.vfc"},
    };
    for (const Case& c : cases) {
        const std::string strShown = ShortenPath(c.pszPath, c.nWidth, chars);
        EXPECT_EQ(strShown, c.pszExpected) << c.pszPath << " in " << c.nWidth;
    }
}

class RecordingSink : public IProgressSink {
  public:
    void SetRange(long nEnd) override { events.push_back("range " + std::to_string(nEnd)); }
    void SetPosition(long nPosition) override {
        events.push_back("pos " + std::to_string(nPosition));
    }
    void ShowProgressText(const char* pszText) override {
        events.push_back(std::string("text ") + pszText);
    }
    std::vector<std::string> events;
};

TEST(MaintProgress, StepsAreThrottledButTheLastIsAlwaysShown) {
    RecordingSink sink;
    CProgressThrottle throttle(sink);
    EXPECT_EQ(throttle.Handle(0, 10, 1000) & 0xFFFF, 1u);
    // Steps every 30 ms: the first is shown, then one per 100 ms, and the last one.
    for (int nStep = 1; nStep <= 10; ++nStep) {
        EXPECT_EQ(throttle.Handle(1, nStep, 1000 + 30 * static_cast<uint32_t>(nStep)) & 0xFFFF, 1u);
    }
    const char* pszText = "Copying the catalog...";
    throttle.Handle(2, reinterpret_cast<intptr_t>(pszText), 1400);
    throttle.Handle(7, 5, 1400);  // unknown type: nothing
    const std::vector<std::string> expected = {"range 10", "pos 1",  "pos 5",
                                               "pos 9",    "pos 10", "text Copying the catalog..."};
    EXPECT_EQ(sink.events, expected);

    // A new start forgets the last update time: its first step shows at once.
    sink.events.clear();
    throttle.Handle(0, 3, 1405);
    throttle.Handle(1, 1, 1406);
    throttle.Handle(1, 2, 1407);
    throttle.Handle(1, 3, 1408);
    const std::vector<std::string> expected2 = {"range 3", "pos 1", "pos 3"};
    EXPECT_EQ(sink.events, expected2);
    // The tick count wraps at 2^32 without freezing the bar.
    sink.events.clear();
    throttle.Handle(0, 100, 0xFFFFFFF0u);
    throttle.Handle(1, 1, 0xFFFFFFF0u);
    throttle.Handle(1, 2, 0x00000070u);
    const std::vector<std::string> expected3 = {"range 100", "pos 1", "pos 2"};
    EXPECT_EQ(sink.events, expected3);
}

class StartupTest : public ::testing::Test {
  protected:
    IsolatedEnvironment m_env;
    TempDir m_dir;
};

TEST_F(StartupTest, CommandLineCatalogAndItsBackupFolder) {
    const std::string strCatalog = m_dir.file("catalog.vfc");
    MakeCatalog(strCatalog, 1);
    bool fAsked = false;
    const StartupResult result = FindCatalog(strCatalog, [&] {
        fAsked = true;
        return std::optional<std::string>();
    });
    ASSERT_TRUE(result.fOk) << result.strError;
    EXPECT_FALSE(fAsked);
    EXPECT_EQ(result.paths.strCatalog, strCatalog);
    struct stat st {};
    ASSERT_EQ(::stat(m_dir.file("backup").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(StartupTest, LongPathsAreTakenWhole) {
    // Deeper than the 260 characters of older systems.
    std::string strDeep = m_dir.path();
    for (int i = 0; i < 12; ++i) {
        strDeep += "/a-folder-name-of-thirty-characters-" + std::to_string(i);
        ASSERT_EQ(::mkdir(strDeep.c_str(), 0755), 0);
    }
    const std::string strCatalog = strDeep + "/catalog.vfc";
    ASSERT_GT(strCatalog.size(), 300u);
    MakeCatalog(strCatalog, 1);
    StartupResult result = FindCatalog(strCatalog, {});
    ASSERT_TRUE(result.fOk) << result.strError;
    EXPECT_EQ(result.paths.strCatalog, strCatalog);
    QNPrefSetString("Pick List", "Catalog 1", strCatalog.c_str(), QNINI_INIFILENAME);
    result = FindCatalog("", {});
    ASSERT_TRUE(result.fOk) << result.strError;
    EXPECT_EQ(result.paths.strCatalog, strCatalog);
}

TEST_F(StartupTest, AChosenCatalogIsRememberedAndFoundNextTime) {
    const std::string strCatalog = m_dir.file("chosen.vfc");
    MakeCatalog(strCatalog, 1);
    int nAsked = 0;
    const auto ask = [&] {
        ++nAsked;
        return std::optional<std::string>(strCatalog);
    };
    const StartupResult first = FindCatalog(m_dir.file("gone.vfc"), ask);
    ASSERT_TRUE(first.fOk);
    EXPECT_EQ(nAsked, 1);
    EXPECT_EQ(PickListCatalog(), strCatalog);
    const StartupResult second = FindCatalog("", ask);
    ASSERT_TRUE(second.fOk);
    EXPECT_EQ(nAsked, 1) << "found through the preference";
    EXPECT_EQ(second.paths.strCatalog, strCatalog);
}

TEST_F(StartupTest, WithoutArgumentOrPreferenceTheDefaultBelowTheCurrentFolder) {
    const pid_t child = ForkChild([this] {
        if (::chdir(m_dir.path().c_str()) != 0) {
            return 10;
        }
        bool fAsked = false;
        StartupResult missing = FindCatalog("", [&] {
            fAsked = true;
            return std::optional<std::string>();
        });
        if (missing.fOk || !fAsked || missing.strError != "Unable to locate Zelto Catalog.") {
            return 11;
        }
        ::mkdir("vfc", 0755);
        MakeCatalog("vfc/catalog.vfc", 1);
        StartupResult found = FindCatalog("", {});
        if (!found.fOk || found.paths.strCatalog != m_dir.file("vfc/catalog.vfc")) {
            return 12;
        }
        return 0;
    });
    EXPECT_EQ(WaitChild(child), 0);
}

TEST_F(StartupTest, FoldersAndUnmakeableBackupFoldersAreRefused) {
    // A folder is not a catalog: the user is asked, and a cancelled question ends the start.
    bool fAsked = false;
    StartupResult result = FindCatalog(m_dir.path(), [&] {
        fAsked = true;
        return std::optional<std::string>();
    });
    EXPECT_FALSE(result.fOk);
    EXPECT_TRUE(fAsked);
    EXPECT_EQ(result.strError, LoadResourceString(IDS_CATALOG_NOT_FOUND));

    // A file where the backup folder should be.
    const std::string strCatalog = m_dir.file("catalog.vfc");
    MakeCatalog(strCatalog, 1);
    WriteFile(m_dir.file("backup"), "not a folder");
    result = FindCatalog(strCatalog, {});
    EXPECT_FALSE(result.fOk);
    EXPECT_EQ(result.strError, "Unable to create backup directory " + m_dir.file("backup"));
}

TEST(MaintStrings, EveryTextOfTheTable) {
    struct Entry {
        unsigned nId;
        const char* pszText;
    };
    const Entry table[] = {
        {101, "&About..."},
        {102, "Command Progress:"},
        {103, "Performing Catalog Backup:"},
        {104, "Performing Catalog Restore:"},
        {105, "Checking Catalog Integrity:"},
        {106, "Unable to locate Zelto Catalog."},
        {107, "Unable to create backup directory %1"},
        {108, "Version: %1"},
        {109, "CATMAINT.HLP"},
        {110, "Catalog backup completed successfully."},
        {111, "Catalog backup failed.  See the log file for more information."},
        {112, "Catalog restore completed successfully."},
        {113, "Catalog restore failed.  See the log file for more information."},
        {114, "No problems were detected."},
        {115, "Errors were found and corrected.  See the log file for details."},
        {116,
         "Errors have been detected that were not repaired.  See the log file for more "
         "information."},
        {117,
         "Catalog backup cannot be performed because unrecoverable errors have been detected.  "
         "See the log file for more information."},
        {118, "notepad %1"},
        {119, "vfc/catalog.vfc"},
        {120, "Unexpected error detected (%s).  Please contact Customer Support."},
        {121, "This operation cannot be performed because the catalog is in use."},
        {31000, "Zelto Bookmarks"},
        {57344, "Zelto Catalog Maintenance"},
    };
    for (const Entry& entry : table) {
        EXPECT_STREQ(LoadResourceString(entry.nId), entry.pszText) << entry.nId;
    }
    EXPECT_STREQ(LoadResourceString(999), "");
    EXPECT_STREQ(LoadResourceString(100), "");
    EXPECT_EQ(FormatResource(IDS_VERSION, kVersionText), "Version: 2.00.72");
    EXPECT_EQ(FormatResource(IDS_CANNOT_CREATE_BACKUP_DIR, "/x/backup"),
              "Unable to create backup directory /x/backup");
    EXPECT_EQ(
        UnexpectedErrorText(0x00050013u),
        "Unexpected error detected (Invalid Catalog File).  Please contact Customer Support.");
    EXPECT_EQ(UnexpectedErrorText(77),
              "Unexpected error detected (status 77).  Please contact Customer Support.");
}

// ---- The headless program -------------------------------------------------------------------

struct RunResult {
    int nExit = -1;
    std::string strOut;
    std::string strErr;
};

class HeadlessTest : public ::testing::Test {
  protected:
    // The program binds no catalog store here: the structure verification is skipped.
    void SetUp() override {
        ::setenv("QUILLON_CATSTORE_LIBRARY", m_dir.file("no-catstore.so").c_str(), 1);
    }
    void TearDown() override { ::unsetenv("QUILLON_CATSTORE_LIBRARY"); }
    RunResult Run(const std::string& strArgs) {
        const std::string strOut = m_dir.file("out.txt");
        const std::string strErr = m_dir.file("err.txt");
        const std::string strCommand = PermissionsBindCommandPrefix() + "'" + QN_CATMAINT_PROGRAM +
                                       "' " + strArgs + " > '" + strOut + "' 2> '" + strErr +
                                       "' < /dev/null";
        const int nStatus = std::system(strCommand.c_str());
        RunResult result;
        result.nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
        result.strOut = ReadFile(strOut);
        result.strErr = ReadFile(strErr);
        return result;
    }
    std::string Quoted(const std::string& s) { return "'" + s + "'"; }

    IsolatedEnvironment m_env;
    TempDir m_dir;
};

TEST_F(HeadlessTest, HelpAndUsage) {
    RunResult result = Run("--help");
    EXPECT_EQ(result.nExit, 0);
    EXPECT_NE(result.strOut.find("--verify [--no-repair]"), std::string::npos);
    result = Run("--frobnicate");
    EXPECT_EQ(result.nExit, 64);
    result = Run("--backup --verify x.vfc");
    EXPECT_EQ(result.nExit, 64);
    result = Run("--backup --no-repair x.vfc");
    EXPECT_EQ(result.nExit, 64);
}

TEST_F(HeadlessTest, VerifyBackupRestoreRoundTrip) {
    const std::string strCatalog = m_dir.file("catalog.vfc");
    MakeCatalog(strCatalog, 500);
    const std::string strOriginal = Contents(strCatalog);

    RunResult result = Run("--verify " + Quoted(strCatalog));
    EXPECT_EQ(result.nExit, 0) << result.strOut << result.strErr;
    EXPECT_NE(result.strOut.find("Checking Catalog Integrity:\n"), std::string::npos);
    EXPECT_NE(result.strOut.find("No problems were detected.\n"), std::string::npos);

    result = Run("--backup " + Quoted(strCatalog));
    EXPECT_EQ(result.nExit, 0) << result.strOut << result.strErr;
    EXPECT_NE(result.strOut.find("Performing Catalog Backup:\n"), std::string::npos);
    EXPECT_NE(result.strOut.find("Catalog backup completed successfully.\n"), std::string::npos);
    EXPECT_NE(result.strErr.find("] 100%"), std::string::npos) << "the progress bar";
    EXPECT_EQ(Contents(m_dir.file("backup/catalog.vfc")), strOriginal);

    AddRecords(strCatalog, 30, "late");
    result = Run("--restore " + Quoted(strCatalog));
    EXPECT_EQ(result.nExit, 0) << result.strOut << result.strErr;
    EXPECT_NE(result.strOut.find("Catalog restore completed successfully.\n"), std::string::npos);
    EXPECT_EQ(Contents(strCatalog), strOriginal);
    EXPECT_NE(ReadFile(m_dir.file("catalog.log")).find("Restore of"), std::string::npos);
}

TEST_F(HeadlessTest, BackupOfACatalogInUseWritesNoBackup) {
    const std::string strCatalog = m_dir.file("catalog.vfc");
    MakeCatalog(strCatalog, 50);
    CCatalogHolder holder(strCatalog);
    ASSERT_TRUE(holder.Holding());
    const RunResult result = Run("--backup " + Quoted(strCatalog));
    EXPECT_EQ(result.nExit, 3);
    EXPECT_NE(
        result.strOut.find("This operation cannot be performed because the catalog is in use.\n"),
        std::string::npos)
        << result.strOut;
    EXPECT_EQ(ReadFile(m_dir.file("backup/catalog.vfc")), "");
}

TEST_F(HeadlessTest, VerifyResultsAndExitCodes) {
    const std::string strCatalog = m_dir.file("catalog.vfc");
    MakeCatalog(strCatalog, 300);
    DamageIndex(strCatalog);
    RunResult result = Run("--verify --no-repair " + Quoted(strCatalog));
    EXPECT_EQ(result.nExit, 2);
    EXPECT_NE(result.strOut.find("Errors have been detected that were not repaired.  See the log "
                                 "file for more information.\n"),
              std::string::npos)
        << result.strOut;
    // A catalog repaired during the backup's check is still backed up.
    result = Run("--backup " + Quoted(strCatalog));
    EXPECT_EQ(result.nExit, 0) << result.strOut;
    EXPECT_NE(result.strOut.find("Catalog backup completed successfully.\n"), std::string::npos);
    EXPECT_EQ(IntegrityOf(m_dir.file("backup/catalog.vfc")), "ok");

    DamageRecords(strCatalog);
    result = Run("--backup " + Quoted(strCatalog));
    EXPECT_EQ(result.nExit, 2);
    EXPECT_NE(result.strOut.find("Catalog backup cannot be performed because unrecoverable errors "
                                 "have been detected."),
              std::string::npos)
        << result.strOut;
}

TEST_F(HeadlessTest, BadCatalogsGiveMessagesNotCrashes) {
    // Missing.
    RunResult result = Run("--verify " + Quoted(m_dir.file("missing.vfc")));
    EXPECT_EQ(result.nExit, 4);
    EXPECT_NE(result.strErr.find("Unable to locate Zelto Catalog."), std::string::npos);
    // A folder.
    result = Run("--verify " + Quoted(m_dir.path()));
    EXPECT_EQ(result.nExit, 4);
    // Not a catalog.
    const std::string strText = m_dir.file("notes.vfc");
    WriteFile(strText, "just some notes\n");
    result = Run("--verify " + Quoted(strText));
    EXPECT_EQ(result.nExit, 1);
    EXPECT_NE(result.strOut.find("Unexpected error detected (Invalid Catalog File).  Please "
                                 "contact Customer Support."),
              std::string::npos)
        << result.strOut;
    EXPECT_EQ(ReadFile(strText), "just some notes\n");
    // A backup folder that cannot be made.
    const std::string strSub = m_dir.file("sub");
    ::mkdir(strSub.c_str(), 0755);
    MakeCatalog(strSub + "/catalog.vfc", 5);
    WriteFile(strSub + "/backup", "a file in the way");
    result = Run("--backup " + Quoted(strSub + "/catalog.vfc"));
    EXPECT_EQ(result.nExit, 4);
    EXPECT_NE(result.strErr.find("Unable to create backup directory " + strSub + "/backup"),
              std::string::npos)
        << result.strErr;
}

TEST_F(HeadlessTest, CorruptBackupLeavesTheCatalogAsItWas) {
    const std::string strCatalog = m_dir.file("catalog.vfc");
    MakeCatalog(strCatalog, 100);
    ASSERT_EQ(Run("--backup " + Quoted(strCatalog)).nExit, 0);
    WriteFile(m_dir.file("backup/catalog.vfc"), std::string(9000, 'x'));
    const std::string strBefore = ReadFile(strCatalog);
    const RunResult result = Run("--restore " + Quoted(strCatalog));
    EXPECT_EQ(result.nExit, 1);
    EXPECT_NE(result.strOut.find("Catalog restore failed.  See the log file for more information."),
              std::string::npos);
    EXPECT_EQ(ReadFile(strCatalog), strBefore);
}

TEST_F(HeadlessTest, CatalogInAFolderWithoutWritePermission) {
    const std::string strSub = m_dir.file("locked");
    ::mkdir(strSub.c_str(), 0755);
    MakeCatalog(strSub + "/catalog.vfc", 5);
    ::chmod(strSub.c_str(), 0555);
    const RunResult result = Run("--backup " + Quoted(strSub + "/catalog.vfc"));
    ::chmod(strSub.c_str(), 0755);
    EXPECT_EQ(result.nExit, 4);
    EXPECT_NE(result.strErr.find("Unable to create backup directory"), std::string::npos);
}

TEST_F(HeadlessTest, TheSystemLogGetsTheGlueLines) {
    const std::string strLog = m_dir.file("system.log");
    QNPrefSetString("SystemLog", "LogFilename", strLog.c_str(), QNINI_INIFILENAME);
    QNPrefSetString("SystemLog", "TracingFilter", "0x1", QNINI_INIFILENAME);
    const std::string strCatalog = m_dir.file("catalog.vfc");
    MakeCatalog(strCatalog, 10);
    ASSERT_EQ(Run("--backup " + Quoted(strCatalog)).nExit, 0);
    const std::string strText = ReadFile(strLog);
    EXPECT_NE(strText.find("ENTER: DBUVerify...\r\n"), std::string::npos) << strText;
    EXPECT_NE(strText.find("QNDBU: DBUVerify '" + strCatalog + "', RepairErrors=TRUE\r\n"),
              std::string::npos)
        << strText;
    EXPECT_NE(strText.find("ENTER: DBUBackup...\r\n"), std::string::npos);
    EXPECT_NE(strText.find("QNDBU: DBUBackup Source='" + strCatalog + "', Destination='" +
                           m_dir.file("backup") + "'\r\n"),
              std::string::npos)
        << strText;
    ASSERT_EQ(Run("--restore " + Quoted(strCatalog)).nExit, 0);
    const std::string strAfter = ReadFile(strLog);
    EXPECT_NE(strAfter.find("ENTER: DBURestore...\r\n"), std::string::npos);
    EXPECT_NE(strAfter.find("QNDBU: DBURestore Source='" + m_dir.file("backup/catalog.vfc") +
                            "', Destination='" + m_dir.path() + "'\r\n"),
              std::string::npos)
        << strAfter;
    ASSERT_EQ(Run("--verify --no-repair " + Quoted(strCatalog)).nExit, 0);
    EXPECT_NE(
        ReadFile(strLog).find("QNDBU: DBUVerify '" + strCatalog + "', RepairErrors=FALSE\r\n"),
        std::string::npos);
}

TEST_F(HeadlessTest, TheDialogStartsOnTheCatalogFromItsCommandLine) {
    const std::string strCatalog = m_dir.file("catalog.vfc");
    MakeCatalog(strCatalog, 5);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const pid_t pid = Spawn({QN_CATMAINT_PROGRAM, strCatalog});
    ASSERT_GT(pid, 0);
    // Start-up made the backup folder; the dialog then runs until it is closed.
    const bool fStarted = WaitFor(
        [&] {
            struct stat st {};
            return ::stat(m_dir.file("backup").c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        },
        10000);
    EXPECT_TRUE(fStarted);
    ::usleep(300 * 1000);
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), 0) << "the dialog is still open";
    ::kill(pid, SIGTERM);
    WaitChild(pid);
    // A path given on the command line is not remembered as the last catalog.
    EXPECT_EQ(PickListCatalog(), "");
}

}  // namespace

// The maintenance program's start-up, paths, progress rules, and its headless mode run as a
// real program on real catalogs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "catalogs.h"
#include "foundation/prefs.h"
#include "headless.h"
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

TEST(MaintCommandLine, FormsAndRefusals) {
    struct Case {
        std::vector<std::string> args;
        MaintCommand command;
        const char* pszCatalog;
        bool fRepair;
        bool fYes;
        const char* pszError;  // part of the error, "" for none
    };
    const Case cases[] = {
        {{}, MaintCommand::Dialog, "", true, false, ""},
        {{"my", "catalog.vfc"}, MaintCommand::Dialog, "my catalog.vfc", true, false, ""},
        {{"--", "-odd.vfc"}, MaintCommand::Dialog, "-odd.vfc", true, false, ""},
        {{"-h"}, MaintCommand::Help, "", true, false, ""},
        {{"c.vfc", "--help"}, MaintCommand::Help, "", true, false, ""},
        {{"--version"}, MaintCommand::Version, "", true, false, ""},
        {{"--verify", "c.vfc"}, MaintCommand::Verify, "c.vfc", true, false, ""},
        {{"c.vfc", "--verify", "--no-repair"}, MaintCommand::Verify, "c.vfc", false, false, ""},
        {{"--backup"}, MaintCommand::Backup, "", true, false, ""},
        {{"--restore", "--yes", "c.vfc"}, MaintCommand::Restore, "c.vfc", true, true, ""},
        {{"--restore", "c.vfc"}, MaintCommand::Restore, "c.vfc", true, false, ""},
        {{"--backup", "--verify"}, MaintCommand::Backup, "", true, false, "one command"},
        {{"--backup", "--no-repair"}, MaintCommand::Backup, "", false, false, "--no-repair"},
        {{"--verify", "--yes"}, MaintCommand::Verify, "", true, true, "--yes"},
        {{"--verify", "a.vfc", "b.vfc"}, MaintCommand::Verify, "", true, false, "'b.vfc'"},
        {{"--frobnicate"}, MaintCommand::Dialog, "", true, false, "frobnicate"},
        {{"-x", "c.vfc"}, MaintCommand::Dialog, "", true, false, "x"},
        {{"--verify=1"}, MaintCommand::Dialog, "", true, false, "verify"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> strings = {"catmaint"};
        strings.insert(strings.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (std::string& str : strings) {
            argv.push_back(str.data());
        }
        argv.push_back(nullptr);
        const MaintCommandLine parsed =
            ParseMaintCommandLine(static_cast<int>(strings.size()), argv.data());
        const std::string strWhat = testing::PrintToString(c.args);
        if (*c.pszError != '\0') {
            EXPECT_NE(parsed.strError.find(c.pszError), std::string::npos)
                << strWhat << ": " << parsed.strError;
            continue;
        }
        EXPECT_EQ(parsed.strError, "") << strWhat;
        EXPECT_EQ(parsed.command, c.command) << strWhat;
        EXPECT_EQ(parsed.strCatalog, c.pszCatalog) << strWhat;
        EXPECT_EQ(parsed.fRepair, c.fRepair) << strWhat;
        EXPECT_EQ(parsed.fYes, c.fYes) << strWhat;
    }
}

TEST(MaintHelpFile, InstalledDataFolderFirstThenBesideTheProgram) {
    struct Case {
        bool fInstalled;
        bool fBeside;
        const char* pszExpected;  // below the prefix
    };
    const Case cases[] = {
        {true, true, "/bin/../share/quillon/CATMAINT.HLP"},
        {true, false, "/bin/../share/quillon/CATMAINT.HLP"},
        {false, true, "/bin/CATMAINT.HLP"},
        {false, false, "/bin/../share/quillon/CATMAINT.HLP"},  // for the message
    };
    for (const Case& c : cases) {
        TempDir prefix;
        ASSERT_EQ(::mkdir(prefix.file("bin").c_str(), 0755), 0);
        if (c.fInstalled) {
            ASSERT_EQ(::mkdir(prefix.file("share").c_str(), 0755), 0);
            ASSERT_EQ(::mkdir(prefix.file("share/quillon").c_str(), 0755), 0);
            WriteFile(prefix.file("share/quillon/CATMAINT.HLP"), "installed");
        }
        if (c.fBeside) {
            WriteFile(prefix.file("bin/CATMAINT.HLP"), "beside");
        }
        EXPECT_EQ(HelpFileIn(prefix.file("bin"), "CATMAINT.HLP"), prefix.path() + c.pszExpected)
            << c.fInstalled << c.fBeside;
    }
}

TEST(MaintBackup, TheFolderOfARepairedCatalogsBackupIsNamedByItsTime) {
    const MaintPaths paths = DerivePaths("/data/cat/catalog.vfc");
    struct tm tmWhen {};
    tmWhen.tm_year = 2026 - 1900;
    tmWhen.tm_mon = 11;
    tmWhen.tm_mday = 11;
    tmWhen.tm_hour = 9;
    tmWhen.tm_min = 5;
    tmWhen.tm_sec = 7;
    tmWhen.tm_isdst = -1;
    const long long tmSeconds = static_cast<long long>(std::mktime(&tmWhen));
    EXPECT_EQ(RepairedBackupFolder(paths, tmSeconds), "/data/cat/backup/repaired-20261211-090507");
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
    // Runs the program on a terminal (script(1) makes one) and types strAnswer once a
    // question shows; the transcript (both streams) lands in strOut.
    RunResult RunOnTerminal(const std::string& strArgs, const std::string& strAnswer) {
        const std::string strTranscript = m_dir.file("terminal.txt");
        ::unlink(strTranscript.c_str());
        const std::string strCommand =
            "(for _ in $(seq 200); do grep -q 'y/N' '" + strTranscript +
            "' 2>/dev/null && break; sleep 0.05; done; printf '%s\\n' '" + strAnswer +
            "'; sleep 0.5) | script -qfec \"" + PermissionsBindCommandPrefix() + "'" +
            QN_CATMAINT_PROGRAM + "' " + strArgs + "\" '" + strTranscript + "' > /dev/null";
        const int nStatus = std::system(strCommand.c_str());
        RunResult result;
        result.nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
        result.strOut = ReadFile(strTranscript);
        return result;
    }

    IsolatedEnvironment m_env;
    TempDir m_dir;
};

TEST_F(HeadlessTest, HelpVersionAndUsageErrorsNeedNoDisplay) {
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    ::unsetenv("QT_QPA_PLATFORM");
    struct Case {
        const char* pszArgs;
        int nExit;
        bool fOnOut;  // the text is on standard output (else on standard error)
        const char* pszText;
    };
    const Case cases[] = {
        {"-h", 0, true, "--restore [--yes]"},
        {"--help", 0, true, "Exit status:"},
        {"x.vfc -h", 0, true, "--verify [--no-repair]"},
        {"--version", 0, true, "Zelto Catalog Maintenance 2.00.72"},
        {"-x", 64, false, "catmaint: Unknown option 'x'."},
        {"--verify --yes x.vfc", 64, false, "--yes goes with --restore only"},
        {"--verify a.vfc b.vfc", 64, false, "unknown argument 'b.vfc'"},
        {"x.vfc", 1, false, "catmaint: no display for the dialog"},
    };
    for (const Case& c : cases) {
        const RunResult result = Run(c.pszArgs);
        EXPECT_EQ(result.nExit, c.nExit) << c.pszArgs << "\n" << result.strErr;
        const std::string& strStream = c.fOnOut ? result.strOut : result.strErr;
        EXPECT_NE(strStream.find(c.pszText), std::string::npos) << c.pszArgs << ":\n" << strStream;
        EXPECT_EQ((c.fOnOut ? result.strErr : result.strOut), "") << c.pszArgs;
    }
}

TEST_F(HeadlessTest, RestoreNeedsAConfirmation) {
    const std::string strCatalog = m_dir.file("catalog.vfc");
    MakeCatalog(strCatalog, 100);
    ASSERT_EQ(Run("--backup " + Quoted(strCatalog)).nExit, 0);
    const std::string strBackup = Contents(m_dir.file("backup/catalog.vfc"));
    AddRecords(strCatalog, 10, "late");
    const std::string strChanged = Contents(strCatalog);
    // Without a terminal and without --yes: refused, and the catalog stays as it is.
    RunResult result = Run("--restore " + Quoted(strCatalog));
    EXPECT_EQ(result.nExit, 64);
    EXPECT_NE(result.strErr.find("pass --yes to confirm"), std::string::npos) << result.strErr;
    EXPECT_EQ(Contents(strCatalog), strChanged);

    // On a terminal it is asked for; only "y" or "yes" restores.
    struct Case {
        const char* pszAnswer;
        int nExit;
        bool fRestored;
    };
    const Case cases[] = {{"n", 1, false}, {"", 1, false}, {"y", 0, true}};
    for (const Case& c : cases) {
        const RunResult terminal = RunOnTerminal("--restore " + Quoted(strCatalog), c.pszAnswer);
        EXPECT_EQ(terminal.nExit, c.nExit) << c.pszAnswer << "\n" << terminal.strOut;
        EXPECT_NE(terminal.strOut.find("Every change since that backup is lost. [y/N]"),
                  std::string::npos)
            << terminal.strOut;
        EXPECT_EQ(Contents(strCatalog), c.fRestored ? strBackup : strChanged) << c.pszAnswer;
        if (!c.fRestored) {
            EXPECT_NE(terminal.strOut.find("restore cancelled"), std::string::npos);
        }
    }
}

TEST_F(HeadlessTest, RestoreOfACatalogInUseOrWithoutABackup) {
    const std::string strCatalog = m_dir.file("catalog.vfc");
    MakeCatalog(strCatalog, 50);
    // With or without --yes: there is nothing to confirm.
    for (const char* pszArgs : {"--restore --yes ", "--restore "}) {
        const RunResult missing = Run(pszArgs + Quoted(strCatalog));
        EXPECT_EQ(missing.nExit, 4) << pszArgs;
        EXPECT_NE(missing.strOut.find("There is no backup to restore: " +
                                      m_dir.file("backup/catalog.vfc") + " does not exist."),
                  std::string::npos)
            << missing.strOut;
    }
    RunResult result;

    ASSERT_EQ(Run("--backup " + Quoted(strCatalog)).nExit, 0);
    AddRecords(strCatalog, 10, "late");
    const std::string strChanged = Contents(strCatalog);
    CCatalogHolder holder(strCatalog);
    ASSERT_TRUE(holder.Holding());
    result = Run("--restore --yes " + Quoted(strCatalog));
    EXPECT_EQ(result.nExit, 3);
    EXPECT_NE(
        result.strOut.find("This operation cannot be performed because the catalog is in use.\n"),
        std::string::npos)
        << result.strOut;
    holder.Release();
    EXPECT_EQ(Contents(strCatalog), strChanged);
}

TEST_F(HeadlessTest, ASkippedStructureCheckIsReportedWithItsReason) {
    const std::string strCatalog = m_dir.file("catalog.vfc");
    MakeCatalog(strCatalog, 20);
    const std::string strNote = "Structure check of '" + strCatalog +
                                "' skipped: the catalog store library cannot be loaded (tried " +
                                m_dir.file("no-catstore.so") + ").";
    for (const char* pszCommand : {"--verify", "--backup"}) {
        const RunResult result = Run(std::string(pszCommand) + " " + Quoted(strCatalog));
        EXPECT_EQ(result.nExit, 0) << result.strOut << result.strErr;
        EXPECT_NE(result.strOut.find(strNote + "\n"), std::string::npos) << result.strOut;
    }
    EXPECT_NE(ReadFile(m_dir.file("catalog.log")).find("  " + strNote + "\n"), std::string::npos)
        << ReadFile(m_dir.file("catalog.log"));

    // Without an override the soname is looked for before the development link.
    ::unsetenv("QUILLON_CATSTORE_LIBRARY");
    const RunResult found = Run("--verify " + Quoted(strCatalog));
    const size_t nSkipped = found.strOut.find("Structure check of");
    if (nSkipped != std::string::npos) {
        const std::string strLine =
            found.strOut.substr(nSkipped, found.strOut.find('\n', nSkipped));
        const size_t nSoname = strLine.find("libcatstore.so.2");
        EXPECT_NE(nSoname, std::string::npos) << strLine;
        if (strLine.find("cannot be loaded") != std::string::npos) {
            EXPECT_LT(nSoname, strLine.find("libcatstore.so;")) << strLine;
        }
    }
}

TEST_F(HeadlessTest, ABackupAfterARepairKeepsTheEarlierBackup) {
    const std::string strCatalog = m_dir.file("catalog.vfc");
    MakeCatalog(strCatalog, 300);
    ASSERT_EQ(Run("--backup " + Quoted(strCatalog)).nExit, 0);
    const std::string strGood = Contents(m_dir.file("backup/catalog.vfc"));
    DamageIndex(strCatalog);
    RunResult result = Run("--backup " + Quoted(strCatalog));
    EXPECT_EQ(result.nExit, 0) << result.strOut;
    EXPECT_NE(result.strOut.find("Catalog backup completed successfully.\n"), std::string::npos);
    EXPECT_NE(result.strOut.find("the earlier backup " + m_dir.file("backup/catalog.vfc") +
                                 " is kept for Restore"),
              std::string::npos)
        << result.strOut;
    EXPECT_EQ(Contents(m_dir.file("backup/catalog.vfc")), strGood) << "the earlier backup stays";
    // The repaired catalog went to a folder of its own.
    const size_t nAt = result.strOut.find("the repaired catalog is in ");
    ASSERT_NE(nAt, std::string::npos);
    const size_t nStart = nAt + std::strlen("the repaired catalog is in ");
    const std::string strRepaired =
        result.strOut.substr(nStart, result.strOut.find(".\n", nStart + 20) - nStart);
    EXPECT_EQ(strRepaired.rfind(m_dir.file("backup/repaired-"), 0), 0u) << strRepaired;
    EXPECT_EQ(IntegrityOf(strRepaired), "ok");
    EXPECT_NE(ReadFile(m_dir.file("catalog.log")).find("is kept for Restore"), std::string::npos);
    // A clean catalog is backed up over the earlier backup as always.
    AddRecords(strCatalog, 5, "late");
    ASSERT_EQ(Run("--backup " + Quoted(strCatalog)).nExit, 0);
    EXPECT_EQ(Contents(m_dir.file("backup/catalog.vfc")), Contents(strCatalog));
}

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
    result = Run("--restore --yes " + Quoted(strCatalog));
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
    EXPECT_NE(result.strErr.find("Looked for " + m_dir.file("missing.vfc") + "."),
              std::string::npos)
        << result.strErr;
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
    const RunResult result = Run("--restore --yes " + Quoted(strCatalog));
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
    ASSERT_EQ(Run("--restore --yes " + Quoted(strCatalog)).nExit, 0);
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

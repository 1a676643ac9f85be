#include "headless.h"

#include <sys/stat.h>

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>
#include <istream>
#include <ostream>
#include <string>
#include <utility>

#include "catdbu.h"
#include "maintcore.h"
#include "maintstrings.h"
#include "platform/paths.h"

namespace qn::maint {
namespace {

constexpr int kBarWidth = 40;

// Prints what the dialog shows: operation titles and messages on standard output, the progress
// bar on standard error (redrawn in place on a terminal, one finished bar per run otherwise).
class CConsoleView : public IMaintView, public IProgressSink {
  public:
    CConsoleView(std::ostream& out, std::ostream& err, bool fTerminal)
        : m_out(out), m_err(err), m_fTerminal(fTerminal) {}

    void StartOperation(unsigned nTitleId) override {
        EndBar();
        m_out << LoadResourceString(nTitleId) << '\n' << std::flush;
    }
    void ShowMessage(const std::string& strText) override {
        EndBar();
        m_out << strText << '\n' << std::flush;
    }
    void SetRange(long nEnd) override {
        EndBar();
        m_nEnd = nEnd > 0 ? nEnd : 0;
        m_nPosition = 0;
        m_fBarOpen = true;
        if (m_fTerminal) {
            DrawBar();
        }
    }
    void SetPosition(long nPosition) override {
        m_nPosition = nPosition;
        m_fBarOpen = true;
        const bool fLast = m_nEnd > 0 && nPosition >= m_nEnd;
        // On a terminal the bar is redrawn in place; elsewhere only the finished bar is written.
        if (m_fTerminal || fLast) {
            DrawBar();
        }
        if (fLast) {
            m_err << '\n' << std::flush;
            m_fBarOpen = false;
        }
    }
    void ShowNote(const std::string& strText) override {
        EndBar();
        m_out << strText << '\n' << std::flush;
    }
    void ShowProgressText(const char* pszText) override {
        EndBar();
        m_out << pszText << '\n' << std::flush;
    }
    void Finish() { EndBar(); }

  private:
    void DrawBar() {
        const long nEnd = m_nEnd > 0 ? m_nEnd : 1;
        long nPosition = m_nPosition < 0 ? 0 : (m_nPosition > nEnd ? nEnd : m_nPosition);
        const int nFilled = static_cast<int>(nPosition * kBarWidth / nEnd);
        const int nPercent = static_cast<int>(nPosition * 100 / nEnd);
        char szBar[kBarWidth + 1];
        for (int i = 0; i < kBarWidth; ++i) {
            szBar[i] = i < nFilled ? '#' : '.';
        }
        szBar[kBarWidth] = '\0';
        m_err << (m_fTerminal ? "\r" : "") << '[' << szBar << "] " << nPercent << '%' << std::flush;
    }
    void EndBar() {
        if (!m_fBarOpen) {
            return;
        }
        m_fBarOpen = false;
        if (m_fTerminal) {
            m_err << '\n' << std::flush;
        }
    }

    std::ostream& m_out;
    std::ostream& m_err;
    bool m_fTerminal;
    bool m_fBarOpen = false;
    long m_nEnd = 0;
    long m_nPosition = 0;
};

int ExitCodeOf(Outcome outcome) {
    switch (outcome) {
        case Outcome::Success:
        case Outcome::Repaired:
            return kExitSuccess;
        case Outcome::Corrupted:
            return kExitCorrupted;
        case Outcome::InUse:
            return kExitInUse;
        case Outcome::NoBackup:
            return kExitNoCatalog;
        case Outcome::Failed:
        case Outcome::Unexpected:
            return kExitFailed;
    }
    return kExitFailed;
}

// A restore throws away every change since the backup: on a terminal it is asked for, and
// elsewhere it needs --yes. Returns -1 to go on, or the exit code.
int ConfirmRestore(const MaintCommandLine& commandLine, const MaintPaths& paths,
                   const MaintConsole& console) {
    if (commandLine.fYes) {
        return -1;
    }
    if (!console.fInIsTerminal) {
        console.err << "catmaint: --restore replaces " << paths.strCatalog << " with its backup "
                    << paths.strBackup
                    << " and loses every change since that backup; pass --yes to confirm\n";
        return kExitUsage;
    }
    console.err << "Replace " << paths.strCatalog << " with its backup " << paths.strBackup
                << "? Every change since that backup is lost. [y/N] " << std::flush;
    std::string strAnswer;
    std::getline(console.in, strAnswer);
    if (strAnswer == "y" || strAnswer == "Y" || strAnswer == "yes" || strAnswer == "YES") {
        return -1;
    }
    console.err << "catmaint: restore cancelled; " << paths.strCatalog << " is unchanged\n";
    return kExitFailed;
}

}  // namespace

const char* HeadlessUsage() {
    return "Usage: catmaint [CATALOG]                         the maintenance dialog\n"
           "       catmaint --verify [--no-repair] [CATALOG]  check (and repair) the catalog\n"
           "       catmaint --backup [CATALOG]                check, then back up the catalog\n"
           "       catmaint --restore [--yes] [CATALOG]       put the last backup back\n"
           "       catmaint --help | -h                       this text\n"
           "       catmaint --version                         the version\n"
           "\n"
           "CATALOG defaults to the last catalog used, else vfc/catalog.vfc. The backup is kept\n"
           "in the folder \"backup\" beside the catalog; the log in the catalog's \".log\" file.\n"
           "A catalog that --backup's check has just repaired does not replace an earlier\n"
           "backup: that one stays for --restore, the repaired catalog goes to\n"
           "backup/repaired-YYYYMMDD-HHMMSS/.\n"
           "--restore asks for a confirmation on a terminal; elsewhere it needs --yes.\n"
           "\n"
           "Exit status: 0 done (errors found by --verify were repaired), 1 the operation failed\n"
           "or the restore was declined, 2 errors were found that were not repaired, 3 the\n"
           "catalog is in use, 4 the catalog, its backup folder or the backup to restore cannot\n"
           "be found or made, 64 a command line not understood or a --restore without --yes\n"
           "when standard input is no terminal.\n";
}

MaintCommandLine ParseMaintCommandLine(int argc, char** argv) {
    MaintCommandLine commandLine;
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i] != nullptr ? argv[i] : "");
    }
    QCommandLineParser parser;
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    const QCommandLineOption optHelp(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption optVersion(QStringLiteral("version"));
    const QCommandLineOption optVerify(QStringLiteral("verify"));
    const QCommandLineOption optBackup(QStringLiteral("backup"));
    const QCommandLineOption optRestore(QStringLiteral("restore"));
    const QCommandLineOption optNoRepair(QStringLiteral("no-repair"));
    const QCommandLineOption optYes(QStringLiteral("yes"));
    parser.addOptions({optHelp, optVersion, optVerify, optBackup, optRestore, optNoRepair, optYes});
    if (!parser.parse(arguments)) {
        commandLine.strError = parser.errorText().toStdString();
        return commandLine;
    }
    if (parser.isSet(optHelp)) {
        commandLine.command = MaintCommand::Help;
        return commandLine;
    }
    if (parser.isSet(optVersion)) {
        commandLine.command = MaintCommand::Version;
        return commandLine;
    }
    int cCommands = 0;
    for (const auto& [pOption, command] :
         {std::pair{&optVerify, MaintCommand::Verify}, std::pair{&optBackup, MaintCommand::Backup},
          std::pair{&optRestore, MaintCommand::Restore}}) {
        if (parser.isSet(*pOption)) {
            commandLine.command = command;
            ++cCommands;
        }
    }
    const QStringList operands = parser.positionalArguments();
    commandLine.fRepair = !parser.isSet(optNoRepair);
    commandLine.fYes = parser.isSet(optYes);
    if (cCommands > 1) {
        commandLine.strError = "give one command";
    } else if (!commandLine.fRepair && commandLine.command != MaintCommand::Verify) {
        commandLine.strError = "--no-repair goes with --verify only";
    } else if (commandLine.fYes && commandLine.command != MaintCommand::Restore) {
        commandLine.strError = "--yes goes with --restore only";
    } else if (commandLine.command == MaintCommand::Dialog) {
        commandLine.strCatalog = operands.join(QLatin1Char(' ')).toStdString();
    } else if (operands.size() > 1) {
        commandLine.strError = "unknown argument '" + operands[1].toStdString() + "'";
    } else if (!operands.isEmpty()) {
        commandLine.strCatalog = operands.front().toStdString();
    }
    return commandLine;
}

int RunHeadless(const MaintCommandLine& commandLine, const MaintConsole& console) {
    if (!commandLine.strError.empty()) {
        console.err << "catmaint: " << commandLine.strError << '\n' << HeadlessUsage();
        return kExitUsage;
    }
    switch (commandLine.command) {
        case MaintCommand::Help:
            console.out << HeadlessUsage();
            return kExitSuccess;
        case MaintCommand::Version:
            console.out << LoadResourceString(IDS_PROGRAM_TITLE) << ' ' << kVersionText << '\n';
            return kExitSuccess;
        case MaintCommand::Dialog:
            console.err << HeadlessUsage();
            return kExitUsage;
        default:
            break;
    }

    const StartupResult startup = FindCatalog(commandLine.strCatalog, {});
    if (!startup.fOk) {
        console.err << startup.strError;
        if (!startup.strLookedFor.empty()) {
            console.err << "  Looked for " << startup.strLookedFor << '.';
        }
        console.err << '\n';
        return kExitNoCatalog;
    }
    // Without a backup there is nothing to confirm: the restore says so and where it looked.
    struct stat stBackup {};
    if (commandLine.command == MaintCommand::Restore &&
        ::stat(startup.paths.strBackup.c_str(), &stBackup) == 0) {
        const int nExit = ConfirmRestore(commandLine, startup.paths, console);
        if (nExit >= 0) {
            return nExit;
        }
    }
    DBUSetWorkPath(qn::platform::ExecutableDirectory().c_str());
    CConsoleView view(console.out, console.err, console.fErrIsTerminal);
    AttachProgress(&view);
    CommandResult result;
    switch (commandLine.command) {
        case MaintCommand::Verify:
            result = RunVerify(view, startup.paths, commandLine.fRepair);
            break;
        case MaintCommand::Backup:
            result = RunBackup(view, startup.paths);
            break;
        default:
            result = RunRestore(view, startup.paths);
            break;
    }
    view.Finish();
    AttachProgress(nullptr);
    return ExitCodeOf(result.outcome);
}

}  // namespace qn::maint

#include "headless.h"

#include <cstring>
#include <ostream>
#include <string>

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
        case Outcome::Failed:
        case Outcome::Unexpected:
            return kExitFailed;
    }
    return kExitFailed;
}

}  // namespace

const char* HeadlessUsage() {
    return "Usage: catmaint [CATALOG]                         the maintenance dialog\n"
           "       catmaint --verify [--no-repair] [CATALOG]  check (and repair) the catalog\n"
           "       catmaint --backup [CATALOG]                check, then back up the catalog\n"
           "       catmaint --restore [CATALOG]               put the last backup back\n"
           "       catmaint --help                            this text\n"
           "\n"
           "CATALOG defaults to the last catalog used, else vfc/catalog.vfc. The backup is kept\n"
           "in the folder \"backup\" beside the catalog; the log in the catalog's \".log\" file.\n"
           "\n"
           "Exit status: 0 done (errors found by --verify were repaired), 1 the operation failed,\n"
           "2 errors were found that were not repaired, 3 the catalog is in use, 4 the catalog\n"
           "or its backup folder cannot be found or made, 64 a command line not understood.\n";
}

bool IsHeadlessCommandLine(int argc, char** argv) {
    return argc > 1 && argv[1] != nullptr && std::strncmp(argv[1], "--", 2) == 0;
}

int RunHeadless(int argc, char** argv, std::ostream& out, std::ostream& err, bool fErrIsTerminal) {
    enum class Command { None, Verify, Backup, Restore, Help } command = Command::None;
    bool fRepair = true;
    std::string strCatalog;
    for (int i = 1; i < argc; ++i) {
        const std::string strArg = argv[i] != nullptr ? argv[i] : "";
        Command next = Command::None;
        if (strArg == "--verify") {
            next = Command::Verify;
        } else if (strArg == "--backup") {
            next = Command::Backup;
        } else if (strArg == "--restore") {
            next = Command::Restore;
        } else if (strArg == "--help" || strArg == "-h") {
            next = Command::Help;
        } else if (strArg == "--no-repair") {
            fRepair = false;
            continue;
        } else if (strArg == "--") {
            if (i + 1 < argc && strCatalog.empty() && i + 2 == argc) {
                strCatalog = argv[++i];
                continue;
            }
            err << HeadlessUsage();
            return kExitUsage;
        } else if (strArg.rfind("--", 0) == 0 || !strCatalog.empty()) {
            err << "catmaint: unknown argument '" << strArg << "'\n" << HeadlessUsage();
            return kExitUsage;
        } else {
            strCatalog = strArg;
            continue;
        }
        if (command != Command::None && command != next) {
            err << "catmaint: give one command\n" << HeadlessUsage();
            return kExitUsage;
        }
        command = next;
    }
    if (command == Command::Help) {
        out << HeadlessUsage();
        return kExitSuccess;
    }
    if (command == Command::None || (!fRepair && command != Command::Verify)) {
        err << HeadlessUsage();
        return kExitUsage;
    }

    const StartupResult startup = FindCatalog(strCatalog, {});
    if (!startup.fOk) {
        err << startup.strError << '\n';
        return kExitNoCatalog;
    }
    DBUSetWorkPath(qn::platform::ExecutableDirectory().c_str());
    CConsoleView view(out, err, fErrIsTerminal);
    AttachProgress(&view);
    CommandResult result;
    switch (command) {
        case Command::Verify:
            result = RunVerify(view, startup.paths, fRepair);
            break;
        case Command::Backup:
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

// The maintenance program's command line, and its mode without windows for scripts and
// scheduled jobs:
//   catmaint [CATALOG]                          the dialog
//   catmaint --verify [--no-repair] [CATALOG]
//   catmaint --backup [CATALOG]
//   catmaint --restore [--yes] [CATALOG]
//   catmaint --help | -h | --version
// The headless forms print the same messages as the dialog, with a text progress bar on
// standard error, and exit with one of the codes below. None of them needs a display: the
// command line is read before any application object exists.
#pragma once

#include <iosfwd>
#include <string>

namespace qn::maint {

enum ExitCode : int {
    kExitSuccess = 0,    // done (a verification may have repaired errors)
    kExitFailed = 1,     // the backup or restore failed, was declined, or an unexpected error
    kExitCorrupted = 2,  // errors were found that were not repaired
    kExitInUse = 3,      // the catalog is open in another process
    kExitNoCatalog = 4,  // the catalog, its backup folder or the backup to restore is missing
    kExitUsage = 64,     // the command line is not understood (or --restore lacks --yes)
};

enum class MaintCommand { Dialog, Help, Version, Verify, Backup, Restore };

struct MaintCommandLine {
    MaintCommand command = MaintCommand::Dialog;
    bool fRepair = true;
    bool fYes = false;
    // The catalog operand; for the dialog every operand joined by blanks, as a path with
    // blanks typed without quotes still names the catalog.
    std::string strCatalog;
    std::string strError;  // not empty: the command line is not understood
};

MaintCommandLine ParseMaintCommandLine(int argc, char** argv);

// The terminal the headless mode talks to.
struct MaintConsole {
    std::istream& in;
    bool fInIsTerminal;
    std::ostream& out;
    std::ostream& err;
    bool fErrIsTerminal;
};

// Runs a command line other than the dialog; returns the exit code.
int RunHeadless(const MaintCommandLine& commandLine, const MaintConsole& console);
// The --help text.
const char* HeadlessUsage();

}  // namespace qn::maint

// The maintenance program without windows, for scripts and scheduled jobs:
//   catmaint --verify [--no-repair] [CATALOG]
//   catmaint --backup [CATALOG]
//   catmaint --restore [CATALOG]
//   catmaint --help
// It prints the same messages as the dialog, with a text progress bar on standard error, and
// exits with one of the codes below.
#pragma once

#include <iosfwd>

namespace qn::maint {

enum ExitCode : int {
    kExitSuccess = 0,    // done (a verification may have repaired errors)
    kExitFailed = 1,     // the backup or restore failed, or an unexpected error
    kExitCorrupted = 2,  // errors were found that were not repaired
    kExitInUse = 3,      // the catalog is open in another process
    kExitNoCatalog = 4,  // the catalog cannot be found or its backup folder cannot be made
    kExitUsage = 64,     // the command line is not understood
};

// True when the command line asks for the headless mode (its first argument starts with "--").
bool IsHeadlessCommandLine(int argc, char** argv);
// Runs the headless mode; returns the exit code.
int RunHeadless(int argc, char** argv, std::ostream& out, std::ostream& err, bool fErrIsTerminal);
// The --help text.
const char* HeadlessUsage();

}  // namespace qn::maint

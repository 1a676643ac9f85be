// qndemo: writes a few traces, a timer pair and an assertion report to the shared system log and
// prints where the log is. When the client settings name no log file, the log goes to
// "quillon-demo.log" in the per-user configuration folder (or the path given as the argument).
//
//   qndemo [LOGFILE]

#include <unistd.h>

#include <cstdio>
#include <string>

#include "foundation/prefs.h"
#include "foundation/qnstatus.h"
#include "foundation/status.h"
#include "foundation/syslog.h"
#include "platform/paths.h"
#include "qnplatform.h"

namespace {

int ShowBox(const char* pszText, const char* pszCaption, unsigned int uType, void*) {
    // A console program: the box is shown as text and answered like the default handler.
    fprintf(stderr, "[%s] %s\n", pszCaption, pszText);
    return QNDefaultMessageBoxAnswer(uType);
}

}  // namespace

int main(int argc, char** argv) {
    QNSetMessageBoxHandler(ShowBox, nullptr);
    if (!QNSysLogAttach()) {
        fprintf(stderr, "qndemo: cannot attach to the shared log state block\n");
        return 1;
    }
    std::string strLog = QNGetLogFilename();
    if (strLog.empty()) {
        strLog = argc > 1 ? argv[1] : qn::platform::ConfigDirectory() + "/quillon-demo.log";
        if (!QNSysLogUseFile(strLog.c_str())) {
            fprintf(stderr, "qndemo: cannot use the log file %s\n", strLog.c_str());
            return 1;
        }
    }
    if (QNSysLogFileDescriptor() < 0) {
        // The configured log could not be opened (the box above says so): nothing would land.
        fprintf(stderr, "qndemo: cannot open the log file %s\n", strLog.c_str());
        return 1;
    }

    QNTrace(QNTRACE_ALWAYS, "qndemo: process %ld writes to the shared system log\r\n",
            static_cast<long>(getpid()));
    QNTrace(QNTRACE_ALWAYS,
            "qndemo: settings DBTimeout=%d DBCachePages=%d SMCachePages=%u "
            "TracingFilter=0x%X TimingFilter=0x%X\r\n",
            QNGetDBTimeout(), QNGetDBCachePages(), static_cast<unsigned>(QNGetSMCachePages()),
            QNGetTracingFilter(), QNGetTimingFilter());
    QNEntryTrace("qndemo::main");

    // A timer pair: written whatever the filter says, as category 0.
    QNTimerStart(QNTRACE_ALWAYS, "TIMER: Start %s", "qndemo");
    usleep(25 * 1000);
    QNTimerStop(QNTRACE_ALWAYS, "TIMER: Stop %s", "qndemo");

    // A status with a condition chain, then an assertion report (logged whether or not
    // assertion checking shows it).
    CQNStatus status;
    status.PushCondition(new CQNNumberedCondition(2));
    status.PushCondition(new CQNMessageCondition(13, strLog.c_str()));
    QNTrace(QNTRACE_ALWAYS, "qndemo: status %s\r\n", status.Description().c_str());
    QNTrace(QNTRACE_ALWAYS, "qndemo: %s\r\n", QNUnexpectedErrorText(EXSM_LOCK_ERROR).c_str());
    QNLoggedMessageBox(QNAssertionText("DBStatus < NUM_DBERRORS", "qndemo").c_str(),
                       "Quillon Assertion Error",
                       QN_MB_TASKMODAL | QN_MB_ICONSTOP | QN_MB_OKCANCEL);

    printf("System log: %s\n", strLog.c_str());
    return 0;
}

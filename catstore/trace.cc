#include "trace.h"

#include <cstdarg>
#include <string>

#include "foundation/syslog.h"
#include "qnplatform.h"

namespace catstore {

// Writing the log never fails a call: a line that cannot be formatted for want of memory is
// lost, the call goes on (many lines are written after a change was already committed).

void LogLine(uint32_t dwCategory, const char* pszFormat, ...) {
    if (!QNTraceEnabled(dwCategory)) {
        return;
    }
    va_list args;
    va_start(args, pszFormat);
    try {
        QNTraceV(dwCategory, pszFormat, args);
    } catch (...) {
    }
    va_end(args);
}

void TimerStart(const char* pszText) {
    try {
        QNTimerStart(LOG_STORE, "%s", pszText);
    } catch (...) {
    }
}

void TimerStop(const char* pszText) {
    try {
        QNTimerStop(LOG_STORE, "%s", pszText);
    } catch (...) {
    }
}

void ReportAssertion(const char* pszExpression, const char* pszModule) {
    try {
        QNAssertFailed(pszExpression, pszModule);
    } catch (...) {
    }
}

void ReportText(const char* pszText, const char* pszTitle) {
    QNLoggedMessageBox(pszText, pszTitle, QN_MB_OK | QN_MB_TASKMODAL | QN_MB_ICONSTOP);
}

int ShowBox(const char* pszText, const char* pszCaption, unsigned uType) {
    try {
        std::string strLine =
            std::string("\r\nQNMSGBOX: ") + pszCaption + "\r\n" + pszText + "\r\n";
        QNLogWrite(strLine.c_str());
    } catch (...) {
    }
    return QNMessageBox(pszText, pszCaption, uType);
}

void ShowLowMemoryBox(const char* pszText) {
    ShowBox(pszText, "Zelto Catalog -- Low Memory Error", QN_MB_TASKMODAL | QN_MB_ICONSTOP);
}

uint32_t ElapsedMilliseconds() {
    return QNLogElapsed();
}
uint32_t TuningDBTimeout() {
    int32_t n = QNGetDBTimeout();
    return n > 0 ? static_cast<uint32_t>(n) : 0;
}
uint32_t TuningDBCachePages() {
    int32_t n = QNGetDBCachePages();
    return n > 0 ? static_cast<uint32_t>(n) : 0;
}
uint32_t TuningSMCachePages() {
    return QNGetSMCachePages();
}
uint32_t TuningTestingFilter() {
    return QNGetTestingFilter();
}

}  // namespace catstore

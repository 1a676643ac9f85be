// Logging, timers, assertions and boxes of the catalog store, on top of the shared system log.
#pragma once

#include <cstdint>

namespace catstore {

inline constexpr uint32_t LOG_ENTER = 1;     // "ENTER: " lines of exported calls
inline constexpr uint32_t LOG_ENGINE = 256;  // engine errors ("EXDB: ...")
inline constexpr uint32_t LOG_STORE = 512;   // store traces ("EXSM: ...", "CHGLOG: ...")

// One line (the caller supplies "\r\n") under a category mask; category 0 is always written.
void LogLine(uint32_t dwCategory, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
// Timer lines (category 512): the start line opens a timer level, the stop line closes it and
// carries the time spent.
void TimerStart(const char* pszText);
void TimerStop(const char* pszText);
// "Assertion (<expr>) failed in <module>\r\n\r\nPlease report this problem to Customer
// Support...Thank You": logged, shown only while assertion checking is on; execution goes on.
void ReportAssertion(const char* pszExpression, const char* pszModule);
// A free-text assertion report with a title (the packet report of the lock manager).
void ReportText(const char* pszText, const char* pszTitle);
// A message box through the process's box handler; the box is logged first.
int ShowBox(const char* pszText, const char* pszCaption, unsigned uType);
// The task-modal "Zelto Catalog -- Low Memory Error" box.
void ShowLowMemoryBox(const char* pszText);
// Milliseconds of the shared timer base (since the log state started).
uint32_t ElapsedMilliseconds();
// Tuning values (section "DBTuning" / "SystemLog" of the client settings).
uint32_t TuningDBTimeout();
uint32_t TuningDBCachePages();
uint32_t TuningSMCachePages();
uint32_t TuningTestingFilter();

}  // namespace catstore

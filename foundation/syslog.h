// The shared system log and the tuning settings.
//
// Every module that carries the foundation (each shared library and program links it statically)
// attaches to one shared block, "QNLOG_STATE_INFO", that holds the settings, the time base, the
// timer stack and the log file name for every process of the user. The first module to create
// the block reads the settings from the client preferences ("SystemLog" and "DBTuning" sections
// of "QNCLIENT.INI", see prefs.h), sets the time base and starts a new log file; later modules
// and processes append to it. Each module keeps its own log file descriptor.
//
// Every write to the log file and every timer push and pop holds the block's cross-process lock,
// and every write lands at the end of the file, so lines of different processes never
// interleave within a line. When the lock cannot be had within 5000 ms the line is dropped (and
// reported to the debug output); nothing is written unlocked.
//
// Every call attaches on first use; QNSysLogAttach only makes that explicit. Thread-safe.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

#if defined(__GNUC__)
#define QN_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define QN_PRINTF_LIKE(fmt, args)
#endif

// ---- The shared block -----------------------------------------------------------------------

inline constexpr const char* QNLOG_STATE_BLOCK_NAME = "QNLOG_STATE_INFO";
inline constexpr size_t QNLOG_FILENAME_SIZE = 260;
inline constexpr size_t QNLOG_TIMER_SLOTS = 256;
// Usable timer levels: slot 0 is never used.
inline constexpr int QNLOG_MAX_TIMERS = 255;

// Layout shared by every module of every process; never change it.
struct QNLOG_STATE_INFO {
    // Settings record (the first 320 bytes).
    int32_t AssertionChecking;
    int32_t BreakOnEntryPoint;
    int32_t BreakOnError;
    int32_t DebugOutput;  // 0 none, 1 monochrome display (falls back to 0 here), 2 standard error
    uint32_t TestingFilter;
    uint32_t TimingFilter;
    uint32_t TracingFilter;
    int32_t BeepInLockQueue;
    int32_t CommitViaDupClose;
    int32_t DBCachePages;
    int32_t DBTimeout;
    int32_t NapInDBLAccess;
    int32_t NapInTAFAccess;
    int32_t NapInLockQueue;
    uint16_t SMCachePages;
    char LogFilename[QNLOG_FILENAME_SIZE];
    uint8_t Padding1[2];
    // Running state.
    uint32_t TimerStack[QNLOG_TIMER_SLOTS];  // start (ms since the time base) by depth
    uint32_t TimeBase;                       // tick count when the settings were read
    int16_t TimerDepth;                      // open timers
    uint8_t Padding2[2];
};

static_assert(sizeof(QNLOG_STATE_INFO) == 1352);
static_assert(offsetof(QNLOG_STATE_INFO, AssertionChecking) == 0);
static_assert(offsetof(QNLOG_STATE_INFO, BreakOnEntryPoint) == 4);
static_assert(offsetof(QNLOG_STATE_INFO, BreakOnError) == 8);
static_assert(offsetof(QNLOG_STATE_INFO, DebugOutput) == 12);
static_assert(offsetof(QNLOG_STATE_INFO, TestingFilter) == 16);
static_assert(offsetof(QNLOG_STATE_INFO, TimingFilter) == 20);
static_assert(offsetof(QNLOG_STATE_INFO, TracingFilter) == 24);
static_assert(offsetof(QNLOG_STATE_INFO, BeepInLockQueue) == 28);
static_assert(offsetof(QNLOG_STATE_INFO, CommitViaDupClose) == 32);
static_assert(offsetof(QNLOG_STATE_INFO, DBCachePages) == 36);
static_assert(offsetof(QNLOG_STATE_INFO, DBTimeout) == 40);
static_assert(offsetof(QNLOG_STATE_INFO, NapInDBLAccess) == 44);
static_assert(offsetof(QNLOG_STATE_INFO, NapInTAFAccess) == 48);
static_assert(offsetof(QNLOG_STATE_INFO, NapInLockQueue) == 52);
static_assert(offsetof(QNLOG_STATE_INFO, SMCachePages) == 56);
static_assert(offsetof(QNLOG_STATE_INFO, LogFilename) == 58);
static_assert(offsetof(QNLOG_STATE_INFO, Padding1) == 318);
static_assert(offsetof(QNLOG_STATE_INFO, TimerStack) == 320);
static_assert(offsetof(QNLOG_STATE_INFO, TimeBase) == 1344);
static_assert(offsetof(QNLOG_STATE_INFO, TimerDepth) == 1348);
static_assert(offsetof(QNLOG_STATE_INFO, Padding2) == 1350);

// The image a new block starts from: the defaults of every setting.
extern const QNLOG_STATE_INFO g_QNLogDefaultState;

// ---- Trace categories -------------------------------------------------------------------------

inline constexpr uint32_t QNTRACE_ALWAYS = 0;         // always written
inline constexpr uint32_t QNTRACE_ENTRY = 0x1;        // "ENTER: " lines
inline constexpr uint32_t QNTRACE_DATABASE = 0x100;   // engine errors, integrity verification
inline constexpr uint32_t QNTRACE_INTERNALS = 0x200;  // catalog-store internals and timers
inline constexpr uint32_t QNTRACE_OBJECTS = 0x1000;   // the foundation's own objects

// TestingFilter bit: the memory-usage query walks and logs the heap.
inline constexpr uint32_t QNTESTING_HEAP_WALK = 0x200;

// ---- Module life --------------------------------------------------------------------------------

// Attaches this module to the block (creating and initialising it when this is the first module)
// and opens the log file when one is set. True when the block is attached. Idempotent.
bool QNSysLogAttach();
// Closes this module's log file and detaches from the block (module unload).
void QNSysLogDetach();
// True when this module's attachment created the block (and so read the settings).
bool QNSysLogCreatedBlock();
// This module's log file descriptor; -1 when no log file is open.
int QNSysLogFileDescriptor();
// For programs that want a log when none is configured: when the block has no log file name,
// sets pszPath as the log file and starts it afresh (truncating); modules and processes that
// attached before open it for appending at their next write.
// False (nothing changed) when a log file is already set, the path does not fit in 260
// characters, or the file cannot be opened (after the box).
bool QNSysLogUseFile(const char* pszPath);

// ---- Tracing ------------------------------------------------------------------------------------

// True when a trace of this category is written: 0, or a category sharing a bit with
// TracingFilter.
bool QNTraceEnabled(uint32_t dwCategory);
// Formats and writes a trace line; callers end their lines with "\r\n". Categories sharing a bit
// with TimingFilter get the prefix "%04u.%03u: " (seconds in 16 bits, milliseconds since the time
// base).
void QNTrace(uint32_t dwCategory, const char* pszFormat, ...) QN_PRINTF_LIKE(2, 3);
void QNTraceV(uint32_t dwCategory, const char* pszFormat, va_list args) QN_PRINTF_LIKE(2, 0);
// Entry trace: "ENTER: <pszName>...\r\n" (category 1), then the entry-point check.
void QNEntryTrace(const char* pszName);
// Calls the break hook when BreakOnEntryPoint is on.
void QNEntryPointCheck();

// Timer start: writes the text with "\r\n" and opens a timer level. Returns false when nothing was
// opened: the category is filtered out (nothing written), the lock could not be had, or 255
// timers are already open (then the line is written but no level is opened, so no slot outside
// the stack is ever touched).
bool QNTimerStart(uint32_t dwCategory, const char* pszFormat, ...) QN_PRINTF_LIKE(2, 3);
// Timer stop: closes the newest level and writes the text with " (T<level>=<s>.<ms> secs)\r\n".
// With no open timer the line is written with " (T0=0.000 secs)" and false is returned.
bool QNTimerStop(uint32_t dwCategory, const char* pszFormat, ...) QN_PRINTF_LIKE(2, 3);
// Number of open timers (the shared depth).
int QNTimerDepth();

// Writes text as it is to the log file (at its end, under the lock), then echoes it to standard
// error when DebugOutput is 2. A short write is retried once; then the box "Errors detecting
// writing log output to disk" is shown and the text is lost.
void QNLogWrite(const char* pszText);
void QNLogWriteBytes(const char* pchText, size_t cbText);

// Logs "\r\nQNMSGBOX: <caption>\r\n<message>\r\n"; then, with AssertionChecking off, returns 2
// (Cancel) without showing anything, else shows the box through QNMessageBox and returns the
// answer.
int QNLoggedMessageBox(const char* pszMessage, const char* pszCaption, unsigned int uType);

// ---- Assertions and the break hook ------------------------------------------------------------

// Shows "Assertion (<expression>) failed in <module>\r\n\r\nPlease report this problem to
// Customer Support...Thank You" through the logged message box, caption "Quillon Assertion
// Error", type 0x2011; Cancel calls the break hook. Execution continues.
void QNAssertFailed(const char* pszExpression, const char* pszModule);
// The assertion text without showing it (for tests and callers that log it elsewhere).
std::string QNAssertionText(const char* pszExpression, const char* pszModule);

// Checks expr only while AssertionChecking is on.
#define QNASSERT(expr, module)                     \
    do {                                           \
        if (QNGetAssertionChecking() && !(expr)) { \
            QNAssertFailed(#expr, module);         \
        }                                          \
    } while (0)

// The break hook: an empty operation where a debugger break may be attached. Counts its calls.
void QNBreakHook();
uint32_t QNBreakHookCount();

// ---- Settings ---------------------------------------------------------------------------------

// The block as it is now (the defaults when the block cannot be attached).
const QNLOG_STATE_INFO& QNLogState();

int32_t QNGetAssertionChecking();
int32_t QNGetBreakOnEntryPoint();
int32_t QNGetBreakOnError();
int32_t QNGetDebugOutput();
uint32_t QNGetTestingFilter();
uint32_t QNGetTimingFilter();
uint32_t QNGetTracingFilter();
int32_t QNGetBeepInLockQueue();
int32_t QNGetCommitViaDupClose();
int32_t QNGetDBCachePages();
int32_t QNGetDBTimeout();
int32_t QNGetNapInDBLAccess();
int32_t QNGetNapInTAFAccess();
int32_t QNGetNapInLockQueue();
uint16_t QNGetSMCachePages();
// The log file path; empty when there is no log file.
std::string QNGetLogFilename();
// Milliseconds since the time base.
uint32_t QNLogElapsed();

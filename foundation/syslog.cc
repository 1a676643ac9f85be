#include "foundation/syslog.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "foundation/file.h"
#include "foundation/prefs.h"
#include "foundation/shmem.h"
#include "qnplatform.h"

namespace {

QNLOG_STATE_INFO MakeDefaultState() {
    QNLOG_STATE_INFO state;
    memset(&state, 0, sizeof state);
    state.DBCachePages = 20;
    state.DBTimeout = 20;
    state.NapInLockQueue = 1;
    state.SMCachePages = 50;
    return state;
}

}  // namespace

const QNLOG_STATE_INFO g_QNLogDefaultState = MakeDefaultState();

namespace {

constexpr unsigned kErrorBoxType = QN_MB_SYSTEMMODAL | QN_MB_ICONSTOP;                  // 0x1010
constexpr unsigned kAssertBoxType = QN_MB_TASKMODAL | QN_MB_ICONSTOP | QN_MB_OKCANCEL;  // 0x2011

// ---- Module-local state -----------------------------------------------------------------------
// Each module (shared library or program) that links the foundation has its own copy.

class CQNLogStateBlock : public CQNSharedMemory {
  public:
    CQNLogStateBlock()
        : CQNSharedMemory(QNLOG_STATE_BLOCK_NAME, sizeof(QNLOG_STATE_INFO), &g_QNLogDefaultState) {}
    bool m_fOpenFailed = false;

  protected:
    void OnInitializeData() override;
};

std::mutex g_mutexAttach;
std::atomic<bool> g_fAttached{false};
std::atomic<bool> g_fAttachTried{false};
CQNLogStateBlock* g_pBlock = nullptr;
QNLOG_STATE_INFO* g_pState = nullptr;
std::atomic<int> g_fdLog{-1};
bool g_fCreated = false;
std::atomic<uint32_t> g_cBreakHook{0};
// Set on the thread that is attaching, so that calls made while the settings are read (the
// preferences may assert) neither recurse into the attachment nor take the block's lock again.
thread_local bool t_fInAttach = false;
// A module-local copy used when no block can be attached.
QNLOG_STATE_INFO g_LocalState = MakeDefaultState();

QNLOG_STATE_INFO* State() {
    if (g_fAttached.load(std::memory_order_acquire))
        return g_pState;
    if (!t_fInAttach && !g_fAttachTried.load(std::memory_order_acquire)) {
        QNSysLogAttach();
        if (g_fAttached.load(std::memory_order_acquire))
            return g_pState;
    }
    return &g_LocalState;
}

uint32_t ElapsedSince(const QNLOG_STATE_INFO* pState) {
    return QNGetTickCount() - pState->TimeBase;
}

int OpenLogFile(const char* pszPath, bool fFresh) {
    // Opened without blocking (a FIFO without a reader fails instead of hanging the program),
    // then switched back to blocking writes.
    int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK | (fFresh ? O_TRUNC : 0);
    int fd;
    do {
        fd = open(pszPath, flags, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

void ShowOpenFailure(const char* pszPath) {
    QNMessageBox("QNSYSLOG: Errors detected while opening log file.", pszPath, kErrorBoxType);
}

std::string InitializedLine(int fd, const char* pszPath) {
    char sz[64 + QNLOG_FILENAME_SIZE];
    snprintf(sz, sizeof sz, "QNSYSLOG: Initialized; FD=%d, LogFile=\"%s\"\r\n", fd, pszPath);
    return sz;
}

// Writes to the log file with the block's lock already held. Returns the bytes not written.
size_t WriteHoldingLock(int fd, const char* pch, size_t cb) {
    // One write, and one retry with the rest when it fell short.
    for (int nTry = 0; nTry < 2 && cb > 0; ++nTry) {
        ssize_t cbWritten = write(fd, pch, cb);
        if (cbWritten > 0) {
            pch += cbWritten;
            cb -= static_cast<size_t>(cbWritten);
        }
    }
    return cb;
}

void EchoToDebugOutput(const QNLOG_STATE_INFO* pState, const char* pch, size_t cb) {
    if (pState->DebugOutput != 2)
        return;
    while (cb > 0) {
        ssize_t cbWritten = write(STDERR_FILENO, pch, cb);
        if (cbWritten <= 0)
            return;
        pch += cbWritten;
        cb -= static_cast<size_t>(cbWritten);
    }
}

void ShowShortWrite(const char* pchRest, size_t cbRest) {
    std::string strRest(pchRest, cbRest);
    QNMessageBox("Errors detecting writing log output to disk", strRest.c_str(), kErrorBoxType);
}

void ReportLockFailure() {
    QNOutputDebugString("QNSYSLOG: the log lock was not granted; the line is dropped.\r\n");
}

void WriteText(const char* pch, size_t cb);

// Set once this module has tried to open the log file named in the block (at attachment or
// later); cleared when it detaches.
std::atomic<bool> g_fLogOpenTried{false};

// A log file named after this module attached (QNSysLogUseFile in another module or process) is
// opened for appending at this module's next write, once.
void OpenNamedLogFile() {
    if (g_fdLog.load(std::memory_order_acquire) >= 0 || g_pBlock == nullptr ||
        g_pState == nullptr || g_pState->LogFilename[0] == '\0' || g_fLogOpenTried.exchange(true))
        return;
    char szPath[QNLOG_FILENAME_SIZE];
    {
        CQNCriticalSection guard(g_pBlock->Mutex());
        if (!guard.Owned())
            return;
        memcpy(szPath, g_pState->LogFilename, sizeof szPath);
    }
    szPath[sizeof szPath - 1] = '\0';
    int fd = OpenLogFile(szPath, false);
    if (fd < 0) {
        ShowOpenFailure(szPath);
        return;
    }
    int fdNone = -1;
    if (!g_fdLog.compare_exchange_strong(fdNone, fd)) {
        close(fd);
        return;
    }
    std::string strLine = InitializedLine(fd, szPath);
    WriteText(strLine.data(), strLine.size());
}

// Writes text: to the log file under the lock, then to the debug output.
void WriteText(const char* pch, size_t cb) {
    QNLOG_STATE_INFO* pState = State();
    if (t_fInAttach)
        return;
    OpenNamedLogFile();
    int fd = g_fdLog.load(std::memory_order_acquire);
    if (fd >= 0 && g_pBlock != nullptr) {
        size_t cbRest = 0;
        {
            CQNCriticalSection guard(g_pBlock->Mutex());
            if (!guard.Owned()) {
                ReportLockFailure();
            } else {
                cbRest = WriteHoldingLock(fd, pch, cb);
            }
        }
        if (cbRest > 0)
            ShowShortWrite(pch + (cb - cbRest), cbRest);
    }
    EchoToDebugOutput(pState, pch, cb);
}

// printf into a string.
std::string FormatV(const char* pszFormat, va_list args) QN_PRINTF_LIKE(1, 0);
std::string FormatV(const char* pszFormat, va_list args) {
    if (pszFormat == nullptr)
        return std::string();
    char sz[1024];
    va_list argsCopy;
    va_copy(argsCopy, args);
    int cch = vsnprintf(sz, sizeof sz, pszFormat, argsCopy);
    va_end(argsCopy);
    if (cch < 0)
        return std::string();
    if (static_cast<size_t>(cch) < sizeof sz)
        return std::string(sz, static_cast<size_t>(cch));
    std::vector<char> buf(static_cast<size_t>(cch) + 1);
    vsnprintf(buf.data(), buf.size(), pszFormat, args);
    return std::string(buf.data(), static_cast<size_t>(cch));
}

bool Passes(const QNLOG_STATE_INFO* pState, uint32_t dwCategory) {
    return dwCategory == 0 || (dwCategory & pState->TracingFilter) != 0;
}

void ReadFilter(const char* pszKey, uint32_t* pdwFilter) {
    char sz[33];
    uint32_t cch = QNPrefGetString("SystemLog", pszKey, nullptr, sz, sizeof sz, QNINI_INIFILENAME);
    if (cch > 0) {
        uint32_t dw;
        if (QNParseUnsigned(sz, &dw))
            *pdwFilter = dw;
    } else {
        // Also take a filter kept as a number.
        *pdwFilter = QNPrefGetNumber("SystemLog", pszKey, *pdwFilter, QNINI_INIFILENAME);
    }
}

int32_t ReadNumber(const char* pszSection, const char* pszKey, int32_t nCurrent) {
    return static_cast<int32_t>(
        QNPrefGetNumber(pszSection, pszKey, static_cast<uint32_t>(nCurrent), QNINI_INIFILENAME));
}

void CQNLogStateBlock::OnInitializeData() {
    auto* p = static_cast<QNLOG_STATE_INFO*>(Data());
    p->AssertionChecking = ReadNumber("SystemLog", "AssertionChecking", p->AssertionChecking);
    p->BreakOnEntryPoint = ReadNumber("SystemLog", "BreakOnEntryPoint", p->BreakOnEntryPoint);
    p->BreakOnError = ReadNumber("SystemLog", "BreakOnError", p->BreakOnError);
    p->DebugOutput = ReadNumber("SystemLog", "DebugOutput", p->DebugOutput);
    ReadFilter("TestingFilter", &p->TestingFilter);
    ReadFilter("TimingFilter", &p->TimingFilter);
    ReadFilter("TracingFilter", &p->TracingFilter);
    p->BeepInLockQueue = ReadNumber("DBTuning", "BeepInLockQueue", p->BeepInLockQueue);
    p->CommitViaDupClose = ReadNumber("DBTuning", "CommitViaDupClose", p->CommitViaDupClose);
    p->DBCachePages = ReadNumber("DBTuning", "DBCachePages", p->DBCachePages);
    p->DBTimeout = ReadNumber("DBTuning", "DBTimeout", p->DBTimeout);
    p->NapInDBLAccess = ReadNumber("DBTuning", "NapInDBLAccess", p->NapInDBLAccess);
    p->NapInTAFAccess = ReadNumber("DBTuning", "NapInTAFAccess", p->NapInTAFAccess);
    p->NapInLockQueue = ReadNumber("DBTuning", "NapInLockQueue", p->NapInLockQueue);
    p->SMCachePages =
        static_cast<uint16_t>(ReadNumber("DBTuning", "SMCachePages", p->SMCachePages));
    char szPath[QNLOG_FILENAME_SIZE];
    QNPrefGetString("SystemLog", "LogFilename", p->LogFilename, szPath, sizeof szPath,
                    QNINI_INIFILENAME);
    memcpy(p->LogFilename, szPath, sizeof szPath);
    p->LogFilename[QNLOG_FILENAME_SIZE - 1] = '\0';
    // A relative name would mean a different file in every process's working folder: the
    // creator makes it absolute (when that still fits).
    std::string strAbsolute;
    if (p->LogFilename[0] != '\0' && p->LogFilename[0] != '/' &&
        CQNFile::MakeAbsolute(p->LogFilename, &strAbsolute) &&
        strAbsolute.size() < QNLOG_FILENAME_SIZE) {
        memset(p->LogFilename, 0, sizeof p->LogFilename);
        memcpy(p->LogFilename, strAbsolute.data(), strAbsolute.size());
    }
    p->TimeBase = QNGetTickCount();
    p->TimerDepth = 0;
    // There is no monochrome display on this platform.
    if (p->DebugOutput == 1)
        p->DebugOutput = 0;

    if (p->LogFilename[0] != '\0') {
        // The first module starts a new log. The block's lock is held: write directly.
        int fd = OpenLogFile(p->LogFilename, true);
        if (fd < 0) {
            m_fOpenFailed = true;  // the box is shown once the lock is released
        } else {
            g_fdLog.store(fd, std::memory_order_release);
            std::string strLine = InitializedLine(fd, p->LogFilename);
            WriteHoldingLock(fd, strLine.data(), strLine.size());
        }
    }
}

}  // namespace

// ---- Module life --------------------------------------------------------------------------------

bool QNSysLogAttach() {
    if (g_fAttached.load(std::memory_order_acquire))
        return true;
    if (t_fInAttach)
        return false;
    std::string strPendingLine;
    bool fOpenFailed = false;
    char szPath[QNLOG_FILENAME_SIZE] = {};
    {
        std::lock_guard<std::mutex> lock(g_mutexAttach);
        if (g_fAttached.load(std::memory_order_acquire))
            return true;
        g_fAttachTried.store(true, std::memory_order_release);
        t_fInAttach = true;
        auto* pBlock = new CQNLogStateBlock();
        if (!pBlock->IsValid()) {
            delete pBlock;
            t_fInAttach = false;
            return false;
        }
        g_fCreated = pBlock->InitializeData();
        fOpenFailed = pBlock->m_fOpenFailed;
        g_pBlock = pBlock;
        g_pState = static_cast<QNLOG_STATE_INFO*>(pBlock->Data());
        if (g_pState->DebugOutput == 2)
            QNSetDebugOutputEnabled(true);
        // Every module appends to the log that the first one started.
        memcpy(szPath, g_pState->LogFilename, sizeof szPath);
        szPath[sizeof szPath - 1] = '\0';
        g_fLogOpenTried.store(szPath[0] != '\0');
        if (szPath[0] != '\0' && g_fdLog.load() < 0 && !fOpenFailed) {
            int fd = OpenLogFile(szPath, false);
            if (fd < 0) {
                fOpenFailed = true;
            } else {
                g_fdLog.store(fd, std::memory_order_release);
                strPendingLine = InitializedLine(fd, szPath);
            }
        }
        t_fInAttach = false;
        g_fAttached.store(true, std::memory_order_release);
    }
    if (fOpenFailed)
        ShowOpenFailure(szPath);
    if (!strPendingLine.empty())
        WriteText(strPendingLine.data(), strPendingLine.size());
    return true;
}

namespace {
std::atomic<bool> g_fUnloaded{false};

// Module unload: the module lets go of its log file and of the block, so that the block (and its
// name) goes away with the last module that holds it. Calls made after this use the defaults.
__attribute__((destructor)) void UnloadModule() {
    g_fUnloaded.store(true);
    QNSysLogDetach();
}
}  // namespace

void QNSysLogDetach() {
    std::lock_guard<std::mutex> lock(g_mutexAttach);
    int fd = g_fdLog.exchange(-1);
    if (fd >= 0)
        close(fd);
    g_fLogOpenTried.store(false);
    g_fAttached.store(false, std::memory_order_release);
    g_fAttachTried.store(g_fUnloaded.load(), std::memory_order_release);
    g_pState = nullptr;
    delete g_pBlock;
    g_pBlock = nullptr;
    g_fCreated = false;
}

bool QNSysLogCreatedBlock() {
    State();
    return g_fCreated;
}

int QNSysLogFileDescriptor() {
    State();
    return g_fdLog.load();
}

bool QNSysLogUseFile(const char* pszPath) {
    if (pszPath == nullptr || *pszPath == '\0' || strlen(pszPath) >= QNLOG_FILENAME_SIZE)
        return false;
    QNLOG_STATE_INFO* pState = State();
    if (g_pBlock == nullptr || t_fInAttach)
        return false;
    std::string strLine;
    bool fOpenFailed = false;
    {
        CQNCriticalSection guard(g_pBlock->Mutex());
        if (!guard.Owned())
            return false;
        if (pState->LogFilename[0] != '\0')
            return false;
        int fd = OpenLogFile(pszPath, true);
        if (fd < 0) {
            fOpenFailed = true;
        } else {
            memset(pState->LogFilename, 0, sizeof pState->LogFilename);
            memcpy(pState->LogFilename, pszPath, strlen(pszPath));
            int fdOld = g_fdLog.exchange(fd);
            if (fdOld >= 0)
                close(fdOld);
            strLine = InitializedLine(fd, pszPath);
            WriteHoldingLock(fd, strLine.data(), strLine.size());
        }
    }
    if (fOpenFailed) {
        ShowOpenFailure(pszPath);
        return false;
    }
    EchoToDebugOutput(pState, strLine.data(), strLine.size());
    return true;
}

// ---- Tracing ------------------------------------------------------------------------------------

bool QNTraceEnabled(uint32_t dwCategory) {
    return Passes(State(), dwCategory);
}

void QNTraceV(uint32_t dwCategory, const char* pszFormat, va_list args) {
    QNLOG_STATE_INFO* pState = State();
    if (!Passes(pState, dwCategory))
        return;
    std::string strLine;
    if ((dwCategory & pState->TimingFilter) != 0) {
        uint32_t dwElapsed = ElapsedSince(pState);
        char szPrefix[32];
        snprintf(szPrefix, sizeof szPrefix, "%04u.%03u: ", (dwElapsed / 1000u) & 0xFFFFu,
                 dwElapsed % 1000u);
        strLine = szPrefix;
    }
    strLine += FormatV(pszFormat, args);
    WriteText(strLine.data(), strLine.size());
}

void QNTrace(uint32_t dwCategory, const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    QNTraceV(dwCategory, pszFormat, args);
    va_end(args);
}

void QNEntryTrace(const char* pszName) {
    QNTrace(QNTRACE_ENTRY, "ENTER: %s...\r\n", pszName ? pszName : "");
    QNEntryPointCheck();
}

void QNEntryPointCheck() {
    if (State()->BreakOnEntryPoint)
        QNBreakHook();
}

namespace {

enum class TimerKind { Start, Stop };

bool Timer(TimerKind kind, uint32_t dwCategory, const char* pszFormat, va_list args)
    QN_PRINTF_LIKE(3, 0);
bool Timer(TimerKind kind, uint32_t dwCategory, const char* pszFormat, va_list args) {
    QNLOG_STATE_INFO* pState = State();
    if (!Passes(pState, dwCategory) || t_fInAttach)
        return false;
    OpenNamedLogFile();
    std::string strText = FormatV(pszFormat, args);
    if (g_pBlock == nullptr) {
        // No block: no shared timer stack; the line still goes to the debug output.
        strText += kind == TimerKind::Start ? "\r\n" : " (T0=0.000 secs)\r\n";
        EchoToDebugOutput(pState, strText.data(), strText.size());
        return false;
    }
    bool fDone = false;
    size_t cbRest = 0;
    {
        CQNCriticalSection guard(g_pBlock->Mutex());
        if (!guard.Owned()) {
            ReportLockFailure();
            return false;
        }
        // The depth is shared with other processes: never index outside the stack.
        int nDepth = pState->TimerDepth;
        if (nDepth < 0)
            nDepth = 0;
        if (nDepth > QNLOG_MAX_TIMERS)
            nDepth = QNLOG_MAX_TIMERS;
        if (kind == TimerKind::Start) {
            strText += "\r\n";
            int fd = g_fdLog.load();
            if (fd >= 0)
                cbRest = WriteHoldingLock(fd, strText.data(), strText.size());
            if (nDepth < QNLOG_MAX_TIMERS) {
                ++nDepth;
                pState->TimerStack[nDepth] = ElapsedSince(pState);
                fDone = true;
            }
            pState->TimerDepth = static_cast<int16_t>(nDepth);
        } else {
            uint32_t dwElapsed = 0;
            if (nDepth > 0) {
                dwElapsed = ElapsedSince(pState) - pState->TimerStack[nDepth];
                fDone = true;
            }
            char szSuffix[64];
            snprintf(szSuffix, sizeof szSuffix, " (T%d=%lu.%03lu secs)\r\n", nDepth,
                     static_cast<unsigned long>(dwElapsed / 1000u),
                     static_cast<unsigned long>(dwElapsed % 1000u));
            pState->TimerDepth = static_cast<int16_t>(nDepth > 0 ? nDepth - 1 : 0);
            strText += szSuffix;
            int fd = g_fdLog.load();
            if (fd >= 0)
                cbRest = WriteHoldingLock(fd, strText.data(), strText.size());
        }
    }
    if (cbRest > 0)
        ShowShortWrite(strText.data() + (strText.size() - cbRest), cbRest);
    EchoToDebugOutput(pState, strText.data(), strText.size());
    return fDone;
}

}  // namespace

bool QNTimerStart(uint32_t dwCategory, const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    bool f = Timer(TimerKind::Start, dwCategory, pszFormat, args);
    va_end(args);
    return f;
}

bool QNTimerStop(uint32_t dwCategory, const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    bool f = Timer(TimerKind::Stop, dwCategory, pszFormat, args);
    va_end(args);
    return f;
}

int QNTimerDepth() {
    return State()->TimerDepth;
}

void QNLogWrite(const char* pszText) {
    if (pszText != nullptr)
        WriteText(pszText, strlen(pszText));
}

void QNLogWriteBytes(const char* pchText, size_t cbText) {
    if (pchText != nullptr && cbText > 0)
        WriteText(pchText, cbText);
}

int QNLoggedMessageBox(const char* pszMessage, const char* pszCaption, unsigned int uType) {
    if (pszMessage == nullptr)
        pszMessage = "";
    if (pszCaption == nullptr)
        pszCaption = "";
    std::string strLog = std::string("\r\nQNMSGBOX: ") + pszCaption + "\r\n" + pszMessage + "\r\n";
    WriteText(strLog.data(), strLog.size());
    if (!State()->AssertionChecking)
        return QN_IDCANCEL;
    return QNMessageBox(pszMessage, pszCaption, uType);
}

// ---- Assertions and the break hook ------------------------------------------------------------

std::string QNAssertionText(const char* pszExpression, const char* pszModule) {
    return std::string("Assertion (") + (pszExpression ? pszExpression : "") + ") failed in " +
           (pszModule ? pszModule : "") +
           "\r\n\r\nPlease report this problem to Customer Support...Thank You";
}

void QNAssertFailed(const char* pszExpression, const char* pszModule) {
    std::string strText = QNAssertionText(pszExpression, pszModule);
    if (QNLoggedMessageBox(strText.c_str(), "Quillon Assertion Error", kAssertBoxType) ==
        QN_IDCANCEL) {
        QNBreakHook();
    }
}

__attribute__((noinline)) void QNBreakHook() {
    g_cBreakHook.fetch_add(1, std::memory_order_relaxed);
    asm volatile("" ::: "memory");  // keeps the call; a debugger break can be set here
}

uint32_t QNBreakHookCount() {
    return g_cBreakHook.load();
}

// ---- Settings ---------------------------------------------------------------------------------

const QNLOG_STATE_INFO& QNLogState() {
    return *State();
}

int32_t QNGetAssertionChecking() {
    return State()->AssertionChecking;
}
int32_t QNGetBreakOnEntryPoint() {
    return State()->BreakOnEntryPoint;
}
int32_t QNGetBreakOnError() {
    return State()->BreakOnError;
}
int32_t QNGetDebugOutput() {
    return State()->DebugOutput;
}
uint32_t QNGetTestingFilter() {
    return State()->TestingFilter;
}
uint32_t QNGetTimingFilter() {
    return State()->TimingFilter;
}
uint32_t QNGetTracingFilter() {
    return State()->TracingFilter;
}
int32_t QNGetBeepInLockQueue() {
    return State()->BeepInLockQueue;
}
int32_t QNGetCommitViaDupClose() {
    return State()->CommitViaDupClose;
}
int32_t QNGetDBCachePages() {
    return State()->DBCachePages;
}
int32_t QNGetDBTimeout() {
    return State()->DBTimeout;
}
int32_t QNGetNapInDBLAccess() {
    return State()->NapInDBLAccess;
}
int32_t QNGetNapInTAFAccess() {
    return State()->NapInTAFAccess;
}
int32_t QNGetNapInLockQueue() {
    return State()->NapInLockQueue;
}
uint16_t QNGetSMCachePages() {
    return State()->SMCachePages;
}

std::string QNGetLogFilename() {
    const QNLOG_STATE_INFO* pState = State();
    return std::string(pState->LogFilename, strnlen(pState->LogFilename, QNLOG_FILENAME_SIZE));
}

uint32_t QNLogElapsed() {
    return ElapsedSince(State());
}

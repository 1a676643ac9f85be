#include "foundation/shmem.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::atomic<int> g_nDebugOutput{-1};  // -1: not decided yet

void ReportAssertion(const char* pszExpression, const char* pszSource, int nLine) {
    char sz[512];
    snprintf(sz, sizeof sz, "Assertion \"%s\" failed in %s(%lu)\r\n", pszExpression, pszSource,
             static_cast<unsigned long>(nLine));
    QNOutputDebugString(sz);
}

#define SHM_ASSERT(expr)                                 \
    do {                                                 \
        if (!(expr))                                     \
            ReportAssertion(#expr, "qnshmem", __LINE__); \
    } while (0)
#define CRITSC_ASSERT(expr)                               \
    do {                                                  \
        if (!(expr))                                      \
            ReportAssertion(#expr, "qncritsc", __LINE__); \
    } while (0)

void TraceEnter(const char* pszWhere) {
    if (!QNDebugOutputEnabled())
        return;
    char sz[160];
    snprintf(sz, sizeof sz, "Enter \"%s\" from PID=0x%08lX\r\n", pszWhere,
             static_cast<unsigned long>(getpid()));
    QNOutputDebugString(sz);
}

void CopyName(char* pchTarget, const char* pszPrefix, const char* pszName) {
    snprintf(pchTarget, QNSHM_NAME_SIZE, "%s%s", pszPrefix, pszName);
}

}  // namespace

void QNSetDebugOutputEnabled(bool fEnabled) {
    g_nDebugOutput.store(fEnabled ? 1 : 0);
}

bool QNDebugOutputEnabled() {
    int n = g_nDebugOutput.load();
    if (n < 0) {
        const char* psz = getenv("QUILLON_DEBUG_OUTPUT");
        n = (psz != nullptr && *psz != '\0') ? 1 : 0;
        g_nDebugOutput.store(n);
    }
    return n == 1;
}

void QNOutputDebugString(const char* pszText) {
    if (pszText == nullptr || !QNDebugOutputEnabled())
        return;
    size_t cb = strlen(pszText);
    while (cb > 0) {
        ssize_t cbWritten = write(STDERR_FILENO, pszText, cb);
        if (cbWritten <= 0)
            return;
        pszText += cbWritten;
        cb -= static_cast<size_t>(cbWritten);
    }
}

// ---- CQNSharedMemory --------------------------------------------------------------------------

CQNSharedMemory::CQNSharedMemory(const char* pszName, uint32_t cbData, const void* pvInitialImage)
    : m_cbData(cbData) {
    TraceEnter("CQNSharedMemory::CQNSharedMemory");
    if (pszName == nullptr)
        pszName = "";
    QNSHM_HEADER names;
    bool fNameOk = strlen(pszName) < sizeof names.szMapObject - strlen("QNI_MAP:");
    SHM_ASSERT(strlen(pszName) < sizeof names.szMapObject);
    if (!fNameOk || *pszName == '\0')
        return;

    CopyName(names.szEvtObject, "QNI_EVT:", pszName);
    CopyName(names.szMapObject, "QNI_MAP:", pszName);
    CopyName(names.szMtxObject, "QNI_MTX:", pszName);

    bool fMapped = m_MapObject.Attach(names.szMapObject, QNSharedMappingSize(cbData));
    SHM_ASSERT(fMapped);
    if (!fMapped)
        return;
    m_fCreated = m_MapObject.Fresh();
    auto* pHeader = static_cast<QNSHM_HEADER*>(m_MapObject.Data());
    if (m_fCreated) {
        // Only the creator writes the header and the data, before anyone can have initialised
        // anything (the segment's set-up guard keeps other attachers out until now).
        pHeader->dwInitialized = 0;
        pHeader->dwBusyCount = 0;
        memcpy(pHeader->szEvtObject, names.szEvtObject, sizeof names.szEvtObject);
        memcpy(pHeader->szMapObject, names.szMapObject, sizeof names.szMapObject);
        memcpy(pHeader->szMtxObject, names.szMtxObject, sizeof names.szMtxObject);
        char* pData = static_cast<char*>(m_MapObject.Data()) + QNSHM_HEADER_SIZE;
        if (pvInitialImage != nullptr) {
            memcpy(pData, pvInitialImage, cbData);
        } else {
            memset(pData, 0, cbData);
        }
    }
    bool fEvent = m_IdleEvent.Open(names.szEvtObject, true);
    SHM_ASSERT(fEvent);
    m_pData = pHeader;
    // The mutex is made now rather than on first use, so that a guard never has to create it
    // while the block is in use.
    Mutex();
}

CQNSharedMemory::~CQNSharedMemory() {
    TraceEnter("CQNSharedMemory::~CQNSharedMemory");
    m_pData = nullptr;
    m_pMutex = nullptr;
}

QNMUTEX CQNSharedMemory::Mutex() {
    if (m_pMutex == nullptr && m_pData != nullptr) {
        const QNSHM_HEADER* pHeader = Header();
        char szName[QNSHM_NAME_SIZE];
        memcpy(szName, pHeader->szMtxObject, sizeof szName);
        szName[sizeof szName - 1] = '\0';
        if (m_Mutex.Open(szName))
            m_pMutex = &m_Mutex;
    }
    return m_pMutex;
}

bool CQNSharedMemory::InitializeData() {
    TraceEnter("CQNSharedMemory::InitializeData");
    if (m_pData == nullptr)
        return false;
    auto* pHeader = static_cast<QNSHM_HEADER*>(m_pData);
    CQNCriticalSection guard(Mutex());
    if (!guard.Owned())
        return false;
    if (pHeader->dwInitialized != 0)
        return false;
    OnInitializeData();
    pHeader->dwInitialized = 1;
    return true;
}

void CQNSharedMemory::Busy() {
    if (m_pData == nullptr)
        return;
    CQNCriticalSection guard(Mutex());
    if (!guard.Owned())
        return;
    auto* pHeader = static_cast<QNSHM_HEADER*>(m_pData);
    if (pHeader->dwBusyCount++ == 0)
        m_IdleEvent.Reset();
}

void CQNSharedMemory::Idle() {
    if (m_pData == nullptr)
        return;
    CQNCriticalSection guard(Mutex());
    if (!guard.Owned())
        return;
    auto* pHeader = static_cast<QNSHM_HEADER*>(m_pData);
    if (pHeader->dwBusyCount == 0)
        return;
    if (--pHeader->dwBusyCount == 0)
        m_IdleEvent.Set();
}

uint32_t CQNSharedMemory::BusyCount() const {
    if (m_pData == nullptr)
        return 0;
    return __atomic_load_n(&static_cast<const QNSHM_HEADER*>(m_pData)->dwBusyCount,
                           __ATOMIC_ACQUIRE);
}

bool CQNSharedMemory::WaitIdle(uint32_t dwMilliseconds) {
    if (m_pData == nullptr)
        return false;
    return m_IdleEvent.Wait(dwMilliseconds);
}

// ---- CQNCriticalSection -----------------------------------------------------------------------

CQNCriticalSection::CQNCriticalSection(QNMUTEX hMutex, uint32_t dwMilliseconds) : m_hMutex(hMutex) {
    CRITSC_ASSERT(m_hMutex != NULL);
    if (m_hMutex == nullptr)
        return;
    using LockResult = qn::platform::CNamedMutex::LockResult;
    LockResult result = m_hMutex->Lock(dwMilliseconds);
    m_fOwned = result == LockResult::Acquired || result == LockResult::AcquiredOwnerDied;
    m_fOwnerDied = result == LockResult::AcquiredOwnerDied;
    bool dwEvent_is_WAIT_OBJECT_0 = m_fOwned;
    if (!dwEvent_is_WAIT_OBJECT_0)
        ReportAssertion("dwEvent == WAIT_OBJECT_0", "qncritsc", __LINE__);
}

CQNCriticalSection::~CQNCriticalSection() {
    if (!m_fOwned)
        return;
    bool fMutexReleased = m_hMutex->Unlock();
    CRITSC_ASSERT(fMutexReleased);
}

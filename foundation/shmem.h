// Named shared memory with its cross-process lock.
//
// CQNSharedMemory gives every module of every process of the user the same block under one
// name, set up once by whichever module creates it, together with a named process-shared mutex
// that guards it and a manual-reset "idle" event. A block lives while at least one process holds
// it; the first creator's initial image (or zeros) and its InitializeData hook decide the
// contents, later attachers see them as they are.
//
// CQNCriticalSection is the scoped guard that holds a block's mutex. It waits at most 5000 ms;
// when it does not get the mutex, Owned() is false and the caller must not do the guarded work.
// A process that dies holding the mutex does not block the others: the next guard takes it over.
//
// Failed assertions of this file do not use the log's message boxes (the log itself lives in a
// block): each writes "Assertion \"<expr>\" failed in qnshmem(<line>)\r\n" (or qncritsc) to the
// debug output and execution continues.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/shm.h"

inline constexpr size_t QNSHM_NAME_SIZE = 260;
inline constexpr uint32_t QNSHM_GUARD_TIMEOUT_MS = 5000;

// Header at the start of every block; the owner's data follows it.
struct QNSHM_HEADER {
    uint32_t dwInitialized;             // 0 until the owner's initialisation ran, then 1
    uint32_t dwBusyCount;               // see Busy / Idle
    char szEvtObject[QNSHM_NAME_SIZE];  // "QNI_EVT:<name>"
    char szMapObject[QNSHM_NAME_SIZE];  // "QNI_MAP:<name>"
    char szMtxObject[QNSHM_NAME_SIZE];  // "QNI_MTX:<name>"
};
static_assert(sizeof(QNSHM_HEADER) == 788);
static_assert(offsetof(QNSHM_HEADER, dwBusyCount) == 4);
static_assert(offsetof(QNSHM_HEADER, szEvtObject) == 8);
static_assert(offsetof(QNSHM_HEADER, szMapObject) == 268);
static_assert(offsetof(QNSHM_HEADER, szMtxObject) == 528);

inline constexpr size_t QNSHM_HEADER_SIZE = sizeof(QNSHM_HEADER);
// The mapping's size for cbData bytes of data: header plus data in whole 4096-byte pages.
constexpr size_t QNSharedMappingSize(size_t cbData) {
    return (cbData + 4883) & ~static_cast<size_t>(4095);
}

// The mutex handle of a block.
using QNMUTEX = qn::platform::CNamedMutex*;

class CQNSharedMemory {
  public:
    // Attaches to (or creates) the block pszName with cbData bytes of data. A new block gets the
    // header and a copy of pvInitialImage (cbData bytes), or zeros when it is null. A name of
    // 260 characters or more, or a block that cannot be made, leaves the object invalid
    // (IsValid false, Data null) after the assertion.
    CQNSharedMemory(const char* pszName, uint32_t cbData, const void* pvInitialImage = nullptr);
    virtual ~CQNSharedMemory();
    CQNSharedMemory(const CQNSharedMemory&) = delete;
    CQNSharedMemory& operator=(const CQNSharedMemory&) = delete;

    // Runs the OnInitializeData hook once per block life (across every module and process) and
    // marks the block initialised. Call right after construction. The check and the hook run
    // under the block's mutex, so two creators never both initialise; a later caller waits until
    // the first one's hook has finished. Returns true when this call ran the hook.
    bool InitializeData();

    bool IsValid() const { return m_pData != nullptr; }
    // True when this object's attachment created the block.
    bool Created() const { return m_fCreated; }
    // The owner's data (view + 788), null when invalid.
    void* Data() const {
        return m_pData ? static_cast<char*>(m_pData) + QNSHM_HEADER_SIZE : nullptr;
    }
    uint32_t Size() const { return m_cbData; }
    const QNSHM_HEADER* Header() const { return static_cast<const QNSHM_HEADER*>(m_pData); }
    // The block's mutex, opened by the name in the header on first use; null when it cannot be.
    QNMUTEX Mutex();

    // Busy increments the busy count (resetting the idle event on the step from 0); Idle
    // decrements it (setting the event on reaching 0; never below 0). Both under the mutex.
    void Busy();
    void Idle();
    uint32_t BusyCount() const;
    // True when the block is idle within dwMilliseconds (UINT32_MAX: without limit).
    bool WaitIdle(uint32_t dwMilliseconds);

  protected:
    // The owner's initialisation; the base does nothing. Runs with the block's mutex held.
    virtual void OnInitializeData() {}

  private:
    qn::platform::CNamedEvent m_IdleEvent;
    qn::platform::CSharedSegment m_MapObject;
    qn::platform::CNamedMutex* m_pMutex = nullptr;
    uint32_t m_cbData = 0;
    void* m_pData = nullptr;
    bool m_fCreated = false;
    qn::platform::CNamedMutex m_Mutex;
};

class CQNCriticalSection {
  public:
    // Waits at most dwMilliseconds for the mutex (null: nothing is held, Owned is false).
    explicit CQNCriticalSection(QNMUTEX hMutex, uint32_t dwMilliseconds = QNSHM_GUARD_TIMEOUT_MS);
    virtual ~CQNCriticalSection();
    CQNCriticalSection(const CQNCriticalSection&) = delete;
    CQNCriticalSection& operator=(const CQNCriticalSection&) = delete;

    // True when the guard holds the mutex; false after a time-out or failure (reported to the
    // debug output as the assertion "dwEvent == WAIT_OBJECT_0").
    bool Owned() const { return m_fOwned; }
    // True when the previous holder died holding the mutex (its work may be half done).
    bool OwnerDied() const { return m_fOwnerDied; }

  private:
    QNMUTEX m_hMutex;
    bool m_fOwned = false;
    bool m_fOwnerDied = false;
};

// Writes text to the debug output: standard error while debug output is switched on (the log's
// DebugOutput 2, or the environment variable QUILLON_DEBUG_OUTPUT set to a non-empty value);
// nothing otherwise.
void QNOutputDebugString(const char* pszText);
// Switches the debug output for this module (the log does so when DebugOutput is 2).
void QNSetDebugOutputEnabled(bool fEnabled);
bool QNDebugOutputEnabled();

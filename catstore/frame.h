// The frame every exported call runs in: one recursive lock per process, the "ENTER: " line,
// the status cleared first and failures mapped through the one status table, and no exception
// escaping to the caller.
#pragma once

#include <mutex>
#include <new>

#include "catstore.h"
#include "foundation/status.h"
#include "reclaim.h"
#include "trace.h"

namespace catstore {

std::recursive_mutex& ApiMutex();

// Serialises exported calls of this process and counts how deep they nest (a notifier routine
// or a box handler calling the library again).
class CApiLock {
  public:
    CApiLock() : m_lock(ApiMutex()) {}

  private:
    std::lock_guard<std::recursive_mutex> m_lock;
    CCallDepth m_depth;  // ends before the lock: what waits for the outermost call runs locked
};

// Stores the mapped EXSM_STATUS of a store status (a status that maps to success leaves
// *status as it was).
void SetStatus(EXSM_STATUS* status, DBStatus dbStatus);

// Runs body(status) inside the frame (pszName null: a call that writes no entry line). status
// may be null (a local one is used). An exception from the body becomes EXSM_OUT_OF_MEMORY
// (allocation) or EXSM_INTERNAL_ERROR and rFail is returned.
template <typename R, typename F>
R RunApi(const char* pszName, EXSM_STATUS* status, R rFail, F&& body) {
    CApiLock lock;
    EXSM_STATUS local = EXSM_SUCCESS;
    if (status == nullptr) {
        status = &local;
    }
    try {
        if (pszName != nullptr) {
            LogLine(LOG_ENTER, "ENTER: %s...\r\n", pszName);
        }
        *status = EXSM_SUCCESS;
        return body(status);
    } catch (const std::bad_alloc&) {
        *status = EXSM_OUT_OF_MEMORY;
    } catch (...) {
        *status = EXSM_INTERNAL_ERROR;
    }
    return rFail;
}

template <typename F>
void RunApiVoid(const char* pszName, EXSM_STATUS* status, F&& body) {
    RunApi(pszName, status, 0, [&](EXSM_STATUS* st) {
        body(st);
        return 0;
    });
}

// Frame for calls without status argument (accessors, preferences).
template <typename R, typename F>
R RunApiNoStatus(const char* pszName, R rFail, F&& body) {
    CApiLock lock;
    try {
        if (pszName != nullptr) {
            LogLine(LOG_ENTER, "ENTER: %s...\r\n", pszName);
        }
        return body();
    } catch (...) {
        return rFail;
    }
}

}  // namespace catstore

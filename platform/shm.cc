// Named shared memory, mutex and event over POSIX shared memory.
//
// Lifetime: every attachment holds an open-file-description read lock on byte 1 of the shared
// object. Attach and Detach run under an exclusive lock on byte 0 (the set-up guard). An attacher
// that can take a write lock on byte 1 knows nobody else is attached: the object is fresh and is
// cleared. The last one to detach removes the name; an attacher that opened a name just removed
// (its object has no links any more) starts again. Locks of crashed processes vanish with them.

#include "platform/shm.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/paths.h"

#if defined(__SANITIZE_THREAD__)
#define QN_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QN_THREAD_SANITIZER 1
#endif
#endif
#ifndef QN_THREAD_SANITIZER
#define QN_THREAD_SANITIZER 0
#endif

namespace qn::platform {
namespace {

int LockByte(int fd, short type, off_t offset, bool fWait) {
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = 1;
    for (;;) {
        if (fcntl(fd, fWait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

void CloseKeepErrno(int fd) {
    int e = errno;
    close(fd);
    errno = e;
}

struct timespec DeadlineAfter(uint32_t dwMilliseconds) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += dwMilliseconds / 1000;
    ts.tv_nsec += static_cast<long>(dwMilliseconds % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

}  // namespace

CSharedSegment::~CSharedSegment() {
    Detach();
}

bool CSharedSegment::Attach(const std::string& strName, size_t cb) {
    Detach();
    if (cb == 0) {
        errno = EINVAL;
        return false;
    }
    std::string strObject = SharedObjectName(strName);
    for (int nAttempt = 0; nAttempt < 100; ++nAttempt) {
        int fd = shm_open(strObject.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0)
            return false;
        if (LockByte(fd, F_WRLCK, 0, true) != 0) {
            CloseKeepErrno(fd);
            return false;
        }
        struct stat st;
        if (fstat(fd, &st) != 0) {
            CloseKeepErrno(fd);
            return false;
        }
        if (st.st_nlink == 0) {
            // The last holder removed this object while we waited; open the name again.
            close(fd);
            continue;
        }
        bool fFresh = LockByte(fd, F_WRLCK, 1, false) == 0;
        if (fFresh) {
            // Nobody is attached: whatever the object holds is left over. Start from zeros.
            if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(cb)) != 0) {
                CloseKeepErrno(fd);
                return false;
            }
        } else if (static_cast<size_t>(st.st_size) < cb) {
            // Another module made it smaller; the added bytes read as zeros.
            if (ftruncate(fd, static_cast<off_t>(cb)) != 0) {
                CloseKeepErrno(fd);
                return false;
            }
        }
        // Hold the attachment (turns our write lock into a read lock when fresh).
        if (LockByte(fd, F_RDLCK, 1, false) != 0) {
            CloseKeepErrno(fd);
            return false;
        }
        void* pData = mmap(nullptr, cb, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (pData == MAP_FAILED) {
            CloseKeepErrno(fd);
            return false;
        }
        LockByte(fd, F_UNLCK, 0, false);
        m_fd = fd;
        m_pData = pData;
        m_cb = cb;
        m_fFresh = fFresh;
        m_strObject = strObject;
        m_pidAttached = getpid();
        return true;
    }
    errno = EAGAIN;
    return false;
}

void CSharedSegment::Detach() {
    if (m_pData == nullptr)
        return;
    munmap(m_pData, m_cb);
    // A forked child shares its parent's open file description and so its locks: it only lets
    // go of its copy and leaves the attachment to the parent.
    if (m_pidAttached == getpid() && LockByte(m_fd, F_WRLCK, 0, true) == 0) {
        // The last holder removes the name so that nothing is left behind.
        if (LockByte(m_fd, F_WRLCK, 1, false) == 0)
            shm_unlink(m_strObject.c_str());
    }
    close(m_fd);  // drops every lock of this attachment
    m_fd = -1;
    m_pData = nullptr;
    m_cb = 0;
    m_fFresh = false;
    m_strObject.clear();
}

// ---- Mutex --------------------------------------------------------------------------------------

bool CNamedMutex::Open(const std::string& strName) {
    if (!m_segment.Attach(strName, sizeof(pthread_mutex_t)))
        return false;
    if (m_segment.Fresh()) {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
        int rc = pthread_mutex_init(static_cast<pthread_mutex_t*>(m_segment.Data()), &attr);
        pthread_mutexattr_destroy(&attr);
        if (rc != 0) {
            m_segment.Detach();
            errno = rc;
            return false;
        }
    }
    return true;
}

CNamedMutex::LockResult CNamedMutex::Lock(uint32_t dwMilliseconds) {
    auto* pMutex = static_cast<pthread_mutex_t*>(m_segment.Data());
    if (pMutex == nullptr)
        return LockResult::Failed;
    int rc;
    if (dwMilliseconds == UINT32_MAX) {
        rc = pthread_mutex_lock(pMutex);
    } else {
#if QN_THREAD_SANITIZER
        // ThreadSanitizer does not know pthread_mutex_clocklock; give it the call it follows.
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        ts.tv_sec += dwMilliseconds / 1000;
        ts.tv_nsec += static_cast<long>(dwMilliseconds % 1000) * 1000000L;
        if (ts.tv_nsec >= 1000000000L) {
            ts.tv_sec += 1;
            ts.tv_nsec -= 1000000000L;
        }
        rc = pthread_mutex_timedlock(pMutex, &ts);
#else
        struct timespec ts = DeadlineAfter(dwMilliseconds);
        rc = pthread_mutex_clocklock(pMutex, CLOCK_MONOTONIC, &ts);
#endif
    }
    switch (rc) {
        case 0:
            return LockResult::Acquired;
        case EOWNERDEAD:
            // The owner died inside; the mutex is ours and usable again.
            pthread_mutex_consistent(pMutex);
            return LockResult::AcquiredOwnerDied;
        case ETIMEDOUT:
            return LockResult::TimedOut;
        default:
            errno = rc;
            return LockResult::Failed;
    }
}

bool CNamedMutex::Unlock() {
    auto* pMutex = static_cast<pthread_mutex_t*>(m_segment.Data());
    if (pMutex == nullptr)
        return false;
    int rc = pthread_mutex_unlock(pMutex);
    if (rc != 0)
        errno = rc;
    return rc == 0;
}

// ---- Event --------------------------------------------------------------------------------------

namespace {

struct SharedEvent {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    int fSet;
};

// Takes the event's mutex, recovering it from a holder that died.
bool LockEvent(SharedEvent* pEvent) {
    int rc = pthread_mutex_lock(&pEvent->mutex);
    if (rc == EOWNERDEAD) {
        pthread_mutex_consistent(&pEvent->mutex);
        return true;
    }
    return rc == 0;
}

}  // namespace

bool CNamedEvent::Open(const std::string& strName, bool fInitiallySet) {
    if (!m_segment.Attach(strName, sizeof(SharedEvent)))
        return false;
    if (m_segment.Fresh()) {
        auto* pEvent = static_cast<SharedEvent*>(m_segment.Data());
        pthread_mutexattr_t mattr;
        pthread_mutexattr_init(&mattr);
        pthread_mutexattr_setpshared(&mattr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&mattr, PTHREAD_MUTEX_ROBUST);
        int rc = pthread_mutex_init(&pEvent->mutex, &mattr);
        pthread_mutexattr_destroy(&mattr);
        pthread_condattr_t cattr;
        pthread_condattr_init(&cattr);
        pthread_condattr_setpshared(&cattr, PTHREAD_PROCESS_SHARED);
        pthread_condattr_setclock(&cattr, CLOCK_MONOTONIC);
        if (rc == 0)
            rc = pthread_cond_init(&pEvent->cond, &cattr);
        pthread_condattr_destroy(&cattr);
        if (rc != 0) {
            m_segment.Detach();
            errno = rc;
            return false;
        }
        pEvent->fSet = fInitiallySet ? 1 : 0;
    }
    return true;
}

bool CNamedEvent::Set() {
    auto* pEvent = static_cast<SharedEvent*>(m_segment.Data());
    if (pEvent == nullptr || !LockEvent(pEvent))
        return false;
    pEvent->fSet = 1;
    pthread_cond_broadcast(&pEvent->cond);
    pthread_mutex_unlock(&pEvent->mutex);
    return true;
}

bool CNamedEvent::Reset() {
    auto* pEvent = static_cast<SharedEvent*>(m_segment.Data());
    if (pEvent == nullptr || !LockEvent(pEvent))
        return false;
    pEvent->fSet = 0;
    pthread_mutex_unlock(&pEvent->mutex);
    return true;
}

bool CNamedEvent::Wait(uint32_t dwMilliseconds) {
    auto* pEvent = static_cast<SharedEvent*>(m_segment.Data());
    if (pEvent == nullptr || !LockEvent(pEvent))
        return false;
    struct timespec ts = DeadlineAfter(dwMilliseconds == UINT32_MAX ? 0 : dwMilliseconds);
    while (!pEvent->fSet) {
        int rc = dwMilliseconds == UINT32_MAX
                     ? pthread_cond_wait(&pEvent->cond, &pEvent->mutex)
                     : pthread_cond_timedwait(&pEvent->cond, &pEvent->mutex, &ts);
        if (rc == EOWNERDEAD) {
            pthread_mutex_consistent(&pEvent->mutex);
        } else if (rc == ETIMEDOUT || (rc != 0 && rc != EINTR)) {
            break;
        }
    }
    bool fSet = pEvent->fSet != 0;
    pthread_mutex_unlock(&pEvent->mutex);
    return fSet;
}

}  // namespace qn::platform

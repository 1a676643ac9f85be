// Named machine-wide shared memory, mutex and event.
//
// A segment lives while at least one process holds it attached: each attachment holds a
// shared lock on the segment, so the first attacher after every holder has gone (exited,
// crashed or detached) finds it fresh, zero-filled, and is told so. Crashed holders release
// their hold with their file descriptors; no cleanup step is needed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qn::platform {

class CSharedSegment {
  public:
    CSharedSegment() = default;
    ~CSharedSegment();
    CSharedSegment(const CSharedSegment&) = delete;
    CSharedSegment& operator=(const CSharedSegment&) = delete;

    // Attaches to (or creates) the segment of this name, cb bytes. False with errno set when
    // the segment cannot be made or mapped. Fresh() tells whether this call created it.
    bool Attach(const std::string& strName, size_t cb);
    void Detach();
    void* Data() const { return m_pData; }
    size_t Size() const { return m_cb; }
    bool Fresh() const { return m_fFresh; }
    bool Attached() const { return m_pData != nullptr; }

  private:
    int m_fd = -1;
    void* m_pData = nullptr;
    size_t m_cb = 0;
    bool m_fFresh = false;
    std::string m_strObject;
    int m_pidAttached = 0;  // a forked child that inherited the attachment must not end it
};

// A named process-shared robust mutex. A process that dies holding it does not block the
// others: the next locker takes it over (and Lock reports that the owner died). It is not
// recursive: a thread that locks it twice gets Failed (EDEADLK) the second time.
class CNamedMutex {
  public:
    enum class LockResult { Acquired, AcquiredOwnerDied, TimedOut, Failed };

    bool Open(const std::string& strName);
    bool IsOpen() const { return m_segment.Attached(); }
    // Waits at most dwMilliseconds (UINT32_MAX: without limit).
    LockResult Lock(uint32_t dwMilliseconds);
    bool Unlock();

  private:
    CSharedSegment m_segment;
};

// A named process-shared manual-reset event.
class CNamedEvent {
  public:
    // fInitiallySet applies only when the event is created.
    bool Open(const std::string& strName, bool fInitiallySet);
    bool IsOpen() const { return m_segment.Attached(); }
    bool Set();
    bool Reset();
    // True when the event is set within dwMilliseconds (UINT32_MAX: without limit).
    bool Wait(uint32_t dwMilliseconds);

  private:
    CSharedSegment m_segment;
};

}  // namespace qn::platform

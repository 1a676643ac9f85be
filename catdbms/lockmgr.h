// The file lock manager: record-type and set locks, the open lock and the lock-manager users of
// one catalog, as open-file-description byte-range locks on the catalog's ".TAF" file. Locks
// belong to the open file description, so two tasks in one process exclude each other like two
// processes, and every lock of a process that dies vanishes with it.
//
// Layout of the ".TAF" file (only the user area holds data; the rest are lock bytes):
//   byte 0                 open lock: shared for "s", exclusive for "x" and "o"
//   byte 1                 user-area lock, held while a user entry is taken or cleared
//   bytes 1024 + i         record type 10000 + i
//   bytes 1024 + 64 + i    set 20000 + i
//   bytes 2048 + ...       the gate of each record-type and set lock byte (lock byte + 1024):
//                          a task that waits for a write lock holds the gate exclusively, and
//                          a task that holds no lock yet passes every gate of its packet before
//                          it takes the lock bytes, so a steady stream of readers cannot keep
//                          a waiting writer out
//   bytes 4096 + 16 * n    user entry n (n < 256): the user id, NUL-padded; an entry is live
//                          while its byte range is write-locked by the task that took it
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qn::dbms {

class CLockFile {
  public:
    CLockFile() = default;
    ~CLockFile();
    CLockFile(const CLockFile&) = delete;
    CLockFile& operator=(const CLockFile&) = delete;

    // Opens (creating when missing) the ".TAF" file. S_NOLOCKMGR, S_TAFINVALID, S_NAMELEN.
    int Open(const std::string& path, bool create);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    // Exchanges the descriptions (and every lock on them) of two lock files.
    void Swap(CLockFile& other) {
        std::swap(m_fd, other.m_fd);
        std::swap(m_userEntry, other.m_userEntry);
    }

    // Open lock: exclusive or shared, no waiting. S_UNAVAIL when refused, S_NOSHARE when the
    // file system has no locks.
    int LockOpen(bool exclusive);
    // Who holds the open lock (ignoring this description's own lock): 0 none, 1 shared, 2
    // exclusive.
    int OpenHolders(int* holders);

    // Record-type or set lock byte for a code, and the gate byte of a lock byte.
    static int64_t CodeOffset(int code);
    static int64_t GateOffset(int64_t lockOffset);
    // Tries to lock the bytes; all or nothing. 0, S_UNAVAIL (some byte is held elsewhere),
    // S_NOSHARE.
    int TryLock(const std::vector<std::pair<int64_t, bool>>& bytes);  // (offset, exclusive)
    int Unlock(int64_t offset);
    // Frees every lock of this description but the open lock.
    void UnlockAllButOpen();

    // Lock-manager users.
    int TakeUser(const std::string& name);                // 0, S_DUPLICATE, S_NOUSER (table full)
    int UserInUse(const std::string& name, bool* inUse);  // live elsewhere
    int LiveUsers(std::vector<std::string>* names);
    int ClearUser(const std::string& name);  // 0, S_UNAVAIL, S_NOUSER
    void DropUser();

  private:
    int LockUserArea(bool lock);
    int ReadEntry(int index, std::string* name);
    bool EntryLive(int index);

    int m_fd = -1;
    int m_userEntry = -1;
};

}  // namespace qn::dbms

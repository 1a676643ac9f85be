#include "catdbms/lockmgr.h"

#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "catdbms/dbms.h"

namespace qn::dbms {

namespace {
constexpr int64_t kOpenByte = 0;
constexpr int64_t kUserAreaByte = 1;
constexpr int64_t kRecordBytes = 1024;
constexpr int64_t kSetBytes = 1024 + 64;
constexpr int64_t kGateDistance = 1024;
constexpr int64_t kUserArea = 4096;
constexpr int kUserEntries = 256;
constexpr int kUserEntrySize = 16;

struct flock MakeLock(short type, int64_t offset, int64_t length) {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = length;
    return fl;
}

int LockErrno(int err) {
    if (err == EAGAIN || err == EACCES)
        return S_UNAVAIL;
    if (err == EINVAL || err == ENOLCK || err == EOPNOTSUPP)
        return S_NOSHARE;
    if (err == EINTR)
        return S_UNAVAIL;
    return S_SYSERR;
}
}  // namespace

CLockFile::~CLockFile() {
    Close();
}

int CLockFile::Open(const std::string& path, bool create) {
    Close();
    if (path.empty())
        return S_BADPATH;
    if (path.size() > 4095)
        return S_NAMELEN;
    int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
    int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) {
        switch (errno) {
            case ENAMETOOLONG:
                return S_NAMELEN;
            case EISDIR:
                return S_TAFINVALID;
            case ENOENT:
                return create ? S_NOLOCKMGR : S_NOUSER;
            default:
                return S_NOLOCKMGR;
        }
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return S_TAFINVALID;
    }
    m_fd = fd;
    return S_OKAY;
}

void CLockFile::Close() {
    if (m_fd >= 0)
        ::close(m_fd);  // releases every lock of this description
    m_fd = -1;
    m_userEntry = -1;
}

int CLockFile::LockOpen(bool exclusive) {
    struct flock fl = MakeLock(exclusive ? F_WRLCK : F_RDLCK, kOpenByte, 1);
    if (fcntl(m_fd, F_OFD_SETLK, &fl) != 0)
        return LockErrno(errno);
    return S_OKAY;
}

int CLockFile::OpenHolders(int* holders) {
    struct flock fl = MakeLock(F_WRLCK, kOpenByte, 1);
    if (fcntl(m_fd, F_OFD_GETLK, &fl) != 0)
        return LockErrno(errno);
    if (fl.l_type == F_UNLCK) {
        *holders = 0;
        return S_OKAY;
    }
    if (fl.l_type == F_WRLCK) {
        *holders = 2;
        return S_OKAY;
    }
    *holders = 1;
    return S_OKAY;
}

void CLockFile::UnlockAllButOpen() {
    struct flock fl = MakeLock(F_UNLCK, kOpenByte + 1, 0);
    fcntl(m_fd, F_OFD_SETLK, &fl);
}

int64_t CLockFile::CodeOffset(int code) {
    if (code >= kSetBase)
        return kSetBytes + (code - kSetBase);
    return kRecordBytes + (code - kRecordBase);
}

int64_t CLockFile::GateOffset(int64_t lockOffset) {
    return lockOffset + kGateDistance;
}

int CLockFile::TryLock(const std::vector<std::pair<int64_t, bool>>& bytes) {
    size_t done = 0;
    int rc = S_OKAY;
    for (; done < bytes.size(); ++done) {
        struct flock fl = MakeLock(bytes[done].second ? F_WRLCK : F_RDLCK, bytes[done].first, 1);
        if (fcntl(m_fd, F_OFD_SETLK, &fl) != 0) {
            rc = LockErrno(errno);
            break;
        }
    }
    if (rc != S_OKAY) {
        for (size_t i = 0; i < done; ++i)
            Unlock(bytes[i].first);
    }
    return rc;
}

int CLockFile::Unlock(int64_t offset) {
    struct flock fl = MakeLock(F_UNLCK, offset, 1);
    if (fcntl(m_fd, F_OFD_SETLK, &fl) != 0)
        return LockErrno(errno);
    return S_OKAY;
}

int CLockFile::LockUserArea(bool lock) {
    struct flock fl = MakeLock(lock ? F_WRLCK : F_UNLCK, kUserAreaByte, 1);
    // Tasks keep this byte only for a few reads and writes of the user area, but a utility may
    // hold the whole file while it copies the catalog: wait a bounded time.
    const int kWaitMs = 5000;
    for (int waited = 0;; waited += 2) {
        if (fcntl(m_fd, F_OFD_SETLK, &fl) == 0)
            return S_OKAY;
        const int rc = LockErrno(errno);
        if (rc != S_UNAVAIL || !lock || waited >= kWaitMs)
            return rc;
        struct timespec ts = {0, 2000000L};
        nanosleep(&ts, nullptr);
    }
}

// Lock-manager user names are one name whatever their case: "system" is SYSTEM.
static bool SameUser(const std::string& entry, const std::string& name) {
    return entry.size() == name.size() && strcasecmp(entry.c_str(), name.c_str()) == 0;
}

int CLockFile::ReadEntry(int index, std::string* name) {
    char buf[kUserEntrySize + 1] = {};
    ssize_t n = pread(m_fd, buf, kUserEntrySize, kUserArea + int64_t(index) * kUserEntrySize);
    if (n < 0)
        return S_READ;
    if (n < kUserEntrySize)
        std::memset(buf + (n > 0 ? n : 0), 0, size_t(kUserEntrySize - (n > 0 ? n : 0)));
    buf[kUserEntrySize] = 0;
    name->assign(buf, strnlen(buf, kUserEntrySize));
    return S_OKAY;
}

bool CLockFile::EntryLive(int index) {
    if (index == m_userEntry)
        return true;
    struct flock fl =
        MakeLock(F_WRLCK, kUserArea + int64_t(index) * kUserEntrySize, kUserEntrySize);
    if (fcntl(m_fd, F_OFD_GETLK, &fl) != 0)
        return false;
    return fl.l_type != F_UNLCK;
}

int CLockFile::TakeUser(const std::string& name) {
    int rc = LockUserArea(true);
    if (rc != S_OKAY)
        return rc;
    int freeIndex = -1;
    for (int i = 0; i < kUserEntries && rc == S_OKAY; ++i) {
        std::string entry;
        rc = ReadEntry(i, &entry);
        if (rc != S_OKAY)
            break;
        const bool live = EntryLive(i);
        if (live && SameUser(entry, name))
            rc = S_DUPLICATE;
        if (!live && freeIndex < 0)
            freeIndex = i;
    }
    if (rc == S_OKAY && freeIndex < 0)
        rc = S_NOUSER;
    if (rc == S_OKAY) {
        char buf[kUserEntrySize] = {};
        std::memcpy(buf, name.data(), name.size() < kUserEntrySize ? name.size() : kUserEntrySize);
        const int64_t off = kUserArea + int64_t(freeIndex) * kUserEntrySize;
        struct flock fl = MakeLock(F_WRLCK, off, kUserEntrySize);
        if (fcntl(m_fd, F_OFD_SETLK, &fl) != 0) {
            rc = LockErrno(errno);
        } else if (pwrite(m_fd, buf, kUserEntrySize, off) != kUserEntrySize) {
            rc = errno == ENOSPC ? S_NOSPACE : S_WRITE;
            struct flock un = MakeLock(F_UNLCK, off, kUserEntrySize);
            fcntl(m_fd, F_OFD_SETLK, &un);
        } else {
            m_userEntry = freeIndex;
        }
    }
    LockUserArea(false);
    return rc;
}

int CLockFile::UserInUse(const std::string& name, bool* inUse) {
    *inUse = false;
    for (int i = 0; i < kUserEntries; ++i) {
        std::string entry;
        int rc = ReadEntry(i, &entry);
        if (rc != S_OKAY)
            return rc;
        if (SameUser(entry, name) && EntryLive(i)) {
            *inUse = true;
            break;
        }
    }
    return S_OKAY;
}

int CLockFile::LiveUsers(std::vector<std::string>* names) {
    names->clear();
    for (int i = 0; i < kUserEntries; ++i) {
        std::string entry;
        int rc = ReadEntry(i, &entry);
        if (rc != S_OKAY)
            return rc;
        if (!entry.empty() && EntryLive(i))
            names->push_back(entry);
    }
    return S_OKAY;
}

int CLockFile::ClearUser(const std::string& name) {
    int rc = LockUserArea(true);
    if (rc != S_OKAY)
        return rc;
    bool found = false, live = false;
    for (int i = 0; i < kUserEntries && rc == S_OKAY; ++i) {
        std::string entry;
        rc = ReadEntry(i, &entry);
        if (rc != S_OKAY || !SameUser(entry, name))
            continue;
        found = true;
        if (EntryLive(i)) {
            live = true;
            continue;
        }
        char zero[kUserEntrySize] = {};
        if (pwrite(m_fd, zero, kUserEntrySize, kUserArea + int64_t(i) * kUserEntrySize) !=
            kUserEntrySize)
            rc = S_WRITE;
    }
    LockUserArea(false);
    if (rc != S_OKAY)
        return rc;
    if (live)
        return S_UNAVAIL;
    return found ? S_OKAY : S_NOUSER;
}

void CLockFile::DropUser() {
    if (m_userEntry < 0)
        return;
    const int64_t off = kUserArea + int64_t(m_userEntry) * kUserEntrySize;
    if (LockUserArea(true) == S_OKAY) {
        char zero[kUserEntrySize] = {};
        if (pwrite(m_fd, zero, kUserEntrySize, off) != kUserEntrySize) {
            // The entry stays named but unlocked: it counts as free.
        }
        LockUserArea(false);
    }
    struct flock fl = MakeLock(F_UNLCK, off, kUserEntrySize);
    fcntl(m_fd, F_OFD_SETLK, &fl);
    m_userEntry = -1;
}

}  // namespace qn::dbms

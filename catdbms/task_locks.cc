// TaskImpl: open and close, lock packets, and transactions.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "catdbms/taskimpl.h"

namespace qn::dbms {

using namespace task_detail;

int TaskImpl::Open(const char* dbName, const char* mode, CCatalogHold* hold) {
    if (IsOpen())
        return S_DBALREADYOPEN;
    if (hold != nullptr && (hold->m_lent || !hold->m_lock->IsOpen()))
        return S_BADPARAM;
    if (dbName == nullptr || mode == nullptr || *dbName == 0)
        return S_BADPARAM;
    const std::string m = mode;
    if (m != "x" && m != "o" && m != "s")
        return S_BADTYPE;
    std::string path = ResolvePath(dbName);
    int rc = PathStatus(path.c_str());
    if (rc != S_OKAY)
        return rc;
    const std::string taf = TafPathFor(path);
    rc = PathStatus(taf.c_str());
    if (rc != S_OKAY)
        return rc;

    // Recognise the file before anything is created or locked beside it.
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENAMETOOLONG)
            return S_NAMELEN;
        if (errno == EACCES)
            return S_UNAVAIL;
        return S_INVDB;
    }
    if (!S_ISREG(st.st_mode))
        return S_INVDB;
    {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return errno == EACCES ? S_UNAVAIL : S_INVDB;
        char head[16] = {};
        const ssize_t n = ::pread(fd, head, sizeof head, 0);
        const int err = errno;
        ::close(fd);
        if (n < 0)
            return err == EIO ? S_READ : S_INVDB;
        if (n != 16 || std::memcmp(head, "SQLite format 3", 16) != 0)
            return S_INVDB;
    }
    const std::string dir = DirectoryOf(path);
    if (::access(path.c_str(), W_OK) != 0 || ::access(dir.c_str(), W_OK) != 0)
        return S_UNAVAIL;

    if (hold != nullptr) {
        // The hold's description already has the open lock exclusively: taken over, not taken
        // again, so nobody can come in between.
        if (hold->m_tafPath != taf)
            return S_BADPARAM;
        m_taf.Swap(*hold->m_lock);
        hold->m_lent = true;
        m_hold = hold;
        rc = S_OKAY;
    } else {
        rc = m_taf.Open(taf, true);
        if (rc != S_OKAY)
            return rc;
        rc = m_taf.LockOpen(m != "s");
    }
    if (rc == S_OKAY && !m_userId.empty())
        rc = m_taf.TakeUser(m_userId);
    // Bringing an older dictionary up to date writes: only an open that keeps others out may.
    m_store.AllowOlderDictionary(m != "s");
    if (rc == S_OKAY)
        rc = m_store.Open(path, g_forceRollbackJournal || OnNetworkFileSystem(dir), m_timeoutMs);
    if (rc == S_OKAY && m_cachePages > 0)
        rc = m_store.SetCachePages(m_cachePages);
    if (rc == S_OKAY && m_sizeLimit > 0)
        rc = m_store.SetSizeLimit(m_sizeLimit);
    if (rc != S_OKAY) {
        m_store.Close();
        m_taf.DropUser();
        ReleaseTaf();
        return rc;
    }
    m_mode = m;
    m_path = path;
    m_locks.fill('f');
    ResetCurrency();
    return S_OKAY;
}

int TaskImpl::Close() {
    if (!IsOpen() && !m_taf.IsOpen())
        return S_OKAY;
    m_store.Rollback();
    m_store.Close();
    m_taf.DropUser();
    ReleaseTaf();
    m_inTxn = false;
    m_lost = S_OKAY;
    m_tag.clear();
    m_state = uint16_t(m_state & ~kStateTransaction);
    m_locks.fill('f');
    m_mode.clear();
    m_path.clear();
    ResetCurrency();
    return S_OKAY;
}

void TaskImpl::ReleaseTaf() {
    if (m_hold != nullptr) {
        // Back to the hold with the exclusive open lock alone: the record-type and set locks
        // of the task go, the open lock stays.
        m_taf.UnlockAllButOpen();
        m_hold->m_lock->Swap(m_taf);
        m_hold->m_lent = false;
        m_hold = nullptr;
    }
    m_taf.Close();  // every lock of this task goes with the description
}

int TaskImpl::CheckCode(int code) {
    if (code >= kSetBase)
        return FindSet(code) != nullptr ? S_OKAY : S_INVSET;
    return FindRecord(code) != nullptr ? S_OKAY : S_INVREC;
}

int TaskImpl::AcquireBytes(const std::vector<std::pair<int64_t, bool>>& bytes) {
    // Writers queue at the gates of what they want to write, and a reader that holds no lock
    // yet passes the gates of its whole packet first, so new readers wait behind a waiting
    // writer instead of overtaking it forever. Nobody waits at a gate while holding anything:
    // a writer takes all its gates at once and then waits for lock bytes only (the read entries
    // of its packet pass no gate), and a task that already holds locks never waits at a gate,
    // since it may hold what a waiting writer needs. It still takes the gates of its write
    // locks when they are free, so that readers cannot starve it either.
    const bool holder = HoldsLocks();
    bool writes = false;
    for (const auto& b : bytes)
        writes = writes || b.second;
    std::vector<std::pair<int64_t, bool>> writerGates, readerGates;
    for (const auto& [offset, exclusive] : bytes) {
        if (exclusive)
            writerGates.emplace_back(CLockFile::GateOffset(offset), true);
        else if (!holder && !writes)
            readerGates.emplace_back(CLockFile::GateOffset(offset), false);
    }
    bool gatesHeld = false;
    auto releaseGates = [&] {
        if (gatesHeld)
            for (const auto& g : writerGates)
                m_taf.Unlock(g.first);
        gatesHeld = false;
    };
    const int64_t deadline = NowMs() + m_timeoutMs;
    int nap = 1;
    for (;;) {
        int rc = S_OKAY;
        if (!gatesHeld && !writerGates.empty()) {
            rc = m_taf.TryLock(writerGates);
            gatesHeld = rc == S_OKAY;
            if (holder && rc == S_UNAVAIL)
                rc = S_OKAY;  // another writer queues there already: go on without
        }
        if (rc == S_OKAY && !readerGates.empty()) {
            // Shared: refused only while a writer waits at one of them.
            rc = m_taf.TryLock(readerGates);
            if (rc == S_OKAY)
                for (const auto& g : readerGates)
                    m_taf.Unlock(g.first);
        }
        if (rc == S_OKAY)
            rc = m_taf.TryLock(bytes);
        if (rc != S_UNAVAIL) {
            releaseGates();
            return rc;
        }
        // No read snapshot is kept while waiting: with the rollback journal it would hold off
        // the commit of the very writer waited for. What the locks held cover cannot change,
        // and the grant starts a new snapshot.
        if (!m_inTxn && m_store.State() == CStore::Txn::Read)
            m_store.Commit();
        const int64_t now = NowMs();
        if (now >= deadline) {
            releaseGates();
            ResumeReadSnapshot();
            return S_UNAVAIL;
        }
        SleepMs(int(std::min<int64_t>(nap, deadline - now)));
        nap = nap < 16 ? nap * 2 : 16;
    }
}

int TaskImpl::StartStorageFor(const std::vector<int>& codes, const std::vector<char>& previous) {
    int rc = S_OKAY;
    if (m_inTxn) {
        m_store.SetBusyTimeout(m_timeoutMs);
        rc = m_store.BeginWrite();
    } else {
        // Outside a transaction the read snapshot starts again with every grant: what the locks
        // held before cover cannot have changed meanwhile, and what the new ones cover is read
        // as it is now, not as it was when the first of them was granted.
        if (m_store.State() != CStore::Txn::None)
            m_store.Commit();
        rc = m_store.BeginRead();
    }
    if (rc != S_OKAY) {
        for (size_t i = 0; i < codes.size(); ++i) {
            const int li = LockIndex(codes[i]);
            if (previous[i] == 'f') {
                m_taf.Unlock(CLockFile::CodeOffset(codes[i]));
            } else if (previous[i] == 'r') {
                std::vector<std::pair<int64_t, bool>> back{
                    {CLockFile::CodeOffset(codes[i]), false}};
                m_taf.TryLock(back);
            }
            m_locks[size_t(li)] = previous[i];
        }
    }
    return rc;
}

int TaskImpl::Lock(const LOCK_REQUEST* packet, int count) {
    ForgetOrders();
    if (!IsOpen())
        return S_DBOPEN;
    if (packet == nullptr || count < 1)
        return S_BADPARAM;
    std::vector<int> codes;
    std::vector<char> types;
    for (int i = 0; i < count; ++i) {
        LOCK_REQUEST e;
        std::memcpy(&e, &packet[i], sizeof e);
        int rc = CheckCode(e.item);
        if (rc != S_OKAY)
            return rc;
        if (e.type != 'r' && e.type != 'w')
            return S_BADTYPE;
        if (m_locks[size_t(LockIndex(e.item))] != 'f')
            return S_NOTFREE;
        bool merged = false;
        for (size_t k = 0; k < codes.size(); ++k) {
            if (codes[k] == e.item) {
                if (e.type == 'w')
                    types[k] = 'w';
                merged = true;
            }
        }
        if (!merged) {
            codes.push_back(e.item);
            types.push_back(e.type);
        }
    }
    std::vector<std::pair<int64_t, bool>> bytes;
    for (size_t k = 0; k < codes.size(); ++k)
        bytes.emplace_back(CLockFile::CodeOffset(codes[k]), types[k] == 'w');
    int rc = AcquireBytes(bytes);
    if (rc != S_OKAY)
        return Ret(rc, "lock request");
    for (size_t k = 0; k < codes.size(); ++k)
        m_locks[size_t(LockIndex(codes[k]))] = types[k];
    return Ret(StartStorageFor(codes, std::vector<char>(codes.size(), 'f')), "lock request");
}

int TaskImpl::LockOne(int code, char type) {
    ForgetOrders();
    if (!IsOpen())
        return S_DBOPEN;
    int rc = CheckCode(code);
    if (rc != S_OKAY)
        return rc;
    if (type != 'r' && type != 'w')
        return S_BADTYPE;
    const char held = m_locks[size_t(LockIndex(code))];
    if (held == 'w' || held == type)
        return S_OKAY;
    rc = AcquireBytes({{CLockFile::CodeOffset(code), type == 'w'}});
    if (rc != S_OKAY)
        return Ret(rc, "lock");
    m_locks[size_t(LockIndex(code))] = type;
    return Ret(StartStorageFor({code}, {held}), "lock");
}

int TaskImpl::LockState(int code, char* state) {
    if (!IsOpen())
        return S_DBOPEN;
    if (state == nullptr)
        return S_BADPARAM;
    int rc = CheckCode(code);
    if (rc != S_OKAY)
        return rc;
    *state = m_locks[size_t(LockIndex(code))];
    return S_OKAY;
}

int TaskImpl::Free(int code) {
    ForgetOrders();
    if (!IsOpen())
        return S_DBOPEN;
    int rc = CheckCode(code);
    if (rc != S_OKAY)
        return rc;
    char& held = m_locks[size_t(LockIndex(code))];
    if (held == 'f')
        return S_NOTFOUND;
    if (held == 'w' && m_inTxn)
        return S_TRFREE;
    m_taf.Unlock(CLockFile::CodeOffset(code));
    held = 'f';
    EndReadSnapshotIfIdle();
    return S_OKAY;
}

void TaskImpl::FreeLocks(bool readOnly) {
    for (int i = 0; i < kRecordCount + kSetCount; ++i) {
        char& held = m_locks[size_t(i)];
        if (held == 'f' || (readOnly && held == 'w'))
            continue;
        const int code = i < kRecordCount ? kRecordBase + i : kSetBase + (i - kRecordCount);
        m_taf.Unlock(CLockFile::CodeOffset(code));
        held = 'f';
    }
}

int TaskImpl::FreeReadLocks() {
    ForgetOrders();
    if (!IsOpen())
        return S_DBOPEN;
    FreeLocks(true);
    EndReadSnapshotIfIdle();
    return S_OKAY;
}

int TaskImpl::FreeAll() {
    ForgetOrders();
    if (!IsOpen())
        return S_DBOPEN;
    FreeLocks(m_inTxn);
    EndReadSnapshotIfIdle();
    return S_OKAY;
}

int TaskImpl::Begin(const char* tag) {
    ForgetOrders();
    if (!IsOpen())
        return S_DBOPEN;
    if (m_inTxn)
        return S_TRACTIVE;
    m_tag = tag != nullptr ? std::string(tag, strnlen(tag, 256)) : std::string();
    m_inTxn = true;
    m_state = uint16_t(m_state | kStateTransaction);
    return S_OKAY;
}

void TaskImpl::EndTxn() {
    m_inTxn = false;
    m_lost = S_OKAY;
    m_tag.clear();
    m_state = uint16_t(m_state & ~kStateTransaction);
    FreeLocks(false);
}

int TaskImpl::End() {
    ForgetOrders();
    if (!IsOpen())
        return S_DBOPEN;
    if (!m_inTxn)
        return S_TRNOTACT;
    int rc = m_lost;
    if (rc == S_OKAY) {
        rc = m_store.Commit();
    } else {
        m_store.Rollback();
    }
    EndTxn();
    return Ret(rc, "transaction commit");
}

int TaskImpl::Abort() {
    ForgetOrders();
    if (!IsOpen())
        return S_DBOPEN;
    if (!m_inTxn)
        return S_TRNOTACT;
    m_store.Rollback();
    EndTxn();
    return S_OKAY;
}

}  // namespace qn::dbms

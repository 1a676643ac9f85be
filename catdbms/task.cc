// The engine task: settings, open and close, the lock manager's packets, transactions and the
// currency model, over the storage interface (store.h) and the file lock manager (lockmgr.h).
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <new>
#include <unordered_map>

#include "catdbms/dbms.h"
#include "catdbms/lockmgr.h"
#include "catdbms/store.h"
#include "catdbms/testhooks.h"

namespace qn::dbms {

namespace {

constexpr size_t kMaxPath = 4095;
constexpr size_t kMaxName = 255;
constexpr uint64_t kPositionGap = uint64_t(1) << 20;
constexpr uint64_t kPositionLimit = uint64_t(1) << 62;
constexpr size_t kMaxRecordSize = 1024;

int64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void SleepMs(int ms) {
    struct timespec ts = {ms / 1000, long(ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

bool ValidUserId(const char* id) {
    if (id == nullptr)
        return false;
    const size_t n = strnlen(id, kMaxUserIdLength + 1);
    if (n == 0 || n > kMaxUserIdLength)
        return false;
    for (size_t i = 0; i < n; ++i) {
        const char c = id[i];
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
        if (!ok)
            return false;
    }
    return true;
}

int PathStatus(const char* path) {
    if (path == nullptr)
        return S_BADPARAM;
    const size_t n = strnlen(path, kMaxPath + 1);
    if (n > kMaxPath)
        return S_NAMELEN;
    size_t run = 0;
    for (size_t i = 0; i < n; ++i) {
        run = path[i] == '/' ? 0 : run + 1;
        if (run > kMaxName)
            return S_NAMELEN;
    }
    return S_OKAY;
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

bool g_forceRollbackJournal = false;

// File systems on which WAL's shared memory is not safe between machines.
bool OnNetworkFileSystem(const std::string& dir) {
    struct statfs sfs;
    if (statfs(dir.c_str(), &sfs) != 0)
        return false;
    switch (static_cast<unsigned long>(sfs.f_type)) {
        case 0x6969UL:      // NFS
        case 0x517BUL:      // SMB
        case 0xFF534D42UL:  // CIFS
        case 0xFE534D42UL:  // SMB2
        case 0x01021997UL:  // 9P
        case 0x65735546UL:  // FUSE (sshfs and the like)
        case 0x73757245UL:  // Coda
        case 0x564C:        // NCP
        case 0x0BD00BD0UL:  // Lustre
        case 0x47504653UL:  // GPFS
        case 0x00C36400UL:  // Ceph
            return true;
        default:
            return false;
    }
}

}  // namespace

void testing::ForceRollbackJournal(bool force) {
    g_forceRollbackJournal = force;
}

const char* StatusText(int status) {
    switch (status) {
        case S_OKAY:
            return "success";
        case S_EOS:
            return "end of set";
        case S_NOTFOUND:
            return "not found";
        case S_DUPLICATE:
            return "duplicate";
        case S_UNAVAIL:
            return "unavailable";
        case S_DELETED:
            return "record deleted";
        case S_UPDATED:
            return "record updated";
        case S_DBOPEN:
            return "database not open";
        case S_INVSET:
            return "invalid set";
        case S_INVREC:
            return "invalid record type";
        case S_INVDB:
            return "invalid catalog file";
        case S_INVFLD:
            return "invalid field";
        case S_INVADDR:
            return "invalid database address";
        case S_NOCR:
            return "no current record";
        case S_NOCO:
            return "no current owner";
        case S_NOCM:
            return "no current member";
        case S_BADTYPE:
            return "invalid lock type or open mode";
        case S_HASMEMBER:
            return "record owns members";
        case S_ISMEMBER:
            return "record is connected to a set";
        case S_ISOWNED:
            return "record is already a member of the set";
        case S_NOTCON:
            return "record not connected to the set";
        case S_NOTKEY:
            return "field is not a key";
        case S_INVOWN:
            return "invalid owner for the set";
        case S_INVMEM:
            return "invalid member for the set";
        case S_SETPAGES:
            return "cache size not accepted";
        case S_INCOMPAT:
            return "needs an exclusive open";
        case S_DELSYS:
            return "system record cannot be deleted";
        case S_NOTFREE:
            return "locks already held";
        case S_TRACTIVE:
            return "transaction already open";
        case S_TRNOTACT:
            return "no transaction open";
        case S_BADPATH:
            return "invalid path";
        case S_TRFREE:
            return "write locks held in a transaction";
        case S_BADPARAM:
            return "invalid parameter";
        case S_NAMELEN:
            return "name too long";
        case S_BADUSERID:
            return "invalid lock-manager user id";
        case S_TAFINVALID:
            return "invalid lock-manager file";
        case S_NOUSER:
            return "lock-manager user not found";
        case S_NOSPACE:
            return "disk full";
        case S_SYSERR:
            return "system error";
        case S_NOMEMORY:
            return "out of memory";
        case S_NOFILE:
            return "file not found";
        case S_RECLIMIT:
            return "record slots exhausted";
        case S_WRITE:
            return "write error";
        case S_READ:
            return "read error";
        case S_NOLOCKMGR:
            return "lock manager not available";
        case S_DBALREADYOPEN:
            return "database already open";
        case S_NOSHARE:
            return "file locking not available";
        case S_BADTRANSPORT:
            return "invalid lock-manager transport";
    }
    return "unknown engine status";
}

std::string CDbTask::DefaultTafPath(const char* catalogPath) {
    std::string path = catalogPath != nullptr ? catalogPath : "";
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1))
        path.resize(dot);
    return path + ".TAF";
}

// ================================================================================================

class TaskImpl {
  public:
    ~TaskImpl() { Close(); }

    int Ret(int status, const char* what) {
        if (status <= S_NOSPACE && m_errFn != nullptr) {
            std::string text = std::string(what) + ": " + StatusText(status);
            m_errFn(status, text.c_str(), m_errCtx);
        }
        return status;
    }

    // -- Settings ---------------------------------------------------------------------------------
    ErrorCallback m_errFn = nullptr;
    void* m_errCtx = nullptr;
    uint16_t m_state = 0;
    std::string m_dictPath, m_dataPath, m_tafPath, m_dbName, m_userId;
    int m_timeoutMs = 10000;
    int m_cachePages = 0;
    uint64_t m_sizeLimit = 0;

    // -- Open state
    // ---------------------------------------------------------------------------------
    CStore m_store;
    CLockFile m_taf;
    std::string m_mode;
    std::string m_path;
    bool m_inTxn = false;
    int m_lost = S_OKAY;  // the storage rolled the open transaction back with this status
    std::string m_tag;
    std::array<char, kRecordCount + kSetCount> m_locks{};

    // -- Currency
    // ----------------------------------------------------------------------------------
    DBA m_cr = 0;
    std::array<DBA, kSetCount> m_owner{};
    std::array<DBA, kSetCount> m_member{};
    // Order key of the current member where a step found it; valid while no write and no lock
    // change came in between (ForgetOrders).
    std::array<std::string, kSetCount> m_memberOrd;
    std::array<DBA, kSetCount> m_memberOrdFor{};
    void ForgetOrders() {
        m_memberOrdFor.fill(0);
        // A walk left on its row would also keep an old read snapshot alive.
        if (m_store.IsOpen())
            m_store.ResetWalk();
    }
    std::array<uint32_t, kRecordCount> m_scan{};
    std::array<bool, kRecordCount> m_scanValid{};
    struct KeyCursor {
        bool valid = false;
        KeyValue kv;
        DBA dba = 0;
    };
    std::array<KeyCursor, kFieldCount> m_keys{};  // by field index
    int m_lastKey = 0;

    bool IsOpen() const { return m_store.IsOpen(); }
    static int LockIndex(int code) {
        return code >= kSetBase ? kRecordCount + (code - kSetBase) : code - kRecordBase;
    }
    static int SetIndex(int code) { return code - kSetBase; }

    std::string TafPathFor(const std::string& catalogPath) const {
        return m_tafPath.empty() ? CDbTask::DefaultTafPath(catalogPath.c_str()) : m_tafPath;
    }
    std::string ResolvePath(const char* name) const {
        std::string n = name;
        if (n.find('/') != std::string::npos || m_dictPath.empty())
            return n;
        return m_dictPath + "/" + n;
    }
    // The TAF for user queries before or after open.
    int WithTaf(CLockFile* tmp, CLockFile** use) {
        if (m_taf.IsOpen()) {
            *use = &m_taf;
            return S_OKAY;
        }
        std::string taf = m_tafPath;
        if (taf.empty()) {
            if (m_dbName.empty())
                return S_NOUSER;
            taf = CDbTask::DefaultTafPath(ResolvePath(m_dbName.c_str()).c_str());
        }
        int rc = tmp->Open(taf, false);
        if (rc != S_OKAY)
            return rc;
        *use = tmp;
        return S_OKAY;
    }

    void ResetCurrency() {
        ForgetOrders();
        m_cr = 0;
        m_owner.fill(0);
        m_member.fill(0);
        m_scan.fill(0);
        m_scanValid.fill(false);
        for (KeyCursor& k : m_keys)
            k.valid = false;
        m_lastKey = 0;
        // The system record owns the catalog-wide sets from the start.
        uint32_t slot = 0;
        if (m_store.IsOpen() && m_store.Scan(SYSTEM, 0, true, &slot) == S_OKAY) {
            for (const SetDef& s : kSets)
                if (s.owner == SYSTEM)
                    m_owner[size_t(SetIndex(s.code))] = MakeDba(SYSTEM, slot);
        }
    }

    void ForgetDba(DBA dba) {
        if (m_cr == dba)
            m_cr = 0;
        for (int i = 0; i < kSetCount; ++i) {
            if (m_owner[size_t(i)] == dba) {
                m_owner[size_t(i)] = 0;
                m_member[size_t(i)] = 0;
            }
            if (m_member[size_t(i)] == dba)
                m_member[size_t(i)] = 0;
        }
    }

    // -- Open and close
    // -------------------------------------------------------------------------------
    int Open(const char* dbName, const char* mode) {
        if (IsOpen())
            return S_DBALREADYOPEN;
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

        rc = m_taf.Open(taf, true);
        if (rc != S_OKAY)
            return rc;
        rc = m_taf.LockOpen(m != "s");
        if (rc == S_OKAY && !m_userId.empty())
            rc = m_taf.TakeUser(m_userId);
        if (rc == S_OKAY)
            rc =
                m_store.Open(path, g_forceRollbackJournal || OnNetworkFileSystem(dir), m_timeoutMs);
        if (rc == S_OKAY && m_cachePages > 0)
            rc = m_store.SetCachePages(m_cachePages);
        if (rc == S_OKAY && m_sizeLimit > 0)
            rc = m_store.SetSizeLimit(m_sizeLimit);
        if (rc != S_OKAY) {
            m_store.Close();
            m_taf.DropUser();
            m_taf.Close();
            return rc;
        }
        m_mode = m;
        m_path = path;
        m_locks.fill('f');
        ResetCurrency();
        return S_OKAY;
    }

    int Close() {
        if (!IsOpen() && !m_taf.IsOpen())
            return S_OKAY;
        m_store.Rollback();
        m_store.Close();
        m_taf.DropUser();
        m_taf.Close();  // every lock of this task goes with the description
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

    // -- Storage transactions around one operation
    // ------------------------------------------------------ Inside an engine transaction an
    // operation runs in a savepoint of the write transaction; outside one it is its own write
    // transaction. Either way it is all or nothing.
    class WriteOp {
      public:
        explicit WriteOp(TaskImpl& t) : m_t(t) {}
        int Begin() {
            CStore& s = m_t.m_store;
            m_t.ForgetOrders();
            if (m_t.m_inTxn) {
                // A transaction the storage already rolled back takes no more work.
                if (m_t.m_lost != S_OKAY)
                    return m_t.m_lost;
                int rc = s.BeginWrite();
                if (rc != S_OKAY)
                    return rc;
                rc = s.Savepoint();
                if (rc != S_OKAY)
                    return rc;
                m_savepoint = true;
                return S_OKAY;
            }
            // Read locks keep what they cover unchanged, so the read snapshot may end here.
            int rc = s.BeginWrite();
            if (rc != S_OKAY)
                return rc;
            m_auto = true;
            return S_OKAY;
        }
        int Finish(int status) {
            CStore& s = m_t.m_store;
            if (status != S_OKAY && s.TransactionLost()) {
                if (m_t.m_inTxn)
                    m_t.m_lost = status;
                if (m_auto)
                    m_t.ResumeReadSnapshot();
                return status;
            }
            if (status == S_OKAY) {
                if (m_savepoint)
                    status = s.ReleaseSavepoint();
                if (m_auto) {
                    status = s.Commit();
                    if (status == S_OKAY)
                        m_t.ResumeReadSnapshot();
                }
                if (status == S_OKAY)
                    return S_OKAY;
            }
            if (m_savepoint)
                s.RollbackSavepoint();
            if (m_auto) {
                s.Rollback();
                m_t.ResumeReadSnapshot();
            }
            return status;
        }

      private:
        TaskImpl& m_t;
        bool m_savepoint = false;
        bool m_auto = false;
    };

    bool HoldsLocks() const {
        for (char c : m_locks)
            if (c != 'f')
                return true;
        return false;
    }
    void ResumeReadSnapshot() {
        if (!m_inTxn && HoldsLocks() && m_store.State() == CStore::Txn::None)
            m_store.BeginRead();
    }
    void EndReadSnapshotIfIdle() {
        if (!m_inTxn && !HoldsLocks() && m_store.State() != CStore::Txn::None)
            m_store.Commit();
    }

    // -- Locks
    // ------------------------------------------------------------------------------------------
    static int CheckCode(int code) {
        if (code >= kSetBase)
            return FindSet(code) != nullptr ? S_OKAY : S_INVSET;
        return FindRecord(code) != nullptr ? S_OKAY : S_INVREC;
    }

    int AcquireBytes(const std::vector<std::pair<int64_t, bool>>& bytes) {
        const int64_t deadline = NowMs() + m_timeoutMs;
        int nap = 1;
        for (;;) {
            int rc = m_taf.TryLock(bytes);
            if (rc != S_UNAVAIL)
                return rc;
            const int64_t now = NowMs();
            if (now >= deadline)
                return S_UNAVAIL;
            SleepMs(int(std::min<int64_t>(nap, deadline - now)));
            nap = nap < 16 ? nap * 2 : 16;
        }
    }

    // After locks are granted: the storage transaction that goes with them.
    int StartStorageFor(const std::vector<int>& codes, const std::vector<char>& previous) {
        int rc = S_OKAY;
        if (m_inTxn) {
            m_store.SetBusyTimeout(m_timeoutMs);
            rc = m_store.BeginWrite();
        } else if (m_store.State() == CStore::Txn::None) {
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

    int Lock(const LOCK_REQUEST* packet, int count) {
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

    int LockOne(int code, char type) {
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

    int LockState(int code, char* state) {
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

    int Free(int code) {
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

    void FreeLocks(bool readOnly) {
        for (int i = 0; i < kRecordCount + kSetCount; ++i) {
            char& held = m_locks[size_t(i)];
            if (held == 'f' || (readOnly && held == 'w'))
                continue;
            const int code = i < kRecordCount ? kRecordBase + i : kSetBase + (i - kRecordCount);
            m_taf.Unlock(CLockFile::CodeOffset(code));
            held = 'f';
        }
    }

    int FreeReadLocks() {
        ForgetOrders();
        if (!IsOpen())
            return S_DBOPEN;
        FreeLocks(true);
        EndReadSnapshotIfIdle();
        return S_OKAY;
    }

    int FreeAll() {
        ForgetOrders();
        if (!IsOpen())
            return S_DBOPEN;
        FreeLocks(m_inTxn);
        EndReadSnapshotIfIdle();
        return S_OKAY;
    }

    // -- Transactions
    // --------------------------------------------------------------------------------------
    int Begin(const char* tag) {
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

    void EndTxn() {
        m_inTxn = false;
        m_lost = S_OKAY;
        m_tag.clear();
        m_state = uint16_t(m_state & ~kStateTransaction);
        FreeLocks(false);
    }

    int End() {
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

    int Abort() {
        ForgetOrders();
        if (!IsOpen())
            return S_DBOPEN;
        if (!m_inTxn)
            return S_TRNOTACT;
        m_store.Rollback();
        EndTxn();
        return S_OKAY;
    }

    // -- Records
    // -------------------------------------------------------------------------------------------
    static int CheckDba(DBA dba) {
        if ((dba >> 24) >= uint32_t(kRecordCount) || DbaSlot(dba) == 0)
            return S_INVADDR;
        return S_OKAY;
    }

    int NeedCr() const {
        if (!IsOpen())
            return S_DBOPEN;
        return m_cr == 0 ? S_NOCR : S_OKAY;
    }

    int FillNew(int recordCode, const void* buffer) {
        if (!IsOpen())
            return S_DBOPEN;
        const RecordDef* r = FindRecord(recordCode);
        if (r == nullptr)
            return S_INVREC;
        if (r->size > 0 && buffer == nullptr)
            return S_BADPARAM;
        if (recordCode == SYSTEM)
            return S_INVREC;  // the one system record is made with the catalog
        WriteOp op(*this);
        int rc = op.Begin();
        DBA dba = 0;
        if (rc == S_OKAY)
            rc = m_store.Insert(recordCode, buffer, &dba);
        rc = op.Finish(rc);
        if (rc == S_OKAY)
            m_cr = dba;
        return Ret(rc, "record create");
    }

    int ReadRecord(DBA dba, uint8_t* buf) { return m_store.Read(dba, buf, nullptr); }

    int RecRead(void* buffer) {
        int rc = NeedCr();
        if (rc != S_OKAY)
            return rc;
        if (buffer == nullptr && FindRecord(DbaRecord(m_cr))->size > 0)
            return S_BADPARAM;
        return Ret(m_store.Read(m_cr, buffer, nullptr), "record read");
    }

    // Writes a whole record and what follows from its fields: ascending set orders and stored
    // optional-key entries.
    int WriteRecord(DBA dba, const uint8_t* before, const uint8_t* after) {
        const int recordCode = DbaRecord(dba);
        int rc = m_store.Update(dba, after);
        for (const SetDef& s : kSets) {
            if (rc != S_OKAY)
                break;
            if (s.order != SetOrder::ORDER_ASCENDING || !IsSetMember(s.code, recordCode))
                continue;
            const FieldDef* f = FindField(s.sortField);
            if (std::memcmp(before + f->offset, after + f->offset, f->size) == 0)
                continue;
            rc = m_store.MemberRow(s.code, dba, nullptr, nullptr);
            if (rc == S_NOTFOUND) {
                rc = S_OKAY;
                continue;
            }
            if (rc == S_OKAY)
                rc = m_store.MemberSetOrd(
                    s.code, dba,
                    OrderKeyAscending(reinterpret_cast<const char*>(after + f->offset), f->size,
                                      dba));
        }
        for (const FieldDef& f : kFields) {
            if (rc != S_OKAY)
                break;
            if (f.record != recordCode || f.key != KeyKind::OPTKEY)
                continue;
            if (std::memcmp(before + f.offset, after + f.offset, f.size) == 0)
                continue;
            rc = m_store.OptKeyUpdate(f, KeyFromRecord(f, after), dba);
        }
        return rc;
    }

    int RecWrite(const void* buffer) {
        int rc = NeedCr();
        if (rc != S_OKAY)
            return rc;
        const RecordDef* r = FindRecord(DbaRecord(m_cr));
        if (buffer == nullptr && r->size > 0)
            return S_BADPARAM;
        uint8_t before[kMaxRecordSize] = {}, after[kMaxRecordSize] = {};
        if (r->size > 0)
            std::memcpy(after, buffer, r->size);
        WriteOp op(*this);
        rc = op.Begin();
        if (rc == S_OKAY)
            rc = ReadRecord(m_cr, before);
        if (rc == S_OKAY)
            rc = WriteRecord(m_cr, before, after);
        return Ret(op.Finish(rc), "record write");
    }

    const FieldDef* FieldOf(int fieldCode, int recordCode) {
        const FieldDef* f = FindField(fieldCode);
        if (f == nullptr || f->record != recordCode || f->kind == FieldKind::COMPOUND)
            return nullptr;
        return f;
    }

    int ReadField(DBA dba, int fieldCode, void* buffer) {
        const FieldDef* f = FieldOf(fieldCode, DbaRecord(dba));
        if (f == nullptr)
            return S_INVFLD;
        if (buffer == nullptr)
            return S_BADPARAM;
        uint8_t rec[kMaxRecordSize];
        int rc = ReadRecord(dba, rec);
        if (rc == S_OKAY)
            std::memcpy(buffer, rec + f->offset, f->size);
        return rc;
    }

    int CrRead(int fieldCode, void* buffer) {
        int rc = NeedCr();
        if (rc != S_OKAY)
            return rc;
        return Ret(ReadField(m_cr, fieldCode, buffer), "field read");
    }

    int CrWrite(int fieldCode, const void* buffer) {
        int rc = NeedCr();
        if (rc != S_OKAY)
            return rc;
        const FieldDef* f = FieldOf(fieldCode, DbaRecord(m_cr));
        if (f == nullptr)
            return S_INVFLD;
        if (buffer == nullptr)
            return S_BADPARAM;
        uint8_t before[kMaxRecordSize], after[kMaxRecordSize];
        WriteOp op(*this);
        rc = op.Begin();
        if (rc == S_OKAY)
            rc = ReadRecord(m_cr, before);
        if (rc == S_OKAY) {
            std::memcpy(after, before, sizeof after);
            std::memcpy(after + f->offset, buffer, f->size);
            rc = WriteRecord(m_cr, before, after);
        }
        return Ret(op.Finish(rc), "field write");
    }

    int DeleteCurrent(bool disconnect) {
        int rc = NeedCr();
        if (rc != S_OKAY)
            return rc;
        const DBA dba = m_cr;
        const int recordCode = DbaRecord(dba);
        if (recordCode == SYSTEM)
            return S_DELSYS;
        WriteOp op(*this);
        rc = op.Begin();
        if (rc == S_OKAY)
            rc = m_store.Exists(dba);
        std::vector<int> touchedOwnerSets;
        for (const SetDef& s : kSets) {
            if (rc != S_OKAY)
                break;
            if (IsSetMember(s.code, recordCode)) {
                DBA owner = 0;
                rc = m_store.MemberRow(s.code, dba, &owner, nullptr);
                if (rc == S_NOTFOUND) {
                    rc = S_OKAY;
                } else if (rc == S_OKAY) {
                    rc = disconnect ? m_store.MemberDelete(s.code, owner, dba) : S_ISMEMBER;
                }
            }
            if (rc == S_OKAY && s.owner == recordCode) {
                uint32_t n = 0;
                rc = m_store.OwnerCount(s.code, dba, &n);
                if (rc == S_OKAY && n > 0) {
                    if (!disconnect) {
                        rc = S_HASMEMBER;
                    } else {
                        std::vector<std::pair<DBA, std::string>> members;
                        rc = m_store.MemberList(s.code, dba, &members);
                        for (size_t i = 0; rc == S_OKAY && i < members.size(); ++i)
                            rc = m_store.MemberDelete(s.code, dba, members[i].first);
                        touchedOwnerSets.push_back(s.code);
                    }
                }
            }
        }
        if (rc == S_OKAY)
            rc = m_store.Remove(dba);
        rc = op.Finish(rc);
        if (rc == S_OKAY) {
            ForgetDba(dba);
            for (int s : touchedOwnerSets) {
                if (m_owner[size_t(SetIndex(s))] == dba)
                    m_member[size_t(SetIndex(s))] = 0;
            }
            // Members of sets this task was walking that were disconnected with the owner.
            for (int i = 0; i < kSetCount; ++i) {
                const DBA m = m_member[size_t(i)];
                if (m != 0 && m_owner[size_t(i)] == 0)
                    m_member[size_t(i)] = 0;
            }
        }
        return Ret(rc, "record delete");
    }

    int CrSet(DBA dba) {
        if (!IsOpen())
            return S_DBOPEN;
        int rc = CheckDba(dba);
        if (rc != S_OKAY)
            return rc;
        rc = m_store.Exists(dba);
        if (rc == S_OKAY)
            m_cr = dba;
        return Ret(rc, "make current");
    }

    int Scan(int recordCode, int how) {  // 0 first, 1 last, 2 next, 3 prev
        if (!IsOpen())
            return S_DBOPEN;
        if (FindRecord(recordCode) == nullptr)
            return S_INVREC;
        const size_t ri = size_t(recordCode - kRecordBase);
        if (how == 2 && !m_scanValid[ri])
            how = 0;
        if (how == 3 && !m_scanValid[ri])
            how = 1;
        uint32_t slot = 0;
        int rc;
        switch (how) {
            case 0:
                rc = m_store.Scan(recordCode, 0, true, &slot);
                break;
            case 1:
                rc = m_store.Scan(recordCode, 0xFFFFFFFFu, false, &slot);
                break;
            case 2:
                rc = m_store.Scan(recordCode, m_scan[ri], true, &slot);
                break;
            default:
                rc = m_store.Scan(recordCode, m_scan[ri], false, &slot);
                break;
        }
        if (rc == S_OKAY) {
            m_scan[ri] = slot;
            m_scanValid[ri] = true;
            m_cr = MakeDba(recordCode, slot);
        }
        return Ret(rc, "record scan");
    }

    int RecSet(int recordCode) {
        int rc = NeedCr();
        if (rc != S_OKAY)
            return rc;
        if (FindRecord(recordCode) == nullptr || DbaRecord(m_cr) != recordCode)
            return S_INVREC;
        const size_t ri = size_t(recordCode - kRecordBase);
        m_scan[ri] = DbaSlot(m_cr);
        m_scanValid[ri] = true;
        return S_OKAY;
    }

    // -- Keys
    // ------------------------------------------------------------------------------------------------
    const FieldDef* KeyField(int code) {
        const FieldDef* f = FindField(code);
        if (f == nullptr || f->key == KeyKind::NOKEY)
            return nullptr;
        return f;
    }

    int KeyMove(int keyCode, CStore::Seek mode, const void* value) {
        if (!IsOpen())
            return S_DBOPEN;
        const FieldDef* f = FindField(keyCode);
        if (f == nullptr)
            return S_INVFLD;
        if (f->key == KeyKind::NOKEY)
            return S_NOTKEY;
        KeyCursor& cur = m_keys[size_t(f - kFields)];
        if (mode == CStore::Seek::After && !cur.valid)
            mode = CStore::Seek::First;
        if (mode == CStore::Seek::Before && !cur.valid)
            mode = CStore::Seek::Last;
        KeyValue kv;
        DBA from = 0;
        if (mode == CStore::Seek::Equal) {
            if (value == nullptr)
                return S_BADPARAM;
            kv = KeyFromValue(*f, value);
        } else if (mode == CStore::Seek::After || mode == CStore::Seek::Before) {
            kv = cur.kv;
            from = cur.dba;
        }
        DBA found = 0;
        KeyValue foundKv;
        int rc = m_store.KeySeek(*f, mode, kv, from, &found, &foundKv);
        m_lastKey = keyCode;
        if (rc == S_OKAY) {
            cur.valid = true;
            cur.kv = foundKv;
            cur.dba = found;
            m_cr = found;
        } else if (rc == S_NOTFOUND && mode == CStore::Seek::Equal) {
            // Between the keys below and above the value.
            cur.valid = true;
            cur.kv = kv;
            cur.dba = 0;
        }
        return Ret(rc, "key");
    }

    int KeyRead(void* value) {
        if (!IsOpen())
            return S_DBOPEN;
        if (value == nullptr)
            return S_BADPARAM;
        const FieldDef* f = m_lastKey != 0 ? FindField(m_lastKey) : nullptr;
        if (f == nullptr)
            return S_NOCR;
        const KeyCursor& cur = m_keys[size_t(f - kFields)];
        if (!cur.valid || cur.dba == 0)
            return S_NOCR;
        KeyToValue(*f, cur.kv, value);
        return S_OKAY;
    }

    int OptionalKey(int keyCode, int what) {  // 0 store, 1 delete, 2 exists
        int rc = NeedCr();
        if (rc != S_OKAY)
            return rc;
        const FieldDef* f = FindField(keyCode);
        if (f == nullptr)
            return S_INVFLD;
        if (f->key != KeyKind::OPTKEY)
            return S_NOTKEY;
        if (f->record != DbaRecord(m_cr))
            return S_INVREC;
        if (what == 2)
            return Ret(m_store.OptKeyExists(*f, m_cr), "key test");
        WriteOp op(*this);
        rc = op.Begin();
        if (rc == S_OKAY)
            rc = m_store.Exists(m_cr);
        if (rc == S_OKAY) {
            if (what == 0) {
                uint8_t rec[kMaxRecordSize];
                rc = ReadRecord(m_cr, rec);
                if (rc == S_OKAY)
                    rc = m_store.OptKeyStore(*f, KeyFromRecord(*f, rec), m_cr);
            } else {
                rc = m_store.OptKeyDelete(*f, m_cr);
            }
        }
        if (rc == S_NOTFOUND) {
            op.Finish(S_OKAY);
            return S_NOTFOUND;
        }
        return Ret(op.Finish(rc), "key entry");
    }

    // -- Sets
    // ----------------------------------------------------------------------------------------------
    int SetCheck(int setCode, const SetDef** s) {
        if (!IsOpen())
            return S_DBOPEN;
        *s = FindSet(setCode);
        return *s == nullptr ? S_INVSET : S_OKAY;
    }

    DBA& Owner(int setCode) { return m_owner[size_t(SetIndex(setCode))]; }
    DBA& Member(int setCode) { return m_member[size_t(SetIndex(setCode))]; }

    int RenumberPositions(int setCode, DBA owner) {
        std::vector<std::pair<DBA, std::string>> members;
        int rc = m_store.MemberList(setCode, owner, &members);
        // Two passes so that no two members ever share an order key on the way.
        for (size_t i = 0; rc == S_OKAY && i < members.size(); ++i)
            rc = m_store.MemberSetOrd(setCode, members[i].first,
                                      std::string(1, '\xFF') + members[i].second);
        for (size_t i = 0; rc == S_OKAY && i < members.size(); ++i)
            rc = m_store.MemberSetOrd(setCode, members[i].first,
                                      OrderKeyPosition(kPositionGap * (i + 1)));
        return rc;
    }

    int AppendPosition(int setCode, DBA owner, std::string* ord) {
        DBA last = 0;
        std::string lastOrd;
        int rc = m_store.MemberStep(setCode, owner, nullptr, false, &last, &lastOrd);
        if (rc == S_EOS) {
            *ord = OrderKeyPosition(kPositionGap);
            return S_OKAY;
        }
        if (rc != S_OKAY)
            return rc;
        uint64_t pos = OrderKeyPositionValue(lastOrd);
        if (pos + kPositionGap >= kPositionLimit) {
            rc = RenumberPositions(setCode, owner);
            if (rc != S_OKAY)
                return rc;
            rc = m_store.MemberStep(setCode, owner, nullptr, false, &last, &lastOrd);
            if (rc != S_OKAY)
                return rc;
            pos = OrderKeyPositionValue(lastOrd);
        }
        *ord = OrderKeyPosition(pos + kPositionGap);
        return S_OKAY;
    }

    int NextPosition(int setCode, DBA owner, DBA after, std::string* ord) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            std::string afterOrd;
            DBA afterOwner = 0;
            int rc = m_store.MemberRow(setCode, after, &afterOwner, &afterOrd);
            if (rc == S_NOTFOUND || (rc == S_OKAY && afterOwner != owner))
                return AppendPosition(setCode, owner, ord);
            if (rc != S_OKAY)
                return rc;
            DBA next = 0;
            std::string nextOrd;
            rc = m_store.MemberStep(setCode, owner, &afterOrd, true, &next, &nextOrd);
            if (rc == S_EOS)
                return AppendPosition(setCode, owner, ord);
            if (rc != S_OKAY)
                return rc;
            const uint64_t a = OrderKeyPositionValue(afterOrd), b = OrderKeyPositionValue(nextOrd);
            if (b > a + 1) {
                *ord = OrderKeyPosition(a + (b - a) / 2);
                return S_OKAY;
            }
            rc = RenumberPositions(setCode, owner);
            if (rc != S_OKAY)
                return rc;
        }
        return S_SYSERR;
    }

    int Connect(int setCode) {
        const SetDef* s;
        int rc = SetCheck(setCode, &s);
        if (rc != S_OKAY)
            return rc;
        if (m_cr == 0)
            return S_NOCR;
        const DBA member = m_cr;
        const int recordCode = DbaRecord(member);
        if (!IsSetMember(setCode, recordCode))
            return S_INVMEM;
        const DBA owner = Owner(setCode);
        if (owner == 0)
            return S_NOCO;
        WriteOp op(*this);
        rc = op.Begin();
        if (rc == S_OKAY) {
            rc = m_store.Exists(owner);
            if (rc == S_DELETED)
                rc = S_NOCO;
        }
        if (rc == S_OKAY)
            rc = m_store.Exists(member);
        if (rc == S_OKAY) {
            rc = m_store.MemberRow(setCode, member, nullptr, nullptr);
            rc = rc == S_OKAY ? S_ISOWNED : rc == S_NOTFOUND ? S_OKAY : rc;
        }
        std::string ord;
        if (rc == S_OKAY) {
            if (s->order == SetOrder::ORDER_ASCENDING) {
                uint8_t rec[kMaxRecordSize];
                rc = ReadRecord(member, rec);
                const FieldDef* f = FindField(s->sortField);
                if (rc == S_OKAY)
                    ord = OrderKeyAscending(reinterpret_cast<const char*>(rec + f->offset), f->size,
                                            member);
            } else if (s->order == SetOrder::ORDER_NEXT && Member(setCode) != 0) {
                rc = NextPosition(setCode, owner, Member(setCode), &ord);
            } else {
                rc = AppendPosition(setCode, owner, &ord);
            }
        }
        if (rc == S_OKAY)
            rc = m_store.MemberInsert(setCode, owner, member, ord);
        rc = op.Finish(rc);
        if (rc == S_OKAY)
            Member(setCode) = member;
        return Ret(rc, "connect");
    }

    int Disconnect(int setCode) {
        const SetDef* s;
        int rc = SetCheck(setCode, &s);
        if (rc != S_OKAY)
            return rc;
        const DBA member = Member(setCode);
        if (member == 0)
            return S_NOCM;
        DBA owner = 0, next = 0;
        std::string ord;
        bool none = false;
        WriteOp op(*this);
        rc = op.Begin();
        if (rc == S_OKAY) {
            rc = m_store.MemberRow(setCode, member, &owner, &ord);
            if (rc == S_NOTFOUND)
                rc = S_NOTCON;
        }
        if (rc == S_OKAY) {
            rc = m_store.MemberStep(setCode, owner, &ord, true, &next, nullptr);
            if (rc == S_EOS) {
                none = true;
                rc = S_OKAY;
            }
        }
        if (rc == S_OKAY)
            rc = m_store.MemberDelete(setCode, owner, member);
        rc = op.Finish(rc);
        if (rc != S_OKAY)
            return Ret(rc, "disconnect");
        Owner(setCode) = owner;
        Member(setCode) = none ? 0 : next;
        return none ? S_EOS : S_OKAY;
    }

    // Validates an address for a currency move: format, existence, record type.
    int CheckTarget(DBA dba, int wantType, int wrongType) {
        int rc = CheckDba(dba);
        if (rc != S_OKAY)
            return rc;
        if (wantType != 0 && DbaRecord(dba) != wantType)
            return wrongType;
        return m_store.Exists(dba);
    }
    int CheckMemberTarget(int setCode, DBA dba, DBA* owner) {
        int rc = CheckDba(dba);
        if (rc != S_OKAY)
            return rc;
        if (!IsSetMember(setCode, DbaRecord(dba)))
            return S_INVMEM;
        rc = m_store.MemberRow(setCode, dba, owner, nullptr);
        if (rc == S_NOTFOUND) {
            rc = m_store.Exists(dba);
            return rc == S_OKAY ? S_NOTCON : rc;
        }
        return rc;
    }

    int SetOwnerTo(int setCode, DBA dba) {
        const SetDef* s;
        int rc = SetCheck(setCode, &s);
        if (rc != S_OKAY)
            return rc;
        if (dba == 0)
            return S_NOCR;
        rc = CheckTarget(dba, s->owner, S_INVOWN);
        if (rc != S_OKAY)
            return Ret(rc, "set owner");
        Owner(setCode) = dba;
        Member(setCode) = 0;
        return S_OKAY;
    }

    int SetMemberTo(int setCode, DBA dba) {
        const SetDef* s;
        int rc = SetCheck(setCode, &s);
        if (rc != S_OKAY)
            return rc;
        if (dba == 0)
            return S_NOCM;
        DBA owner = 0;
        rc = CheckMemberTarget(setCode, dba, &owner);
        if (rc != S_OKAY)
            return Ret(rc, "set member");
        Owner(setCode) = owner;
        Member(setCode) = dba;
        return S_OKAY;
    }

    int Find(int setCode, int how) {  // 0 first, 1 last, 2 next, 3 prev
        const SetDef* s;
        int rc = SetCheck(setCode, &s);
        if (rc != S_OKAY)
            return rc;
        const DBA owner = Owner(setCode);
        if (owner == 0)
            return S_NOCO;
        const size_t si = size_t(SetIndex(setCode));
        const DBA member = Member(setCode);
        if (how >= 2 && member == 0)
            how -= 2;
        DBA found = 0;
        std::string foundOrd;
        bool ordKnown = true;
        if (how < 2) {
            rc = m_store.MemberStep(setCode, owner, nullptr, how == 0, &found, &foundOrd);
        } else if ((rc = m_store.WalkNext(setCode, owner, member, how == 2, &found)) !=
                   S_NOTFOUND) {
            ordKnown = false;  // one step of the walk in progress
        } else if (m_memberOrdFor[si] == member) {
            // The member's order key is known from the step that found it.
            rc = m_store.MemberStep(setCode, owner, &m_memberOrd[si], how == 2, &found, &foundOrd);
        } else {
            DBA memberOwner = 0;
            std::string ord;
            rc = m_store.MemberRow(setCode, member, &memberOwner, &ord);
            if (rc == S_NOTFOUND || (rc == S_OKAY && memberOwner != owner))
                rc = S_NOTCON;
            if (rc == S_OKAY)
                rc = m_store.MemberStep(setCode, owner, &ord, how == 2, &found, &foundOrd);
        }
        if (rc == S_OKAY) {
            Member(setCode) = found;
            if (ordKnown)
                m_memberOrd[si].swap(foundOrd);
            m_memberOrdFor[si] = ordKnown ? found : 0;
            m_cr = found;
        }
        return Ret(rc, "find member");
    }

    int FindOwner(int setCode) {
        const SetDef* s;
        int rc = SetCheck(setCode, &s);
        if (rc != S_OKAY)
            return rc;
        if (m_cr == 0)
            return S_NOCR;
        DBA owner = 0;
        rc = m_store.MemberRow(setCode, m_cr, &owner, nullptr);
        if (rc == S_NOTFOUND)
            rc = S_NOTCON;
        if (rc != S_OKAY)
            return Ret(rc, "find owner");
        Member(setCode) = m_cr;
        Owner(setCode) = owner;
        m_cr = owner;
        return S_OKAY;
    }

    int IsMember(int setCode) {
        const SetDef* s;
        int rc = SetCheck(setCode, &s);
        if (rc != S_OKAY)
            return rc;
        if (m_cr == 0)
            return S_NOCR;
        if (!IsSetMember(setCode, DbaRecord(m_cr)))
            return S_EOS;
        rc = m_store.MemberRow(setCode, m_cr, nullptr, nullptr);
        return Ret(rc == S_NOTFOUND ? S_EOS : rc, "membership test");
    }

    int IsOwner(int setCode) {
        const SetDef* s;
        int rc = SetCheck(setCode, &s);
        if (rc != S_OKAY)
            return rc;
        if (m_cr == 0)
            return S_NOCR;
        if (DbaRecord(m_cr) != s->owner)
            return S_EOS;
        uint32_t n = 0;
        rc = m_store.OwnerCount(setCode, m_cr, &n);
        if (rc != S_OKAY)
            return Ret(rc, "ownership test");
        return n > 0 ? S_OKAY : S_EOS;
    }

    int MemberCount(int setCode, uint32_t* count) {
        const SetDef* s;
        int rc = SetCheck(setCode, &s);
        if (rc != S_OKAY)
            return rc;
        if (count == nullptr)
            return S_BADPARAM;
        if (Owner(setCode) == 0)
            return S_NOCO;
        return Ret(m_store.OwnerCount(setCode, Owner(setCode), count), "member count");
    }
};

// ================================================================================================
// CDbTask forwards to TaskImpl; allocation failures become S_NOMEMORY.

#define QN_TASK_CALL(expr)            \
    try {                             \
        return (expr);                \
    } catch (const std::bad_alloc&) { \
        return S_NOMEMORY;            \
    } catch (...) {                   \
        return S_SYSERR;              \
    }

CDbTask::CDbTask() : m_impl(new TaskImpl) {}
CDbTask::~CDbTask() = default;

void CDbTask::SetErrorCallback(ErrorCallback fn, void* context) {
    m_impl->m_errFn = fn;
    m_impl->m_errCtx = context;
}
void CDbTask::SetOptions(uint32_t options) {
    if (options & kOptKeepLocks)
        m_impl->m_state = uint16_t(m_impl->m_state | kStateKeepLocks);
}
void CDbTask::ClearOptions(uint32_t options) {
    if (options & kOptKeepLocks)
        m_impl->m_state = uint16_t(m_impl->m_state & ~kStateKeepLocks);
}
uint16_t CDbTask::StateWord() const {
    return m_impl->m_state;
}

static int SetPath(TaskImpl& t, std::string& target, const char* path) {
    if (t.IsOpen())
        return S_DBALREADYOPEN;
    if (path == nullptr) {
        target.clear();
        return S_OKAY;
    }
    int rc = PathStatus(path);
    if (rc != S_OKAY)
        return rc;
    target = path;
    while (target.size() > 1 && target.back() == '/')
        target.pop_back();
    return S_OKAY;
}

int CDbTask::SetDictionaryPath(const char* path) {
    QN_TASK_CALL(SetPath(*m_impl, m_impl->m_dictPath, path))
}
int CDbTask::SetDataPath(const char* path) {
    QN_TASK_CALL(SetPath(*m_impl, m_impl->m_dataPath, path))
}
int CDbTask::SetTafFile(const char* path) {
    QN_TASK_CALL(SetPath(*m_impl, m_impl->m_tafPath, path))
}

int CDbTask::SetLockManager(int transport) {
    if (transport == kTransportFile)
        return S_OKAY;
    if (transport >= 0 && transport <= 15)
        return S_NOLOCKMGR;
    return S_BADTRANSPORT;
}

int CDbTask::SetDatabaseName(const char* name) {
    if (m_impl->IsOpen())
        return S_DBALREADYOPEN;
    if (name == nullptr)
        return S_BADPARAM;
    if (strnlen(name, 64) > 63)
        return S_NAMELEN;
    QN_TASK_CALL((m_impl->m_dbName = name, S_OKAY))
}

int CDbTask::TestUserId(const char* userId) {
    if (!ValidUserId(userId))
        return S_BADUSERID;
    try {
        CLockFile tmp;
        CLockFile* taf = nullptr;
        int rc = m_impl->WithTaf(&tmp, &taf);
        if (rc == S_NOUSER)
            return S_OKAY;  // no lock manager file yet: nobody uses any id
        if (rc != S_OKAY)
            return rc;
        bool inUse = false;
        rc = taf->UserInUse(userId, &inUse);
        if (rc != S_OKAY)
            return rc;
        if (inUse && !(taf == &m_impl->m_taf && m_impl->m_userId == userId))
            return S_DUPLICATE;
        return S_OKAY;
    } catch (const std::bad_alloc&) {
        return S_NOMEMORY;
    }
}

int CDbTask::SetUserId(const char* userId) {
    if (!ValidUserId(userId))
        return S_BADUSERID;
    if (m_impl->IsOpen())
        return S_DBALREADYOPEN;
    QN_TASK_CALL((m_impl->m_userId = userId, S_OKAY))
}

int CDbTask::SetOpenFiles(int count) {
    return count < 1 ? S_BADPARAM : S_OKAY;
}

int CDbTask::SetCachePages(int pages, int indexPages) {
    if (pages < 2 || pages > 262144 || indexPages < 0)
        return S_SETPAGES;
    m_impl->m_cachePages = pages;
    if (m_impl->IsOpen())
        QN_TASK_CALL(m_impl->m_store.SetCachePages(pages))
    return S_OKAY;
}

int CDbTask::SetLockTimeout(int seconds) {
    if (seconds < 0 || seconds > 86400)
        return S_BADPARAM;
    return SetLockTimeoutMs(seconds * 1000);
}

int CDbTask::SetLockTimeoutMs(int milliseconds) {
    if (milliseconds < 0)
        return S_BADPARAM;
    m_impl->m_timeoutMs = milliseconds;
    m_impl->m_store.SetBusyTimeout(milliseconds);
    return S_OKAY;
}

int CDbTask::SetSizeLimit(uint64_t bytes) {
    m_impl->m_sizeLimit = bytes;
    if (m_impl->IsOpen())
        QN_TASK_CALL(m_impl->m_store.SetSizeLimit(bytes))
    return S_OKAY;
}

int CDbTask::Open(const char* dbName, const char* mode) {
    QN_TASK_CALL(m_impl->Ret(m_impl->Open(dbName, mode), "open"))
}
int CDbTask::Close() {
    QN_TASK_CALL(m_impl->Close())
}
bool CDbTask::IsOpen() const {
    return m_impl->IsOpen();
}
const char* CDbTask::OpenMode() const {
    return m_impl->m_mode.c_str();
}

int CDbTask::Initialize() {
    TaskImpl& t = *m_impl;
    if (!t.IsOpen())
        return S_DBOPEN;
    if (t.m_mode == "s")
        return S_INCOMPAT;
    if (t.m_inTxn)
        return S_TRACTIVE;
    try {
        TaskImpl::WriteOp op(t);
        int rc = op.Begin();
        if (rc == S_OKAY)
            rc = t.m_store.Clear();
        rc = op.Finish(rc);
        t.ResetCurrency();
        return t.Ret(rc, "initialize");
    } catch (const std::bad_alloc&) {
        return S_NOMEMORY;
    }
}

int CDbTask::CreateCatalog(const char* path, const char* tafPath) {
    int rc = PathStatus(path);
    if (rc != S_OKAY)
        return rc;
    if (*path == 0)
        return S_BADPATH;
    try {
        const std::string taf =
            tafPath != nullptr && *tafPath ? std::string(tafPath) : DefaultTafPath(path);
        CLockFile lock;
        // Hold the catalog exclusively while it is replaced, so no one opens it half made.
        rc = lock.Open(taf, true);
        if (rc != S_OKAY)
            return rc;
        rc = lock.LockOpen(true);
        if (rc != S_OKAY)
            return rc;
        const std::string p = path;
        // Logs of an earlier catalog at this path must not be replayed into the new one.
        for (const char* suffix : {"-wal", "-shm", "-journal"})
            std::remove((p + suffix).c_str());
        return CStore::Create(p);
    } catch (const std::bad_alloc&) {
        return S_NOMEMORY;
    }
}

int CDbTask::ListUsers(LM_USER* entries, uint16_t capacity, uint16_t* count) {
    if (count == nullptr || (entries == nullptr && capacity > 0))
        return S_BADPARAM;
    try {
        CLockFile tmp;
        CLockFile* taf = nullptr;
        int rc = m_impl->WithTaf(&tmp, &taf);
        if (rc != S_OKAY)
            return S_NOUSER;
        std::vector<std::string> names;
        rc = taf->LiveUsers(&names);
        if (rc != S_OKAY)
            return rc;
        if (names.empty())
            return S_NOUSER;
        *count = uint16_t(names.size() > 0xFFFF ? 0xFFFF : names.size());
        for (size_t i = 0; i < names.size() && i < capacity; ++i) {
            std::memset(entries[i].name, 0, sizeof entries[i].name);
            std::memcpy(entries[i].name, names[i].data(),
                        std::min(names[i].size(), sizeof entries[i].name - 1));
        }
        return S_OKAY;
    } catch (const std::bad_alloc&) {
        return S_NOMEMORY;
    }
}

int CDbTask::ClearUser(const char* userId) {
    if (userId == nullptr)
        return S_BADPARAM;
    if (!ValidUserId(userId))
        return S_NOUSER;
    try {
        CLockFile tmp;
        CLockFile* taf = nullptr;
        int rc = m_impl->WithTaf(&tmp, &taf);
        if (rc != S_OKAY)
            return S_NOUSER;
        return taf->ClearUser(userId);
    } catch (const std::bad_alloc&) {
        return S_NOMEMORY;
    }
}

int CDbTask::TransactionBegin(const char* tag) {
    QN_TASK_CALL(m_impl->Begin(tag))
}
int CDbTask::TransactionEnd() {
    QN_TASK_CALL(m_impl->End())
}
int CDbTask::TransactionAbort() {
    QN_TASK_CALL(m_impl->Abort())
}
const char* CDbTask::TransactionTag() const {
    return m_impl->m_tag.c_str();
}

int CDbTask::Lock(const LOCK_REQUEST* packet, int count) {
    QN_TASK_CALL(m_impl->Lock(packet, count))
}
int CDbTask::LockOne(int code, char type) {
    QN_TASK_CALL(m_impl->LockOne(code, type))
}
int CDbTask::LockState(int code, char* state) {
    QN_TASK_CALL(m_impl->LockState(code, state))
}
int CDbTask::Free(int code) {
    QN_TASK_CALL(m_impl->Free(code))
}
int CDbTask::FreeReadLocks() {
    QN_TASK_CALL(m_impl->FreeReadLocks())
}
int CDbTask::FreeAll() {
    QN_TASK_CALL(m_impl->FreeAll())
}

int CDbTask::FillNew(int recordCode, const void* buffer) {
    QN_TASK_CALL(m_impl->FillNew(recordCode, buffer))
}
int CDbTask::RecRead(void* buffer) {
    QN_TASK_CALL(m_impl->RecRead(buffer))
}
int CDbTask::RecWrite(const void* buffer) {
    QN_TASK_CALL(m_impl->RecWrite(buffer))
}
int CDbTask::CrRead(int fieldCode, void* buffer) {
    QN_TASK_CALL(m_impl->CrRead(fieldCode, buffer))
}
int CDbTask::CrWrite(int fieldCode, const void* buffer) {
    QN_TASK_CALL(m_impl->CrWrite(fieldCode, buffer))
}
int CDbTask::Delete() {
    QN_TASK_CALL(m_impl->DeleteCurrent(false))
}
int CDbTask::DisconnectDelete() {
    QN_TASK_CALL(m_impl->DeleteCurrent(true))
}

int CDbTask::RecType(int* recordCode) {
    int rc = m_impl->NeedCr();
    if (rc != S_OKAY)
        return rc;
    if (recordCode == nullptr)
        return S_BADPARAM;
    *recordCode = DbaRecord(m_impl->m_cr);
    return S_OKAY;
}

int CDbTask::CrGet(DBA* dba) {
    int rc = m_impl->NeedCr();
    if (rc != S_OKAY)
        return rc;
    if (dba == nullptr)
        return S_BADPARAM;
    *dba = m_impl->m_cr;
    return S_OKAY;
}

int CDbTask::CrSet(DBA dba) {
    QN_TASK_CALL(m_impl->CrSet(dba))
}
int CDbTask::RecFirst(int recordCode) {
    QN_TASK_CALL(m_impl->Scan(recordCode, 0))
}
int CDbTask::RecLast(int recordCode) {
    QN_TASK_CALL(m_impl->Scan(recordCode, 1))
}
int CDbTask::RecNext(int recordCode) {
    QN_TASK_CALL(m_impl->Scan(recordCode, 2))
}
int CDbTask::RecPrev(int recordCode) {
    QN_TASK_CALL(m_impl->Scan(recordCode, 3))
}
int CDbTask::RecSet(int recordCode) {
    QN_TASK_CALL(m_impl->RecSet(recordCode))
}

int CDbTask::RecCount(int recordCode, uint32_t* count) {
    if (!m_impl->IsOpen())
        return S_DBOPEN;
    if (FindRecord(recordCode) == nullptr)
        return S_INVREC;
    if (count == nullptr)
        return S_BADPARAM;
    QN_TASK_CALL(m_impl->Ret(m_impl->m_store.Count(recordCode, count), "record count"))
}

int CDbTask::CrStamp(uint32_t* stamp) {
    int rc = m_impl->NeedCr();
    if (rc != S_OKAY)
        return rc;
    if (stamp == nullptr)
        return S_BADPARAM;
    QN_TASK_CALL(m_impl->Ret(m_impl->m_store.GetStamp(m_impl->m_cr, stamp), "stamp"))
}

int CDbTask::CrTest(uint32_t stamp) {
    int rc = m_impl->NeedCr();
    if (rc != S_OKAY)
        return rc;
    try {
        uint32_t now = 0;
        rc = m_impl->m_store.GetStamp(m_impl->m_cr, &now);
        if (rc != S_OKAY)
            return m_impl->Ret(rc, "stamp test");
        return now == stamp ? S_OKAY : S_UPDATED;
    } catch (const std::bad_alloc&) {
        return S_NOMEMORY;
    }
}

int CDbTask::KeyFind(int keyField, const void* value) {
    QN_TASK_CALL(m_impl->KeyMove(keyField, CStore::Seek::Equal, value))
}
int CDbTask::KeyFirst(int keyField) {
    QN_TASK_CALL(m_impl->KeyMove(keyField, CStore::Seek::First, nullptr))
}
int CDbTask::KeyLast(int keyField) {
    QN_TASK_CALL(m_impl->KeyMove(keyField, CStore::Seek::Last, nullptr))
}
int CDbTask::KeyNext(int keyField) {
    QN_TASK_CALL(m_impl->KeyMove(keyField, CStore::Seek::After, nullptr))
}
int CDbTask::KeyPrev(int keyField) {
    QN_TASK_CALL(m_impl->KeyMove(keyField, CStore::Seek::Before, nullptr))
}
int CDbTask::KeyRead(void* value) {
    QN_TASK_CALL(m_impl->KeyRead(value))
}
int CDbTask::KeyStore(int keyField) {
    QN_TASK_CALL(m_impl->OptionalKey(keyField, 0))
}
int CDbTask::KeyDelete(int keyField) {
    QN_TASK_CALL(m_impl->OptionalKey(keyField, 1))
}
int CDbTask::KeyExists(int keyField) {
    QN_TASK_CALL(m_impl->OptionalKey(keyField, 2))
}

int CDbTask::Connect(int setCode) {
    QN_TASK_CALL(m_impl->Connect(setCode))
}
int CDbTask::Disconnect(int setCode) {
    QN_TASK_CALL(m_impl->Disconnect(setCode))
}

int CDbTask::SetOwnerToCurrent(int setCode) {
    if (!m_impl->IsOpen())
        return S_DBOPEN;
    QN_TASK_CALL(m_impl->SetOwnerTo(setCode, m_impl->m_cr))
}
int CDbTask::SetMemberToCurrent(int setCode) {
    if (!m_impl->IsOpen())
        return S_DBOPEN;
    if (m_impl->m_cr == 0)
        return FindSet(setCode) ? S_NOCR : S_INVSET;
    QN_TASK_CALL(m_impl->SetMemberTo(setCode, m_impl->m_cr))
}
int CDbTask::CurrentToOwner(int setCode) {
    if (!m_impl->IsOpen())
        return S_DBOPEN;
    if (FindSet(setCode) == nullptr)
        return S_INVSET;
    const DBA o = m_impl->Owner(setCode);
    if (o == 0)
        return S_NOCO;
    QN_TASK_CALL(m_impl->CrSet(o))
}
int CDbTask::CurrentToMember(int setCode) {
    if (!m_impl->IsOpen())
        return S_DBOPEN;
    if (FindSet(setCode) == nullptr)
        return S_INVSET;
    const DBA m = m_impl->Member(setCode);
    if (m == 0)
        return S_NOCM;
    QN_TASK_CALL(m_impl->CrSet(m))
}
int CDbTask::SetOwnerFromOwner(int dstSet, int srcSet) {
    if (!m_impl->IsOpen())
        return S_DBOPEN;
    if (FindSet(srcSet) == nullptr || FindSet(dstSet) == nullptr)
        return S_INVSET;
    const DBA o = m_impl->Owner(srcSet);
    if (o == 0)
        return S_NOCO;
    QN_TASK_CALL(m_impl->SetOwnerTo(dstSet, o))
}
int CDbTask::SetOwnerFromMember(int dstSet, int srcSet) {
    if (!m_impl->IsOpen())
        return S_DBOPEN;
    if (FindSet(srcSet) == nullptr || FindSet(dstSet) == nullptr)
        return S_INVSET;
    const DBA m = m_impl->Member(srcSet);
    if (m == 0)
        return S_NOCM;
    QN_TASK_CALL(m_impl->SetOwnerTo(dstSet, m))
}
int CDbTask::SetMemberFromMember(int dstSet, int srcSet) {
    if (!m_impl->IsOpen())
        return S_DBOPEN;
    if (FindSet(srcSet) == nullptr || FindSet(dstSet) == nullptr)
        return S_INVSET;
    const DBA m = m_impl->Member(srcSet);
    if (m == 0)
        return S_NOCM;
    QN_TASK_CALL(m_impl->SetMemberTo(dstSet, m))
}
int CDbTask::OwnerGet(int setCode, DBA* dba) {
    if (!m_impl->IsOpen())
        return S_DBOPEN;
    if (FindSet(setCode) == nullptr)
        return S_INVSET;
    if (dba == nullptr)
        return S_BADPARAM;
    if (m_impl->Owner(setCode) == 0)
        return S_NOCO;
    *dba = m_impl->Owner(setCode);
    return S_OKAY;
}
int CDbTask::MemberGet(int setCode, DBA* dba) {
    if (!m_impl->IsOpen())
        return S_DBOPEN;
    if (FindSet(setCode) == nullptr)
        return S_INVSET;
    if (dba == nullptr)
        return S_BADPARAM;
    if (m_impl->Member(setCode) == 0)
        return S_NOCM;
    *dba = m_impl->Member(setCode);
    return S_OKAY;
}
int CDbTask::OwnerSet(int setCode, DBA dba) {
    if (!m_impl->IsOpen())
        return S_DBOPEN;
    if (dba == 0)
        return FindSet(setCode) ? S_INVADDR : S_INVSET;
    QN_TASK_CALL(m_impl->SetOwnerTo(setCode, dba))
}
int CDbTask::MemberSet(int setCode, DBA dba) {
    if (!m_impl->IsOpen())
        return S_DBOPEN;
    if (dba == 0)
        return FindSet(setCode) ? S_INVADDR : S_INVSET;
    QN_TASK_CALL(m_impl->SetMemberTo(setCode, dba))
}
int CDbTask::FindFirst(int setCode) {
    QN_TASK_CALL(m_impl->Find(setCode, 0))
}
int CDbTask::FindLast(int setCode) {
    QN_TASK_CALL(m_impl->Find(setCode, 1))
}
int CDbTask::FindNext(int setCode) {
    QN_TASK_CALL(m_impl->Find(setCode, 2))
}
int CDbTask::FindPrev(int setCode) {
    QN_TASK_CALL(m_impl->Find(setCode, 3))
}
int CDbTask::FindOwner(int setCode) {
    QN_TASK_CALL(m_impl->FindOwner(setCode))
}

int CDbTask::MemberType(int setCode, int* recordCode) {
    if (!m_impl->IsOpen())
        return S_DBOPEN;
    if (FindSet(setCode) == nullptr)
        return S_INVSET;
    if (recordCode == nullptr)
        return S_BADPARAM;
    const DBA m = m_impl->Member(setCode);
    if (m == 0)
        return S_NOCM;
    *recordCode = DbaRecord(m);
    return S_OKAY;
}

int CDbTask::IsMember(int setCode) {
    QN_TASK_CALL(m_impl->IsMember(setCode))
}
int CDbTask::IsOwner(int setCode) {
    QN_TASK_CALL(m_impl->IsOwner(setCode))
}

int CDbTask::OwnerRead(int setCode, int fieldCode, void* buffer) {
    if (!m_impl->IsOpen())
        return S_DBOPEN;
    if (FindSet(setCode) == nullptr)
        return S_INVSET;
    const DBA o = m_impl->Owner(setCode);
    if (o == 0)
        return S_NOCO;
    QN_TASK_CALL(m_impl->Ret(m_impl->ReadField(o, fieldCode, buffer), "owner read"))
}
int CDbTask::MemberRead(int setCode, int fieldCode, void* buffer) {
    if (!m_impl->IsOpen())
        return S_DBOPEN;
    if (FindSet(setCode) == nullptr)
        return S_INVSET;
    const DBA m = m_impl->Member(setCode);
    if (m == 0)
        return S_NOCM;
    QN_TASK_CALL(m_impl->Ret(m_impl->ReadField(m, fieldCode, buffer), "member read"))
}
int CDbTask::MemberCount(int setCode, uint32_t* count) {
    QN_TASK_CALL(m_impl->MemberCount(setCode, count))
}

int CDbTask::CheckCatalog(CheckReport* report) {
    if (!m_impl->IsOpen())
        return S_DBOPEN;
    if (report == nullptr)
        return S_BADPARAM;
    QN_TASK_CALL(m_impl->Ret(m_impl->m_store.Check(report), "check"))
}

int CDbTask::RebuildKeys(CheckReport* report) {
    TaskImpl& t = *m_impl;
    if (!t.IsOpen())
        return S_DBOPEN;
    if (report == nullptr)
        return S_BADPARAM;
    if (t.m_mode == "s")
        return S_INCOMPAT;
    if (t.m_inTxn)
        return S_TRACTIVE;
    try {
        TaskImpl::WriteOp op(t);
        int rc = op.Begin();
        if (rc == S_OKAY)
            rc = t.m_store.RebuildKeys(report);
        return t.Ret(op.Finish(rc), "key rebuild");
    } catch (const std::bad_alloc&) {
        return S_NOMEMORY;
    }
}

int CDbTask::Backup(const char* path) {
    if (!m_impl->IsOpen())
        return S_DBOPEN;
    if (m_impl->m_inTxn)
        return S_TRACTIVE;
    int rc = PathStatus(path);
    if (rc != S_OKAY)
        return rc;
    QN_TASK_CALL(m_impl->Ret(m_impl->m_store.Backup(path), "backup"))
}

int CDbTask::QueryOpenState(const char* catalogPath, OpenState* state, const char* tafPath) {
    int rc = PathStatus(catalogPath);
    if (rc != S_OKAY)
        return rc;
    if (state == nullptr)
        return S_BADPARAM;
    try {
        CLockFile lock;
        rc = lock.Open(
            tafPath != nullptr && *tafPath ? std::string(tafPath) : DefaultTafPath(catalogPath),
            false);
        if (rc == S_NOUSER) {
            *state = OpenState::Closed;
            return S_OKAY;
        }
        if (rc != S_OKAY)
            return rc;
        int holders = 0;
        rc = lock.OpenHolders(&holders);
        if (rc != S_OKAY)
            return rc;
        *state = holders == 0   ? OpenState::Closed
                 : holders == 1 ? OpenState::Shared
                                : OpenState::Exclusive;
        return S_OKAY;
    } catch (const std::bad_alloc&) {
        return S_NOMEMORY;
    }
}

int CDbTask::CopyCatalog(const char* fromPath, const char* toPath) {
    int rc = PathStatus(fromPath);
    if (rc == S_OKAY)
        rc = PathStatus(toPath);
    if (rc != S_OKAY)
        return rc;
    try {
        // The source is opened shared (a writer holding it exclusively refuses us); the
        // destination must not be open anywhere while it is replaced.
        CDbTask src;
        src.SetLockTimeoutMs(0);
        rc = src.Open(fromPath, "s");
        if (rc != S_OKAY)
            return rc;
        CLockFile destLock;
        rc = destLock.Open(DefaultTafPath(toPath), true);
        if (rc == S_OKAY)
            rc = destLock.LockOpen(true);
        if (rc != S_OKAY)
            return rc;
        const std::string to = toPath;
        for (const char* suffix : {"-wal", "-shm", "-journal"})
            std::remove((to + suffix).c_str());
        return src.m_impl->m_store.Backup(to);
    } catch (const std::bad_alloc&) {
        return S_NOMEMORY;
    }
}

}  // namespace qn::dbms

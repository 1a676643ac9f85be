// CDbTask: the engine interface, forwarding to TaskImpl; statuses, whole-file helpers and the
// task's small helpers.
#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "catdbms/taskimpl.h"
#include "catdbms/testhooks.h"

namespace qn::dbms {

namespace task_detail {

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

}  // namespace task_detail

using namespace task_detail;

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
        case S_STOPPED:
            return "stopped";
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
        if (inUse && !(taf == &m_impl->m_taf && strcasecmp(m_impl->m_userId.c_str(), userId) == 0))
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
int CDbTask::OpenHeld(const char* dbName, CCatalogHold* hold) {
    QN_TASK_CALL(m_impl->Ret(m_impl->Open(dbName, "x", hold), "open"))
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

// A change of the whole catalog as one engine write operation (the caller has checked the open
// mode and the transaction state); the currency is dropped afterwards when fn may have removed
// what it named.
template <typename Fn>
static int WriteWholeCatalog(TaskImpl& t, const char* pszWhat, bool fResetCurrency, Fn fn) {
    try {
        TaskImpl::WriteOp op(t);
        int rc = op.Begin();
        if (rc == S_OKAY)
            rc = fn();
        rc = op.Finish(rc);
        if (fResetCurrency)
            t.ResetCurrency();
        return t.Ret(rc, pszWhat);
    } catch (const std::bad_alloc&) {
        return S_NOMEMORY;
    }
}

int CDbTask::Initialize() {
    TaskImpl& t = *m_impl;
    if (!t.IsOpen())
        return S_DBOPEN;
    if (t.m_mode == "s")
        return S_INCOMPAT;
    if (t.m_inTxn)
        return S_TRACTIVE;
    return WriteWholeCatalog(t, "initialize", true, [&] { return t.m_store.Clear(); });
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
        return CStore::Create(p, g_forceRollbackJournal || OnNetworkFileSystem(DirectoryOf(p)));
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
int CDbTask::ReadAt(DBA dba, void* buffer, uint32_t* stamp) {
    QN_TASK_CALL(m_impl->ReadAt(dba, buffer, stamp))
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
int CDbTask::RecReadNext(int recordCode, DBA after, DBA* found, void* buffer, uint32_t* stamp) {
    QN_TASK_CALL(m_impl->ScanRead(recordCode, after, found, buffer, stamp))
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
int CDbTask::KeyFrom(int keyField, const void* value, DBA dba, bool forward) {
    QN_TASK_CALL(m_impl->KeyFrom(keyField, value, dba, forward))
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
int CDbTask::FindFrom(int setCode, const void* sortValue, DBA member, bool forward) {
    QN_TASK_CALL(m_impl->FindFrom(setCode, sortValue, member, forward))
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

int CDbTask::MemberPairs(int setCode, std::vector<std::pair<DBA, DBA>>* pairs) {
    if (!m_impl->IsOpen())
        return S_DBOPEN;
    if (FindSet(setCode) == nullptr)
        return S_INVSET;
    if (pairs == nullptr)
        return S_BADPARAM;
    QN_TASK_CALL(m_impl->Ret(m_impl->m_store.MemberPairs(setCode, pairs), "member pairs"))
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
    return WriteWholeCatalog(t, "key rebuild", false,
                             [&] { return t.m_store.RebuildKeys(report); });
}

bool CDbTask::OlderDictionary() const {
    return m_impl->IsOpen() && m_impl->m_store.OlderDictionary();
}

int CDbTask::MigrateDictionary(CheckReport* report) {
    TaskImpl& t = *m_impl;
    if (!t.IsOpen())
        return S_DBOPEN;
    if (report == nullptr)
        return S_BADPARAM;
    if (t.m_mode == "s")
        return S_INCOMPAT;
    return WriteWholeCatalog(t, "dictionary migration", true,
                             [&] { return t.m_store.MigrateDictionary(report); });
}

int CDbTask::Backup(const char* path, CopyProgress progress, void* context) {
    if (!m_impl->IsOpen())
        return S_DBOPEN;
    if (m_impl->m_inTxn)
        return S_TRACTIVE;
    int rc = PathStatus(path);
    if (rc != S_OKAY)
        return rc;
    QN_TASK_CALL(m_impl->Ret(m_impl->m_store.Backup(path, progress, context), "backup"))
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

int CDbTask::CopyCatalog(const char* fromPath, const char* toPath, CopyProgress progress,
                         void* context) {
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
        return src.m_impl->m_store.Backup(to, progress, context);
    } catch (const std::bad_alloc&) {
        return S_NOMEMORY;
    }
}

CCatalogHold::CCatalogHold() : m_lock(new CLockFile) {}

CCatalogHold::~CCatalogHold() = default;

int CCatalogHold::Acquire(const char* catalogPath, const char* tafPath) {
    if (m_lent)
        return S_BADPARAM;
    Release();
    int rc = PathStatus(catalogPath);
    if (rc == S_OKAY && tafPath != nullptr)
        rc = PathStatus(tafPath);
    if (rc != S_OKAY)
        return rc;
    try {
        std::string taf = tafPath != nullptr && *tafPath ? std::string(tafPath)
                                                         : CDbTask::DefaultTafPath(catalogPath);
        rc = m_lock->Open(taf, true);
        if (rc == S_OKAY)
            rc = m_lock->LockOpen(true);
        if (rc != S_OKAY) {
            m_lock->Close();
            return rc;
        }
        m_tafPath = std::move(taf);
        return S_OKAY;
    } catch (const std::bad_alloc&) {
        m_lock->Close();
        return S_NOMEMORY;
    }
}

void CCatalogHold::Release() {
    if (!m_lent)
        m_lock->Close();
}

bool CCatalogHold::IsHeld() const {
    return m_lent || m_lock->IsOpen();
}

}  // namespace qn::dbms

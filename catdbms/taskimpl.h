// The engine task behind CDbTask: its settings, open state, locks, transaction and currency.
// Private to catdbms; the methods live in task_locks.cc (open, locks, transactions),
// task_records.cc (records, stamps, keys) and task_sets.cc (sets).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "catdbms/dbms.h"
#include "catdbms/lockmgr.h"
#include "catdbms/store.h"

namespace qn::dbms {

namespace task_detail {

constexpr size_t kMaxPath = 4095;
constexpr size_t kMaxName = 255;
constexpr uint64_t kPositionGap = uint64_t(1) << 20;
constexpr uint64_t kPositionLimit = uint64_t(1) << 62;
constexpr size_t kMaxRecordSize = 1024;

int64_t NowMs();
void SleepMs(int ms);
bool ValidUserId(const char* id);
// S_NAMELEN for a path over 4095 bytes or a component over 255, S_BADPARAM for null.
int PathStatus(const char* path);
std::string DirectoryOf(const std::string& path);
// File systems on which WAL's shared memory is not safe between machines.
bool OnNetworkFileSystem(const std::string& dir);
extern bool g_forceRollbackJournal;

}  // namespace task_detail

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

    // -- Settings
    ErrorCallback m_errFn = nullptr;
    void* m_errCtx = nullptr;
    uint16_t m_state = 0;
    std::string m_dictPath, m_dataPath, m_tafPath, m_dbName, m_userId;
    int m_timeoutMs = 10000;
    int m_cachePages = 0;
    uint64_t m_sizeLimit = 0;

    // -- Open state
    CStore m_store;
    CLockFile m_taf;
    CCatalogHold* m_hold = nullptr;  // the hold whose lock m_taf is while open, given back at close
    std::string m_mode;
    std::string m_path;
    bool m_inTxn = false;
    int m_lost = S_OKAY;  // the storage rolled the open transaction back with this status
    std::string m_tag;
    std::array<char, kRecordCount + kSetCount> m_locks{};

    // -- Currency
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
    int Open(const char* dbName, const char* mode, CCatalogHold* hold = nullptr);

    int Close();
    // Closes the lock file, or gives it back to the hold it came from.
    void ReleaseTaf();

    // -- Storage transactions around one operation
    // Inside an engine transaction an operation runs in a savepoint of the write transaction;
    // outside one it is its own write transaction. Either way it is all or nothing.
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
    static int CheckCode(int code);

    int AcquireBytes(const std::vector<std::pair<int64_t, bool>>& bytes);

    // After locks are granted: the storage transaction that goes with them.
    int StartStorageFor(const std::vector<int>& codes, const std::vector<char>& previous);

    int Lock(const LOCK_REQUEST* packet, int count);

    int LockOne(int code, char type);

    int LockState(int code, char* state);

    int Free(int code);

    void FreeLocks(bool readOnly);

    int FreeReadLocks();

    int FreeAll();

    // -- Transactions
    int Begin(const char* tag);

    void EndTxn();

    int End();

    int Abort();

    // -- Records
    static int CheckDba(DBA dba);

    int NeedCr() const {
        if (!IsOpen())
            return S_DBOPEN;
        return m_cr == 0 ? S_NOCR : S_OKAY;
    }

    int FillNew(int recordCode, const void* buffer);

    int ReadRecord(DBA dba, uint8_t* buf) { return m_store.Read(dba, buf, nullptr); }

    int RecRead(void* buffer);

    // Writes a whole record and what follows from its fields: ascending set orders and stored
    // optional-key entries.
    int WriteRecord(DBA dba, const uint8_t* before, const uint8_t* after);

    int RecWrite(const void* buffer);

    const FieldDef* FieldOf(int fieldCode, int recordCode);

    int ReadField(DBA dba, int fieldCode, void* buffer);

    int CrRead(int fieldCode, void* buffer);

    int CrWrite(int fieldCode, const void* buffer);

    int DeleteCurrent(bool disconnect);

    int CrSet(DBA dba);

    int ReadAt(DBA dba, void* buffer, uint32_t* stamp);

    int Scan(int recordCode, int how);  // 0 first, 1 last, 2 next, 3 prev
    int ScanRead(int recordCode, DBA after, DBA* found, void* buffer, uint32_t* stamp);

    int RecSet(int recordCode);

    // -- Keys
    const FieldDef* KeyField(int code);

    int KeyMove(int keyCode, CStore::Seek mode, const void* value);

    int KeyFrom(int keyCode, const void* value, DBA dba, bool forward);

    int KeyRead(void* value);

    int OptionalKey(int keyCode, int what);  // 0 store, 1 delete, 2 exists

    // -- Sets
    int SetCheck(int setCode, const SetDef** s) {
        if (!IsOpen())
            return S_DBOPEN;
        *s = FindSet(setCode);
        return *s == nullptr ? S_INVSET : S_OKAY;
    }

    DBA& Owner(int setCode) { return m_owner[size_t(SetIndex(setCode))]; }
    DBA& Member(int setCode) { return m_member[size_t(SetIndex(setCode))]; }

    int RenumberPositions(int setCode, DBA owner);

    int AppendPosition(int setCode, DBA owner, std::string* ord);

    int NextPosition(int setCode, DBA owner, DBA after, std::string* ord);

    int Connect(int setCode);

    int Disconnect(int setCode);

    // Validates an address for a currency move: format, existence, record type.
    int CheckTarget(DBA dba, int wantType, int wrongType);
    int CheckMemberTarget(int setCode, DBA dba, DBA* owner);

    int SetOwnerTo(int setCode, DBA dba);

    int SetMemberTo(int setCode, DBA dba);

    int Find(int setCode, int how);  // 0 first, 1 last, 2 next, 3 prev

    int FindFrom(int setCode, const void* sortValue, DBA member, bool forward);

    int FindOwner(int setCode);

    int IsMember(int setCode);

    int IsOwner(int setCode);

    int MemberCount(int setCode, uint32_t* count);
};

}  // namespace qn::dbms

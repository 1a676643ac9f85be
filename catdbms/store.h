// The storage interface of the engine: records, set memberships and key entries of one catalog
// in one SQLite database. Nothing above this class knows SQL; a server backend would replace
// this class alone.
//
// Tables (all names as the sqlite3 shell shows them):
//   dbms_info        (key, value): "version" = "F1.00", "stamp" = the last update stamp given,
//                    "lastslot:<table>" = at least the highest slot a deleted record of that
//                    table had, written only when a delete takes the table's highest slot
//                    ("F0.05": the dictionary of catalogs written before change entries
//                    carried their item's access; MigrateDictionary brings it up to date)
//   dbms_records, dbms_fields, dbms_sets, dbms_setmembers: the dictionary
//   db_<record>      one per record type: slot INTEGER PRIMARY KEY (never reused: a new slot
//                    is above every slot present and the table's "lastslot"; catalogs made
//                    before "lastslot" declare it AUTOINCREMENT and keep sqlite_sequence), stamp,
//                    then one column per field (group members as their own columns, arrays as
//                    one blob), named after the field in lower case
//   key_<field>      entries of an optional key: its member columns and dba
//   dbms_member      (setcode, owner, member, ord): one row per membership; ord orders the
//                    members of one owner (see OrderKey*), unique per (setcode, owner)
//   dbms_owner       (setcode, owner, members): member count per owner with members
// Indexes: one per key (unique keys UNIQUE), dbms_member by (setcode, owner, ord).
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "catdbms/catschema.h"
#include "catdbms/dbms.h"

struct sqlite3;
struct sqlite3_stmt;

namespace qn::dbms {

struct CheckReport;

// One component of a key value.
struct KeyPart {
    bool text = false;
    int64_t number = 0;
    std::string bytes;
    bool operator==(const KeyPart&) const = default;
};
// A key value: at most kMaxKeyParts components, kept without heap allocation.
constexpr size_t kMaxKeyParts = 4;
class KeyValue {
  public:
    KeyValue() = default;
    explicit KeyValue(size_t n) : m_n(n) {}
    size_t size() const { return m_n; }
    KeyPart& operator[](size_t i) { return m_parts[i]; }
    const KeyPart& operator[](size_t i) const { return m_parts[i]; }
    void push_back(KeyPart p) {
        if (m_n < kMaxKeyParts)
            m_parts[m_n++] = std::move(p);
    }
    const KeyPart* begin() const { return m_parts; }
    const KeyPart* end() const { return m_parts + m_n; }
    bool operator==(const KeyValue& o) const {
        if (m_n != o.m_n)
            return false;
        for (size_t i = 0; i < m_n; ++i)
            if (!(m_parts[i] == o.m_parts[i]))
                return false;
        return true;
    }

  private:
    KeyPart m_parts[kMaxKeyParts];
    size_t m_n = 0;
};

// The components of a key field (1 for a scalar or string key, 2 for compound and group keys).
const std::vector<const FieldDef*>& KeyComponents(const FieldDef& key);
// Key value from a caller's buffer laid out as the packed components, or from a record buffer.
KeyValue KeyFromValue(const FieldDef& key, const void* value);
KeyValue KeyFromRecord(const FieldDef& key, const void* record);
void KeyToValue(const FieldDef& key, const KeyValue& kv, void* value);

// Order keys of the dbms_member table.
std::string OrderKeyAscending(const char* field, size_t size, DBA member);
std::string OrderKeyPosition(uint64_t position);
uint64_t OrderKeyPositionValue(const std::string& ord);

// The write-ahead log is kept under this many pages (the log's file under kLogSizeLimit bytes)
// plus the last transaction written; see store.cc.
constexpr int kLogCheckpointPages = 256;
constexpr int64_t kLogSizeLimit = int64_t(kLogCheckpointPages) * (4096 + 24);

// The one older dictionary an exclusive open accepts so that it can be brought up to date.
inline constexpr const char kOlderDictionaryVersion[] = "F0.05";

class CStore {
  public:
    CStore() = default;
    ~CStore();
    CStore(const CStore&) = delete;
    CStore& operator=(const CStore&) = delete;

    // Makes a new catalog database at path (the file is replaced), in the journal mode its
    // opens will use, so that no first open has to switch it. S_NOSPACE, S_SYSERR, ...
    static int Create(const std::string& path, bool rollbackJournal);
    // Opens and checks a catalog. rollbackJournal: use the rollback journal instead of WAL.
    int Open(const std::string& path, bool rollbackJournal, int busyMs);
    void Close();
    bool IsOpen() const { return m_db != nullptr; }
    const std::string& Path() const { return m_path; }

    void SetBusyTimeout(int ms);
    int SetCachePages(int pages);
    int SetSizeLimit(uint64_t bytes);

    // Transactions.
    enum class Txn { None, Read, Write };
    Txn State() const { return m_txn; }
    int BeginRead();
    int BeginWrite();
    int Commit();
    void Rollback();
    // After a failed statement: true when SQLite rolled the whole transaction back by itself
    // (it may on a full disk, I/O errors and out of memory); the store then has no transaction.
    bool TransactionLost();
    int Savepoint();
    int ReleaseSavepoint();
    void RollbackSavepoint();

    // Records. buffer is the record's full size; stamp may be null.
    int Insert(int recordCode, const void* buffer, DBA* dba);
    int Read(DBA dba, void* buffer, uint32_t* stamp);
    int Exists(DBA dba);  // 0 or S_DELETED
    int GetStamp(DBA dba, uint32_t* stamp);
    // before (null: unknown) is the record as stored: when no column of its unique or
    // duplicate keys changed, their index entries are left alone instead of being written anew.
    int Update(DBA dba, const void* buffer, const void* before = nullptr);
    int Remove(DBA dba);
    // Next slot after (forward) or before a slot; slot 0 with forward starts at the first,
    // UINT32_MAX backwards at the last. S_NOTFOUND at the end.
    int Scan(int recordCode, uint32_t from, bool forward, uint32_t* slot);
    // The record after slot from (0: the first), whole, with its slot and stamp. Successive calls
    // that go on from the slot the last one returned step one statement instead of seeking
    // again, so a walk over every record of a type costs one table scan.
    int ScanRead(int recordCode, uint32_t from, uint32_t* slot, void* buffer, uint32_t* stamp);
    int Count(int recordCode, uint32_t* count);
    int Clear();  // every record, membership and key entry; the system record is made again

    // Keys. Seek modes: Equal (first entry equal to kv), After / Before (the entry after or
    // before (kv, dba)), First, Last. out and outKey receive the entry found.
    enum class Seek { Equal, After, Before, First, Last };
    int KeySeek(const FieldDef& key, Seek mode, const KeyValue& kv, DBA dba, DBA* out,
                KeyValue* outKey);
    int OptKeyStore(const FieldDef& key, const KeyValue& kv, DBA dba);
    int OptKeyDelete(const FieldDef& key, DBA dba);  // S_NOTFOUND when there was none
    int OptKeyExists(const FieldDef& key, DBA dba);
    int OptKeyUpdate(const FieldDef& key, const KeyValue& kv, DBA dba);  // only if present

    // Set memberships.
    int MemberRow(int setCode, DBA member, DBA* owner, std::string* ord);  // S_NOTFOUND
    // The member after / before ord (ord null: the first / last) of one owner; S_EOS at the end.
    int MemberStep(int setCode, DBA owner, const std::string* ord, bool forward, DBA* member,
                   std::string* memberOrd);
    // Continues a walk that stands on member: S_OKAY or S_EOS, or S_NOTFOUND when no such walk
    // is in progress (then use MemberStep).
    int WalkNext(int setCode, DBA owner, DBA member, bool forward, DBA* next);
    int MemberInsert(int setCode, DBA owner, DBA member, const std::string& ord);
    int MemberDelete(int setCode, DBA owner, DBA member);
    int MemberSetOrd(int setCode, DBA member, const std::string& ord);
    int MemberList(int setCode, DBA owner, std::vector<std::pair<DBA, std::string>>* members);
    int OwnerCount(int setCode, DBA owner, uint32_t* count);
    // Every membership of a set as (owner, member), by owner and then in the set's order.
    int MemberPairs(int setCode, std::vector<std::pair<DBA, DBA>>* pairs);

    // An older dictionary (kOlderDictionaryVersion) passes Open only when allowed before it;
    // OlderDictionary then says that the open catalog still has it.
    void AllowOlderDictionary(bool allow) { m_allowOlder = allow; }
    bool OlderDictionary() const { return m_olderDictionary; }
    // Brings the tables, columns, indexes and stored dictionary up to this engine's (additions
    // only: nothing stored is dropped) and rebuilds the keys, inside the caller's write
    // transaction, so that a failure or a crash leaves the catalog as it was.
    int MigrateDictionary(CheckReport* report);

    // Maintenance.
    int Check(CheckReport* report);
    int RebuildKeys(CheckReport* report);
    int Backup(const std::string& path, CopyProgress progress, void* context);

    // Adds the pages this connection wrote since the last call to the process's count (at every
    // commit, autocommit writes included).
    void CountWrites();
    // Maps the last SQLite result to an engine status.
    int Status(int rc) const;
    // Ends a set walk in progress (before any write or transaction change).
    void ResetWalk();

  private:
    // Prepared statements are kept for the life of the connection: by SQL text, by the address
    // of a constant SQL text, or by an id for SQL made per record type or key.
    sqlite3_stmt* Prepare(const std::string& sql);
    sqlite3_stmt* Prepare(const char* constantSql);
    template <class MakeSql>
    sqlite3_stmt* PrepareId(uint32_t id, MakeSql make) {
        auto it = m_byId.find(id);
        if (it != m_byId.end()) {
            ResetStmt(it->second);
            return it->second;
        }
        sqlite3_stmt* st = Compile(make());
        if (st != nullptr)
            m_byId.emplace(id, st);
        return st;
    }
    sqlite3_stmt* Compile(const std::string& sql);
    // Steps a prepared statement that returns no rows (SAVEPOINT, RELEASE).
    int RunConstant(const char* constantSql);
    enum StmtKind : uint32_t {
        kInsertStmt = 1,
        kReadStmt,
        kExistsStmt,
        kStampStmt,
        kUpdateStmt,
        kScanForwardStmt,
        kScanBackStmt,
        kKeySeekStmt,  // + the seek's variant
        kOptKeyInsertStmt = kKeySeekStmt + 8,
        kOptKeyUpdateStmt,
        kWalkStmt,
        kScanReadStmt,
        kUpdateUnkeyedStmt,
        kLastSlotStmt,
    };
    // The statements a key seek runs (offsets from kKeySeekStmt).
    enum SeekVariant : uint32_t {
        kSeekEqual,
        kSeekFirst,
        kSeekLast,
        kSeekSameAfter,     // the same value, a higher address
        kSeekSameBefore,    // the same value, a lower address
        kSeekBeyondAfter,   // the next higher value
        kSeekBeyondBefore,  // the next lower value
    };
    int KeySeekOnce(const FieldDef& key, uint32_t variant, const KeyValue& kv, DBA dba, DBA* out,
                    KeyValue* outKey);
    static uint32_t StmtId(uint32_t kind, int index) { return (kind << 16) | uint32_t(index); }
    static void ResetStmt(sqlite3_stmt* st);
    void ResetAll();
    int Exec(const char* sql);
    void TruncateLog();
    int NextStamp(uint32_t* stamp);
    // The dbms_info key of a record table's highest deleted slot.
    static std::string LastSlotKey(const std::string& table);
    int ValidateDictionary();
    int SetJournal(bool rollbackJournal);
    // Binds the record's columns from first on; keyed false: only the columns no index covers.
    int BindRecord(sqlite3_stmt* st, int first, int recordCode, const void* buffer,
                   bool keyed = true);
    void ColumnsToRecord(sqlite3_stmt* st, int first, int recordCode, void* buffer);

    sqlite3* m_db = nullptr;
    std::string m_path;
    bool m_boundedLog = false;  // a write-ahead log that this connection keeps in its bound
    bool m_allowOlder = false;
    bool m_olderDictionary = false;
    // The engine gives the slots (kept with "lastslot"), not AUTOINCREMENT: an insert then
    // writes no sqlite_sequence row.
    bool m_ownSlots = false;
    int m_busyMs = 0;
    Txn m_txn = Txn::None;
    int m_savepoints = 0;
    std::unordered_map<std::string, sqlite3_stmt*> m_stmts;
    std::unordered_map<const void*, sqlite3_stmt*> m_byText;
    std::unordered_map<uint32_t, sqlite3_stmt*> m_byId;
    // Per set, the statement of a walk in progress, left on the row of the member it found so
    // that the next step is one step of the statement.
    struct Walk {
        sqlite3_stmt* st = nullptr;
        DBA owner = 0;
        DBA member = 0;
        bool forward = true;
        bool live = false;
    };
    Walk m_walks[kSetCount];
    // The record scan in progress, left on the row it returned last.
    struct RecordWalk {
        sqlite3_stmt* st = nullptr;
        int recordCode = 0;
        uint32_t slot = 0;
        bool live = false;
    };
    RecordWalk m_recordWalk;
};

// The DDL of a new catalog, derived from the dictionary. autoincrementSlots: the form of the
// catalogs made before "lastslot", whose tables let SQLite keep their highest slots.
std::vector<std::string> CatalogSchemaSql(bool autoincrementSlots = false);
std::string RecordTable(int recordCode);
std::string KeyTable(const FieldDef& key);
int ReplaceFile(const std::string& from, const std::string& path);

// The batch of a copy that reports its progress: about 4 MB between two reports.
constexpr uint32_t kBackupBatchPages = 1024;
// Copies the database of the connection source (its snapshot, when it is inside a read
// transaction) into a new database file at path, pagesPerBatch pages at a time (0: all at once),
// calling progress after each batch. plainFile: the copy uses the rollback journal whatever the
// source uses. An SQLite result code: SQLITE_OK, SQLITE_ABORT when progress stopped it (stopped
// is then set), or the failure.
int CopyDatabase(sqlite3* source, const std::string& path, uint32_t pagesPerBatch,
                 CopyProgress progress, void* context, bool plainFile, bool* stopped);

}  // namespace qn::dbms

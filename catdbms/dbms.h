// The record-and-set engine under the catalog store.
//
// A catalog is one SQLite database (the ".vfc" file) that holds the dictionary, one table per
// record type, the set memberships and the key entries; beside it the ".TAF" file carries the
// lock manager (open lock, record-type and set locks, lock-manager users) as byte-range locks
// that vanish with the process that held them. Callers see records, sets, keys, database
// addresses and the currency model only; SQLite stays inside this library.
//
// Every call returns an engine status (the S_ constants below): 0 success, positive values
// are ordinary outcomes (end of set, not found, ...), negative values errors. Out-parameters
// are written only on success unless a call says otherwise. A task is used by one thread.
//
// Currency: each task has one current record, and per set one current owner and one current
// member. The sets owned by the system record (DBS_USERS, DBS_ITEMS, DBS_GROUPS,
// DBS_RESOURCES) have it as current owner from the open on. Currency is kept in memory as database
// addresses and checked against the catalog before use, so an address another process deleted
// answers S_DELETED or S_NOTCON, never garbage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "catdbms/catschema.h"

namespace qn::dbms {

// ---- Engine statuses
// Values never change: stored logs and the catalog store's status mapping rely on them.
enum : int {
    S_OKAY = 0,
    S_EOS = 1,        // end of set: no (further) member
    S_NOTFOUND = 2,   // key or record not found; end of a record scan or key walk
    S_DUPLICATE = 3,  // unique key value already present; lock-manager user id in use
    S_UNAVAIL = 5,    // lock or open refused after the lock time-out
    S_DELETED = 6,    // the record at that address was deleted (or never existed)
    S_UPDATED = 7,    // the record changed since the given stamp
    S_STOPPED = 8,    // the caller's progress routine stopped the call

    S_DBOPEN = -1,       // no database open on this task
    S_INVSET = -2,       // not a set code
    S_INVREC = -3,       // not a record code, or a record of the wrong type for the call
    S_INVDB = -4,        // the file is not a catalog (not a database, wrong or damaged dictionary)
    S_INVFLD = -5,       // not a field code, or not a field of the current record's type
    S_INVADDR = -6,      // malformed database address
    S_NOCR = -7,         // no current record
    S_NOCO = -8,         // the set has no current owner
    S_NOCM = -9,         // the set has no current member
    S_BADTYPE = -11,     // bad lock type or open mode
    S_HASMEMBER = -12,   // the record still owns members (delete refused)
    S_ISMEMBER = -13,    // the record is still connected to a set (delete refused)
    S_ISOWNED = -14,     // the record is already a member of that set (connect refused)
    S_NOTCON = -16,      // the record is not connected to that set
    S_NOTKEY = -17,      // the field is not a key (or not an optional key for key store/delete)
    S_INVOWN = -18,      // the current owner's type is not the set's owner type
    S_INVMEM = -19,      // the record's type is not a member type of the set
    S_SETPAGES = -20,    // cache size not accepted
    S_INCOMPAT = -21,    // operation needs an exclusive ("x" or "o") open
    S_DELSYS = -22,      // the system record cannot be deleted
    S_NOTFREE = -23,     // part of a lock packet is already held by this task
    S_TRACTIVE = -26,    // a transaction is already open
    S_TRNOTACT = -27,    // no transaction is open
    S_BADPATH = -28,     // path unusable (empty, or a directory where a file is needed)
    S_TRFREE = -29,      // write locks cannot be freed inside a transaction
    S_BADPARAM = -32,    // null pointer or value out of range
    S_NAMELEN = -35,     // name or path too long
    S_BADUSERID = -42,   // lock-manager user id rejected (empty, too long, bad characters)
    S_TAFINVALID = -43,  // the ".TAF" file exists but cannot serve as the lock manager's file
    S_NOUSER = -54,      // no such lock-manager user (or no lock manager to ask)
    S_NOSPACE = -900,    // disk full (or the catalog's size limit reached)
    S_SYSERR = -901,     // other operating-system or storage error
    S_NOMEMORY = -904,   // out of memory
    S_NOFILE = -905,     // the file does not exist
    S_RECLIMIT = -909,   // no more slots for that record type (24-bit slot numbers)
    S_WRITE = -913,      // write error
    S_READ = -914,       // read error (damaged file, or an I/O error while reading)
    S_NOLOCKMGR = -920,  // the ".TAF" file cannot be opened or created; transport not available
    S_DBALREADYOPEN = -921,  // this task already has a database open
    S_NOSHARE = -941,        // the file system offers no file locks
    S_BADTRANSPORT = -944,   // not a lock-manager transport code at all
};

// Short text of a status ("end of set", "record deleted", ...); never null.
const char* StatusText(int status);

// ---- Lock packets
#pragma pack(push, 1)
struct LOCK_REQUEST {
    int32_t item;  // record code (10000 + index) or set code (20000 + index)
    char type;     // 'r' read (shared) or 'w' write (exclusive)
};
#pragma pack(pop)
static_assert(sizeof(LOCK_REQUEST) == 5, "lock packet entries are 5 bytes");

// Lock-manager transports. 4 is the file lock manager on the ".TAF" file; every other code in
// 0..15 is a transport this engine does not have (S_NOLOCKMGR), anything else S_BADTRANSPORT.
constexpr int kTransportFile = 4;

// Open modes (the mode string of Open).
//   "x" exclusive and "o" one-user: refused (S_UNAVAIL) while any other task has the catalog open;
//   "s" shared: refused while another task has it open exclusively.
enum class OpenState { Closed, Shared, Exclusive };

// Task state word bits.
constexpr uint16_t kStateTransaction = 0x0001;  // set by the engine while a transaction is open
constexpr uint16_t kStateKeepLocks = 0x0004;    // the caller keeps read locks after reads

// Task options (SetOptions / ClearOptions).
constexpr uint32_t kOptKeepLocks = 0x0004;  // mirrors kStateKeepLocks into the state word

// One lock-manager user as ListUsers reports it: the user id, NUL-padded to 16 bytes.
struct LM_USER {
    char name[16];
};
static_assert(sizeof(LM_USER) == 16, "lock-manager user entries are 16 bytes");
constexpr size_t kMaxUserIdLength = 15;

// Error callback: called with every status of S_NOSPACE (-900) or below that a call returns,
// and a text naming what failed.
using ErrorCallback = void (*)(int status, const char* text, void* context);

// Progress of a copy, after each batch of pages: the pages copied so far and the pages of the
// whole copy. Answering false stops the copy (S_STOPPED) unless that batch was its last.
using CopyProgress = bool (*)(uint64_t pagesDone, uint64_t pagesTotal, void* context);

// Findings of CheckCatalog (and the repairs of RebuildKeys).
struct CheckReport {
    uint32_t records = 0;               // records examined
    uint32_t memberships = 0;           // set memberships examined
    uint32_t keyEntries = 0;            // optional-key entries examined
    uint32_t errors = 0;                // problems found
    std::vector<std::string> messages;  // one line per problem, at most 1000 kept
};

class TaskImpl;
class CLockFile;
class CCatalogHold;

// ---- The task
// One engine context on one catalog. Settings (paths, user id, transport, cache, time-out) are made
// before Open; Close (or destruction) ends the transaction with a rollback, frees every lock and
// leaves the lock manager.
class CDbTask {
  public:
    CDbTask();
    ~CDbTask();
    CDbTask(const CDbTask&) = delete;
    CDbTask& operator=(const CDbTask&) = delete;

    // -- Settings
    void SetErrorCallback(ErrorCallback fn, void* context);
    void SetOptions(uint32_t options);  // kOpt... bits
    void ClearOptions(uint32_t options);
    // The state word: bit 0 while a transaction is open, bit 2 when kOptKeepLocks is set.
    uint16_t StateWord() const;

    // Folder of the dictionary and data (the ".vfc" file is looked up there when Open gets a
    // bare file name) and the ".TAF" file; an empty TAF path means "<catalog base>.TAF" beside
    // the catalog. S_NAMELEN when longer than 4095 bytes, S_DBALREADYOPEN when open.
    int SetDictionaryPath(const char* path);
    int SetDataPath(const char* path);
    int SetTafFile(const char* path);
    int SetLockManager(int transport);      // 0, S_NOLOCKMGR, S_BADTRANSPORT
    int SetDatabaseName(const char* name);  // S_NAMELEN past 63 bytes
    // Lock-manager user id: TestUserId answers 0 when free, S_DUPLICATE when a live task uses
    // it, S_BADUSERID when malformed (empty, more than 15 bytes, characters outside
    // [A-Za-z0-9_.-]). It needs the TAF path (or the dictionary path and database name).
    int TestUserId(const char* userId);
    int SetUserId(const char* userId);  // 0 or S_BADUSERID; the entry is taken at Open
    int SetOpenFiles(int count);        // accepted and kept (S_BADPARAM when < 1)
    // Cache size in pages of 4096 bytes; S_SETPAGES when pages < 2 or > 262144, S_NOMEMORY
    // when the cache cannot be had.
    int SetCachePages(int pages, int indexPages);
    int SetLockTimeout(int seconds);         // 0 = no waiting; S_BADPARAM when negative
    int SetLockTimeoutMs(int milliseconds);  // the same in milliseconds (tests)
    // Upper bound of the catalog's size in bytes (0 = none); writes past it answer S_NOSPACE.
    int SetSizeLimit(uint64_t bytes);

    // -- Open and close
    // Opens the catalog (a path, or a bare name looked up in the dictionary path) with mode "x",
    // "o" or "s". Statuses: S_UNAVAIL (refused: open elsewhere, user id taken meanwhile, or the
    // catalog file is read-only), S_INVDB (missing, not a database, damaged or foreign dictionary),
    // S_NAMELEN, S_BADTYPE (mode), S_NOLOCKMGR / S_TAFINVALID / S_NOSHARE (TAF), S_DUPLICATE (user
    // id in use), S_DBALREADYOPEN, S_NOMEMORY, S_NOSPACE, S_READ.
    int Open(const char* dbName, const char* mode);
    // Opens the catalog exclusively under a hold of it (see CCatalogHold), which the task takes
    // over while it is open and gives back at close: no task can come in between. S_BADPARAM
    // when the hold is not held or holds another catalog; otherwise as Open.
    int OpenHeld(const char* dbName, CCatalogHold* hold);
    int Close();  // always 0; rolls back an open transaction
    bool IsOpen() const;
    const char* OpenMode() const;  // "x", "o", "s" or "" when closed
    // Empties the open catalog (exclusive or one-user open only, else S_INCOMPAT): every record,
    // membership and key entry goes; the system record is made again; stamps restart.
    int Initialize();

    // Makes a new, empty catalog at path from the dictionary, replacing what is there (an empty
    // template file, an old file set's dictionary). S_UNAVAIL while anyone has it open,
    // S_NOSPACE, S_BADPATH, S_NAMELEN, S_SYSERR.
    static int CreateCatalog(const char* path, const char* tafPath = nullptr);

    // -- Lock-manager users
    // The live users of the catalog's lock manager (this task's own included). count receives how
    // many there are; the first min(capacity, count) entries are written. S_NOUSER when the ".TAF"
    // file does not exist or no user is live.
    int ListUsers(LM_USER* entries, uint16_t capacity, uint16_t* count);
    // Drops a user id from the lock manager: 0 when it was there and its task is gone,
    // S_UNAVAIL when its task is still alive, S_NOUSER when no such user is known.
    int ClearUser(const char* userId);

    // -- Transactions
    // Begin records the tag and sets state bit 0; the storage transaction starts with the first
    // lock packet or access. End commits and frees all locks; Abort rolls back and frees all locks.
    // S_TRACTIVE / S_TRNOTACT; End may answer S_NOSPACE, S_WRITE (then the transaction is rolled
    // back and bit 0 cleared).
    int TransactionBegin(const char* tag);
    int TransactionEnd();
    int TransactionAbort();
    const char* TransactionTag() const;  // "" outside a transaction

    // -- Locks
    // Grants the whole packet or nothing: S_UNAVAIL after the lock time-out, S_NOTFREE when any
    // entry is already held by this task (nothing is taken), S_INVREC / S_INVSET / S_BADTYPE for a
    // bad entry, S_BADPARAM for count < 1. Waiting writers are served in turn: readers that come
    // later wait behind them. Outside a transaction every grant starts the task's read snapshot
    // again (what earlier locks cover cannot have changed meanwhile), and no snapshot is kept
    // while the task waits.
    int Lock(const LOCK_REQUEST* packet, int count);
    // One record type or set; a read lock already held is upgraded to a write lock (waiting up
    // to the time-out); a lock already held at the asked strength answers 0.
    int LockOne(int code, char type);
    // 'f', 'r' or 'w': this task's lock on the record type or set.
    int LockState(int code, char* state);
    int Free(int code);  // S_NOTFOUND when not held; S_TRFREE for a write lock in a transaction
    int FreeReadLocks();
    int FreeAll();  // outside a transaction; inside one only the read locks go

    // -- Records
    // Creates a record from a full buffer (size of the record type; null for types without fields);
    // it becomes the current record. S_DUPLICATE on a unique key, S_INVREC, S_RECLIMIT, S_NOSPACE.
    int FillNew(int recordCode, const void* buffer);
    int RecRead(void* buffer);         // current record, whole
    int RecWrite(const void* buffer);  // current record, whole (keys, set orders, stamp follow)
    int CrRead(int fieldCode, void* buffer);         // one field (or group) of the current record
    int CrWrite(int fieldCode, const void* buffer);  // one field (or group)
    // Deletes the current record: S_ISMEMBER while it is connected to a set, S_HASMEMBER while
    // it owns members, S_DELSYS for the system record. Currency that named it is cleared.
    int Delete();
    // Disconnects the current record from every set it is a member of, disconnects the members
    // of every set it owns, then deletes it.
    int DisconnectDelete();
    int RecType(int* recordCode);  // type of the current record
    int CrGet(DBA* dba);           // S_NOCR when there is none
    // Makes the record at dba current: S_INVADDR for a malformed address (no such record type,
    // slot 0), S_DELETED when no record lives there (currency unchanged).
    int CrSet(DBA dba);
    // Scans of one record type in storage order (creation order: slots are never reused).
    // S_NOTFOUND at either end (position unchanged). Next/Prev without a scan position start
    // at the first/last record. RecSet makes the current record the scan position.
    int RecFirst(int recordCode);
    int RecLast(int recordCode);
    int RecNext(int recordCode);
    int RecPrev(int recordCode);
    int RecSet(int recordCode);
    // Reads the record at dba whole, with its stamp (null: not wanted), and makes it current:
    // one storage read where make-current, read and stamp are three. S_INVADDR, S_DELETED.
    int ReadAt(DBA dba, void* buffer, uint32_t* stamp);
    // The record of a type after dba in storage order (0: the first), read whole with its stamp;
    // it becomes current and the scan position. S_NOTFOUND at the end. A walk that goes on from
    // the record this returned reads the whole table in one pass of the storage.
    int RecReadNext(int recordCode, DBA after, DBA* found, void* buffer, uint32_t* stamp);
    // Number of records of a type.
    int RecCount(int recordCode, uint32_t* count);

    // -- Stamps
    // The update stamp of the current record (0 for types without stamps). Every write of a stamped
    // record takes the next value of one catalog-wide counter.
    int CrStamp(uint32_t* stamp);
    // 0 when the current record still has this stamp, S_UPDATED when it changed, S_DELETED when
    // it is gone.
    int CrTest(uint32_t stamp);

    // -- Keys
    // Finds the first record (lowest address among equal values) whose key equals value and makes
    // it current. S_NOTFOUND when absent; the key position is then left between the keys below and
    // above the value, so KeyNext / KeyPrev go on from there. Compound keys take a
    // db_statusbyfolder / db_modifiedbyfolder / db_duedatebyfolder value, string keys the text
    // (compared byte-wise), group keys the group's bytes.
    int KeyFind(int keyField, const void* value);
    int KeyFirst(int keyField);
    int KeyLast(int keyField);
    int KeyNext(int keyField);  // S_NOTFOUND past the end (position unchanged)
    int KeyPrev(int keyField);
    int KeyRead(void* value);  // the key value at the position of the last key call
    // Finds the entry after (forward) or before the place that (value, dba) has in the key's
    // order, whether or not such an entry exists, and makes it current; KeyNext / KeyPrev go on
    // from there. A walk so finds its place again after its last record changed or went.
    // S_NOTFOUND at the end.
    int KeyFrom(int keyField, const void* value, DBA dba, bool forward);
    // Optional keys (ATTFILEKEY, ATTREPOSKEY): store or delete the current record's entry.
    // KeyStore of an entry already there answers 0; KeyDelete of a missing one S_NOTFOUND.
    // Written records update their stored entries; deleted records lose them.
    int KeyStore(int keyField);
    int KeyDelete(int keyField);
    int KeyExists(int keyField);  // 0 when the current record has an entry, S_NOTFOUND if not

    // -- Sets
    // Connects the current record to the set's current owner in the set's order (last; next: after
    // the current member or at the end; ascending by the sort field without regard to letter case,
    // then byte-wise, then by address). It becomes the set's current member. S_NOCR, S_NOCO,
    // S_INVMEM, S_ISOWNED.
    int Connect(int setCode);
    // Disconnects the set's current member; the member that followed becomes current member
    // (S_EOS when none follows; the set then has no current member). The current record is
    // not changed. S_NOCM, S_NOTCON.
    int Disconnect(int setCode);
    // Currency moves.
    int SetOwnerToCurrent(int setCode);   // current owner := current record (S_INVOWN)
    int SetMemberToCurrent(int setCode);  // current member := current record; owner follows
    int CurrentToOwner(int setCode);      // current record := current owner (S_NOCO)
    int CurrentToMember(int setCode);     // current record := current member (S_NOCM)
    int SetOwnerFromOwner(int dstSet, int srcSet);    // owner of dst := owner of src
    int SetOwnerFromMember(int dstSet, int srcSet);   // owner of dst := member of src
    int SetMemberFromMember(int dstSet, int srcSet);  // member of dst := member of src
    int OwnerGet(int setCode, DBA* dba);              // S_NOCO
    int MemberGet(int setCode, DBA* dba);             // S_NOCM
    int OwnerSet(int setCode, DBA dba);               // S_INVADDR, S_DELETED, S_INVOWN
    int MemberSet(int setCode, DBA dba);  // S_INVADDR, S_DELETED, S_NOTCON; owner follows
    // Member navigation under the current owner; the member found becomes current member and
    // current record. S_EOS at the end (currency unchanged); Next / Prev without a current
    // member behave as First / Last.
    int FindFirst(int setCode);
    int FindLast(int setCode);
    int FindNext(int setCode);
    int FindPrev(int setCode);
    // In a set ordered by a sort field: finds the member of the current owner after (forward) or
    // before the place that (sortValue, member) has in the set's order, whether or not that
    // member is still there; it becomes current member and current record, and FindNext /
    // FindPrev go on from it. A walk so finds its place again after its last member was renamed,
    // moved or deleted. sortValue is a sort-field buffer. S_EOS at the end, S_NOCO, S_BADPARAM
    // for a set kept in another order.
    int FindFrom(int setCode, const void* sortValue, DBA member, bool forward);
    // Owner of the current record in the set: it becomes current owner and current record, and
    // the record becomes current member. S_NOTCON.
    int FindOwner(int setCode);
    int MemberType(int setCode, int* recordCode);  // type of the current member
    int IsMember(int setCode);  // 0 when the current record is connected to the set, else S_EOS
    int IsOwner(int setCode);   // 0 when the current record owns members in the set, else S_EOS
    int OwnerRead(int setCode, int fieldCode, void* buffer);   // a field of the current owner
    int MemberRead(int setCode, int fieldCode, void* buffer);  // a field of the current member
    int MemberCount(int setCode, uint32_t* count);             // members of the current owner
    // Every membership of a set as (owner, member), by owner and then in the set's order: one
    // read of the membership index where a walk over all owners would seek once per owner.
    // The currency is not changed. S_INVSET.
    int MemberPairs(int setCode, std::vector<std::pair<DBA, DBA>>* pairs);

    // -- Checks and maintenance (catalog utilities)
    // Checks the storage, every set membership (owner and member exist and have the set's types,
    // counts, order keys), every key (unique keys, optional-key entries against their records) and
    // the system record. 0 when all is well, S_NOTFOUND when report.errors > 0.
    int CheckCatalog(CheckReport* report);
    // Rebuilds the keys and everything derived from records: indexes, set order keys (from the
    // sort fields), member counts, optional-key entries (their values re-read from the
    // records; entries of deleted records dropped). Exclusive or one-user open only.
    int RebuildKeys(CheckReport* report);
    // Writes a consistent copy of the open catalog to path (replacing it), committed data only;
    // progress (when given) follows it batch by batch and may stop it (S_STOPPED).
    int Backup(const char* path, CopyProgress progress = nullptr, void* context = nullptr);
    // An exclusive or one-user open also accepts a catalog with the one older dictionary this
    // engine can bring up to date (a shared open refuses it with S_INVDB); this tells whether
    // the open catalog has it.
    bool OlderDictionary() const;
    // Brings the open catalog's tables and stored dictionary up to this engine's in place (only
    // additions: record tables, columns that read as zeros, indexes, optional-key tables) and
    // then rebuilds the keys as RebuildKeys does. Exclusive or one-user open only (S_INCOMPAT);
    // inside a transaction it is part of it, so that an abort or a crash leaves the old
    // catalog. A catalog already up to date only has its keys rebuilt.
    int MigrateDictionary(CheckReport* report);

    // -- Whole-file helpers (no task)
    // Who has the catalog open, from its ".TAF" lock (tafPath null: "<base>.TAF" beside it).
    static int QueryOpenState(const char* catalogPath, OpenState* state,
                              const char* tafPath = nullptr);
    // Copies a catalog to a new file, committed data only (WAL included), while no one writes it.
    // S_UNAVAIL when another task holds it exclusively.
    static int CopyCatalog(const char* fromPath, const char* toPath,
                           CopyProgress progress = nullptr, void* context = nullptr);
    // The ".TAF" path the engine uses by default for a catalog path.
    static std::string DefaultTafPath(const char* catalogPath);

    // -- Checksum
    // CRC-32 (the zlib polynomial, initial and final XOR 0xFFFFFFFF); "123456789" gives 0xCBF43926.
    // crc continues an earlier checksum (0 to start).
    static uint32_t Checksum(const void* data, size_t length, uint32_t crc = 0);

  private:
    std::unique_ptr<TaskImpl> m_impl;
};

// ---- Holding a catalog
// Keeps every task out of a catalog while held: the exclusive open lock on its ".TAF" file,
// taken without opening the catalog, which need not exist or may be damaged. OpenHeld hands it
// to a task without letting go of it; the hold must outlive that task's open.
class CCatalogHold {
  public:
    CCatalogHold();
    ~CCatalogHold();
    CCatalogHold(const CCatalogHold&) = delete;
    CCatalogHold& operator=(const CCatalogHold&) = delete;

    // S_OKAY; S_UNAVAIL while any task has the catalog open; S_NOLOCKMGR when the ".TAF" file
    // cannot be opened or made; S_TAFINVALID, S_NOSHARE, S_BADPATH, S_NAMELEN, S_NOMEMORY.
    int Acquire(const char* catalogPath, const char* tafPath = nullptr);
    // Ends the hold; no effect while a task has it (the task gives it back at its close).
    void Release();
    bool IsHeld() const;

  private:
    friend class TaskImpl;
    std::unique_ptr<CLockFile> m_lock;
    std::string m_tafPath;
    bool m_lent = false;  // a task has the lock while it has the catalog open
};

// ---- A catalog's database file as storage
// For the catalog utilities: the file is opened without the dictionary check, locks or
// lock-manager entry of a task, so that files a task refuses (damaged, foreign, read-only) can
// still be copied, checked and mended. Where no task may have the catalog open meanwhile, the
// caller holds it (CCatalogHold).
class CDbFile {
  public:
    CDbFile();
    ~CDbFile();
    CDbFile(const CDbFile&) = delete;
    CDbFile& operator=(const CDbFile&) = delete;

    // Opens an existing file, for reading only or for writing too; the schema is read, which
    // proves the file is a database. S_OKAY; S_INVDB (not a database); S_UNAVAIL (a writer keeps
    // it locked past the busy wait); S_BADPATH (it cannot be opened so: missing, permissions,
    // read-only); S_NOMEMORY; S_SYSERR.
    int Open(const char* path, bool write);
    void Close();
    // True when the file holds the engine's record tables (a catalog, not just a database).
    bool IsCatalog();
    // One read snapshot for everything that follows until EndSnapshot or Close: a copy then
    // shows one moment however long it takes while others write on.
    int BeginSnapshot();
    void EndSnapshot();
    int PageCount(uint64_t* pages);
    // Writes the committed contents (the snapshot's, when one is open) to a new single database
    // file at path without journal, pagesPerBatch pages at a time (0: all at once), calling
    // progress after each batch. S_OKAY; S_NOSPACE; S_INVDB (this file is damaged); S_STOPPED;
    // S_BADPATH (path cannot be made); S_UNAVAIL; S_SYSERR. A failed copy may leave path behind.
    int CopyTo(const char* path, uint32_t pagesPerBatch, CopyProgress progress, void* context);
    // SQLite's own check of the file's pages, rows and indexes (quick: without comparing index
    // contents to the rows); each problem found is appended, at most 100. S_OKAY when it ran.
    int CheckStorage(bool quick, std::vector<std::string>* findings);
    // Rebuilds every index of the file from its rows (needs a write open).
    int RebuildIndexes();
    // The storage's own text of the last failure.
    const char* LastError() const;

    // Removes the journal and logs that belong to a database file at path (not the file).
    static void RemoveJournals(const char* path);
    // When a journal or log lies beside the file at path, settles it: committed log pages move
    // into the file and a crashed writer's journal is rolled back, so nothing is left to replay.
    static void SettleJournals(const char* path);

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace qn::dbms

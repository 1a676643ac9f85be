// The catalog store's view of the record store engine: one engine task per open catalog with
// the store's bookkeeping, and the engine calls the store routines use, in the engine's own
// currency model (a current record; per set a current owner and member).
//
// Every call returns an engine status, one of the S_ names of catdbms/dbms.h (S_OKAY, S_EOS at
// the end of a set, S_NOTFOUND, S_DUPLICATE, S_UNAVAIL, S_DELETED, S_UPDATED since the stamp,
// negative values for errors); the store routines turn them into DBStatus values. The engine's
// interface header brings no SQLite with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "catdbms/dbms.h"
#include "foundation/status.h"
#include "registry.h"
#include "schema.h"

namespace catstore {

using DBA = uint32_t;

// One lock-packet entry: a record-type or set code and 'r' or 'w'.
struct LockEntry {
    int32_t nCode;
    char chType;
};

// The general mapping of engine statuses to store statuses.
DBStatus MapEngineStatus(int nEngineStatus);

class CDbContext {
  public:
    CDbContext();
    ~CDbContext();
    CDbContext(const CDbContext&) = delete;
    CDbContext& operator=(const CDbContext&) = delete;

    // ---- Open and close (the steps of the catalog open) ----
    int CreateTask();
    void DestroyTask();
    int SetPaths(const std::string& strDir, const std::string& strTafPath);
    int SetLockManager(int nTransport);
    int SetDatabaseName(const std::string& strName);
    int TestUserID(const std::string& strUserID);
    int SetUserID(const std::string& strUserID);
    int SetOpenFiles(int nFiles);
    int SetCachePages(int nPages, int nIndexPages);
    int Open(const std::string& strFile, const char* pszMode);
    int SetLockTimeout(int nSeconds);
    int SetSharedOptions();
    int InitializeDatabase();
    int Close();
    bool IsOpen() const;
    // An exclusive open of a catalog whose dictionary predates this engine's: the catalog must
    // be brought up to date (MigrateDictionary: tables, columns, keys, inside the transaction
    // that is open) before its records are used.
    bool OlderDictionary() const;
    int MigrateDictionary();
    int ListUsers(std::string* pNames, int nMax, int* pnCount);
    int ClearUser(const std::string& strUserID);

    // ---- Transactions and locks ----
    uint16_t State() const;  // bit 0: transaction open; bit 2: locks kept after reads
    bool InTransaction() const { return (State() & 1) != 0; }
    int Begin(const char* pszTag);
    int End();
    int Abort();
    int LockPacket(const LockEntry* pEntries, size_t cEntries);
    int LockOne(int32_t nCode, char chType);
    int LockState(int32_t nCode, char* pchState);
    int FreeReadLocks();
    int FreeAllLocks();
    // How many reads (CStoreRead) are open: one inside another shares the outer one's locks.
    int& ReadDepth() { return m_nReadDepth; }

    // ---- Records ----
    int Create(int32_t nRecType, const void* pRecord);  // becomes current
    int MakeCurrent(DBA dba);
    int CurrentDba(DBA* pdba);
    int CurrentType(int32_t* pnType);
    int Read(void* pRecord);         // current record
    int Write(const void* pRecord);  // current record
    int Delete();                    // current record (must be in no set)
    int DisconnectAllAndDelete();    // current record
    int DeleteAt(DBA dba);           // makes dba current, then disconnects and deletes it
    int CurrentStamp(uint64_t* pStamp);
    // Reads the record at dba with its stamp; it becomes current.
    int ReadAt(DBA dba, void* pRecord, uint32_t* pStamp);
    int TestStamp(uint64_t stamp);  // S_OKAY unchanged, S_DELETED, S_UPDATED
    // The record of a type after dba in storage order (0: the first) with its stamp; it becomes
    // current. S_NOTFOUND at the end. Going on from the record returned costs no seek.
    int ScanRead(int32_t nRecType, DBA dbaAfter, void* pRecord, uint32_t* pStamp, DBA* pdba);
    int ScanFirst(int32_t nRecType);
    int ScanLast(int32_t nRecType);
    int ScanNext(int32_t nRecType);
    int ScanPrev(int32_t nRecType);
    int ScanSet(int32_t nRecType);
    int RecordCount(int32_t nRecType,
                    uint32_t* pcRecords);  // the current record becomes the scan position

    // ---- Keys ----
    int KeyFind(int32_t nField, const void* pValue);  // current record; S_NOTFOUND absent
    int KeyStore(int32_t nField);                     // optional key of the current record
    int KeyDelete(int32_t nField);

    // ---- Sets ----
    int SetOwnerCurrent(int32_t nSet);   // current record becomes the set's owner
    int SetOwnerSystem(int32_t nSet);    // the system record owns the set
    int Connect(int32_t nSet);           // current record into the set of the current owner
    int Disconnect(int32_t nSet);        // current member of the set
    int SetMemberCurrent(int32_t nSet);  // current record becomes the set's current member
    int FindFirst(int32_t nSet);         // first member becomes current record and member
    int FindNext(int32_t nSet);
    int FindLast(int32_t nSet);
    int FindOwner(int32_t nSet);  // owner of the current member becomes current
    int IsMember(int32_t nSet);   // S_OKAY yes, S_EOS no (current record)
    int MemberCount(int32_t nSet, uint32_t* pcMembers);
    int FindPrev(int32_t nSet);
    // Resumes a walk of an ascending set after (before) the place of (sort value, member).
    int FindFrom(int32_t nSet, const void* pSortValue, DBA dbaMember, bool fForward);
    // Key walks: the entry after (before) the place of (value, dba), and the steps from there.
    int KeyFrom(int32_t nField, const void* pValue, DBA dba, bool fForward);
    int KeyNext(int32_t nField);
    int KeyPrev(int32_t nField);
    static uint32_t Checksum(const void* pv, size_t cb);

    // ---- Whole-catalog reads and maintenance (the verification) ----
    // Every membership of a set as (owner, member), by owner and then in the set's order.
    int MemberPairs(int32_t nSet, std::vector<std::pair<DBA, DBA>>* pPairs);
    int CheckCatalog(qn::dbms::CheckReport* pReport);  // S_NOTFOUND when it found problems
    int RebuildKeys(qn::dbms::CheckReport* pReport);   // exclusive open only
    int Backup(const std::string& strPath);            // outside a transaction
    // The catalog file the task opened ("" before the open).
    const std::string& CatalogPath() const;
    // Makes a new empty catalog file at strPath.
    static int CreateCatalog(const std::string& strPath, const std::string& strTafPath);
    void SetLockTimeoutMs(int nMilliseconds);

    // ---- Store bookkeeping ----
    DBA dbaBoard = 0;      // cached address of DB_BOARDREC
    DBA dbaUniqueIds = 0;  // cached address of DB_UNIQUEIDSREC
    // The clock-made candidate of the last item id the store chose, and the id it gave.
    uint32_t dwLastIdCandidate = 0;
    uint32_t dwLastItemId = 0;
    ClientEntry* pClientEntry = nullptr;

  private:
    struct Impl;
    Impl* m_pImpl;
    int m_nReadDepth = 0;
};

}  // namespace catstore

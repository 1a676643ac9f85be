// Lock requests, the store transaction pattern and the exported transaction calls.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <vector>

#include "engine.h"

struct BOARD_OBJECT;

namespace catstore {

// Asks for all locks of the packet; on a time-out shows the busy box (Retry asks again, Cancel
// gives DBLockRefused); S_NOTFREE (some already held) takes the missing ones one by one.
DBStatus RequestLocks(CDbContext* pdb, const LockEntry* pEntries, size_t cEntries);
inline DBStatus RequestLocks(CDbContext* pdb, const std::vector<LockEntry>& packet) {
    return RequestLocks(pdb, packet.data(), packet.size());
}

// "Current Lock Packet Contents..." report with a title.
void ReportPacket(const LockEntry* pEntries, size_t cEntries, const char* pszTitle);

// The write pattern of a store routine: joins an open engine transaction or begins its own,
// requests the packet; Finish commits (or aborts on failure) only what it began.
class CStoreTransaction {
  public:
    CStoreTransaction(CDbContext* pdb, const char* pszTag, const std::vector<LockEntry>& packet);
    ~CStoreTransaction();  // aborts an unfinished own transaction
    CStoreTransaction(const CStoreTransaction&) = delete;
    CStoreTransaction& operator=(const CStoreTransaction&) = delete;
    // The status of beginning and locking; the routine does its work only when it is 0.
    DBStatus Status() const { return m_status; }
    // Ends the routine with its result: commit on success, abort on failure. Returns the first
    // failure (a failing commit included).
    DBStatus Finish(DBStatus result);

  private:
    CDbContext* m_pdb;
    bool m_fOwn = false;
    bool m_fDone = false;
    DBStatus m_status = DBSuccess;
};

// The read pattern: requests read locks and frees all locks at the end unless a transaction is
// open or locks are kept after reads.
class CStoreRead {
  public:
    CStoreRead(CDbContext* pdb, const std::vector<LockEntry>& packet);
    ~CStoreRead();
    CStoreRead(const CStoreRead&) = delete;
    CStoreRead& operator=(const CStoreRead&) = delete;
    DBStatus Status() const { return m_status; }

  private:
    CDbContext* m_pdb;
    DBStatus m_status = DBSuccess;
};

// Long-running changes: commits and re-locks once the pause interval has passed.
class CTransactionPause {
  public:
    CTransactionPause(CDbContext* pdb, const char* pszTag, std::vector<LockEntry> packet);
    // Before each unit of work. Returns the engine status of the commit and re-lock (S_OKAY when
    // no pause was due).
    int Check();
    int Pauses() const { return m_nPauses; }

  private:
    CDbContext* m_pdb;
    const char* m_pszTag;
    std::vector<LockEntry> m_packet;
    uint32_t m_dwStartSeconds;
    int m_nPauses = 0;
};

inline constexpr uint32_t TRANSACTION_PAUSE_SECONDS = 3;

// The logical transaction of an operation (EXBoardBeginTransaction and its pair): a depth and
// its log lines; the engine transactions are the store routines' own.
void BeginTransaction(BOARD_OBJECT* hbrd, const char* pszName);
void EndTransaction(BOARD_OBJECT* hbrd);
void AbortTransaction(BOARD_OBJECT* hbrd);

// Packet helpers.
std::vector<LockEntry> Packet(std::initializer_list<int32_t> codes, char chType);
std::vector<LockEntry> operator+(std::vector<LockEntry> a, const std::vector<LockEntry>& b);
// The variable-string records: DBS_VARSTRING, DB_VARSTRINGREC and the four chunk records.
std::vector<LockEntry> VarStringPacket(char chType);

}  // namespace catstore

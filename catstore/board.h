// The open catalog (BOARD_OBJECT): its lifecycle (board.cc) and its information (boardinfo.cc).
#pragma once

#include <cstdint>
#include <string>

#include "catstore.h"
#include "foundation/status.h"
#include "registry.h"
#include "schema.h"

namespace catstore {
class CDbContext;
struct NotifierTable;
}  // namespace catstore
struct UNREAD_SET;
struct DB_ITEM;

// The handle of an open catalog. Fields in the order the catalog store has always kept them.
struct BOARD_OBJECT {
    uint32_t dwClientTag = catstore::CLIENT_TAG;
    catstore::ClientEntry* pClientEntry = nullptr;
    catstore::CDbContext* pdb = nullptr;  // the engine task with its bookkeeping
    uintptr_t ulItemContextA = 0;
    uintptr_t ulItemContextB = 0;
    std::string strPath;                         // catalog path as given
    std::string strCatalogIni;                   // catalog configuration file
    std::string strUserIni;                      // user configuration file
    catstore::NotifierTable* pNotify = nullptr;  // the item entries, lists and change queue
    UNREAD_SET* pUnread = nullptr;               // the current user's unread marks
    USER_OBJECT* hCurrentUser = nullptr;
    GROUP_ITERATOR* pCurrentGroups = nullptr;
    USER_ITERATOR* pAllUsers = nullptr;
    uint32_t fSystem = 0;
    uint32_t nLockMgr = 0;
    int16_t nTransactionDepth = 0;
    uint32_t dwOpenOption = 0;
    uint16_t wReferenceFlag = 0;
    uint32_t dwMemoryThreshold = 0;
    bool fClosing =
        false;  // a notifier routine closed the catalog; it closes when its call returns
};

namespace catstore {

// True when hbrd is an open catalog handed out by this process.
bool IsLiveBoard(const BOARD_OBJECT* hbrd);
// The visibility rule: whether an access pair (and owner) admits the catalog's current user.
bool IsVisibleTo(BOARD_OBJECT* hbrd, uint16_t wLevel, uint16_t wId, uint16_t wOwner);
// The visibility rule for an item: its access pair, or the user owns it.
bool IsItemVisible(BOARD_OBJECT* hbrd, const DB_ITEM& item);
// The user a change is attributed to: the current user, or 1 without one.
uint16_t CurrentUserID(BOARD_OBJECT* hbrd);
// Takes in other processes' changes (EXBoardRefresh): the change log after the current user's
// position, then the send; a failure is stored in *status.
void RefreshBoard(BOARD_OBJECT* hbrd, EXSM_STATUS* status);
// The memory check after refreshes, finds, creates and listings: past the catalog's threshold
// the cache is trimmed.
void CheckMemoryUsage(BOARD_OBJECT* hbrd);

// The board record (DB_BOARDREC), read under a read lock; DBNotFound when the catalog has none.
DBStatus ReadBoardRecord(CDbContext* pdb, qn::dbms::db_boardrec* pRec);
// Writes the board record, or makes it when there is none, in its own transaction.
DBStatus WriteBoardRecord(CDbContext* pdb, const qn::dbms::db_boardrec& rec);

// Milliseconds this process has spent in memory reports, for the report at close.
uint32_t MemoryCheckMilliseconds();

}  // namespace catstore

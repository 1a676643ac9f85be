// Users and groups: handles holding copies of DB_USERREC and DB_GROUPREC, their lists, and the
// store routines that change them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "board.h"
#include "holders.h"
#include "schema.h"

using UserHolder = catstore::RecordHolder<qn::dbms::db_userrec>;
using GroupHolder = catstore::RecordHolder<qn::dbms::db_grouprec>;

struct USER_OBJECT {
    BOARD_OBJECT* hBoard = nullptr;
    uint32_t cRef = 0;  // 0: an entry of a user list, freed with the list
    UserHolder holder;
};

struct GROUP_OBJECT {
    BOARD_OBJECT* hBoard = nullptr;
    uint32_t cRef = 0;
    GroupHolder holder;
};

struct USER_ITERATOR {
    BOARD_OBJECT* hBoard = nullptr;
    int nCurrent = -1;
    std::vector<USER_OBJECT*> entries;
};

struct GROUP_ITERATOR {
    BOARD_OBJECT* hBoard = nullptr;
    int nCurrent = -1;
    std::vector<GROUP_OBJECT*> entries;
};

namespace catstore {

// Kinds of id counters.
enum class IdKind { User, Group, Resource };
// Allocates cIds ids (the first wished: dwWish, 0 for any) from DB_UNIQUEIDSREC; runs inside the
// caller's transaction, or its own ("Unique IDs") when none is open.
DBStatus AllocateIds(CDbContext* pdb, IdKind kind, uint32_t cIds, uint32_t dwWish,
                     uint32_t* pdwFirst);
// Creates a record with the id *pdwId: a wished id (non-zero) raises the counter past it; 0
// takes the next free id (skipping ids that wished ids already took), storing it in the record
// through setId before each try.
DBStatus CreateWithId(CDbContext* pdb, IdKind kind, int32_t nRecType, void* pRecord,
                      uint32_t* pdwId, const std::function<void(uint32_t)>& setId);

// Creates the unique-id record of a new catalog.
DBStatus CreateUniqueIds(CDbContext* pdb);

// Set helpers: the members of a set under an owner (0: the system record), and an owner.
DBStatus CollectMembers(CDbContext* pdb, int32_t nSet, DBA dbaOwner, std::vector<DBA>* pMembers);
DBStatus OwnerOf(CDbContext* pdb, int32_t nSet, DBA dbaMember, DBA* pdbaOwner);

// Store routines.
DBStatus UserCreate(CDbContext* pdb, UserHolder* pHolder);
DBStatus UserWrite(CDbContext* pdb, UserHolder* pHolder);
DBStatus UserDestroy(CDbContext* pdb, UserHolder* pHolder);
DBStatus UserFindByName(CDbContext* pdb, const std::string& strName, UserHolder* pHolder);
DBStatus UserFindByID(CDbContext* pdb, uint16_t wUserID, UserHolder* pHolder);
DBStatus UserSetItem(CDbContext* pdb, UserHolder* pHolder, int nSlot, DBA dbaItem);

// Handles and lists.
USER_OBJECT* NewUserObject(BOARD_OBJECT* hbrd, uint32_t cRef);
void FreeUserObject(USER_OBJECT* hUser);
bool IsLiveUser(const USER_OBJECT* hUser);
bool IsLiveGroup(const GROUP_OBJECT* hGroup);
// Fills a list of all users (DBS_USERS order).
DBStatus FillAllUsers(BOARD_OBJECT* hbrd, USER_ITERATOR** ppIter);
// Fills the list of a user's groups.
DBStatus FillUserGroups(BOARD_OBJECT* hbrd, const UserHolder& user, GROUP_ITERATOR** ppIter);
void FreeUserIterator(USER_ITERATOR* pIter);
void FreeGroupIterator(GROUP_ITERATOR* pIter);

// Makes one of the user's built-in folders (by slot) and records it in the holder (not written).
DBStatus MakeUserFolder(BOARD_OBJECT* hbrd, UserHolder* pUser, int nSlot);

// Validates a user info record against the field widths: DBNameTooLong when a text is too long.
DBStatus UserInfoToRecord(const EX_USERINFO* pInfo, UserHolder* pHolder);

}  // namespace catstore

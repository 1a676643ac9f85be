// Users: handles holding copies of DB_USERREC, the lists of user handles, and the store routines
// that change users.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "board.h"
#include "holders.h"
#include "schema.h"

using UserHolder = catstore::RecordHolder<qn::dbms::db_userrec>;

struct USER_OBJECT {
    BOARD_OBJECT* hBoard = nullptr;
    uint32_t cRef = 0;  // 0: an entry of a user list, freed with the list
    UserHolder holder;
};

struct USER_ITERATOR {
    BOARD_OBJECT* hBoard = nullptr;
    int nCurrent = -1;
    std::vector<USER_OBJECT*> entries;
};

namespace catstore {

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
// Fills a list of all users (DBS_USERS order).
DBStatus FillAllUsers(BOARD_OBJECT* hbrd, USER_ITERATOR** ppIter);
// Fills the list of the users of the group at dbaGroup.
DBStatus FillGroupUsers(BOARD_OBJECT* hbrd, DBA dbaGroup, USER_ITERATOR** ppIter);
void FreeUserIterator(USER_ITERATOR* pIter);

// Validates a user info record against the field widths: DBNameTooLong when a text is too long.
DBStatus UserInfoToRecord(const EX_USERINFO* pInfo, UserHolder* pHolder);

}  // namespace catstore

// Groups: handles holding copies of DB_GROUPREC and the lists of group handles. The store
// routines over groups and memberships serve the exported group calls only.
#pragma once

#include <cstdint>
#include <vector>

#include "board.h"
#include "holders.h"
#include "schema.h"

using GroupHolder = catstore::RecordHolder<qn::dbms::db_grouprec>;

struct GROUP_OBJECT {
    BOARD_OBJECT* hBoard = nullptr;
    uint32_t cRef = 0;  // 0: an entry of a group list, freed with the list
    GroupHolder holder;
};

struct GROUP_ITERATOR {
    BOARD_OBJECT* hBoard = nullptr;
    int nCurrent = -1;
    std::vector<GROUP_OBJECT*> entries;
};

namespace catstore {

bool IsLiveGroup(const GROUP_OBJECT* hGroup);
// Fills the list of the groups of the user at dbaUser.
DBStatus FillUserGroups(BOARD_OBJECT* hbrd, DBA dbaUser, GROUP_ITERATOR** ppIter);
void FreeGroupIterator(GROUP_ITERATOR* pIter);

// The read packet of the membership lists: a user's groups, a group's users.
std::vector<LockEntry> MembershipReadPacket();

}  // namespace catstore

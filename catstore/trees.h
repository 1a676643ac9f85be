// Tree operations: destroying an item with everything below it, copying a subtree, moving an
// item between folders, the folder memberships of a move, and turning an item into a folder.
#pragma once

#include <cstdint>

#include "items.h"

namespace catstore {

// The tree destroy commits and re-locks when a child is about to go more than dwUnits whole
// units of dwUnitMs milliseconds of the tick count after its transaction began: 3 units of
// 1000 ms unless a test asks for shorter slices.
void SetDestroySlice(uint32_t dwUnitMs, uint32_t dwUnits);

// Store routine "ItemDestroyTree": pTop (its stamp is checked) and everything below it,
// children before their folder, one Destroyed entry per item through pfnNotifier. On failure
// the events queued since the last commit are dropped; what earlier slices committed stays.
DBStatus ItemDestroyTree(CDbContext* pdb, const DB_ITEM& top, ChangeNotifier pfnNotifier,
                         BOARD_OBJECT* hbrd);

// Store routine "DBItemCopy": a deep copy of the item with id dwSourceID into the folder with id
// dwTargetID, in one transaction. tmpl gives the copies their owner, last modifier and time.
DBStatus DBItemCopy(CDbContext* pdb, uint32_t dwSourceID, uint32_t dwTargetID, const DB_ITEM& tmpl,
                    BOARD_OBJECT* hbrd);

// Store routine "FolderAddItem": pItem (its stamp is checked when known) leaves whatever folder
// holds it and becomes a member of the folder with id dwFolderID, with ITEMPARENTID written;
// *pNewStamp receives the item record's new stamp. DBFolderRequired when the folder is not a
// folder, is the item or lies below it.
DBStatus FolderAddItem(CDbContext* pdb, uint32_t dwFolderID, const DB_ITEM& item,
                       int64_t* pNewStamp);
// Store routine "FolderRemoveItem": the item leaves the folder sets that hold it.
DBStatus FolderRemoveItem(CDbContext* pdb, uint32_t dwItemID);

}  // namespace catstore

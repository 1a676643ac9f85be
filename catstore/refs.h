// References between items: the reference records, their data strings, the marker bit that
// folders of folder type 11 keep on what they refer to, and the reference lists.
#pragma once

#include "items.h"

namespace catstore {

// Inside a tree destroy's transaction, before the item's record goes: deletes every reference
// the item makes and every one made to it, with their data strings, without RemoveRef entries,
// and clears the marker bit of each other item that no longer has a referencer of folder type
// 11 (a Modified entry for each, field flags exactly the attributes bit). Other items that are
// themselves being destroyed in the same tree may be passed over by the caller's order: a
// marker on an item about to go is harmless.
DBStatus RefsDropForDestroy(CDbContext* pdb, const DB_ITEM& item, BOARD_OBJECT* hbrd);

}  // namespace catstore

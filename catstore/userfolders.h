// The built-in folders of a user: the folder item each user slot holds, made when the user is
// made (and, for slots added later, at the user's next open).
#pragma once

#include <functional>

#include "board.h"
#include "users.h"

namespace catstore {

// Makes one of the user's built-in folders (by slot) and records it in the holder (not written).
// DBItemNotFound for a slot without a built-in folder.
DBStatus MakeUserFolder(BOARD_OBJECT* hbrd, UserHolder* pUser, int nSlot);

// Makes a new user with all its built-in folders and their change entries in one transaction:
// the user is made whole or not at all. On failure the holder is as it was.
DBStatus UserCreateWithFolders(BOARD_OBJECT* hbrd, UserHolder* pUser);

// At open: makes the current user's missing built-in folders (slots 7 and 8; all of them for a
// user other than the system user left without any by an interrupted create) and writes the user
// record, in one transaction.
DBStatus MakeMissingUserFolders(BOARD_OBJECT* hbrd, UserHolder* pUser, bool fSystem);

// The first open of an upgraded catalog: makes the folder of every empty built-in slot, in the
// order of creation (a slot filled meanwhile, as slot 6 by the Quick List, is passed over), and
// writes the user record, in one transaction; fnMade(slot) runs after each folder is made.
DBStatus MakeEmptyUserFolders(BOARD_OBJECT* hbrd, UserHolder* pUser,
                              const std::function<DBStatus(int nSlot)>& fnMade);

}  // namespace catstore

// The built-in folders of a user: the folder item each user slot holds, made when the user is
// made (and, for slots added later, at the user's next open).
#pragma once

#include "board.h"
#include "users.h"

namespace catstore {

// Makes one of the user's built-in folders (by slot) and records it in the holder (not written).
// DBItemNotFound for a slot without a built-in folder.
DBStatus MakeUserFolder(BOARD_OBJECT* hbrd, UserHolder* pUser, int nSlot);

// Makes all built-in folders of a new user, up to the first failure, and writes the user record
// with the folders made.
DBStatus MakeUserFolders(BOARD_OBJECT* hbrd, UserHolder* pUser);

}  // namespace catstore

// The change log: reading other processes' entries from the user's position.
#pragma once

#include "catstore.h"
#include "engine.h"
#include "schema.h"

struct BOARD_OBJECT;

namespace catstore {

using ChangeEntryRoutine = int (*)(qn::dbms::db_changeentryrec*, unsigned short, BOARD_OBJECT*);

// Reads the entries after *pdbaPosition (the user's USERLASTCHANGEADDR), skipping those of
// wCurrentUser, calling pfnRoutine for each; *pdbaPosition follows. A position of 0 jumps to the
// log's end.
DBStatus ChangeLogProcessEntries(CDbContext* pdb, uint16_t wCurrentUser, DBA* pdbaPosition,
                                 ChangeEntryRoutine pfnRoutine, BOARD_OBJECT* hbrd);

// Writes an entry for an operation outside a store routine ("ChgLogAddEntry"): the item's
// access, id and parent, the current user, the fields, the kind. Fields without a significant
// bit write nothing.
EXSM_STATUS ChgLogAddEntry(BOARD_OBJECT* hbrd, const DB_ITEM* pItem, unsigned short wKind,
                           uint32_t dwFields);
// The same entry inside a transaction that holds the write locks of DB_CHANGEENTRYREC and
// DB_UNIQUEIDSREC, so that it commits or aborts with the operation's change.
DBStatus ChgLogWriteEntry(BOARD_OBJECT* hbrd, const DB_ITEM* pItem, unsigned short wKind,
                          uint32_t dwFields);

}  // namespace catstore

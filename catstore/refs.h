// References between items: the reference records, their data strings, the marker bit that
// folders of folder type 11 keep on what they refer to, and the reference lists.
#pragma once

#include "items.h"

namespace catstore {

// The folder type whose references mark what they refer to (EX_ATTR_REFERENCED).
inline constexpr uint16_t FOLDERTYPE_MARKING = 11;

// Inside a tree destroy's transaction, before the item's record goes: deletes every reference
// the item makes and every one made to it, with their data strings, without RemoveRef entries,
// and clears the marker bit of each other item that no longer has a referencer of folder type
// 11 (a Modified entry for each, field flags exactly the attributes bit). Other items that are
// themselves being destroyed in the same tree may be passed over by the caller's order: a
// marker on an item about to go is harmless.
DBStatus RefsDropForDestroy(CDbContext* pdb, const DB_ITEM& item, BOARD_OBJECT* hbrd);

// The pieces of the reference store routines; they run under the caller's locks.
// The user reference entries (and the marker entries they bring) are attributed to.
uint16_t ReferenceChangeUser(BOARD_OBJECT* hbrd);
// The reference record a tag names; DBNotReferenced when it names no live reference record.
DBStatus ReadReference(CDbContext* pdb, DBA dbaRef, qn::dbms::db_itemrefrec* pRec);
// Releases the reference's data string, disconnects the record from its sets and deletes it.
DBStatus DeleteReference(CDbContext* pdb, DBA dbaRef, const qn::dbms::db_itemrefrec& rec);
// Whether the item record is that of a folder of folder type 11 (its folder record is read).
DBStatus IsMarkingFolder(CDbContext* pdb, const qn::dbms::db_itemrec& rec, bool* pfMarking);
// Whether a folder of folder type 11 refers to the item at dbaDest. A referencer whose item is
// gone fails with DBNotFound when fStrict, else counts as none.
DBStatus HasMarkingReferencer(CDbContext* pdb, DBA dbaDest, bool fStrict, bool* pfFound);
// Sets or clears the marker bit of an item whose record (with its stamp) is in *pDest: writes
// the record, takes the new stamp into *pDest and writes a Modified entry for field flag
// 0x00000400 alone.
DBStatus WriteMarker(CDbContext* pdb, DB_ITEM* pDest, bool fSet, BOARD_OBJECT* hbrd);

// A reference without data from source to dest, with its change entry, in the caller's
// transaction (or its own).
DBStatus ReferenceAdd(BOARD_OBJECT* hbrd, const DB_ITEM& source, const DB_ITEM& dest);

}  // namespace catstore

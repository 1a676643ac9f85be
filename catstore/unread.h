// A user's unread marks: one DB_UNREADREC per item that changed since the user last read it,
// owned by the user through DBS_UNREAD_BY_USER. The set is held in memory while a catalog is
// open (loaded at open, written back at close with the user's position in the change log),
// updated from every change entry the user sees and by mark-as-read, and asked for each item's
// unread flags. Every change of a mark is reported through a per-item routine, which queues the
// notification that lets the item's handles show their new unread state.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "catstore.h"
#include "engine.h"
#include "schema.h"

namespace catstore {

// Called once for each item whose mark changed.
using UnreadRoutine = void (*)(uint32_t dwItemID, BOARD_OBJECT* hbrd);

// The unread flags word of a changed-field mask (0 for none, or for the unread state alone).
uint16_t UnreadFlagsOfMask(uint32_t dwFields);

}  // namespace catstore

struct UNREAD_SET;

namespace catstore {
// A registered, empty set, and its end (without writing it back).
UNREAD_SET* NewUnreadSet();
void FreeUnreadSet(UNREAD_SET* pSet);

}  // namespace catstore

struct UNREAD_SET {
  public:
    using Entry = qn::dbms::db_unreadrec;

    // Reads the user's marks (the user record as given is kept, with its change-log position).
    // DBOutOfMemory leaves the set empty.
    DBStatus Load(catstore::CDbContext* pdb, catstore::DBA dbaUser,
                  const qn::dbms::db_userrec& user);
    // Writes the marks and the change-log position back to the user's records.
    DBStatus WriteBack();

    uint16_t UnreadFlags(uint32_t dwItemID) const;
    uint32_t ChangedFields(uint32_t dwItemID) const;
    const Entry* Find(uint32_t dwItemID) const;
    // Clears the item's mark and those of its marked descendants, the item first, each reported
    // once (pfnRoutine may be null). An item without mark clears only its descendants' marks.
    void MarkRead(uint32_t dwItemID, catstore::UnreadRoutine pfnRoutine, BOARD_OBJECT* hbrd);
    // Takes in a Created or Modified change entry: the item's mark gets the entry's fields (a
    // Modified move also moves the mark under the new parent), reported once.
    void ApplyChange(const qn::dbms::db_changeentryrec& change, catstore::UnreadRoutine pfnRoutine,
                     BOARD_OBJECT* hbrd);
    // Drops the marks of items that no longer exist, and their descendants'.
    void Verify(BOARD_OBJECT* hbrd);

    uint32_t Count() const { return static_cast<uint32_t>(m_entries.size()); }
    uint64_t Bytes() const;
    // The user's position in the change log, advanced by the change-log reader.
    catstore::DBA* LastChange() { return &m_user.userlastchangeaddr; }
    uint16_t UserID() const { return m_user.userid; }

  private:
    void Link(uint32_t dwItemID, uint32_t dwParentID);
    void Unlink(uint32_t dwItemID, uint32_t dwParentID);
    void Clear(uint32_t dwItemID, catstore::UnreadRoutine pfnRoutine, BOARD_OBJECT* hbrd);

    catstore::CDbContext* m_pdb = nullptr;
    catstore::DBA m_dbaUser = 0;
    qn::dbms::db_userrec m_user{};
    std::unordered_map<uint32_t, Entry> m_entries;  // by item id
    // The marked items by the parent their mark names, for marking a folder read.
    std::unordered_map<uint32_t, std::unordered_set<uint32_t>> m_children;
    bool m_fDirty = false;
};

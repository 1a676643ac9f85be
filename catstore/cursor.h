// The store cursor of an item list: one walk through the store in the list's order, reading the
// items the list shows.
//
// A list may go unfetched for a long time while other work moves the engine's currency, and
// the record it stood on may be renamed, moved or destroyed meanwhile. The cursor therefore
// keeps the sort value and address that record had when it was read, and each fetch starts
// again right after that place in the folder's set or compound key.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine.h"
#include "items.h"

namespace catstore {

struct CSearchCriteria;

class CStoreCursor {
  public:
    // A walk through a folder's set (DBS_ITEMS_IN_FOLDER or DBS_FOLDERS_IN_FOLDER) by name.
    void SetWalk(DBA dbaFolder, uint32_t dwFolderID, int32_t nSet, bool fDescending);
    // A walk through a compound key (MODIFIEDBYFOLDER, STATUSBYFOLDER, DUEDATEBYFOLDER) within
    // one folder.
    void KeyWalk(uint32_t dwFolderID, int32_t nKey, bool fDescending);
    // A walk over every item record of the catalog in storage order (items in DBS_ITEMS only).
    void RecordWalk();
    // Keeps only the items that match the criteria (after the walk is chosen; a walk chosen
    // later drops them). A match that needs the application's filter routine is returned with
    // field flag 0x0100.
    void SetCriteria(std::shared_ptr<const CSearchCriteria> pCriteria) {
        m_pCriteria = std::move(pCriteria);
    }
    const CSearchCriteria* Criteria() const { return m_pCriteria.get(); }
    // A walk through an item's reference records (DBS_ITEMS_REFERENCED or DBS_ITEM_REFERENCERS)
    // in set order, reading the item at the other end of each (the record's owner in
    // nOtherSet) with the reference's tag in dwRefTag. Every item type is read.
    void RefWalk(DBA dbaItem, int32_t nSet, int32_t nOtherSet);

    // Reads up to n items the list shows (its type mask and, when not 0, its folder-type filter)
    // in the walk's direction and appends them to pItems. DBSuccess when n were read,
    // DBEndOfList when the walk ran out first, another status on a failure (the items read
    // before it are kept). Takes and frees its own read locks.
    DBStatus Fetch(CDbContext* pdb, uint16_t wTypeMask, uint32_t dwFilter, size_t n,
                   std::vector<DB_ITEM>* pItems);

  private:
    enum class Walk : uint8_t { None, Set, Key, Records, Ref };
    int Step(CDbContext* pdb, bool fFirstOfFetch);
    DBStatus ReadNext(CDbContext* pdb, bool fFirstOfFetch, DB_ITEM* pItem);
    int StepRef(CDbContext* pdb, bool fFirstOfFetch);
    DBStatus FetchRefs(CDbContext* pdb, size_t n, std::vector<DB_ITEM>* pItems);
    DBStatus TakePlace(const DB_ITEM& item);

    Walk m_walk = Walk::None;
    bool m_fDescending = false;
    bool m_fStarted = false;
    int32_t m_nCode = 0;  // the set or key walked
    int32_t m_nOtherSet = 0;
    DBA m_dbaFolder = 0;
    uint32_t m_dwFolderID = 0;
    // The place of the last record read: its address and sort value.
    DBA m_dba = 0;
    char m_achName[64] = {};
    uint32_t m_dwKeyValue = 0;
    std::shared_ptr<const CSearchCriteria> m_pCriteria;
};

}  // namespace catstore

// Parked item lists: up to ten lists the application released without the final flag, newest
// first, kept with their handles so that reopening the same folder costs no store access.
#pragma once

#include <array>
#include <cstdint>

#include "iterators.h"

namespace catstore {

class CRetiredIterators {
  public:
    static constexpr uint32_t CAPACITY = 10;

    // Parks a list: its handles show their entries' copies again, its notifiers fall silent, it
    // goes to the front; the oldest of ten is released for good.
    void Retire(ITEM_ITERATOR* pIter);
    // The first parked list of the folder with this kind and filter, taken out of the list,
    // re-sorted when its code differs and given the routine and value; nullptr when none.
    ITEM_ITERATOR* Revive(CItemEntry* pFolderEntry, IteratorKind kind, uint32_t dwFilter,
                          EX_ITEMNOTIFIER pfnRoutine, uintptr_t ulValue, uint16_t wSortCode);
    // Releases for good the parked lists of a folder (it was destroyed or moved).
    void Expunge(uint32_t dwFolderID);
    void ReleaseAll();
    uint32_t Count() const { return m_cRetired; }

  private:
    void RemoveAt(uint32_t i);
    std::array<ITEM_ITERATOR*, CAPACITY> m_apRetired{};
    uint32_t m_cRetired = 0;
};

}  // namespace catstore

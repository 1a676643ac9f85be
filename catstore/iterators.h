// Item lists (ITEM_ITERATOR): a folder's items or sub-folders as handles in a sort order, fetched
// from the store on demand, kept live by the change notification and parked for reuse when the
// application releases them.
#pragma once

#include <cstdint>
#include <vector>

#include "cache.h"
#include "cursor.h"

namespace catstore {

// What a list lists; it decides the type mask and which changes reach the list.
enum class IteratorKind : uint8_t {
    FolderItems,    // EXFolderGetItems: types with bit 0 or 2
    SubFolders,     // EXFolderGetFolders: folders
    References,     // the items an item refers to
    Referencers,    // the items that refer to an item
    SearchResults,  // EXBoardFindItems: never parked, takes in new items that match
};

inline constexpr uint16_t TYPEMASK_ITEMS = 5;
inline constexpr uint16_t TYPEMASK_FOLDERS = 4;
// The sort code of reference lists in the order the references were made (set order).
inline constexpr uint16_t SORT_CREATION = 0;

}  // namespace catstore

struct ITEM_ITERATOR {
    BOARD_OBJECT* hBoard = nullptr;
    catstore::IteratorKind kind = catstore::IteratorKind::FolderItems;
    EX_ITEMNOTIFIER pfnRoutine = nullptr;  // given to every handle of the list
    uintptr_t ulValue = 0;
    int32_t nCurrent = -1;
    uint32_t dwFilter = 0;  // folder-type filter of sub-folder lists
    uint16_t wSortCode = 2;
    int32_t nCount = 0;  // an estimate until the list is complete
    bool fComplete = false;
    bool fReleased = false;  // finally released; its memory waits for the reclaimer
    uint32_t dwFolderID = 0;
    catstore::CItemEntry* pFolderEntry = nullptr;  // null once the folder's entry went
    catstore::CIteratorEntry iterEntry;
    catstore::CItemNotifier* pOwnNotifier = nullptr;
    catstore::CStoreCursor cursor;
    std::vector<ITEM_OBJECT*> slots;  // slots[i]'s notifier carries index i

    int32_t Last() const { return static_cast<int32_t>(slots.size()) - 1; }
    bool IsParentChild() const {
        return kind == catstore::IteratorKind::FolderItems ||
               kind == catstore::IteratorKind::SubFolders ||
               kind == catstore::IteratorKind::SearchResults;
    }
    bool IsRetired() const { return iterEntry.m_fSuspended != 0; }
    uint16_t TypeMask() const {
        return kind == catstore::IteratorKind::SubFolders ? catstore::TYPEMASK_FOLDERS
                                                          : catstore::TYPEMASK_ITEMS;
    }
};

namespace catstore {

bool IsLiveIterator(const ITEM_ITERATOR* pIter);

// Frees the list for good: its notifiers and iterator entry leave their entries, its handles
// are freed.
void FreeIterator(ITEM_ITERATOR* pIter);

// Fetches the first visible item into slot 0 and makes it current (an empty folder completes
// the list).
void FetchFirst(ITEM_ITERATOR* pIter);
// The next-item step: advances the current index, fetching one item forward when it stands on
// the last fetched one; false when the list completed without a new item.
bool FetchNext(ITEM_ITERATOR* pIter);
// Fetches forward until slot nIndex exists or the list is complete.
void FetchUpTo(ITEM_ITERATOR* pIter, int32_t nIndex);
// Fetches until the list is complete.
void FetchAll(ITEM_ITERATOR* pIter);
// The batch move of EXItemIteratorGetNextItems (pArray null: the whole list).
int GetNextItems(ITEM_ITERATOR* pIter, EX_ITEMARRAY* pArray);
// Sorts the fetched list by a code (fetching the rest first) and renumbers its notifiers.
void SortIterator(ITEM_ITERATOR* pIter, uint16_t wSortCode);

// Whether an item belongs in the list by its type and folder-type filter.
bool ListShows(const ITEM_ITERATOR* pIter, const DB_ITEM& item);
// Where a new item goes: its slot, or -1 when it sorts beyond the part fetched so far.
int32_t InsertionIndex(const ITEM_ITERATOR* pIter, const DB_ITEM& item);
// A new handle of the list at slot nIndex on the item's entry; the slots after it and their
// notifiers move up by one. nullptr when memory is exhausted.
ITEM_OBJECT* InsertHandle(ITEM_ITERATOR* pIter, int32_t nIndex, const DB_ITEM& item,
                          uint32_t dwReferenceTag);
// Takes a handle's slot out of its list: later slots and their notifiers move down by one.
// fLowerOwnIndex also lowers the handle's own notifier index (a Destroyed delivery reports it
// plus one).
void RemoveSlot(ITEM_ITERATOR* pIter, CItemNotifier* pNotifier, bool fLowerOwnIndex);

// The sort code itself when it is a known one, else the name order.
uint16_t KnownSortCode(uint16_t wSortCode);
// Points a cursor at the walk of a folder's items (or sub-folders) for a sort code and takes
// the folder's member count.
DBStatus PrepareFolderCursor(BOARD_OBJECT* hbrd, const DB_ITEM& folder, IteratorKind kind,
                             uint16_t wSortCode, CStoreCursor* pCursor, uint32_t* pcMembers);

// Compares two items under a sort code without its direction bit.
int CompareItems(uint16_t wSortKey, const DB_ITEM& a, const DB_ITEM& b);

}  // namespace catstore

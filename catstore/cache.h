// The item entry cache: one entry per item that this process holds a handle on or shows in a
// list. An entry owns the process's shared copy of the item, the notifiers of the handles that
// show it (newest first) and the iterator entries of the lists that list its children. Handles
// point into their item's entry and copy the item only to change it.
//
// Objects here are freed through the reclaimer (reclaim.h), so a notifier routine that
// releases a handle or a list while a delivery walks over it leaves no dangling pointer behind.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "catstore.h"
#include "items.h"

namespace catstore {

class CItemEntry;
class CMapIIDToItemEntry;

// Who must hear about changes of one item: the handle's (or list's) routine and value.
struct CItemNotifier {
    pid_t m_hTask = 0;  // the process that registered it; 0 while its list is parked
    EX_ITEMNOTIFIER m_pfnRoutine = nullptr;
    uintptr_t m_ulValue = 0;
    ITEM_OBJECT* m_hItem = nullptr;        // null for a list's own notifier on its folder
    ITEM_ITERATOR* m_pIterator = nullptr;  // the list the handle belongs to
    int32_t m_nIndex = -1;                 // the handle's slot in that list
    CItemEntry* m_pEntry = nullptr;        // the entry whose list holds it; null once removed
    CItemNotifier* m_pPrev = nullptr;
    CItemNotifier* m_pNext = nullptr;
};

// A list's membership in the entry of the item whose children (or references) it lists.
struct CIteratorEntry {
    pid_t m_hTask = 0;  // 0 while suspended
    CItemEntry* m_pEntry = nullptr;
    ITEM_ITERATOR* m_pIterator = nullptr;
    uint32_t m_fSuspended = 0;
    CIteratorEntry* m_pPrev = nullptr;
    CIteratorEntry* m_pNext = nullptr;
};

class CItemEntry {
  public:
    DB_ITEM m_item;
    uint16_t m_wUnreadFlags = 0;
    uint32_t m_fSkipRefresh = 0;  // the copy is known to be current: the next Modified skips a read
    bool m_fDestroyed = false;    // removed from the map; handles no longer point here

    CItemNotifier* FirstNotifier() const { return m_pNotifiers; }
    CIteratorEntry* FirstIterator() const { return m_pIterators; }
    uint32_t NotifierCount() const { return m_cNotifiers; }
    bool InUse() const { return m_pNotifiers != nullptr || m_pIterators != nullptr; }
    // The notifiers in list order, for a delivery that calls routines: a routine may change the
    // list, so deliveries walk a copy and skip notifiers removed meanwhile (m_pEntry null).
    std::vector<CItemNotifier*> Notifiers() const;
    std::vector<CIteratorEntry*> Iterators() const;

    void LinkNotifier(CItemNotifier* pNotifier);
    void UnlinkNotifier(CItemNotifier* pNotifier);
    void LinkIterator(CIteratorEntry* pEntry);
    void UnlinkIterator(CIteratorEntry* pEntry);

  private:
    friend class CMapIIDToItemEntry;
    void CountUse(bool fWasInUse);

    CMapIIDToItemEntry* m_pMap = nullptr;
    CItemNotifier* m_pNotifiers = nullptr;
    CIteratorEntry* m_pIterators = nullptr;
    uint32_t m_cNotifiers = 0;
};

// A new entry made ahead of the store change that makes its item, so that taking the stored
// item into the cache afterwards allocates nothing and cannot fail.
class CPreparedEntry {
  private:
    friend class CMapIIDToItemEntry;
    std::unique_ptr<CItemEntry> m_pEntry;
    std::unordered_map<uint32_t, CItemEntry*>::node_type m_node;
};

// Item id -> entry. The map owns its entries and keeps their byte count, so that the memory
// report costs nothing per entry.
class CMapIIDToItemEntry {
  public:
    CMapIIDToItemEntry() = default;
    CMapIIDToItemEntry(const CMapIIDToItemEntry&) = delete;
    CMapIIDToItemEntry& operator=(const CMapIIDToItemEntry&) = delete;
    ~CMapIIDToItemEntry();

    CItemEntry* Find(uint32_t dwItemID) const;
    // A new entry holding a copy of the item (its unread flags still 0).
    CItemEntry* Insert(const DB_ITEM& item);
    CPreparedEntry Prepare();
    // The prepared entry with the item moved into it (an entry the id has already is updated).
    CItemEntry* InsertPrepared(CPreparedEntry&& prepared, DB_ITEM&& item);
    // Takes the entry out of the map and hands it to the reclaimer.
    void Remove(CItemEntry* pEntry);
    // Copies a fresh item over the entry's copy.
    void Update(CItemEntry* pEntry, const DB_ITEM& item);
    // Call before and after changing an entry's copy in place, so its bytes stay counted.
    void BeginChange(const CItemEntry* pEntry);
    void EndChange(const CItemEntry* pEntry);

    uint32_t Count() const { return static_cast<uint32_t>(m_map.size()); }
    // Entries that a handle or list uses (they have notifiers or iterator entries).
    uint32_t InUseCount() const { return m_cInUse; }
    uint64_t NotifierCount() const { return m_cNotifiers; }
    uint64_t Bytes() const;
    // Every entry, in no particular order.
    std::vector<CItemEntry*> Entries() const;

  private:
    friend class CItemEntry;
    std::unordered_map<uint32_t, CItemEntry*> m_map;
    uint64_t m_cbEntries = 0;
    uint64_t m_cNotifiers = 0;
    uint32_t m_cInUse = 0;
};

// The bytes an item copy holds beyond its own size (texts and folder part).
size_t HeldBytes(const DB_ITEM& item);

// ---- Entries ------------------------------------------------------------------------------

CItemEntry* FindEntry(BOARD_OBJECT* hbrd, uint32_t dwItemID);
// Finds the entry or reads the item by id and makes one; nullptr with the store status.
CItemEntry* FindOrLoadEntry(BOARD_OBJECT* hbrd, uint32_t dwItemID, DBStatus* pStatus);
// Copies a fresh item into its entry, making the entry when there is none.
CItemEntry* PutEntry(BOARD_OBJECT* hbrd, const DB_ITEM& item);
// Re-reads the entry's copy from the store (its field flags 0); the item-read status.
DBStatus RefreshEntry(BOARD_OBJECT* hbrd, CItemEntry* pEntry);
// Reports a re-read of a cached copy that failed for another reason than a change.
void AssertItemRefreshed(DBStatus st);
// The unread flags of the entry from the catalog's unread set.
void ComputeUnreadFlags(BOARD_OBJECT* hbrd, CItemEntry* pEntry);

// ---- Handles ------------------------------------------------------------------------------

// Points a new handle at the entry of a fresh item and gives it a notifier: in a list
// (pIterator, nIndex) or of its own (pIterator null, index -1). The handle is marked as owned
// by a list; callers that hand it to the application clear the mark.
CItemEntry* AttachHandle(BOARD_OBJECT* hbrd, ITEM_OBJECT* hItem, const DB_ITEM& item,
                         EX_ITEMNOTIFIER pfnRoutine, uintptr_t ulValue, ITEM_ITERATOR* pIterator,
                         int32_t nIndex);
// The same for an entry at hand.
void AttachToEntry(ITEM_OBJECT* hItem, CItemEntry* pEntry, EX_ITEMNOTIFIER pfnRoutine,
                   uintptr_t ulValue, ITEM_ITERATOR* pIterator, int32_t nIndex,
                   std::unique_ptr<CItemNotifier> pPrepared = nullptr);

// ---- Notifiers ----------------------------------------------------------------------------

// A new notifier at the head of the entry's list; its task is the list's (while parked, 0)
// for a handle in a list, else this process. pPrepared: one allocated beforehand.
CItemNotifier* RegisterNotifier(CItemEntry* pEntry, EX_ITEMNOTIFIER pfnRoutine, uintptr_t ulValue,
                                ITEM_OBJECT* hItem, ITEM_ITERATOR* pIterator, int32_t nIndex,
                                std::unique_ptr<CItemNotifier> pPrepared = nullptr);
// Removes the notifier from its entry and frees it; nothing when it is not registered.
void UnregisterNotifier(CItemNotifier* pNotifier);

// Calls the notifier's routine with the change (and logs it).
void NotifyItem(CItemNotifier* pNotifier, uint16_t wKind, uint32_t dwArgument);
// Gives the notifier's handle a private copy of the entry's item and detaches it from the
// entry, which is about to go.
void InvalidateItemEntry(CItemNotifier* pNotifier);

// ---- Iterator entries ---------------------------------------------------------------------

void RegisterIteratorEntry(CItemEntry* pEntry, CIteratorEntry* pIterEntry,
                           ITEM_ITERATOR* pIterator);
void UnregisterIteratorEntry(CIteratorEntry* pIterEntry);

// ---- The whole cache ----------------------------------------------------------------------

// Destroys an entry: the lists that list its children forget it, its notifiers go, the entry
// leaves the map. Handles still on it must have been invalidated.
void DestroyEntry(BOARD_OBJECT* hbrd, CItemEntry* pEntry);
// Memory figures of the cache; with fTrim the parked lists and every entry nothing uses go.
struct CacheUsage {
    uint32_t dwRetiredCapacity = 0, dwRetiredCount = 0, cbRetired = 0;
    uint32_t dwEntryCount = 0, dwEntriesInUse = 0, cbEntries = 0;
};
CacheUsage CacheMemoryUsage(BOARD_OBJECT* hbrd, bool fTrim);
// At close: every parked list is released and every entry destroyed.
void DropAllEntries(BOARD_OBJECT* hbrd);

}  // namespace catstore

// Delivery of one change event to the cached entries and open lists (EXNotifyDeliver).
//
// Routines called from here may call the library again and change what is being walked: every
// walk goes over a copy of its list and skips what was removed meanwhile (a notifier no longer
// on its entry, a released list, an entry destroyed by a nested delivery). Memory of removed
// objects stays valid until the outermost call returns (reclaim.h).
#include <cstdint>
#include <vector>

#include "board.h"
#include "handles.h"
#include "iterators.h"
#include "notify.h"
#include "search.h"
#include "trace.h"
#include "unread.h"

namespace catstore {

// Folders nest at most this deep for a walk below one (a damaged catalog may loop).
static constexpr int MAX_TREE_DEPTH = 256;

static bool OnEntry(const CItemNotifier* pNotifier, const CItemEntry* pEntry) {
    return pNotifier->m_pEntry == pEntry;
}

static bool IsListHandle(const CItemNotifier* pNotifier) {
    return pNotifier->m_pIterator != nullptr && pNotifier->m_hItem != nullptr;
}

// Whether the list shows the entry's item already (for a reference list: this reference).
static bool ListHolds(const ITEM_ITERATOR* pIter, const CItemEntry* pEntry, bool fByTag,
                      uint32_t dwTag) {
    for (const CItemNotifier* p = pEntry->FirstNotifier(); p != nullptr; p = p->m_pNext) {
        if (p->m_pIterator == pIter && p->m_hItem != nullptr &&
            (!fByTag || p->m_hItem->dwReferenceTag == dwTag)) {
            return true;
        }
    }
    return false;
}

// Puts the entry's item into one list at its place, or fetches the list forward to it when it
// sorts beyond the part fetched so far, and notifies its new handle. False when memory ran out
// (the list is then complete and empty of further fetches).
static bool InsertIntoList(ITEM_ITERATOR* pIter, CItemEntry* pEntry, uint32_t dwTag,
                           uint32_t dwFlags) {
    const DB_ITEM& item = pEntry->m_item;
    const int32_t nIndex = InsertionIndex(pIter, item);
    if (nIndex >= 0) {
        ITEM_OBJECT* hItem = InsertHandle(pIter, nIndex, item, dwTag);
        if (hItem == nullptr) {
            ShowLowMemoryBox(
                "Out of memory error detected while fetching item for current iterator\r\n\r\n"
                "Please exit the application and login again");
            pIter->fComplete = true;
            pIter->nCount = 0;
            return false;
        }
        if (!pIter->IsRetired()) {
            NotifyItem(hItem->pNotifier, EX_CHANGE_CREATED, dwFlags);
        }
        return true;
    }
    if (pIter->IsRetired()) {
        return true;
    }
    // The member count the list was made with did not know the new item.
    ++pIter->nCount;
    if (pIter->wSortCode == SORT_CREATION) {
        return true;  // the walk reaches it at the end, where it was appended
    }
    const uint32_t dwItemID = item.item.itemid;
    pIter->nCurrent = pIter->Last();
    while (FetchNext(pIter)) {
        ITEM_OBJECT* hItem = pIter->slots[size_t(pIter->nCurrent)];
        if (hItem->pdbItem->item.itemid == dwItemID &&
            (dwTag == 0 || hItem->dwReferenceTag == dwTag)) {
            NotifyItem(hItem->pNotifier, EX_CHANGE_CREATED, dwFlags);
            return true;
        }
    }
    if (ItemExists(pIter->hBoard->pdb, dwItemID) == DBSuccess) {
        ReportAssertion("!\"Scan beyond end of iterator detected!\"", ".\\EXNOTIFY");
    }
    return true;
}

// Created: the new item goes into every list of its parent that shows it.
static void DeliverCreated(BOARD_OBJECT* hbrd, CItemEntry* pEntry, uint32_t dwFlags) {
    if (!IsItemVisible(hbrd, pEntry->m_item)) {
        return;
    }
    DeliverCreatedToSearches(hbrd, pEntry, dwFlags);
    CItemEntry* pParent = FindEntry(hbrd, pEntry->m_item.item.itemparentid);
    if (pParent == nullptr) {
        return;
    }
    for (CIteratorEntry* pIterEntry : pParent->Iterators()) {
        if (pIterEntry->m_pEntry != pParent || pEntry->m_fDestroyed) {
            continue;
        }
        ITEM_ITERATOR* pIter = pIterEntry->m_pIterator;
        if (pIter->fReleased || !pIter->IsParentChild() ||
            pIter->kind == IteratorKind::SearchResults || !ListShows(pIter, pEntry->m_item) ||
            ListHolds(pIter, pEntry, false, 0)) {
            continue;
        }
        if (!InsertIntoList(pIter, pEntry, 0, dwFlags)) {
            break;
        }
    }
}

// Takes a handle out of its list, tells its notifier (the slot it occupied) and frees it.
static void RemoveFromList(CItemNotifier* pNotifier, uint16_t wKind, uint32_t dwFlags) {
    ITEM_ITERATOR* pIter = pNotifier->m_pIterator;
    ITEM_OBJECT* hItem = pNotifier->m_hItem;
    const bool fDestroyed = wKind == EX_CHANGE_DESTROYED;
    RemoveSlot(pIter, pNotifier, fDestroyed);
    NotifyItem(pNotifier, wKind, dwFlags);
    if (pNotifier->m_pEntry == nullptr) {
        return;  // the routine ended the handle's list, and the handle with it
    }
    UnregisterNotifier(pNotifier);
    hItem->pNotifier = nullptr;
    if (!IsLiveItem(hItem)) {
        ReportAssertion("!IsBadWritePtr (hItem, sizeof(ITEM_OBJECT))", ".\\EXNOTIFY");
        return;
    }
    if (!IsLiveBoard(hItem->hBoard)) {
        ReportAssertion("!IsBadWritePtr (hItem->hBoard, sizeof(BOARD_OBJECT))", ".\\EXNOTIFY");
        return;
    }
    FreeHandle(hItem);
}

static void DeliverDestroyed(BOARD_OBJECT* hbrd, CItemEntry* pEntry, uint32_t dwFlags) {
    const uint32_t dwItemID = pEntry->m_item.item.itemid;
    MarkItemRead(hbrd, dwItemID);
    EXNotifySendDeferred(hbrd);
    for (CItemNotifier* pNotifier : pEntry->Notifiers()) {
        if (pEntry->m_fDestroyed) {
            return;  // a routine's call took the item out already
        }
        if (!OnEntry(pNotifier, pEntry)) {
            continue;
        }
        if (IsListHandle(pNotifier)) {
            RemoveFromList(pNotifier, EX_CHANGE_DESTROYED, dwFlags);
            continue;
        }
        NotifyItem(pNotifier, EX_CHANGE_DESTROYED, dwFlags);
        if (OnEntry(pNotifier, pEntry) && pNotifier->m_hItem != nullptr) {
            // A handle of the application's keeps its last copy.
            InvalidateItemEntry(pNotifier);
            pNotifier->m_hItem->pNotifier = nullptr;
            UnregisterNotifier(pNotifier);
        }
    }
    if (pEntry->m_fDestroyed) {
        return;
    }
    hbrd->pNotify->m_retired.Expunge(dwItemID);
    DestroyEntry(hbrd, pEntry);
}

// The cached items below a folder as its lists show them, children before their folder.
static void CollectCachedBelow(BOARD_OBJECT* hbrd, const DB_ITEM& folder,
                               std::vector<uint32_t>* pIDs, int nDepth) {
    if (folder.item.type != ITEMTYPE_FOLDER || nDepth > MAX_TREE_DEPTH) {
        return;
    }
    CStoreCursor cursor;
    cursor.SetWalk(folder.dba, folder.item.itemid, DBS_ITEMS_IN_FOLDER, false);
    std::vector<DB_ITEM> children;
    if (DBStatus st = cursor.Fetch(hbrd->pdb, TYPEMASK_ITEMS, 0, SIZE_MAX, &children);
        st != DBSuccess && st != DBEndOfList) {
        return;
    }
    for (const DB_ITEM& child : children) {
        CollectCachedBelow(hbrd, child, pIDs, nDepth + 1);
        if (FindEntry(hbrd, child.item.itemid) != nullptr) {
            pIDs->push_back(child.item.itemid);
        }
    }
}

void DeliverVisibilityChange(BOARD_OBJECT* hbrd, CItemEntry* pEntry, bool fVisible) {
    if (fVisible) {
        DeliverCreated(hbrd, pEntry, AllFieldsMask(pEntry->m_item));
        return;
    }
    std::vector<uint32_t> ids;
    CollectCachedBelow(hbrd, pEntry->m_item, &ids, 0);
    ids.push_back(pEntry->m_item.item.itemid);
    for (uint32_t dwID : ids) {
        if (CItemEntry* p = FindEntry(hbrd, dwID)) {
            DeliverDestroyed(hbrd, p, 0xFFFFFFFFu);
        }
    }
}

static void DeliverModified(BOARD_OBJECT* hbrd, CItemEntry* pEntry, uint32_t dwFlags, bool fFresh) {
    if (pEntry->m_fSkipRefresh != 0 || dwFlags == ITEMFIELDS_UNREADONLY) {
        pEntry->m_fSkipRefresh = 0;
        LogLine(LOG_STORE, "REFRESH: Skipping refresh during notification, ID=%lu, %s\r\n",
                static_cast<unsigned long>(pEntry->m_item.item.itemid),
                pEntry->m_item.item.itemname);
    } else if ((dwFlags & ITEMFIELDS_ACCESS) != 0) {
        // An entry made for this event was not shown: it was not visible before.
        const bool fBefore = !fFresh && IsItemVisible(hbrd, pEntry->m_item);
        AssertItemRefreshed(RefreshEntry(hbrd, pEntry));
        const bool fAfter = IsItemVisible(hbrd, pEntry->m_item);
        if (!fBefore && !fAfter) {
            MarkItemRead(hbrd, pEntry->m_item.item.itemid);
            EXNotifySendDeferred(hbrd);
            return;
        }
        if (fBefore != fAfter) {
            DeliverVisibilityChange(hbrd, pEntry, fAfter);
            return;
        }
    } else {
        AssertItemRefreshed(RefreshEntry(hbrd, pEntry));
    }
    if ((dwFlags & ITEMFIELDS_PARENT) != 0) {
        EXNotifySendDeferred(hbrd);
        for (CItemNotifier* pNotifier : pEntry->Notifiers()) {
            if (pEntry->m_fDestroyed) {
                return;
            }
            if (!OnEntry(pNotifier, pEntry)) {
                continue;
            }
            if (IsListHandle(pNotifier) && pNotifier->m_pIterator->IsParentChild()) {
                RemoveFromList(pNotifier, EX_CHANGE_MODIFIED, dwFlags);
            } else {
                NotifyItem(pNotifier, EX_CHANGE_MODIFIED, dwFlags);
            }
        }
        hbrd->pNotify->m_retired.Expunge(pEntry->m_item.item.itemid);
        return;
    }
    for (CItemNotifier* pNotifier : pEntry->Notifiers()) {
        if (pEntry->m_fDestroyed) {
            return;
        }
        if (OnEntry(pNotifier, pEntry)) {
            NotifyItem(pNotifier, EX_CHANGE_MODIFIED, dwFlags);
        }
    }
}

// One pass of AddRef: the item of pInserted goes into the lists of kind on pOwner's entry.
static void InsertReference(BOARD_OBJECT* hbrd, CItemEntry* pOwner, CItemEntry* pInserted,
                            IteratorKind kind, uint32_t dwTag) {
    if (!IsItemVisible(hbrd, pInserted->m_item) || pOwner->FirstIterator() == nullptr) {
        return;
    }
    const uint32_t dwMask = AllFieldsMask(pInserted->m_item);
    for (CIteratorEntry* pIterEntry : pOwner->Iterators()) {
        if (pIterEntry->m_pEntry != pOwner || pInserted->m_fDestroyed) {
            continue;
        }
        ITEM_ITERATOR* pIter = pIterEntry->m_pIterator;
        if (pIter->fReleased || pIter->kind != kind || ListHolds(pIter, pInserted, true, dwTag)) {
            continue;
        }
        if (!InsertIntoList(pIter, pInserted, dwTag, dwMask)) {
            break;
        }
    }
}

// One pass of RemoveRef: the handles of pShown's item with this tag leave the lists of kind
// that belong to pOwner.
static void RemoveReference(CItemEntry* pShown, CItemEntry* pOwner, IteratorKind kind,
                            uint32_t dwTag) {
    for (CItemNotifier* pNotifier : pShown->Notifiers()) {
        if (pShown->m_fDestroyed) {
            return;
        }
        if (!OnEntry(pNotifier, pShown) || !IsListHandle(pNotifier)) {
            continue;
        }
        ITEM_ITERATOR* pIter = pNotifier->m_pIterator;
        if (pIter->pFolderEntry == pOwner && pIter->kind == kind &&
            pNotifier->m_hItem->dwReferenceTag == dwTag) {
            RemoveFromList(pNotifier, EX_CHANGE_DESTROYED, 0xFFFFFFFFu);
        }
    }
}

void EXNotifyDeliver(BOARD_OBJECT* hbrd, CItemEntry* pEntry, CItemEntry* pRelated, uint16_t wKind,
                     uint32_t dwFlags, bool fFresh) {
    if (pEntry == nullptr || pEntry->m_fDestroyed || hbrd->pNotify == nullptr) {
        return;
    }
    switch (wKind) {
        case EX_CHANGE_CREATED:
            DeliverCreated(hbrd, pEntry, dwFlags);
            break;
        case EX_CHANGE_MODIFIED:
            DeliverModified(hbrd, pEntry, dwFlags, fFresh);
            break;
        case EX_CHANGE_DESTROYED:
            DeliverDestroyed(hbrd, pEntry, dwFlags);
            break;
        case EX_CHANGE_ADDREF:
        case EX_CHANGE_REMOVEREF:
            // The event's item is the referred one; the related item refers to it.
            if (pRelated == nullptr || pRelated->m_fDestroyed) {
                ReportAssertion("SrcItem != NULL", ".\\EXNOTIFY");
                break;
            }
            if (wKind == EX_CHANGE_ADDREF) {
                InsertReference(hbrd, pRelated, pEntry, IteratorKind::References, dwFlags);
                InsertReference(hbrd, pEntry, pRelated, IteratorKind::Referencers, dwFlags);
            } else {
                RemoveReference(pEntry, pRelated, IteratorKind::References, dwFlags);
                RemoveReference(pRelated, pEntry, IteratorKind::Referencers, dwFlags);
            }
            break;
        default:
            // An unknown kind was reported when it was queued; it changes nothing.
            break;
    }
}

}  // namespace catstore

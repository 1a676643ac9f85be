// Item lists: fetching on demand, batch moves, sorting, slot insertion and removal, release.
#include "iterators.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "board.h"
#include "handles.h"
#include "notify.h"
#include "platform/liveobjects.h"
#include "reclaim.h"
#include "trace.h"

namespace catstore {

using qn::platform::ObjectKind;

static const char* const FETCH_LOW_MEMORY =
    "Out of memory error detected while fetching item for current iterator\r\n\r\nPlease exit "
    "the application and login again";
static const char* const BULK_LOW_MEMORY =
    "Out of memory error detected while bulk loading items into current iterator\r\n\r\nPlease "
    "exit the application and login again";

bool IsLiveIterator(const ITEM_ITERATOR* pIter) {
    return pIter != nullptr && qn::platform::IsLiveObject(pIter, ObjectKind::ItemIterator) &&
           !pIter->fReleased && IsLiveBoard(pIter->hBoard);
}

void FreeIterator(ITEM_ITERATOR* pIter) {
    if (pIter->fReleased) {
        return;
    }
    pIter->fReleased = true;
    qn::platform::UnregisterLiveObject(pIter);
    UnregisterNotifier(pIter->pOwnNotifier);
    pIter->pOwnNotifier = nullptr;
    UnregisterIteratorEntry(&pIter->iterEntry);
    pIter->pFolderEntry = nullptr;
    for (ITEM_OBJECT* hItem : pIter->slots) {
        FreeHandle(hItem);
    }
    pIter->slots.clear();
    if (IsLiveBoard(pIter->hBoard) && pIter->hBoard->pNotify != nullptr) {
        pIter->hBoard->pNotify->m_lists.erase(pIter);
    }
    ReclaimHandle(pIter);
}

// ---- Comparison -----------------------------------------------------------------------------

// Names compare as the folder sets keep them: with the letters A to Z folded to lower case
// first, then byte by byte.
static int CompareNames(const char* a, const char* b) {
    const size_t na = strnlen(a, 64), nb = strnlen(b, 64);
    auto fold = [](char c) {
        auto u = static_cast<unsigned char>(c);
        return u >= 'A' && u <= 'Z' ? u - 'A' + 'a' : u;
    };
    for (size_t i = 0; i < na && i < nb; ++i) {
        int d = fold(a[i]) - fold(b[i]);
        if (d != 0) {
            return d < 0 ? -1 : 1;
        }
    }
    if (na != nb) {
        return na < nb ? -1 : 1;
    }
    int d = std::memcmp(a, b, na);
    return d < 0 ? -1 : (d > 0 ? 1 : 0);
}

static int Sign32(uint32_t a, uint32_t b) {
    int32_t d = static_cast<int32_t>(a - b);
    return d < 0 ? -1 : (d > 0 ? 1 : 0);
}

int CompareItems(uint16_t wSortKey, const DB_ITEM& a, const DB_ITEM& b) {
    switch (wSortKey) {
        case EX_SORT_NAME:
            return CompareNames(a.item.itemname, b.item.itemname);
        case EX_SORT_MODIFIED:
            return Sign32(a.item.tmlastmodified, b.item.tmlastmodified);
        case EX_SORT_STATUS:
            return static_cast<int>(a.item.status) - static_cast<int>(b.item.status);
        case EX_SORT_DUEDATE:
            return Sign32(a.item.duedate, b.item.duedate);
        case EX_SORT_REPOSITORY:
            return Sign32(a.repos.repositorytimemodified, b.repos.repositorytimemodified);
        default:
            ReportAssertion("FALSE", ".\\EXITER");
            return 0;
    }
}

// Compares an existing slot with a new item in the list's order: < 0 when the slot comes first.
static int CompareInList(uint16_t wSortCode, const DB_ITEM& existing, const DB_ITEM& item) {
    const uint16_t wKey = wSortCode & ~EX_SORT_DESCENDING;
    return (wSortCode & EX_SORT_DESCENDING) != 0 ? CompareItems(wKey, item, existing)
                                                 : CompareItems(wKey, existing, item);
}

// ---- Slots ------------------------------------------------------------------------------------

bool ListShows(const ITEM_ITERATOR* pIter, const DB_ITEM& item) {
    if (!pIter->IsParentChild()) {
        return true;
    }
    if ((item.item.type & pIter->TypeMask()) == 0) {
        return false;
    }
    return pIter->dwFilter == 0 ||
           (item.folder && ((pIter->dwFilter >> (item.folder->foldertype % 32)) & 1) != 0);
}

int32_t InsertionIndex(const ITEM_ITERATOR* pIter, const DB_ITEM& item) {
    const int32_t nLast = pIter->Last();
    if (pIter->wSortCode == SORT_CREATION) {
        // The newest reference comes last; in a list not yet read to its end the walk meets it.
        return pIter->fComplete ? nLast + 1 : -1;
    }
    if (!pIter->fComplete && nLast >= 0 &&
        CompareInList(pIter->wSortCode, *pIter->slots.back()->pdbItem, item) < 0) {
        return -1;
    }
    // The slots are in the list's order: the first one that does not come before the new item.
    auto it = std::partition_point(pIter->slots.begin(), pIter->slots.end(), [&](ITEM_OBJECT* h) {
        return CompareInList(pIter->wSortCode, *h->pdbItem, item) < 0;
    });
    if (it != pIter->slots.end()) {
        return static_cast<int32_t>(it - pIter->slots.begin());
    }
    return pIter->fComplete ? nLast + 1 : -1;
}

static ITEM_OBJECT* NewListHandle(ITEM_ITERATOR* pIter, const DB_ITEM& item, int32_t nIndex) {
    ITEM_OBJECT* h = NewBlankHandle();
    try {
        AttachHandle(pIter->hBoard, h, item, pIter->pfnRoutine, pIter->ulValue, pIter, nIndex);
    } catch (...) {
        FreeHandle(h);
        throw;
    }
    return h;
}

ITEM_OBJECT* InsertHandle(ITEM_ITERATOR* pIter, int32_t nIndex, const DB_ITEM& item,
                          uint32_t dwReferenceTag) {
    ITEM_OBJECT* h = nullptr;
    try {
        pIter->slots.reserve(pIter->slots.size() + 1);
        h = NewListHandle(pIter, item, nIndex);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    h->dwReferenceTag = dwReferenceTag;
    pIter->slots.insert(pIter->slots.begin() + nIndex, h);
    for (size_t i = static_cast<size_t>(nIndex) + 1; i < pIter->slots.size(); ++i) {
        pIter->slots[i]->pNotifier->m_nIndex = static_cast<int32_t>(i);
    }
    ++pIter->nCount;
    return h;
}

void RemoveSlot(ITEM_ITERATOR* pIter, CItemNotifier* pNotifier, bool fLowerOwnIndex) {
    auto nIndex = static_cast<size_t>(pNotifier->m_nIndex);
    if (nIndex >= pIter->slots.size() || pIter->slots[nIndex] != pNotifier->m_hItem) {
        auto it = std::find(pIter->slots.begin(), pIter->slots.end(), pNotifier->m_hItem);
        if (it == pIter->slots.end()) {
            ReportAssertion("posNotifier != NULL", ".\\EXNOTIFY");
            return;
        }
        nIndex = static_cast<size_t>(it - pIter->slots.begin());
        pNotifier->m_nIndex = static_cast<int32_t>(nIndex);
    }
    const bool fCurrentWasLast = pIter->nCurrent == pIter->Last();
    pIter->slots.erase(pIter->slots.begin() + static_cast<std::ptrdiff_t>(nIndex));
    for (size_t i = nIndex; i < pIter->slots.size(); ++i) {
        pIter->slots[i]->pNotifier->m_nIndex = static_cast<int32_t>(i);
    }
    if (fLowerOwnIndex) {
        --pNotifier->m_nIndex;
    }
    --pIter->nCount;
    if (fCurrentWasLast) {
        --pIter->nCurrent;
    }
}

// ---- Fetching ---------------------------------------------------------------------------------

static void LowMemory(ITEM_ITERATOR* pIter, const char* pszText, int32_t nCount) {
    ShowLowMemoryBox(pszText);
    pIter->fComplete = true;
    pIter->nCount = nCount;
}

static void Complete(ITEM_ITERATOR* pIter) {
    pIter->fComplete = true;
    pIter->nCount = pIter->Last() + 1;
}

// Reads up to m items forward in one fetch and appends the visible ones; the number appended.
// The end of the walk completes the list; so does a failure, after its report.
static int32_t FetchMore(ITEM_ITERATOR* pIter, size_t m, const char* pszLowMemory, bool fBatch) {
    if (pIter->fComplete || m == 0) {
        return 0;
    }
    std::vector<DB_ITEM> items;
    // The batch buffer grows as the items come; a batch that cannot be had at all ends the list.
    try {
        items.reserve(std::min<size_t>(m, 512));
    } catch (const std::bad_alloc&) {
        ReportAssertion("adbItems != NULL", ".\\EXITER");
        Complete(pIter);
        return 0;
    }
    BOARD_OBJECT* hbrd = pIter->hBoard;
    DBStatus st;
    try {
        st = pIter->cursor.Fetch(hbrd->pdb, pIter->TypeMask(), pIter->dwFilter, m, &items);
    } catch (const std::bad_alloc&) {
        ReportAssertion("adbItems != NULL", ".\\EXITER");
        Complete(pIter);
        return 0;
    }
    if (st != DBSuccess && st != DBEndOfList) {
        ReportAssertion("!\"Unexpected ERROR during item enumeration!\"", ".\\EXITER");
        Complete(pIter);
        return 0;
    }
    int32_t nAppended = 0;
    try {
        pIter->slots.reserve(pIter->slots.size() + items.size());
        for (DB_ITEM& item : items) {
            if (!IsItemVisible(hbrd, item)) {
                --pIter->nCount;
                continue;
            }
            // The tag of a reference walk belongs to the handle, not to the item's shared copy.
            const uint32_t dwTag = std::exchange(item.dwRefTag, 0);
            ITEM_OBJECT* h = NewListHandle(pIter, item, pIter->Last() + 1);
            h->dwReferenceTag = dwTag;
            pIter->slots.push_back(h);
            ++nAppended;
        }
    } catch (const std::bad_alloc&) {
        LowMemory(pIter, pszLowMemory, fBatch ? pIter->Last() + 1 : 0);
        return nAppended;
    }
    if (st == DBEndOfList) {
        Complete(pIter);
    }
    return nAppended;
}

// Fetches until one more visible item is in the list or the list is complete.
static bool FetchOneVisible(ITEM_ITERATOR* pIter) {
    while (!pIter->fComplete) {
        if (FetchMore(pIter, 1, FETCH_LOW_MEMORY, false) > 0) {
            return true;
        }
    }
    return false;
}

void FetchFirst(ITEM_ITERATOR* pIter) {
    if (FetchOneVisible(pIter)) {
        pIter->nCurrent = 0;
    }
}

bool FetchNext(ITEM_ITERATOR* pIter) {
    if (pIter->nCurrent < pIter->Last()) {
        ++pIter->nCurrent;
        return true;
    }
    if (!FetchOneVisible(pIter)) {
        return false;
    }
    pIter->nCurrent = pIter->Last();
    return true;
}

void FetchUpTo(ITEM_ITERATOR* pIter, int32_t nIndex) {
    while (pIter->Last() < nIndex && !pIter->fComplete) {
        FetchMore(pIter, static_cast<size_t>(nIndex - pIter->Last()), FETCH_LOW_MEMORY, false);
    }
}

void FetchAll(ITEM_ITERATOR* pIter) {
    // Batches as the count expects the rest; the count is an estimate, so a batch that brings
    // nothing goes on one item at a time until the walk says the list is complete.
    while (!pIter->fComplete) {
        size_t m = pIter->nCount > pIter->Last() + 1
                       ? static_cast<size_t>(pIter->nCount - pIter->Last() - 1)
                       : 1;
        FetchMore(pIter, std::min<size_t>(m, 4096), BULK_LOW_MEMORY, true);
    }
}

// ---- Batch moves ------------------------------------------------------------------------------

static size_t ArrayCapacity(const EX_ITEMARRAY* pArray) {
    return pArray->wUpper >= pArray->wLower ? size_t(pArray->wUpper - pArray->wLower) + 1 : 0;
}

static bool CompleteAndEmpty(const ITEM_ITERATOR* pIter) {
    return pIter->fComplete && pIter->slots.empty();
}

int GetNextItems(ITEM_ITERATOR* pIter, EX_ITEMARRAY* pArray) {
    size_t n;
    if (pArray != nullptr) {
        n = ArrayCapacity(pArray);
    } else {
        pIter->nCurrent = -1;
        n = pIter->nCount > 0 ? static_cast<size_t>(pIter->nCount) : 0;
    }
    if (CompleteAndEmpty(pIter) || n == 0) {
        return 0;
    }
    const int32_t nOldCurrent = pIter->nCurrent;
    // How many of the handles asked for are not fetched yet.
    const int64_t m = int64_t(pIter->nCurrent) + int64_t(n) - pIter->Last();
    if (m <= 0) {
        pIter->nCurrent += static_cast<int32_t>(n);
    } else {
        FetchMore(pIter, static_cast<size_t>(m), BULK_LOW_MEMORY, true);
        pIter->nCurrent = pIter->Last();
    }
    const int32_t nDelivered = std::max(0, pIter->nCurrent - nOldCurrent);
    if (pArray != nullptr) {
        for (int32_t i = 0; i < nDelivered; ++i) {
            pArray->ahItems[i] = pIter->slots[size_t(nOldCurrent + 1 + i)];
        }
    }
    if (pIter->nCount == pIter->Last() + 1) {
        pIter->fComplete = true;
    }
    return nDelivered;
}

// ---- Sorting ----------------------------------------------------------------------------------

void SortIterator(ITEM_ITERATOR* pIter, uint16_t wSortCode) {
    if (CompleteAndEmpty(pIter)) {
        return;
    }
    FetchAll(pIter);
    pIter->nCount = pIter->Last() + 1;
    const uint16_t wKey = wSortCode & ~EX_SORT_DESCENDING;
    const bool fDescending = (wSortCode & EX_SORT_DESCENDING) != 0;
    if (wSortCode == SORT_CREATION) {
        // Reference tags are record addresses, which grow in the order the references were made.
        std::stable_sort(pIter->slots.begin(), pIter->slots.end(),
                         [](const ITEM_OBJECT* a, const ITEM_OBJECT* b) {
                             return a->dwReferenceTag < b->dwReferenceTag;
                         });
    } else {
        std::stable_sort(pIter->slots.begin(), pIter->slots.end(),
                         [&](const ITEM_OBJECT* a, const ITEM_OBJECT* b) {
                             return fDescending ? CompareItems(wKey, *b->pdbItem, *a->pdbItem) < 0
                                                : CompareItems(wKey, *a->pdbItem, *b->pdbItem) < 0;
                         });
    }
    for (size_t i = 0; i < pIter->slots.size(); ++i) {
        pIter->slots[i]->pNotifier->m_nIndex = static_cast<int32_t>(i);
    }
    // New items go where this order puts them.
    pIter->wSortCode = wSortCode;
}

}  // namespace catstore

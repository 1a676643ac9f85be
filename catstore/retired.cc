#include "retired.h"

#include <unistd.h>

#include "board.h"
#include "handles.h"
#include "trace.h"

namespace catstore {

// "LRU: <what> iterator 0x... for ID=..., <folder name>"
static void LogIterator(const char* pszWhat, const ITEM_ITERATOR* pIter) {
    const char* pszName =
        pIter->pFolderEntry != nullptr ? pIter->pFolderEntry->m_item.item.itemname : "";
    LogLine(LOG_STORE, "LRU: %s iterator 0x%08lX for ID=%lu, %s\r\n", pszWhat,
            static_cast<unsigned long>(reinterpret_cast<uintptr_t>(pIter)),
            static_cast<unsigned long>(pIter->dwFolderID), pszName);
}

void CRetiredIterators::Retire(ITEM_ITERATOR* pIter) {
    BOARD_OBJECT* hbrd = pIter->hBoard;
    // A parked list shows what is stored, not what a handle was about to change.
    for (ITEM_OBJECT* hItem : pIter->slots) {
        if (HasPrivateCopy(hItem)) {
            DropPrivateCopy(hItem);
            RefreshEntry(hbrd, hItem->ItemEntry);
        }
    }
    UnregisterNotifier(pIter->pOwnNotifier);
    pIter->pOwnNotifier = nullptr;
    for (ITEM_OBJECT* hItem : pIter->slots) {
        if (CItemNotifier* pNotifier = hItem->pNotifier) {
            pNotifier->m_hTask = 0;
            pNotifier->m_pfnRoutine = nullptr;
            pNotifier->m_ulValue = 0;
        }
    }
    pIter->pfnRoutine = nullptr;
    pIter->ulValue = 0;
    pIter->iterEntry.m_fSuspended = 1;
    pIter->iterEntry.m_hTask = 0;
    if (m_cRetired == CAPACITY) {
        m_cRetired = CAPACITY - 1;
        ITEM_ITERATOR* pOldest = m_apRetired[CAPACITY - 1];
        LogIterator("Overflow! Releasing retired", pOldest);
        FreeIterator(pOldest);
    }
    LogIterator("Retiring", pIter);
    for (uint32_t i = m_cRetired; i > 0; --i) {
        m_apRetired[i] = m_apRetired[i - 1];
    }
    m_apRetired[0] = pIter;
    ++m_cRetired;
}

void CRetiredIterators::RemoveAt(uint32_t i) {
    for (; i + 1 < m_cRetired; ++i) {
        m_apRetired[i] = m_apRetired[i + 1];
    }
    m_apRetired[--m_cRetired] = nullptr;
}

ITEM_ITERATOR* CRetiredIterators::Revive(CItemEntry* pFolderEntry, IteratorKind kind,
                                         uint32_t dwFilter, EX_ITEMNOTIFIER pfnRoutine,
                                         uintptr_t ulValue, uint16_t wSortCode) {
    for (uint32_t i = 0; i < m_cRetired; ++i) {
        ITEM_ITERATOR* pIter = m_apRetired[i];
        if (pIter->pFolderEntry != pFolderEntry || pIter->kind != kind ||
            pIter->dwFilter != dwFilter) {
            continue;
        }
        LogIterator("Reviving", pIter);
        if (pIter->wSortCode != wSortCode) {
            LogLine(LOG_STORE, "LRU: Revived iterator requires sorting!\r\n");
            SortIterator(pIter, wSortCode);
            pIter->wSortCode = wSortCode;
        }
        RemoveAt(i);
        const pid_t hTask = ::getpid();
        pIter->pOwnNotifier =
            RegisterNotifier(pFolderEntry, pfnRoutine, ulValue, nullptr, pIter, -1);
        for (ITEM_OBJECT* hItem : pIter->slots) {
            if (CItemNotifier* pNotifier = hItem->pNotifier) {
                pNotifier->m_hTask = hTask;
                pNotifier->m_pfnRoutine = pfnRoutine;
                pNotifier->m_ulValue = ulValue;
            }
        }
        pIter->pfnRoutine = pfnRoutine;
        pIter->ulValue = ulValue;
        pIter->iterEntry.m_fSuspended = 0;
        pIter->iterEntry.m_hTask = hTask;
        return pIter;
    }
    return nullptr;
}

void CRetiredIterators::Expunge(uint32_t dwFolderID) {
    for (uint32_t i = m_cRetired; i-- > 0;) {
        ITEM_ITERATOR* pIter = m_apRetired[i];
        if (pIter->dwFolderID == dwFolderID) {
            LogIterator("Expunging", pIter);
            RemoveAt(i);
            FreeIterator(pIter);
        }
    }
}

void CRetiredIterators::ReleaseAll() {
    // Take the lists out first: releasing one may not find itself here again.
    std::array<ITEM_ITERATOR*, CAPACITY> apRetired = m_apRetired;
    uint32_t cRetired = m_cRetired;
    m_apRetired.fill(nullptr);
    m_cRetired = 0;
    for (uint32_t i = 0; i < cRetired; ++i) {
        if (apRetired[i] != nullptr && !apRetired[i]->fReleased) {
            LogIterator("Releasing retired", apRetired[i]);
            FreeIterator(apRetired[i]);
        }
    }
}

}  // namespace catstore

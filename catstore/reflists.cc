// The reference lists: the items an item refers to and the items that refer to it, one handle
// per reference, live and parked like folder lists.
#include "board.h"
#include "frame.h"
#include "handles.h"
#include "iterators.h"
#include "locks.h"
#include "notify.h"
#include "platform/liveobjects.h"
#include "retired.h"
#include "trace.h"

namespace catstore {

using qn::platform::ObjectKind;

// Points the cursor at the item's reference walk and takes the member count, after the
// stamp check of the item's view.
static DBStatus PrepareReferenceCursor(BOARD_OBJECT* hbrd, const DB_ITEM& view, IteratorKind kind,
                                       CStoreCursor* pCursor, uint32_t* pcMembers) {
    CDbContext* pdb = hbrd->pdb;
    const bool fReferences = kind == IteratorKind::References;
    const int32_t nSet = fReferences ? DBS_ITEMS_REFERENCED : DBS_ITEM_REFERENCERS;
    const int32_t nOtherSet = fReferences ? DBS_ITEM_REFERENCERS : DBS_ITEMS_REFERENCED;
    CStoreRead read(pdb, Packet({DB_ITEMREC, nSet}, 'r'));
    DBStatus st = read.Status();
    if (st != DBSuccess) {
        return st;
    }
    int rc = pdb->MakeCurrent(view.dba);
    if (rc == S_OKAY && view.stamp > 0) {
        rc = pdb->TestStamp(static_cast<uint64_t>(view.stamp));
        if (rc == S_UPDATED) {
            return DBRecordModified;
        }
    }
    if (rc == S_OKAY) {
        rc = pdb->SetOwnerCurrent(nSet);
    }
    if (rc == S_OKAY) {
        rc = pdb->MemberCount(nSet, pcMembers);
    }
    if (rc != S_OKAY) {
        return rc == S_DELETED || rc == S_INVADDR ? DBDeleted : MapEngineStatus(rc);
    }
    pCursor->RefWalk(view.dba, nSet, nOtherSet);
    return DBSuccess;
}

struct IteratorDeleter {
    void operator()(ITEM_ITERATOR* p) const { FreeIterator(p); }
};
using OwnedIterator = std::unique_ptr<ITEM_ITERATOR, IteratorDeleter>;

static ITEM_ITERATOR* OpenReferenceList(const char* pszCall, BOARD_OBJECT* hbrd, ITEM_OBJECT* hItem,
                                        IteratorKind kind, int fFetchAll, uint16_t wSortCode,
                                        EX_ITEMNOTIFIER pfnRoutine, uintptr_t ulValue,
                                        EXSM_STATUS* st) {
    if (!IsLiveBoard(hbrd) || hbrd->pNotify == nullptr || !CheckItemHandle(hItem, "hItem") ||
        hItem->hBoard != hbrd) {
        *st = EXSM_INVALID_HANDLE;
        return nullptr;
    }
    switch (wSortCode & ~EX_SORT_DESCENDING) {
        case EX_SORT_NAME:
        case EX_SORT_MODIFIED:
        case EX_SORT_STATUS:
        case EX_SORT_DUEDATE:
        case EX_SORT_REPOSITORY:
            break;
        default:
            wSortCode = wSortCode == SORT_CREATION ? SORT_CREATION : EX_SORT_NAME;
            break;
    }
    if (pfnRoutine == EX_DEFAULT_NOTIFIER) {
        pfnRoutine = DefaultRoutine(hbrd);
    }
    if (ulValue == EX_DEFAULT_VALUE) {
        ulValue = DefaultValue(hbrd);
    }
    NotifierTable* pTable = hbrd->pNotify;
    CItemEntry* pEntry = hItem->ItemEntry;
    ITEM_ITERATOR* pIter =
        pTable->m_retired.Revive(pEntry, kind, 0, pfnRoutine, ulValue, wSortCode);
    if (pIter != nullptr) {
        qn::platform::RegisterLiveObject(pIter, ObjectKind::ItemIterator);
        if (fFetchAll != 0) {
            FetchAll(pIter);
        }
    } else {
        OwnedIterator pNew(new ITEM_ITERATOR);
        pNew->hBoard = hbrd;
        pNew->kind = kind;
        pNew->wSortCode = wSortCode;
        pNew->dwFolderID = pEntry->m_item.item.itemid;
        uint32_t cMembers = 0;
        DBStatus dbs =
            PrepareReferenceCursor(hbrd, *hItem->pdbItem, kind, &pNew->cursor, &cMembers);
        if (dbs != DBSuccess) {
            SetStatus(st, dbs);
            return nullptr;
        }
        pNew->nCount = static_cast<int32_t>(cMembers);
        pNew->pfnRoutine = pfnRoutine;
        pNew->ulValue = ulValue;
        pTable->m_lists.insert(pNew.get());
        qn::platform::RegisterLiveObject(pNew.get(), ObjectKind::ItemIterator);
        RegisterIteratorEntry(pEntry, &pNew->iterEntry, pNew.get());
        pNew->pFolderEntry = pEntry;
        pNew->pOwnNotifier = RegisterNotifier(pEntry, pfnRoutine, ulValue, nullptr, pNew.get(), -1);
        // The set order is the order of creation; any other order needs the whole list.
        if (wSortCode != SORT_CREATION) {
            SortIterator(pNew.get(), wSortCode);
        } else if (fFetchAll != 0) {
            FetchAll(pNew.get());
        } else {
            FetchFirst(pNew.get());
        }
        pIter = pNew.release();
    }
    pIter->nCurrent = -1;
    LogLine(LOG_STORE, "%s: Returning 0x%08lX for ID=%lu, %s\r\n", pszCall,
            static_cast<unsigned long>(reinterpret_cast<uintptr_t>(pIter)),
            static_cast<unsigned long>(pIter->dwFolderID),
            pIter->pFolderEntry != nullptr ? pIter->pFolderEntry->m_item.item.itemname : "");
    CheckMemoryUsage(hbrd);
    return pIter;
}

}  // namespace catstore

using namespace catstore;

extern "C" ITEM_ITERATOR* EXItemGetReferences(BOARD_OBJECT* hbrd, ITEM_OBJECT* hItem, int fFetchAll,
                                              uint16_t wSortCode, EX_ITEMNOTIFIER pfnNotifier,
                                              uintptr_t ulValue, EXSM_STATUS* status) {
    return RunApi(
        "EXItemGetReferences", status, static_cast<ITEM_ITERATOR*>(nullptr), [&](EXSM_STATUS* st) {
            return OpenReferenceList("EXItemGetReferences", hbrd, hItem, IteratorKind::References,
                                     fFetchAll, wSortCode, pfnNotifier, ulValue, st);
        });
}

extern "C" ITEM_ITERATOR* EXItemGetReferencers(BOARD_OBJECT* hbrd, ITEM_OBJECT* hItem,
                                               int fFetchAll, uint16_t wSortCode,
                                               EX_ITEMNOTIFIER pfnNotifier, uintptr_t ulValue,
                                               EXSM_STATUS* status) {
    return RunApi(
        "EXItemGetReferencers", status, static_cast<ITEM_ITERATOR*>(nullptr), [&](EXSM_STATUS* st) {
            return OpenReferenceList("EXItemGetReferencers", hbrd, hItem, IteratorKind::Referencers,
                                     fFetchAll, wSortCode, pfnNotifier, ulValue, st);
        });
}

// The exported item-list calls: folder listings and the moves through a list.
#include <algorithm>
#include <climits>
#include <memory>

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

uint16_t KnownSortCode(uint16_t wSortCode) {
    switch (wSortCode & ~EX_SORT_DESCENDING) {
        case EX_SORT_NAME:
        case EX_SORT_MODIFIED:
        case EX_SORT_STATUS:
        case EX_SORT_DUEDATE:
        case EX_SORT_REPOSITORY:
            return wSortCode;
        default:
            return EX_SORT_NAME;
    }
}

DBStatus PrepareFolderCursor(BOARD_OBJECT* hbrd, const DB_ITEM& folder, IteratorKind kind,
                             uint16_t wSortCode, CStoreCursor* pCursor, uint32_t* pcMembers) {
    CDbContext* pdb = hbrd->pdb;
    const int32_t nSet =
        kind == IteratorKind::SubFolders ? DBS_FOLDERS_IN_FOLDER : DBS_ITEMS_IN_FOLDER;
    CStoreRead read(pdb, Packet({DB_ITEMREC, DBS_ITEMS, nSet}, 'r'));
    DBStatus st = read.Status();
    if (st != DBSuccess) {
        return st;
    }
    int rc = pdb->MakeCurrent(folder.dba);
    if (rc == S_OKAY) {
        rc = pdb->SetOwnerCurrent(nSet);
    }
    if (rc == S_OKAY) {
        rc = pdb->MemberCount(nSet, pcMembers);
    }
    if (rc != S_OKAY) {
        return rc == S_DELETED ? DBDeleted : MapEngineStatus(rc);
    }
    const bool fDescending = (wSortCode & EX_SORT_DESCENDING) != 0;
    switch (wSortCode & ~EX_SORT_DESCENDING) {
        case EX_SORT_MODIFIED:
            pCursor->KeyWalk(folder.item.itemid, MODIFIEDBYFOLDER, fDescending);
            break;
        case EX_SORT_STATUS:
            pCursor->KeyWalk(folder.item.itemid, STATUSBYFOLDER, fDescending);
            break;
        case EX_SORT_DUEDATE:
            pCursor->KeyWalk(folder.item.itemid, DUEDATEBYFOLDER, fDescending);
            break;
        default:
            // Name order, and the repository time, which is sorted once the list is read.
            pCursor->SetWalk(folder.dba, folder.item.itemid, nSet,
                             fDescending && (wSortCode & ~EX_SORT_DESCENDING) == EX_SORT_NAME);
            break;
    }
    return DBSuccess;
}

// Frees a list under construction unless it is handed out.
struct IteratorDeleter {
    void operator()(ITEM_ITERATOR* p) const { FreeIterator(p); }
};
using OwnedIterator = std::unique_ptr<ITEM_ITERATOR, IteratorDeleter>;

static ITEM_ITERATOR* OpenFolderList(const char* pszCall, BOARD_OBJECT* hbrd, ITEM_OBJECT* hFolder,
                                     IteratorKind kind, int fFetchAll, uint16_t wSortCode,
                                     uint32_t dwFilter, EX_ITEMNOTIFIER pfnRoutine,
                                     uintptr_t ulValue, EXSM_STATUS* st) {
    wSortCode = KnownSortCode(wSortCode);
    if (!IsLiveBoard(hbrd) || hbrd->pNotify == nullptr || !CheckItemHandle(hFolder, "hFolder")) {
        *st = EXSM_INVALID_HANDLE;
        return nullptr;
    }
    if (pfnRoutine == EX_DEFAULT_NOTIFIER) {
        pfnRoutine = DefaultRoutine(hbrd);
    }
    if (ulValue == EX_DEFAULT_VALUE) {
        ulValue = DefaultValue(hbrd);
    }
    NotifierTable* pTable = hbrd->pNotify;
    CItemEntry* pFolderEntry = hFolder->ItemEntry;
    ITEM_ITERATOR* pIter =
        pTable->m_retired.Revive(pFolderEntry, kind, dwFilter, pfnRoutine, ulValue, wSortCode);
    if (pIter != nullptr) {
        qn::platform::RegisterLiveObject(pIter, ObjectKind::ItemIterator);
        if (fFetchAll != 0) {
            FetchAll(pIter);
        }
    } else {
        DBStatus dbs = RefreshEntry(hbrd, pFolderEntry);
        if (dbs != DBSuccess && dbs != DBRecordModified) {
            SetStatus(st, dbs);
            return nullptr;
        }
        const DB_ITEM& folder = pFolderEntry->m_item;
        if (folder.item.type != ITEMTYPE_FOLDER) {
            *st = EXSM_FOLDER_REQUIRED;
            return nullptr;
        }
        OwnedIterator pNew(new ITEM_ITERATOR);
        pNew->hBoard = hbrd;
        pNew->kind = kind;
        pNew->dwFilter = dwFilter;
        pNew->wSortCode = wSortCode;
        pNew->dwFolderID = folder.item.itemid;
        uint32_t cMembers = 0;
        dbs = PrepareFolderCursor(hbrd, folder, kind, wSortCode, &pNew->cursor, &cMembers);
        if (dbs != DBSuccess) {
            SetStatus(st, dbs);
            return nullptr;
        }
        pNew->nCount = static_cast<int32_t>(cMembers);
        pNew->pfnRoutine = pfnRoutine;
        pNew->ulValue = ulValue;
        pTable->m_lists.insert(pNew.get());
        qn::platform::RegisterLiveObject(pNew.get(), ObjectKind::ItemIterator);
        RegisterIteratorEntry(pFolderEntry, &pNew->iterEntry, pNew.get());
        pNew->pFolderEntry = pFolderEntry;
        pNew->pOwnNotifier =
            RegisterNotifier(pFolderEntry, pfnRoutine, ulValue, nullptr, pNew.get(), -1);
        if (fFetchAll != 0 || (wSortCode & ~EX_SORT_DESCENDING) == EX_SORT_REPOSITORY) {
            FetchAll(pNew.get());
            if ((wSortCode & ~EX_SORT_DESCENDING) == EX_SORT_REPOSITORY) {
                SortIterator(pNew.get(), wSortCode);
            }
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

// The iterator calls check only that the list is a live one: a released list counts as none.
static ITEM_ITERATOR* Live(ITEM_ITERATOR* pIter) {
    return IsLiveIterator(pIter) ? pIter : nullptr;
}

static ITEM_OBJECT* At(ITEM_ITERATOR* pIter, int32_t nIndex) {
    return nIndex >= 0 && nIndex <= pIter->Last() ? pIter->slots[size_t(nIndex)] : nullptr;
}

static bool CompleteAndEmpty(const ITEM_ITERATOR* pIter) {
    return pIter->fComplete && pIter->slots.empty();
}

}  // namespace catstore

using namespace catstore;

extern "C" ITEM_ITERATOR* EXFolderGetItems(BOARD_OBJECT* hbrd, ITEM_OBJECT* hFolder, int fFetchAll,
                                           uint16_t wSortCode, EX_ITEMNOTIFIER pfnNotifier,
                                           uintptr_t ulValue, EXSM_STATUS* status) {
    return RunApi(
        "EXFolderGetItems", status, static_cast<ITEM_ITERATOR*>(nullptr), [&](EXSM_STATUS* st) {
            return OpenFolderList("EXFolderGetItems", hbrd, hFolder, IteratorKind::FolderItems,
                                  fFetchAll, wSortCode, 0, pfnNotifier, ulValue, st);
        });
}

extern "C" ITEM_ITERATOR* EXFolderGetFolders(BOARD_OBJECT* hbrd, ITEM_OBJECT* hFolder,
                                             int fFetchAll, uint16_t wSortCode,
                                             uint32_t dwFolderTypeFilter,
                                             EX_ITEMNOTIFIER pfnNotifier, uintptr_t ulValue,
                                             EXSM_STATUS* status) {
    return RunApi("EXFolderGetFolders", status, static_cast<ITEM_ITERATOR*>(nullptr),
                  [&](EXSM_STATUS* st) {
                      return OpenFolderList("EXFolderGetFolders", hbrd, hFolder,
                                            IteratorKind::SubFolders, fFetchAll, wSortCode,
                                            dwFolderTypeFilter, pfnNotifier, ulValue, st);
                  });
}

extern "C" int EXFolderHasFolders(BOARD_OBJECT* hbrd, ITEM_OBJECT* hFolder,
                                  uint32_t dwFolderTypeFilter, EXSM_STATUS* status) {
    return RunApi(nullptr, status, 0, [&](EXSM_STATUS* st) -> int {
        if (!IsLiveBoard(hbrd) || !IsLiveItem(hFolder) || hFolder->pdbItem == nullptr) {
            *st = EXSM_INVALID_HANDLE;
            return 0;
        }
        CStoreCursor cursor;
        uint32_t cMembers = 0;
        DBStatus dbs = PrepareFolderCursor(hbrd, *hFolder->pdbItem, IteratorKind::SubFolders,
                                           EX_SORT_NAME, &cursor, &cMembers);
        if (dbs != DBSuccess) {
            SetStatus(st, dbs);
            return 0;
        }
        if (cMembers == 0) {
            return 0;
        }
        std::vector<DB_ITEM> items;
        dbs = cursor.Fetch(hbrd->pdb, TYPEMASK_FOLDERS, dwFolderTypeFilter, 1, &items);
        if (dbs != DBSuccess && dbs != DBEndOfList) {
            SetStatus(st, dbs);
        }
        return items.empty() ? 0 : 1;
    });
}

extern "C" long EXItemIteratorCount(ITEM_ITERATOR* pIter) {
    return RunApiNoStatus("EXItemIteratorCount", 0L, [&]() -> long {
        ITEM_ITERATOR* p = Live(pIter);
        return p != nullptr ? p->nCount : 0;
    });
}

extern "C" ITEM_ITERATOR* EXItemIteratorReset(ITEM_ITERATOR* pIter) {
    return RunApiNoStatus("EXItemIteratorReset", static_cast<ITEM_ITERATOR*>(nullptr),
                          [&]() -> ITEM_ITERATOR* {
                              ITEM_ITERATOR* p = Live(pIter);
                              if (p != nullptr && !CompleteAndEmpty(p)) {
                                  p->nCurrent = -1;
                              }
                              return p;
                          });
}

extern "C" long EXItemIteratorGetIndex(ITEM_ITERATOR* pIter) {
    return RunApiNoStatus("EXItemIteratorGetIndex", -1L, [&]() -> long {
        ITEM_ITERATOR* p = Live(pIter);
        return p != nullptr ? p->nCurrent : -1;
    });
}

extern "C" ITEM_ITERATOR* EXItemIteratorSetIndex(ITEM_ITERATOR* pIter, long nIndex) {
    return RunApiNoStatus("EXItemIteratorSetIndex", static_cast<ITEM_ITERATOR*>(nullptr),
                          [&]() -> ITEM_ITERATOR* {
                              ITEM_ITERATOR* p = Live(pIter);
                              if (p == nullptr || CompleteAndEmpty(p)) {
                                  return p;
                              }
                              const int32_t nWanted =
                                  static_cast<int32_t>(std::clamp<long>(nIndex, -1, INT32_MAX - 1));
                              FetchUpTo(p, nWanted);
                              p->nCurrent = std::min(nWanted, p->Last());
                              return p;
                          });
}

extern "C" ITEM_OBJECT* EXItemIteratorCurrent(ITEM_ITERATOR* pIter) {
    return RunApiNoStatus("EXItemIteratorCurrent", static_cast<ITEM_OBJECT*>(nullptr),
                          [&]() -> ITEM_OBJECT* {
                              ITEM_ITERATOR* p = Live(pIter);
                              return p != nullptr ? At(p, p->nCurrent) : nullptr;
                          });
}

extern "C" ITEM_OBJECT* EXItemIteratorFirst(ITEM_ITERATOR* pIter) {
    return RunApiNoStatus("EXItemIteratorFirst", static_cast<ITEM_OBJECT*>(nullptr),
                          [&]() -> ITEM_OBJECT* {
                              ITEM_ITERATOR* p = Live(pIter);
                              if (p == nullptr || CompleteAndEmpty(p)) {
                                  return nullptr;
                              }
                              if (p->slots.empty()) {
                                  p->nCurrent = -1;
                                  FetchNext(p);
                              }
                              if (p->slots.empty()) {
                                  return nullptr;
                              }
                              p->nCurrent = 0;
                              return p->slots[0];
                          });
}

extern "C" ITEM_OBJECT* EXItemIteratorLast(ITEM_ITERATOR* pIter) {
    return RunApiNoStatus("EXItemIteratorLast", static_cast<ITEM_OBJECT*>(nullptr),
                          [&]() -> ITEM_OBJECT* {
                              ITEM_ITERATOR* p = Live(pIter);
                              if (p == nullptr) {
                                  return nullptr;
                              }
                              FetchAll(p);
                              if (p->slots.empty()) {
                                  return nullptr;
                              }
                              p->nCurrent = p->Last();
                              return p->slots.back();
                          });
}

extern "C" ITEM_OBJECT* EXItemIteratorNext(ITEM_ITERATOR* pIter) {
    return RunApiNoStatus("EXItemIteratorNext", static_cast<ITEM_OBJECT*>(nullptr),
                          [&]() -> ITEM_OBJECT* {
                              ITEM_ITERATOR* p = Live(pIter);
                              if (p == nullptr || CompleteAndEmpty(p)) {
                                  return nullptr;
                              }
                              if (p->fComplete) {
                                  if (p->nCurrent >= p->Last()) {
                                      return nullptr;
                                  }
                                  ++p->nCurrent;
                                  return At(p, p->nCurrent);
                              }
                              return FetchNext(p) ? At(p, p->nCurrent) : nullptr;
                          });
}

extern "C" ITEM_OBJECT* EXItemIteratorPrev(ITEM_ITERATOR* pIter) {
    return RunApiNoStatus("EXItemIteratorPrev", static_cast<ITEM_OBJECT*>(nullptr),
                          [&]() -> ITEM_OBJECT* {
                              ITEM_ITERATOR* p = Live(pIter);
                              if (p == nullptr || CompleteAndEmpty(p) || p->nCurrent < 0) {
                                  return nullptr;
                              }
                              --p->nCurrent;
                              return At(p, p->nCurrent);
                          });
}

extern "C" int EXItemIteratorGetNextItems(ITEM_ITERATOR* pIter, EX_ITEMARRAY* pArray) {
    return RunApiNoStatus("EXItemIteratorGetNextItems", 0, [&]() -> int {
        ITEM_ITERATOR* p = Live(pIter);
        return p != nullptr ? GetNextItems(p, pArray) : 0;
    });
}

extern "C" int EXItemIteratorGetPrevItems(ITEM_ITERATOR* pIter, EX_ITEMARRAY* pArray) {
    return RunApiNoStatus("EXItemIteratorGetPrevItems", 0, [&]() -> int {
        ITEM_ITERATOR* p = Live(pIter);
        if (p == nullptr || pArray == nullptr || CompleteAndEmpty(p) || p->nCurrent < 0) {
            return 0;
        }
        const int32_t nCapacity =
            pArray->wUpper >= pArray->wLower ? pArray->wUpper - pArray->wLower + 1 : 0;
        const int32_t n = std::min(nCapacity, p->nCurrent);
        for (int32_t i = 0; i < n; ++i) {
            pArray->ahItems[i] = p->slots[size_t(p->nCurrent - n + i)];
        }
        p->nCurrent -= n;
        return n;
    });
}

extern "C" int EXItemIteratorSort(ITEM_ITERATOR* pIter, uint16_t wSortCode) {
    return RunApiNoStatus("EXItemIteratorSort", 0, [&]() -> int {
        ITEM_ITERATOR* p = Live(pIter);
        if (p != nullptr) {
            SortIterator(p, KnownSortCode(wSortCode));
        }
        return 0;
    });
}

extern "C" int EXItemIteratorIsParentChild(ITEM_ITERATOR* pIter) {
    return RunApiNoStatus("EXItemIteratorIsParentChild", 0, [&]() -> int {
        ITEM_ITERATOR* p = Live(pIter);
        return p != nullptr && p->IsParentChild() ? 1 : 0;
    });
}

extern "C" ITEM_ITERATOR* EXItemIteratorRelease(ITEM_ITERATOR* pIter, int fFinal) {
    return RunApiNoStatus("EXItemIteratorRelease", static_cast<ITEM_ITERATOR*>(nullptr),
                          [&]() -> ITEM_ITERATOR* {
                              ITEM_ITERATOR* p = Live(pIter);
                              if (p == nullptr || p->hBoard->pNotify == nullptr) {
                                  return nullptr;
                              }
                              // A parked result list could come back as a folder listing.
                              if (p->pFolderEntry != nullptr && fFinal != 1 &&
                                  p->kind != IteratorKind::SearchResults) {
                                  // Parked lists are no handles of the application's.
                                  qn::platform::UnregisterLiveObject(p);
                                  p->hBoard->pNotify->m_retired.Retire(p);
                              } else {
                                  FreeIterator(p);
                              }
                              return nullptr;
                          });
}

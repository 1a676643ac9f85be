// The two tree walks: EXFolderVisitFolders (a folder before the folders in it, each with the
// list of its items) and EXItemEnumItems (breadth first, item by item).
//
// Both take the ids of what they will visit next before the application's routine runs and
// read each item again when its turn comes, so a routine that creates, moves or destroys items
// never makes a walk skip or repeat an item, or touch a handle that went with its item.
#include <cstdint>
#include <deque>
#include <unordered_set>
#include <vector>

#include "board.h"
#include "frame.h"
#include "handles.h"
#include "iterators.h"
#include "notify.h"
#include "trace.h"

namespace catstore {

// Folders nest at most this deep for a walk below one (a damaged catalog may loop).
static constexpr int MAX_TREE_DEPTH = 256;
// Item ids read per store fetch while taking a folder's snapshot.
static constexpr size_t WALK_BATCH = 512;

// A handle of the walk's own on an item's cache entry, freed when the walk is done with it.
class CWalkHandle {
  public:
    CWalkHandle(BOARD_OBJECT* hbrd, CItemEntry* pEntry)
        : m_h(NewOwnedHandle(hbrd, pEntry, nullptr, 0)) {}
    CWalkHandle(const CWalkHandle&) = delete;
    CWalkHandle& operator=(const CWalkHandle&) = delete;
    ~CWalkHandle() {
        // The routine may have released it although it was not the routine's to release.
        if (IsLiveItem(m_h)) {
            FreeHandle(m_h);
        }
    }
    ITEM_OBJECT* Get() const { return m_h; }

  private:
    ITEM_OBJECT* m_h;
};

// Reads an item again by id into its cache entry; nullptr with DBNotFound when it went.
static CItemEntry* Reread(BOARD_OBJECT* hbrd, uint32_t dwItemID, DBStatus* pStatus) {
    DB_ITEM item;
    *pStatus = ItemFindByID(hbrd->pdb, dwItemID, &item);
    if (*pStatus == DBDeleted) {
        *pStatus = DBNotFound;
    }
    return *pStatus == DBSuccess ? PutEntry(hbrd, item) : nullptr;
}

static EXSM_STATUS MappedStatus(DBStatus st) {
    if (st >= NUM_DBERRORS) {
        ReportAssertion("DBRefreshStatus < NUM_DBERRORS", ".\\EXITER");
    }
    EXSM_STATUS status = EXSM_SUCCESS;
    SetStatus(&status, st);
    return status;
}

// ---- Visit folders --------------------------------------------------------------------------

static EXSM_STATUS VisitFolder(BOARD_OBJECT* hbrd, ITEM_OBJECT* hFolder, int fTransaction,
                               EX_VISITFOLDER pfnVisit, uintptr_t ulValue, int nDepth) {
    EXSM_STATUS st = EXSM_SUCCESS;
    if (fTransaction != 0) {
        EXBoardBeginTransaction(hbrd, "EXFolderVisitFolders", &st);
        if (st != EXSM_SUCCESS) {
            return st;
        }
    }
    ITEM_ITERATOR* pItems = EXFolderGetItems(hbrd, hFolder, 1, EX_SORT_MODIFIED, nullptr, 0, &st);
    if (pItems == nullptr) {
        if (fTransaction != 0) {
            EXSM_STATUS stAbort;
            EXBoardAbortTransaction(hbrd, &stAbort);
        }
        return st;
    }
    const uint32_t dwFolderID = hFolder->pdbItem->item.itemid;
    std::vector<uint32_t> folderIDs;
    for (ITEM_OBJECT* h : pItems->slots) {
        if (h == nullptr) {
            ReportAssertion("hitemCurrent != NULL", ".\\EXITER");
            continue;
        }
        if (h->pdbItem->item.type == ITEMTYPE_FOLDER) {
            folderIDs.push_back(h->pdbItem->item.itemid);
        }
    }
    st = pfnVisit(hFolder, pItems, ulValue);
    EXItemIteratorRelease(pItems, 1);
    if (st != EXSM_SUCCESS) {
        if (fTransaction != 0) {
            EXSM_STATUS stAbort;
            EXBoardAbortTransaction(hbrd, &stAbort);
        }
        return st;
    }
    if (fTransaction != 0) {
        EXBoardEndTransaction(hbrd, &st);
        if (st != EXSM_SUCCESS) {
            return st;
        }
    }
    if (nDepth >= MAX_TREE_DEPTH || !IsLiveBoard(hbrd) || hbrd->fClosing) {
        return EXSM_SUCCESS;
    }
    for (uint32_t dwID : folderIDs) {
        DBStatus dbs = DBSuccess;
        CItemEntry* pEntry = Reread(hbrd, dwID, &dbs);
        if (dbs == DBNotFound) {
            continue;
        }
        if (pEntry == nullptr) {
            return MappedStatus(dbs);
        }
        // A folder the routine moved elsewhere is no longer below this one.
        if (pEntry->m_item.item.itemparentid != dwFolderID ||
            pEntry->m_item.item.type != ITEMTYPE_FOLDER) {
            continue;
        }
        CWalkHandle hChild(hbrd, pEntry);
        st = VisitFolder(hbrd, hChild.Get(), fTransaction, pfnVisit, ulValue, nDepth + 1);
        if (st != EXSM_SUCCESS) {
            return st;
        }
    }
    return EXSM_SUCCESS;
}

// ---- Enumerate items ------------------------------------------------------------------------

// The ids of a folder's items in name order, and its member count.
static DBStatus Snapshot(BOARD_OBJECT* hbrd, const DB_ITEM& folder, std::vector<uint32_t>* pIDs,
                         uint32_t* pcMembers) {
    CStoreCursor cursor;
    DBStatus st = PrepareFolderCursor(hbrd, folder, IteratorKind::FolderItems, EX_SORT_NAME,
                                      &cursor, pcMembers);
    while (st == DBSuccess) {
        std::vector<DB_ITEM> items;
        st = cursor.Fetch(hbrd->pdb, TYPEMASK_ITEMS, 0, WALK_BATCH, &items);
        for (const DB_ITEM& item : items) {
            pIDs->push_back(item.item.itemid);
        }
    }
    return st == DBEndOfList ? DBSuccess : st;
}

static EXSM_STATUS EnumItems(BOARD_OBJECT* hbrd, uint32_t dwStartID, EX_ENUMITEM pfnEnum,
                             uintptr_t ulValue) {
    // Folder ids wait in the queue; each is read again when its turn comes, so a folder
    // destroyed meanwhile is left out and stopping early leaves no handle behind.
    std::deque<uint32_t> queue{dwStartID};
    std::unordered_set<uint32_t> queued{dwStartID};
    while (!queue.empty()) {
        const uint32_t dwFolderID = queue.front();
        queue.pop_front();
        DBStatus dbs = DBSuccess;
        CItemEntry* pFolderEntry = Reread(hbrd, dwFolderID, &dbs);
        if (dbs == DBNotFound) {
            continue;
        }
        if (pFolderEntry == nullptr) {
            return MappedStatus(dbs);
        }
        std::vector<uint32_t> ids;
        uint32_t cMembers = 0;
        dbs = Snapshot(hbrd, pFolderEntry->m_item, &ids, &cMembers);
        if (dbs == DBDeleted) {
            continue;
        }
        if (dbs != DBSuccess) {
            return MappedStatus(dbs);
        }
        CWalkHandle hFolder(hbrd, pFolderEntry);
        EXSM_STATUS st = EXSM_SUCCESS;
        pfnEnum(hFolder.Get(), static_cast<long>(cMembers), nullptr, -1, ulValue, &st);
        if (st != EXSM_SUCCESS) {
            return st;
        }
        long nIndex = 0;
        for (uint32_t dwID : ids) {
            if (!IsLiveBoard(hbrd) || hbrd->fClosing) {
                return EXSM_SUCCESS;
            }
            CItemEntry* pEntry = Reread(hbrd, dwID, &dbs);
            if (dbs == DBNotFound) {
                continue;
            }
            if (pEntry == nullptr) {
                return MappedStatus(dbs);
            }
            if (!IsItemVisible(hbrd, pEntry->m_item)) {
                continue;
            }
            const bool fFolder = pEntry->m_item.item.type == ITEMTYPE_FOLDER;
            {
                CWalkHandle hItem(hbrd, pEntry);
                pfnEnum(hFolder.Get(), static_cast<long>(cMembers), hItem.Get(), nIndex++, ulValue,
                        &st);
            }
            if (st != EXSM_SUCCESS) {
                return st;
            }
            if (fFolder && queued.insert(dwID).second) {
                queue.push_back(dwID);
            }
            CheckMemoryUsage(hbrd);
        }
    }
    return EXSM_SUCCESS;
}

}  // namespace catstore

using namespace catstore;

extern "C" void EXFolderVisitFolders(ITEM_OBJECT* hFolder, int fTransaction,
                                     EX_VISITFOLDER pfnVisit, uintptr_t ulValue,
                                     EXSM_STATUS* status) {
    RunApiVoid("EXFolderVisitFolders", status, [&](EXSM_STATUS* st) {
        if (!CheckItemHandle(hFolder, "hFolder") || pfnVisit == nullptr) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        *st = VisitFolder(hFolder->hBoard, hFolder, fTransaction, pfnVisit, ulValue, 0);
    });
}

extern "C" void EXItemEnumItems(ITEM_OBJECT* hFolder, uint32_t dwFlag, EX_ENUMITEM pfnEnum,
                                uintptr_t ulValue, EXSM_STATUS* status) {
    RunApiVoid("EXItemEnumItems", status, [&](EXSM_STATUS* st) {
        if (!CheckItemHandle(hFolder, "hFolder") || pfnEnum == nullptr) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        if (dwFlag != 0) {
            ReportAssertion("FALSE", ".\\EXITER");
        }
        if (hFolder->pdbItem->item.type != ITEMTYPE_FOLDER) {
            *st = EXSM_FOLDER_REQUIRED;
            return;
        }
        *st = EnumItems(hFolder->hBoard, hFolder->pdbItem->item.itemid, pfnEnum, ulValue);
    });
}

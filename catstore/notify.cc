#include "notify.h"

#include <algorithm>
#include <unordered_map>

#include "board.h"
#include "frame.h"
#include "handles.h"
#include "items.h"
#include "iterators.h"
#include "locks.h"
#include "search.h"
#include "trace.h"
#include "unread.h"

namespace catstore {

// The queue starts small and grows by 20 events while it is small; a long refresh grows it by
// half again each time, so taking in many changes stays linear.
static constexpr size_t QUEUE_FIRST_CAPACITY = 3;
static constexpr size_t QUEUE_GROWTH = 20;
static constexpr size_t DEFERRED_EVENT_BYTES = 16;

NotifierTable::NotifierTable() {
    m_queue.reserve(QUEUE_FIRST_CAPACITY);
}

NotifierTable::~NotifierTable() = default;

const char* ChangeKindName(uint16_t wKind) {
    static const char* const s_apszKinds[] = {"Unknown",   "Created", "Modified",
                                              "Destroyed", "AddRef",  "RemoveRef"};
    return wKind < 6 ? s_apszKinds[wKind] : "Unknown";
}

void ReserveEvents(BOARD_OBJECT* hbrd, size_t n) {
    NotifierTable* pTable = hbrd->pNotify;
    if (pTable == nullptr) {
        return;
    }
    std::vector<DeferredEvent>& queue = pTable->m_queue;
    while (queue.capacity() < queue.size() + n) {
        queue.reserve(queue.capacity() + std::max(QUEUE_GROWTH, queue.capacity() / 2));
    }
}

void EXNotifyQueueEvent(BOARD_OBJECT* hbrd, uint32_t dwItemID, uint32_t dwRelatedID, uint16_t wKind,
                        uint32_t dwFlags) {
    NotifierTable* pTable = hbrd->pNotify;
    if (pTable == nullptr) {
        return;
    }
    ReserveEvents(hbrd, 1);
    pTable->m_queue.push_back({dwItemID, dwRelatedID, wKind, dwFlags});
}

void QueueUsage(const BOARD_OBJECT* hbrd, uint32_t* pdwCount, uint32_t* pcb) {
    const NotifierTable* pTable = hbrd->pNotify;
    *pdwCount = pTable != nullptr ? static_cast<uint32_t>(pTable->m_queue.size()) : 0;
    *pcb = pTable != nullptr
               ? static_cast<uint32_t>(sizeof(NotifierTable) +
                                       pTable->m_queue.capacity() * DEFERRED_EVENT_BYTES)
               : 0;
}

void EXNotifyDiscardDeferred(BOARD_OBJECT* hbrd) {
    NotifierTable* pTable = hbrd->pNotify;
    if (pTable == nullptr) {
        return;
    }
    if (pTable->fSendDeferredActive) {
        // The running send still has to deliver what is queued.
        LogLine(LOG_STORE, "DEFER: EXNotifySendDeferred is in progress...\r\n");
        ReportAssertion("!NotifierTable->fSendDeferredActive", ".\\EXNOTIFY");
        return;
    }
    pTable->m_queue.clear();
}

// Items of changes that no entry holds yet, read ahead in batches under one read each: a
// refresh that takes in thousands of another process's creates pays one lock request per batch
// instead of two per item. Items read ahead are at most one batch old when delivered.
class CReadAhead {
  public:
    explicit CReadAhead(BOARD_OBJECT* hbrd) : m_hbrd(hbrd) {}
    DBStatus Take(size_t iEvent, uint32_t dwItemID, DB_ITEM* pItem) {
        if (iEvent >= m_iNext) {
            Fill(iEvent);
        }
        auto it = m_items.find(dwItemID);
        if (it == m_items.end()) {
            return ItemFindByID(m_hbrd->pdb, dwItemID, pItem);
        }
        *pItem = std::move(it->second);
        m_items.erase(it);
        return DBSuccess;
    }

  private:
    static constexpr size_t BATCH = 256;
    void Fill(size_t iFirst) {
        m_items.clear();
        const std::vector<DeferredEvent>& queue = m_hbrd->pNotify->m_queue;
        m_iNext = std::min(queue.size(), iFirst + BATCH);
        if (m_iNext - iFirst < 2) {
            return;
        }
        CStoreRead read(m_hbrd->pdb, ItemReadPacket());
        if (read.Status() != DBSuccess) {
            return;
        }
        for (size_t i = iFirst; i < m_iNext; ++i) {
            const DeferredEvent& ev = queue[i];
            if (NeedsRead(m_hbrd, ev) && m_items.count(ev.dwItemID) == 0) {
                DB_ITEM item;
                if (ItemFindByID(m_hbrd->pdb, ev.dwItemID, &item) == DBSuccess) {
                    m_items.emplace(ev.dwItemID, std::move(item));
                }
            }
        }
    }
    // Only a list of the parent (or of the other item of a reference) can show an item nobody
    // in this process holds yet, or a search whose results it may join.
    static bool NeedsRead(BOARD_OBJECT* hbrd, const DeferredEvent& ev) {
        if (ev.wKind == EX_CHANGE_DESTROYED || FindEntry(hbrd, ev.dwItemID) != nullptr) {
            return false;
        }
        const CItemEntry* pParent = FindEntry(hbrd, ev.dwRelatedID);
        return (pParent != nullptr && pParent->FirstIterator() != nullptr) ||
               (ev.wKind == EX_CHANGE_CREATED && AnySearchOpen(hbrd));
    }

    BOARD_OBJECT* m_hbrd;
    size_t m_iNext = 0;
    std::unordered_map<uint32_t, DB_ITEM> m_items;
};

static bool ListsReferencers(const CItemEntry* pEntry) {
    for (const CIteratorEntry* p = pEntry->FirstIterator(); p != nullptr; p = p->m_pNext) {
        if (p->m_pIterator->kind == IteratorKind::Referencers && !p->m_pIterator->fReleased) {
            return true;
        }
    }
    return false;
}

// Delivers one event to the entries it concerns; an event nobody here can see is dropped.
static void SendOne(BOARD_OBJECT* hbrd, const DeferredEvent& ev, size_t iEvent,
                    CReadAhead* pReadAhead) {
    const bool fReference = ev.wKind == EX_CHANGE_ADDREF || ev.wKind == EX_CHANGE_REMOVEREF;
    CItemEntry* pEntry = FindEntry(hbrd, ev.dwItemID);
    if (pEntry != nullptr) {
        CItemEntry* pRelated = nullptr;
        if (fReference) {
            pRelated = FindEntry(hbrd, ev.dwRelatedID);
            // A referencer list of the item shows a new referring item nobody here holds yet.
            if (pRelated == nullptr && ev.wKind == EX_CHANGE_ADDREF && ListsReferencers(pEntry)) {
                DB_ITEM related;
                if (ItemFindByID(hbrd->pdb, ev.dwRelatedID, &related) == DBSuccess) {
                    pRelated = PutEntry(hbrd, related);
                }
            }
            if (pRelated == nullptr) {
                return;
            }
        }
        if (hbrd->hCurrentUser != nullptr) {
            ComputeUnreadFlags(hbrd, pEntry);
        }
        EXNotifyDeliver(hbrd, pEntry, pRelated, ev.wKind, ev.dwFlags);
        return;
    }
    if (ev.wKind == EX_CHANGE_DESTROYED) {
        return;
    }
    CItemEntry* pParent = FindEntry(hbrd, ev.dwRelatedID);
    if ((pParent == nullptr || pParent->FirstIterator() == nullptr) &&
        (ev.wKind != EX_CHANGE_CREATED || !AnySearchOpen(hbrd))) {
        return;
    }
    DB_ITEM item;
    if (pReadAhead->Take(iEvent, ev.dwItemID, &item) != DBSuccess) {
        return;
    }
    pEntry = PutEntry(hbrd, item);
    pEntry->m_fSkipRefresh = 0;
    EXNotifyDeliver(hbrd, pEntry, pParent, ev.wKind, ev.dwFlags, true);
}

void EXNotifySendDeferred(BOARD_OBJECT* hbrd) {
    NotifierTable* pTable = hbrd->pNotify;
    if (pTable == nullptr) {
        return;
    }
    if (pTable->fSendDeferredActive) {
        LogLine(LOG_STORE, "DEFER: EXNotifySendDeferred already in progress...\r\n");
        return;
    }
    pTable->fSendDeferredActive = true;
    // However the send ends (an allocation failure included), the queue is empty after it and
    // the next send runs.
    struct EndSend {
        NotifierTable* pTable;
        ~EndSend() {
            pTable->m_queue.clear();
            pTable->fSendDeferredActive = false;
        }
    } endSend{pTable};
    LogLine(LOG_STORE, "DEFER: Entering EXNotifySendDeferred (%ld events queued)...\r\n",
            static_cast<long>(pTable->m_queue.size()));
    // Deliveries may queue more events, which this run delivers too; the queue may move.
    CReadAhead readAhead(hbrd);
    for (size_t i = 0; i < pTable->m_queue.size() && !hbrd->fClosing; ++i) {
        LogLine(LOG_STORE, "DEFER: Processing event %ld of %ld...\r\n", static_cast<long>(i + 1),
                static_cast<long>(pTable->m_queue.size()));
        const DeferredEvent ev = pTable->m_queue[i];
        try {
            SendOne(hbrd, ev, i, &readAhead);
        } catch (...) {
            // Dropped: nobody could be told of it (memory exhausted).
        }
    }
    LogLine(LOG_STORE, "DEFER: Leaving EXNotifySendDeferred (%ld events processed)...\r\n",
            static_cast<long>(pTable->m_queue.size()));
}

const char* EXNotifyGetNoteText(const CItemEntry* pEntry) {
    if (pEntry == nullptr) {
        return "";
    }
    LogLine(LOG_STORE, "EXSM: EXNotifyGetNoteText called for ID=%lu, '%s'\r\n",
            static_cast<unsigned long>(pEntry->m_item.item.itemid), pEntry->m_item.item.itemname);
    return pEntry->m_item.vsiNote.value.c_str();
}

void DestroyNotifierTable(BOARD_OBJECT* hbrd) {
    NotifierTable* pTable = hbrd->pNotify;
    if (pTable == nullptr) {
        return;
    }
    pTable->m_retired.ReleaseAll();
    // Lists and handles the application did not release end with their catalog.
    std::vector<ITEM_ITERATOR*> lists(pTable->m_lists.begin(), pTable->m_lists.end());
    for (ITEM_ITERATOR* pIter : lists) {
        FreeIterator(pIter);
    }
    FreeOwnedHandles(hbrd);
    DropAllEntries(hbrd);
    hbrd->pNotify = nullptr;
    delete pTable;
}

// ---- Intake -------------------------------------------------------------------------------

// The routines the unread set reports changed marks to.
static void UnreadChanged(uint32_t dwItemID, BOARD_OBJECT* hbrd) {
    ProcessNewChangeEntry(dwItemID, hbrd);
}

static void UnreadMarkedRead(uint32_t dwItemID, BOARD_OBJECT* hbrd) {
    NotifyMarkAsRead(dwItemID, hbrd);
}

void MarkItemRead(BOARD_OBJECT* hbrd, uint32_t dwItemID) {
    if (hbrd->pUnread != nullptr) {
        hbrd->pUnread->MarkRead(dwItemID, UnreadMarkedRead, hbrd);
    }
}

static void QueueUnreadChange(uint32_t dwItemID, BOARD_OBJECT* hbrd, bool fSkipRefresh) {
    CItemEntry* pEntry = FindEntry(hbrd, dwItemID);
    if (pEntry == nullptr) {
        return;
    }
    pEntry->m_wUnreadFlags = 0;
    if (fSkipRefresh) {
        pEntry->m_fSkipRefresh = 1;
    }
    EXNotifyQueueEvent(hbrd, dwItemID, pEntry->m_item.item.itemparentid, EX_CHANGE_MODIFIED,
                       ITEMFIELDS_UNREADONLY);
}

static int TakeChangeEntry(const qn::dbms::db_changeentryrec& e, BOARD_OBJECT* hbrd) {
    const uint16_t wLevel = static_cast<uint16_t>(e.changeaccess & 0xFFFF);
    const uint16_t wId = static_cast<uint16_t>(e.changeaccess >> 16);
    // An item whose access changed is looked at even when it is hidden now: it may have to
    // disappear from view.
    const bool fAccessChange =
        e.changekind == EX_CHANGE_MODIFIED && (e.changefields & ITEMFIELDS_ACCESS) != 0;
    if (!fAccessChange && !IsVisibleTo(hbrd, wLevel, wId, 0)) {
        return 1;
    }
    switch (e.changekind) {
        case EX_CHANGE_DESTROYED:
            if (hbrd->pUnread != nullptr) {
                hbrd->pUnread->MarkRead(e.changeitemid, UnreadChanged, hbrd);
            }
            break;
        case EX_CHANGE_CREATED:
        case EX_CHANGE_MODIFIED:
            if (hbrd->pUnread != nullptr) {
                hbrd->pUnread->ApplyChange(e, UnreadChanged, hbrd);
            }
            break;
        case EX_CHANGE_ADDREF:
        case EX_CHANGE_REMOVEREF:
            break;
        default:
            ReportAssertion("FALSE", ".\\EXNOTIFY");
            break;
    }
    EXNotifyQueueEvent(hbrd, e.changeitemid, e.changeparentid, e.changekind, e.changefields);
    return 1;
}

}  // namespace catstore

using namespace catstore;

static_assert(sizeof(EX_CHANGEENTRY) == sizeof(qn::dbms::db_changeentryrec),
              "EX_CHANGEENTRY is the change record");

// The change-log calls run in the frame of every export, as a notifier routine or another
// process's change may reach them from outside any call.
extern "C" int ProcessChangeEntry(EX_CHANGEENTRY* pEntry, unsigned short, BOARD_OBJECT* hbrd) {
    return RunApiNoStatus(nullptr, 1, [&] {
        if (pEntry == nullptr || !IsLiveBoard(hbrd)) {
            return 1;
        }
        qn::dbms::db_changeentryrec e;
        std::memcpy(&e, pEntry, sizeof e);
        return TakeChangeEntry(e, hbrd);
    });
}

// An event that cannot be queued is not delivered; the mark itself has changed.
extern "C" EXSM_STATUS ProcessNewChangeEntry(unsigned long dwItemID, BOARD_OBJECT* hbrd) {
    RunApiNoStatus(nullptr, 0, [&] {
        if (IsLiveBoard(hbrd)) {
            QueueUnreadChange(static_cast<uint32_t>(dwItemID), hbrd, false);
        }
        return 0;
    });
    return EXSM_SUCCESS;
}

extern "C" int NotifyMarkAsRead(unsigned long dwItemID, BOARD_OBJECT* hbrd) {
    RunApiNoStatus(nullptr, 0, [&] {
        if (IsLiveBoard(hbrd)) {
            QueueUnreadChange(static_cast<uint32_t>(dwItemID), hbrd, true);
        }
        return 0;
    });
    return 0;
}

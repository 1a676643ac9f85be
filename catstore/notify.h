// Change notification: the per-catalog queue of change events and its send loop, which applies
// each event to the cached item entries and open lists and calls the application's notifiers.
//
// Events come from this process's own writes (the change-entry notifier queues the facts of
// each entry it fills) and from other processes' writes, read from the change log at
// EXBoardRefresh. A mutating operation queues while it works and sends (or discards) when its
// transaction ended; notifier routines run inside the send and may call the library again:
// nested sends return at once and the running send delivers what they queued, in order.
#pragma once

#include <cstdint>
#include <unordered_set>
#include <vector>

#include "cache.h"
#include "retired.h"
#include "schema.h"

namespace catstore {

struct DeferredEvent {
    uint32_t dwItemID;
    uint32_t dwRelatedID;  // the parent; for references the referring item
    uint16_t wKind;
    uint32_t dwFlags;
};

// One per open catalog: the item entries, the parked lists, the queue, and the handles and
// lists the application holds (ended at close).
struct NotifierTable {
    CMapIIDToItemEntry m_map;
    CRetiredIterators m_retired;
    bool fSendDeferredActive = false;
    std::vector<DeferredEvent> m_queue;
    std::unordered_set<ITEM_OBJECT*> m_ownedHandles;
    std::unordered_set<ITEM_ITERATOR*> m_lists;

    NotifierTable();
    ~NotifierTable();
    NotifierTable(const NotifierTable&) = delete;
    NotifierTable& operator=(const NotifierTable&) = delete;
};

// The kind's name in log lines ("Created", ...; "Unknown" for others).
const char* ChangeKindName(uint16_t wKind);

void EXNotifyQueueEvent(BOARD_OBJECT* hbrd, uint32_t dwItemID, uint32_t dwRelatedID, uint16_t wKind,
                        uint32_t dwFlags);
// Room for n more events, so that queueing them during a store change cannot fail.
void ReserveEvents(BOARD_OBJECT* hbrd, size_t n);
// Never throws: an event whose delivery runs out of memory is dropped, as one whose store read
// fails.
void EXNotifySendDeferred(BOARD_OBJECT* hbrd);
void EXNotifyDiscardDeferred(BOARD_OBJECT* hbrd);
// Applies one event to an entry (pRelated: the other item of a reference change). fFresh: the
// entry was made for this event, so the item was not shown before.
void EXNotifyDeliver(BOARD_OBJECT* hbrd, CItemEntry* pEntry, CItemEntry* pRelated, uint16_t wKind,
                     uint32_t dwFlags, bool fFresh = false);
// An item the user can no longer see goes from view with everything the folder lists show below
// it (Destroyed, children first); one the user can now see comes into view (Created).
void DeliverVisibilityChange(BOARD_OBJECT* hbrd, CItemEntry* pEntry, bool fVisible);
// Marks an item read for the catalog's user (its marked descendants too); the handles hear it
// at the next send.
void MarkItemRead(BOARD_OBJECT* hbrd, uint32_t dwItemID);
// The entry's note text (logged); "" without an entry.
const char* EXNotifyGetNoteText(const CItemEntry* pEntry);
// Memory figures of the queue.
void QueueUsage(const BOARD_OBJECT* hbrd, uint32_t* pdwCount, uint32_t* pcb);
// Ends the table at close: parked lists, the application's lists and handles, every entry.
void DestroyNotifierTable(BOARD_OBJECT* hbrd);

}  // namespace catstore

// The per-catalog notification table, in the least form the change log needs: events queued by
// this process's changes and events taken in from other processes' change entries.
#pragma once

#include <cstdint>
#include <vector>

#include "schema.h"

struct BOARD_OBJECT;

namespace catstore {

struct ChangeEvent {
    uint32_t dwItemID = 0;
    uint32_t dwParentID = 0;
    uint16_t wKind = 0;
    uint32_t dwFields = 0;
    uint16_t wUserID = 0;
    bool fFromLog = false;  // read from the change log (another process)
};

struct NotifyTable {
    std::vector<ChangeEvent> queued;     // waiting to be sent
    std::vector<ChangeEvent> delivered;  // sent (kept, bounded, for inspection)
};

// Queues an event of this process's own change.
void QueueEvent(BOARD_OBJECT* hbrd, const ChangeEvent& ev);
// Sends the queued events (moves them to the delivered list).
void SendDeferred(BOARD_OBJECT* hbrd);
// Byte size and count for the memory report.
void NotifyUsage(const NotifyTable* pTable, uint32_t* pdwCount, uint32_t* pcb, bool fCompact);

}  // namespace catstore

// Intake of one change entry read from the log (always 1).
extern "C" __attribute__((visibility("default"))) int ProcessChangeEntry(
    qn::dbms::db_changeentryrec* pEntry, unsigned short wUnused, BOARD_OBJECT* hbrd);

// The per-process client registry (one open catalog per process) and the task table.
#pragma once

#include <sys/types.h>
#include <cstdint>

#include "foundation/status.h"

struct BOARD_OBJECT;

namespace catstore {

inline constexpr uint32_t CLIENT_TAG = 0x06221984;

struct ClientEntry {
    ClientEntry* pNext = nullptr;
    pid_t pid = 0;
    uint32_t dwSerial = 0;
    uint32_t dwClientTag = CLIENT_TAG;
};

// Registers a client entry for the calling process; DBClientAlreadyOpen when the process has one
// already.
DBStatus RegisterClient(ClientEntry** ppEntry);
// Removes and frees an entry; DBClientNotFound when it is not in the list.
DBStatus RemoveClient(ClientEntry* pEntry);
// True when the calling process has a client entry (a catalog open or connected).
bool ProcessHasClient();
// True when the entry is registered.
bool IsClientRegistered(const ClientEntry* pEntry);

// The task table: 16 entries, one per process that bound a catalog.
struct TaskEntry {
    uint16_t wSlot = 0;
    pid_t pid = 0;
    void* hWindow = nullptr;  // the hidden notification object; carries nothing
    BOARD_OBJECT* hbrd = nullptr;
    char szWindowName[40] = {};  // "IPC Handler -- Task 0x%04X" with the process id
};
// The message registered once per process for cross-task notification (it carries nothing).
inline constexpr const char* CROSS_TASK_MESSAGE = "QNI CROSS TASK NOTIFICATION";
// The process's registered message number (registered at the first binding; 0 before).
uint32_t CrossTaskMessage();
inline constexpr int TASK_TABLE_SIZE = 16;

// The calling process's entry (a free one is taken when there is none); nullptr when full.
TaskEntry* FindTaskEntry(bool fCreate);
// Records the board in the calling process's entry and makes its notification object.
DBStatus BindTask(BOARD_OBJECT* hbrd);
// Clears the calling process's entry.
void ClearTask();
// The first entry of the table that holds a notification object; nullptr when none.
TaskEntry* FirstBoundTask();

}  // namespace catstore

#include "registry.h"

#include <unistd.h>

#include <cstdio>
#include <new>

namespace catstore {

// Only the calling thread of the API (under the API lock) uses these.
static ClientEntry* s_pClients = nullptr;
static uint32_t s_dwClientSerial = 0;
static TaskEntry s_aTasks[TASK_TABLE_SIZE];
static int s_nWindowTag = 0;  // address source for the notification objects
static uint32_t s_uCrossTaskMessage = 0;

DBStatus RegisterClient(ClientEntry** ppEntry) {
    *ppEntry = nullptr;
    if (s_dwClientSerial == 0) {
        s_pClients = nullptr;
    }
    pid_t pid = getpid();
    for (ClientEntry* p = s_pClients; p != nullptr; p = p->pNext) {
        if (p->pid == pid) {
            return DBClientAlreadyOpen;
        }
    }
    auto* pEntry = new (std::nothrow) ClientEntry;
    if (pEntry == nullptr) {
        return DBOutOfMemory;
    }
    pEntry->pid = pid;
    pEntry->dwSerial = s_dwClientSerial++;
    pEntry->pNext = s_pClients;
    s_pClients = pEntry;
    *ppEntry = pEntry;
    return DBSuccess;
}

DBStatus RemoveClient(ClientEntry* pEntry) {
    for (ClientEntry** pp = &s_pClients; *pp != nullptr; pp = &(*pp)->pNext) {
        if (*pp == pEntry) {
            *pp = pEntry->pNext;
            delete pEntry;
            return DBSuccess;
        }
    }
    return DBClientNotFound;
}

bool ProcessHasClient() {
    pid_t pid = getpid();
    for (ClientEntry* p = s_pClients; p != nullptr; p = p->pNext) {
        if (p->pid == pid) {
            return true;
        }
    }
    return false;
}

bool IsClientRegistered(const ClientEntry* pEntry) {
    for (ClientEntry* p = s_pClients; p != nullptr; p = p->pNext) {
        if (p == pEntry) {
            return true;
        }
    }
    return false;
}

TaskEntry* FindTaskEntry(bool fCreate) {
    pid_t pid = getpid();
    for (TaskEntry& e : s_aTasks) {
        if (e.pid == pid) {
            return &e;
        }
    }
    // After a fork the parent's entries are not ours: a child sees its parent's pid only.
    if (!fCreate) {
        return nullptr;
    }
    for (TaskEntry& e : s_aTasks) {
        if (e.pid == 0) {
            e = TaskEntry{};
            e.pid = pid;
            return &e;
        }
    }
    return nullptr;
}

DBStatus BindTask(BOARD_OBJECT* hbrd) {
    TaskEntry* pEntry = FindTaskEntry(true);
    if (pEntry == nullptr) {
        return DBOutOfMemory;
    }
    pEntry->hbrd = hbrd;
    pEntry->hWindow = &s_nWindowTag;
    std::snprintf(pEntry->szWindowName, sizeof pEntry->szWindowName, "IPC Handler -- Task 0x%04X",
                  static_cast<unsigned>(pEntry->pid));
    if (s_uCrossTaskMessage == 0) {
        // Registered message numbers live in 0xC000 to 0xFFFF; the name fixes the number.
        uint32_t uHash = 0;
        for (const char* p = CROSS_TASK_MESSAGE; *p != '\0'; ++p) {
            uHash = uHash * 31 + static_cast<unsigned char>(*p);
        }
        s_uCrossTaskMessage = 0xC000u + (uHash % 0x4000u);
    }
    return DBSuccess;
}

uint32_t CrossTaskMessage() {
    return s_uCrossTaskMessage;
}

void ClearTask() {
    TaskEntry* pEntry = FindTaskEntry(false);
    if (pEntry != nullptr) {
        *pEntry = TaskEntry{};
    }
}

TaskEntry* FirstBoundTask() {
    for (TaskEntry& e : s_aTasks) {
        if (e.hWindow != nullptr && e.hbrd != nullptr) {
            return &e;
        }
    }
    return nullptr;
}

}  // namespace catstore

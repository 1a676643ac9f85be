#include "reclaim.h"

#include <cstddef>
#include <new>
#include <utility>
#include <vector>

namespace catstore {

namespace {

struct Pending {
    void* pv;
    void (*pfnFree)(void*);
    bool fQuarantine = false;
};

// Freed handles wait here, oldest first, before their memory goes back.
constexpr size_t QUARANTINE_SIZE = 4096;
struct Quarantine {
    Pending aEntries[QUARANTINE_SIZE] = {};
    size_t nNext = 0;
};
Quarantine* s_pQuarantine = nullptr;

void Quarantined(void* pv, void (*pfnFree)(void*)) {
    if (s_pQuarantine == nullptr) {
        s_pQuarantine = new (std::nothrow) Quarantine;
        if (s_pQuarantine == nullptr) {
            pfnFree(pv);
            return;
        }
    }
    Pending& slot = s_pQuarantine->aEntries[s_pQuarantine->nNext];
    s_pQuarantine->nNext = (s_pQuarantine->nNext + 1) % QUARANTINE_SIZE;
    Pending oldest = slot;
    slot = {pv, pfnFree};
    if (oldest.pv != nullptr) {
        oldest.pfnFree(oldest.pv);
    }
}

// The exported calls are serialised by the process's call lock, so one depth and one list serve
// the whole process.
int s_nDepth = 0;
std::vector<Pending>* s_pPending = nullptr;
std::vector<Pending>* s_pActions = nullptr;

void RunActions() {
    while (s_pActions != nullptr && !s_pActions->empty()) {
        std::vector<Pending> now;
        now.swap(*s_pActions);
        for (const Pending& p : now) {
            p.pfnFree(p.pv);
        }
    }
}

void FreePending() {
    while (s_pPending != nullptr && !s_pPending->empty()) {
        // A destructor may reclaim more: take the list as it stands and go again.
        std::vector<Pending> now;
        now.swap(*s_pPending);
        for (const Pending& p : now) {
            if (p.fQuarantine) {
                Quarantined(p.pv, p.pfnFree);
            } else {
                p.pfnFree(p.pv);
            }
        }
    }
}

}  // namespace

CCallDepth::CCallDepth() {
    ++s_nDepth;
}

CCallDepth::~CCallDepth() {
    if (s_nDepth == 1) {
        // The actions run as a call of their own: what they free waits for their end.
        RunActions();
    }
    if (--s_nDepth == 0) {
        FreePending();
    }
}

int CallDepth() {
    return s_nDepth;
}

void QuarantineLater(void* pv, void (*pfnFree)(void*)) {
    if (s_nDepth == 0) {
        Quarantined(pv, pfnFree);
        return;
    }
    try {
        if (s_pPending == nullptr) {
            s_pPending = new std::vector<Pending>;
        }
        s_pPending->push_back({pv, pfnFree, true});
    } catch (...) {
        // As in ReclaimLater: kept, never dangling.
    }
}

void DeferToOutermost(void (*pfnAction)(void*), void* pv) {
    if (s_nDepth == 0) {
        pfnAction(pv);
        return;
    }
    if (s_pActions == nullptr) {
        s_pActions = new std::vector<Pending>;
    }
    s_pActions->push_back({pv, pfnAction});
}

void ReclaimLater(void* pv, void (*pfnFree)(void*)) {
    if (s_nDepth == 0) {
        pfnFree(pv);
        return;
    }
    try {
        if (s_pPending == nullptr) {
            s_pPending = new std::vector<Pending>;
        }
        s_pPending->push_back({pv, pfnFree});
    } catch (...) {
        // Without memory to remember it the object is kept: a leak, never a dangling pointer.
    }
}

}  // namespace catstore

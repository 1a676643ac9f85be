#include "notify.h"

#include "board.h"

namespace catstore {

static constexpr size_t MAX_DELIVERED = 100000;

void QueueEvent(BOARD_OBJECT* hbrd, const ChangeEvent& ev) {
    if (hbrd->pNotify != nullptr) {
        hbrd->pNotify->queued.push_back(ev);
    }
}

void SendDeferred(BOARD_OBJECT* hbrd) {
    NotifyTable* p = hbrd->pNotify;
    if (p == nullptr) {
        return;
    }
    for (const ChangeEvent& ev : p->queued) {
        if (p->delivered.size() >= MAX_DELIVERED) {
            p->delivered.erase(
                p->delivered.begin(),
                p->delivered.begin() + static_cast<std::ptrdiff_t>(MAX_DELIVERED / 2));
        }
        p->delivered.push_back(ev);
    }
    p->queued.clear();
}

void NotifyUsage(const NotifyTable* pTable, uint32_t* pdwCount, uint32_t* pcb, bool fCompact) {
    if (pTable == nullptr) {
        *pdwCount = 0;
        *pcb = 0;
        return;
    }
    auto* p = const_cast<NotifyTable*>(pTable);
    if (fCompact) {
        p->delivered.clear();
        p->delivered.shrink_to_fit();
    }
    *pdwCount = static_cast<uint32_t>(p->queued.size() + p->delivered.size());
    *pcb = static_cast<uint32_t>(sizeof(NotifyTable) +
                                 (p->queued.capacity() + p->delivered.capacity()) *
                                     sizeof(ChangeEvent));
}

}  // namespace catstore

extern "C" int ProcessChangeEntry(qn::dbms::db_changeentryrec* pEntry, unsigned short,
                                  BOARD_OBJECT* hbrd) {
    if (pEntry == nullptr || !catstore::IsLiveBoard(hbrd)) {
        return 1;
    }
    uint16_t wLevel = static_cast<uint16_t>(pEntry->changeaccess & 0xFFFF);
    uint16_t wId = static_cast<uint16_t>(pEntry->changeaccess >> 16);
    bool fAccessChange = pEntry->changekind == 2 && (pEntry->changefields & 0x10000) != 0;
    if (!fAccessChange && !catstore::IsVisibleTo(hbrd, wLevel, wId, 0)) {
        return 1;
    }
    catstore::ChangeEvent ev;
    ev.dwItemID = pEntry->changeitemid;
    ev.dwParentID = pEntry->changeparentid;
    ev.wKind = pEntry->changekind;
    ev.dwFields = pEntry->changefields;
    ev.wUserID = pEntry->changeuserid;
    ev.fFromLog = true;
    catstore::QueueEvent(hbrd, ev);
    return 1;
}

#include "handles.h"

#include <memory>
#include <string>

#include "board.h"
#include "cache.h"
#include "notify.h"
#include "platform/liveobjects.h"
#include "reclaim.h"
#include "trace.h"

namespace catstore {

using qn::platform::ObjectKind;

bool IsLiveItem(const ITEM_OBJECT* hItem) {
    return hItem != nullptr && qn::platform::IsLiveObject(hItem, ObjectKind::Item);
}

bool CheckItemHandle(const ITEM_OBJECT* hItem, const char* pszParameter) {
    if (hItem == nullptr) {
        return false;
    }
    // The check that failed, written as its assertion says it with the parameter's name.
    std::string strExpression;
    if (!IsLiveItem(hItem)) {
        strExpression = std::string("!IsBadWritePtr (") + pszParameter + ", sizeof(ITEM_OBJECT))";
    } else if (hItem->ItemEntry == nullptr) {
        strExpression = std::string("!IsBadWritePtr (") + pszParameter + "->ItemEntry,4)";
    } else if (hItem->ItemEntry->m_fDestroyed) {
        strExpression = std::string("!MFC_OBJDELETED (") + pszParameter + "->ItemEntry)";
    } else if (!IsLiveBoard(hItem->hBoard)) {
        strExpression =
            std::string("!IsBadWritePtr (") + pszParameter + "->hBoard, sizeof(BOARD_OBJECT))";
    } else {
        return true;
    }
    ReportAssertion(strExpression.c_str(), ".\\EXSM");
    return false;
}

ITEM_OBJECT* NewBlankHandle() {
    auto h = std::make_unique<ITEM_OBJECT>();
    qn::platform::RegisterLiveObject(h.get(), ObjectKind::Item);
    return h.release();
}

ITEM_OBJECT* NewDetachedHandle() {
    auto pItem = std::make_unique<DB_ITEM>();
    ITEM_OBJECT* h = NewBlankHandle();
    h->pdbItem = pItem.release();
    return h;
}

void AdoptHandle(BOARD_OBJECT* hbrd, ITEM_OBJECT* hItem) {
    AdoptHandle(hbrd, hItem, PrepareOwnedHandle(hbrd));
}

OwnedHandleSlot PrepareOwnedHandle(BOARD_OBJECT* hbrd) {
    auto& handles = hbrd->pNotify->m_ownedHandles;
    handles.reserve(handles.size() + 1);
    std::unordered_set<ITEM_OBJECT*> slotSource{nullptr};
    return slotSource.extract(nullptr);
}

void AdoptHandle(BOARD_OBJECT* hbrd, ITEM_OBJECT* hItem, OwnedHandleSlot&& slot) {
    slot.value() = hItem;
    hbrd->pNotify->m_ownedHandles.insert(std::move(slot));
    hItem->fIteratorOwned = 0;
}

ITEM_OBJECT* NewOwnedHandle(BOARD_OBJECT* hbrd, CItemEntry* pEntry, EX_ITEMNOTIFIER pfnRoutine,
                            uintptr_t ulValue) {
    // Had first, so that an allocation failure cannot leave a handle nobody frees.
    OwnedHandleSlot slot = PrepareOwnedHandle(hbrd);
    ITEM_OBJECT* h = NewBlankHandle();
    h->hBoard = hbrd;
    try {
        AttachToEntry(h, pEntry, pfnRoutine, ulValue, nullptr, -1);
    } catch (...) {
        FreeHandle(h);
        throw;
    }
    AdoptHandle(hbrd, h, std::move(slot));
    return h;
}

bool HasPrivateCopy(const ITEM_OBJECT* hItem) {
    return hItem->ItemEntry == nullptr || hItem->pdbItem != &hItem->ItemEntry->m_item;
}

void TakePrivateCopy(ITEM_OBJECT* hItem) {
    if (!HasPrivateCopy(hItem)) {
        hItem->pdbItem = new DB_ITEM(hItem->ItemEntry->m_item);
    }
}

void DropPrivateCopy(ITEM_OBJECT* hItem) {
    if (hItem->ItemEntry != nullptr && HasPrivateCopy(hItem)) {
        Reclaim(hItem->pdbItem);
        hItem->pdbItem = &hItem->ItemEntry->m_item;
    }
}

void FreeHandle(ITEM_OBJECT* hItem) {
    qn::platform::UnregisterLiveObject(hItem);
    UnregisterNotifier(hItem->pNotifier);
    hItem->pNotifier = nullptr;
    if (HasPrivateCopy(hItem)) {
        Reclaim(hItem->pdbItem);
    }
    hItem->pdbItem = nullptr;
    hItem->ItemEntry = nullptr;
    if (IsLiveBoard(hItem->hBoard) && hItem->hBoard->pNotify != nullptr) {
        hItem->hBoard->pNotify->m_ownedHandles.erase(hItem);
    }
    ReclaimHandle(hItem);
}

void FreeOwnedHandles(BOARD_OBJECT* hbrd) {
    if (hbrd->pNotify == nullptr) {
        return;
    }
    auto handles = std::move(hbrd->pNotify->m_ownedHandles);
    hbrd->pNotify->m_ownedHandles.clear();
    for (ITEM_OBJECT* h : handles) {
        FreeHandle(h);
    }
}

EX_ITEMNOTIFIER DefaultRoutine(const BOARD_OBJECT* hbrd) {
    return reinterpret_cast<EX_ITEMNOTIFIER>(hbrd->ulItemContextA);
}

uintptr_t DefaultValue(const BOARD_OBJECT* hbrd) {
    return hbrd->ulItemContextB;
}

}  // namespace catstore

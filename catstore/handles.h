// Item handles (ITEM_OBJECT): making, checking, copying on write and freeing them.
//
// A handle shows either its entry's shared copy of the item or a private copy it owns: a
// detached handle (not yet created) and an orphaned one (its item went) always own theirs.
#pragma once

#include <unordered_set>

#include "catstore.h"
#include "items.h"

namespace catstore {

class CItemEntry;

bool IsLiveItem(const ITEM_OBJECT* hItem);

// The checks of every call that takes an item handle: a live handle on a live entry of an open
// catalog. A failed check reports its assertion (with the parameter's name) and answers false.
bool CheckItemHandle(const ITEM_OBJECT* hItem, const char* pszParameter);

// A new registered handle with no item, catalog or entry (AttachHandle gives it one).
ITEM_OBJECT* NewBlankHandle();
// A new registered handle that owns an all-clear item and belongs to no catalog.
ITEM_OBJECT* NewDetachedHandle();
// A new handle the application owns on an entry, with a notifier of its own.
ITEM_OBJECT* NewOwnedHandle(BOARD_OBJECT* hbrd, CItemEntry* pEntry, EX_ITEMNOTIFIER pfnRoutine,
                            uintptr_t ulValue);
// Makes a handle attached and owned by the application (after its create).
void AdoptHandle(BOARD_OBJECT* hbrd, ITEM_OBJECT* hItem);
// The same with the set's room had beforehand, so that it cannot fail.
using OwnedHandleSlot = std::unordered_set<ITEM_OBJECT*>::node_type;
OwnedHandleSlot PrepareOwnedHandle(BOARD_OBJECT* hbrd);
void AdoptHandle(BOARD_OBJECT* hbrd, ITEM_OBJECT* hItem, OwnedHandleSlot&& slot);
// Ends a handle: it leaves the registry and its entry; its memory goes to the reclaimer.
void FreeHandle(ITEM_OBJECT* hItem);
// At close: every handle the application still owns on the catalog is freed.
void FreeOwnedHandles(BOARD_OBJECT* hbrd);

bool HasPrivateCopy(const ITEM_OBJECT* hItem);
// Gives a handle that shares its entry's copy a copy of its own.
void TakePrivateCopy(ITEM_OBJECT* hItem);
// Points a handle with a private copy back at its entry's copy.
void DropPrivateCopy(ITEM_OBJECT* hItem);

// The catalog's default notifier routine and value (item contexts A and B).
EX_ITEMNOTIFIER DefaultRoutine(const BOARD_OBJECT* hbrd);
uintptr_t DefaultValue(const BOARD_OBJECT* hbrd);

}  // namespace catstore

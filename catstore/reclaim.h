// Freeing objects that a running call may still hold a pointer to.
//
// Notifier routines run inside exported calls and may call the library again: a routine told
// about one handle may release another handle, a whole list or the handle itself while the
// delivery that called it still walks over them. Such objects are taken out of every list and
// registry at once (so they are no longer found and every call on them answers "Invalid
// Handle"), but their memory is given back only when the outermost exported call of the
// process returns. Outside exported calls it is given back at once.
#pragma once

namespace catstore {

// Counts the exported calls running on this process's stack (the call frame uses it).
class CCallDepth {
  public:
    CCallDepth();
    ~CCallDepth();
    CCallDepth(const CCallDepth&) = delete;
    CCallDepth& operator=(const CCallDepth&) = delete;
};

// How many exported calls are running (0 outside them).
int CallDepth();

void ReclaimLater(void* pv, void (*pfnFree)(void*));
// Runs an action when the outermost exported call returns (at once outside calls), before the
// memory waiting there is given back.
void DeferToOutermost(void (*pfnAction)(void*), void* pv);

template <typename T>
void Reclaim(T* p) {
    if (p != nullptr) {
        ReclaimLater(p, [](void* pv) { delete static_cast<T*>(pv); });
    }
}

// For handles the application held: the memory goes back only after many more such objects
// were freed, so that a handle used after its release still names no object at all (a new
// handle cannot have been made at its address) and is refused as invalid.
void QuarantineLater(void* pv, void (*pfnFree)(void*));

template <typename T>
void ReclaimHandle(T* p) {
    if (p != nullptr) {
        QuarantineLater(p, [](void* pv) { delete static_cast<T*>(pv); });
    }
}

}  // namespace catstore

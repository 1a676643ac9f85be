// Registry of the objects a library has handed out, so that an exported call can check a
// handle without dereferencing it: a pointer is valid only while it is registered under the
// expected kind. Freed objects are unregistered before their memory is released, so a stale
// handle fails the check instead of reading freed memory.
#pragma once

#include <cstdint>

namespace qn::platform {

enum class ObjectKind : uint32_t {
    Board = 1,
    Item,
    User,
    Group,
    Resource,
    ItemIterator,
    UserIterator,
    GroupIterator,
    ResourceIterator,
    UnreadSet,
    Other,
};

// Thread-safe; each process has one registry.
void RegisterLiveObject(const void* pObject, ObjectKind kind);
void UnregisterLiveObject(const void* pObject);
// True when pObject is registered and its kind is `kind`.
bool IsLiveObject(const void* pObject, ObjectKind kind);
// Number of registered objects of a kind (for leak checks and memory reports).
uint32_t CountLiveObjects(ObjectKind kind);

}  // namespace qn::platform

#include "platform/liveobjects.h"

#include <mutex>
#include <unordered_map>

namespace qn::platform {
namespace {

struct Registry {
    std::mutex mutex;
    std::unordered_map<const void*, ObjectKind> objects;
};

Registry& TheRegistry() {
    // Never destroyed: objects may be released from other static destructors.
    static auto* pRegistry = new Registry;
    return *pRegistry;
}

}  // namespace

void RegisterLiveObject(const void* pObject, ObjectKind kind) {
    if (pObject == nullptr)
        return;
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.objects[pObject] = kind;
}

void UnregisterLiveObject(const void* pObject) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.objects.erase(pObject);
}

bool IsLiveObject(const void* pObject, ObjectKind kind) {
    if (pObject == nullptr)
        return false;
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.objects.find(pObject);
    return it != registry.objects.end() && it->second == kind;
}

uint32_t CountLiveObjects(ObjectKind kind) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    uint32_t c = 0;
    for (const auto& entry : registry.objects) {
        if (entry.second == kind)
            c++;
    }
    return c;
}

}  // namespace qn::platform

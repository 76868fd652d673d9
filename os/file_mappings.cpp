#include "os/file_mappings.h"

#include <mutex>

namespace {

constexpr int MAPPINGS_MAX = 64;

// Plain storage, so that nothing is destroyed at exit while a download worker still runs.
std::mutex g_Mutex;
FileMapping g_Mappings[MAPPINGS_MAX];

} // namespace

bool file_mappings_add(const FileMapping &m) {
    std::lock_guard<std::mutex> lock(g_Mutex);
    for (FileMapping &slot : g_Mappings) {
        if (slot.Base == nullptr) {
            slot = m;
            return true;
        }
    }
    return false;
}

bool file_mappings_take(const void *base, FileMapping *m) {
    if (base == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(g_Mutex);
    for (FileMapping &slot : g_Mappings) {
        if (slot.Base == base) {
            *m = slot;
            slot = FileMapping{};
            return true;
        }
    }
    return false;
}

bool file_mappings_contains(const void *base) {
    if (base == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(g_Mutex);
    for (const FileMapping &slot : g_Mappings)
        if (slot.Base == base)
            return true;
    return false;
}

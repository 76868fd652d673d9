#include "app/driver_library.h"

#include "os/os_api.h"
#include "usb/driver_api.h"

namespace {

// This process's library directory, made by the first deployment; empty before.
std::string g_Directory;
// True when g_Directory is ours alone (POSIX) and goes away with the library.
bool g_DirectoryIsPrivate = false;

bool make_directory() {
    if (!g_Directory.empty())
        return true;
    std::string directory, temp;
    if (!g_OsApi.create_private_directory(&directory))
        return false;
    g_Directory = directory;
    g_DirectoryIsPrivate = !(g_OsApi.temp_directory(&temp) && temp == directory);
    return true;
}

} // namespace

int check_device_list(const uint8_t *data, uint32_t size) {
    return data != nullptr && size != 0 ? 1 : 0;
}

bool driver_library_path(std::string *path) {
    if (g_Directory.empty())
        return false;
    std::string built = os_join_path(g_Directory, DRIVER_LIBRARY_NAME);
    if (built.size() + 1 > DRIVER_LIBRARY_PATH_MAX) {
        g_OsApi.set_last_error(OS_ERROR_INVALID_PARAMETER);
        return false;
    }
    *path = built;
    return true;
}

int deploy_driver_library(const uint8_t *data, uint32_t size) {
    // A package without the library would otherwise leave an empty file that cannot be loaded.
    if (data == nullptr || size == 0)
        return -1;
    std::string path;
    if (!make_directory() || !driver_library_path(&path))
        return -1;
    // Created or truncated, then written whole; any failure deletes what was written. A stale library
    // from an earlier run (Windows keeps one that was still loaded when its process ended) is replaced
    // completely, and a file that cannot be opened is a failure whatever the last error says.
    return os_write_whole_file(path.c_str(), data, size) ? 0 : -1;
}

void unload_driver_library(void *library) {
    if (library == nullptr)
        return;
    g_DriverApi = DriverApi{};
    g_OsApi.library_unload(library);
}

int remove_driver_library() {
    if (g_Directory.empty())
        return 0;
    std::string path;
    int deleted = driver_library_path(&path) && g_OsApi.file_delete(path.c_str()) ? 1 : 0;
    if (g_DirectoryIsPrivate) {
        g_OsApi.remove_private_directory(g_Directory.c_str());
        forget_driver_library_directory();
    }
    return deleted;
}

void discard_private_driver_directory() {
    if (g_DirectoryIsPrivate)
        remove_driver_library();
}

void forget_driver_library_directory() {
    g_Directory.clear();
    g_DirectoryIsPrivate = false;
}

#include "app/driver_library.h"

#include "os/os_api.h"
#include "usb/driver_api.h"

namespace {

// This process's library directory, made by the first deployment; empty before.
std::string g_Directory;
// True when g_Directory is ours alone (POSIX) and goes away with the library.
bool g_DirectoryIsPrivate = false;
// Which of the temporary directories the next directory is made under: 0 is the temporary directory
// itself; a later one is taken when a library could not be loaded from an earlier (noexec).
size_t g_Candidate = 0;
std::vector<std::string> g_Candidates;
// A folder of its own under the temporary directory on Windows too.
bool g_OwnDirectory = false;

bool make_directory() {
    if (!g_Directory.empty())
        return true;
    std::string directory, base;
    if (g_Candidate == 0 && g_OwnDirectory) {
        if (!g_OsApi.temp_directory(&base) || !g_OsApi.create_private_directory_in(base.c_str(), &directory))
            return false;
    } else if (g_Candidate == 0) {
        if (!g_OsApi.create_private_directory(&directory))
            return false;
        if (!g_OsApi.temp_directory(&base))
            base.clear();
    } else {
        base = g_Candidates[g_Candidate];
        if (!g_OsApi.create_private_directory_in(base.c_str(), &directory))
            return false;
    }
    g_Directory = directory;
    g_DirectoryIsPrivate = directory != base;
    return true;
}

} // namespace

void use_own_driver_directory() {
    g_OwnDirectory = true;
}

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
        g_Directory.clear();
        g_DirectoryIsPrivate = false;
    }
    return deleted;
}

void discard_private_driver_directory() {
    if (g_DirectoryIsPrivate)
        remove_driver_library();
}

void forget_driver_library_directory() {
    g_OwnDirectory = false;
    g_Directory.clear();
    g_DirectoryIsPrivate = false;
    g_Candidate = 0;
    g_Candidates.clear();
}

std::string driver_library_directory() {
    return g_Directory;
}

bool move_driver_library_on(DriverMove why, std::string *failed, std::string *next) {
    if (why == DRIVER_NOT_LOADED && (g_Directory.empty() || g_OsApi.allows_execution(g_Directory.c_str())))
        return false;
    std::string temp;
    if (!g_OsApi.temp_directory(&temp) || (g_Candidate == 0 && !g_OsApi.temp_directories(&g_Candidates)))
        return false;
    // The first candidate is the temporary directory itself; the others in their order, those that
    // allow no code skipped: the library must load from where it goes.
    size_t candidate = g_Candidate + 1;
    while (candidate < g_Candidates.size() &&
           (g_Candidates[candidate] == temp || !g_OsApi.allows_execution(g_Candidates[candidate].c_str())))
        ++candidate;
    if (candidate >= g_Candidates.size())
        return false;
    // The library goes with its private directory; a shared directory (Windows) keeps its file.
    std::string path;
    if (driver_library_path(&path))
        g_OsApi.file_delete(path.c_str());
    if (g_DirectoryIsPrivate)
        g_OsApi.remove_private_directory(g_Directory.c_str());
    g_Directory.clear();
    g_DirectoryIsPrivate = false;
    *failed = g_Candidate == 0 ? temp : g_Candidates[g_Candidate];
    g_Candidate = candidate;
    *next = g_Candidates[candidate];
    return true;
}

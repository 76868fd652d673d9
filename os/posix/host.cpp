#include "os/host.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>

namespace {

// Makes every missing folder of `path` (absolute), mode 0700 like a user's data folders.
bool make_folders(const std::string &path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/')
            continue;
        const std::string folder = path.substr(0, at);
        if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

} // namespace

bool os_host_name(std::string *name) {
    char buffer[HOST_NAME_MAX + 1] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0 || buffer[0] == '\0')
        return false;
    *name = buffer;
    return true;
}

bool os_user_data_directory(const char *program, std::string *path) {
    std::string base;
    if (const char *data = std::getenv("XDG_DATA_HOME"); data != nullptr && data[0] == '/')
        base = data;
    else if (const char *home = std::getenv("HOME"); home != nullptr && home[0] == '/')
        base = std::string(home) + "/.local/share";
    if (base.empty()) {
        errno = ENOENT;
        return false;
    }
    const std::string folder = base + "/" + program;
    if (!make_folders(folder))
        return false;
    *path = folder;
    return true;
}

bool os_local_time(int64_t seconds, OsLocalTime *local) {
    const time_t when = static_cast<time_t>(seconds);
    struct tm fields = {};
    if (localtime_r(&when, &fields) == nullptr)
        return false;
    *local = {fields.tm_year + 1900,
              fields.tm_mon + 1,
              fields.tm_mday,
              fields.tm_hour,
              fields.tm_min,
              fields.tm_sec,
              static_cast<int>(fields.tm_gmtoff / 60)};
    return true;
}

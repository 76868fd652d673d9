#include <windows.h>

#include "os/host.h"

#include <cstdlib>
#include <ctime>

bool os_host_name(std::string *name) {
    char buffer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof buffer;
    if (!GetComputerNameA(buffer, &size) || size == 0)
        return false;
    name->assign(buffer, size);
    return true;
}

bool os_user_data_directory(const char *program, std::string *path) {
    std::string base;
    for (const char *variable : {"LOCALAPPDATA", "APPDATA"}) {
        char buffer[MAX_PATH + 1];
        DWORD n = GetEnvironmentVariableA(variable, buffer, sizeof buffer);
        if (n > 0 && n < sizeof buffer) {
            base.assign(buffer, n);
            break;
        }
    }
    if (base.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    const std::string folder = base + "\\" + program;
    if (!CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    *path = folder;
    return true;
}

bool os_local_time(int64_t seconds, OsLocalTime *local) {
    // The C runtime's local time knows the time zone and its daylight saving rules; the offset is the
    // difference between that clock and UTC's at the same moment.
    const __time64_t when = seconds;
    struct tm fields = {}, utc = {};
    if (_localtime64_s(&fields, &when) != 0 || _gmtime64_s(&utc, &when) != 0)
        return false;
    int days = fields.tm_yday - utc.tm_yday;
    if (fields.tm_year != utc.tm_year)
        days = fields.tm_year > utc.tm_year ? 1 : -1;
    const int offset = days * 24 * 60 + (fields.tm_hour - utc.tm_hour) * 60 + (fields.tm_min - utc.tm_min);
    *local = {fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour,
              fields.tm_min,         fields.tm_sec,     offset};
    return true;
}

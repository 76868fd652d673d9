// Windows directory and file-name services over the ANSI entry points, so that paths mean what they mean
// to the C runtime's fopen.
#include "os/file_system.h"
#include "os/file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace {

void set_last_error_text() {
    DWORD code = GetLastError();
    char text[200] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                  0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == '.'))
        text[--length] = '\0';
    if (length == 0)
        snprintf(text, sizeof text, "system error %lu", static_cast<unsigned long>(code));
    file_set_error_text(text);
}

bool is_separator(char c) {
    return c == '\\' || c == '/';
}

// The end of the path component that starts at START: the next separator, or the end of PATH.
size_t component_end(const char *path, size_t start) {
    while (path[start] != '\0' && !is_separator(path[start]))
        ++start;
    return start;
}

// The end of "server\share" starting at START, with the separator after it.
size_t share_end(const char *path, size_t start) {
    size_t end = component_end(path, start);
    if (path[end] != '\0')
        end = component_end(path, end + 1);
    return path[end] != '\0' ? end + 1 : end;
}

} // namespace

size_t file_root_length(const char *path) {
    const size_t length = strlen(path);
    if (length >= 2 && is_separator(path[0]) && is_separator(path[1])) {
        // "\\?\" and "\\.\" take the path as it is: a drive, "UNC\server\share" or a volume name follows.
        if (length >= 4 && (path[2] == '?' || path[2] == '.') && is_separator(path[3])) {
            if (_strnicmp(path + 4, "UNC", 3) == 0 && is_separator(path[7]))
                return share_end(path, 8);
            const size_t end = component_end(path, 4);
            return path[end] != '\0' ? end + 1 : end;
        }
        return share_end(path, 2);
    }
    if (length >= 2 && path[1] == ':')
        return length >= 3 && is_separator(path[2]) ? 3 : 2;
    return length >= 1 && is_separator(path[0]) ? 1 : 0;
}

bool file_status(const char *path, FileStatus *status) {
    *status = FileStatus{};
    // Opening for no access at all still reads attributes, and FILE_FLAG_BACKUP_SEMANTICS lets it open
    // directories too.
    HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
            return true;
        set_last_error_text();
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    bool ok = GetFileInformationByHandle(handle, &info) != 0;
    if (!ok)
        set_last_error_text();
    CloseHandle(handle);
    if (!ok)
        return false;
    status->Exists = true;
    status->IsDirectory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    status->IsRegular = !status->IsDirectory && (info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0;
    status->Size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    status->Volume = info.dwVolumeSerialNumber;
    status->Index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

bool file_same(const FileStatus &a, const FileStatus &b) {
    return a.Exists && b.Exists && a.Volume == b.Volume && a.Index == b.Index;
}

bool file_list_directory(const char *path, std::vector<std::string> *names) {
    names->clear();
    std::string pattern = path;
    if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/')
        pattern += '\\';
    pattern += '*';
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND)
            return true;
        set_last_error_text();
        return false;
    }
    do {
        if (strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0)
            names->emplace_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    bool ok = GetLastError() == ERROR_NO_MORE_FILES;
    if (!ok)
        set_last_error_text();
    FindClose(search);
    std::sort(names->begin(), names->end());
    return ok;
}

bool file_make_directory(const char *path) {
    if (CreateDirectoryA(path, nullptr))
        return true;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        DWORD attributes = GetFileAttributesA(path);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return true;
        SetLastError(ERROR_ALREADY_EXISTS);
    }
    set_last_error_text();
    return false;
}

FILE *file_create_new(const char *path, bool executable) {
    int fd = _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        file_set_error_text(strerror(errno));
        return nullptr;
    }
    FILE *file = _fdopen(fd, "wb");
    if (!file) {
        file_set_error_text(strerror(errno));
        _close(fd);
        DeleteFileA(path);
    }
    return file;
}

bool file_replace(const char *from, const char *to) {
    if (!MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        set_last_error_text();
        return false;
    }
    return true;
}

bool file_remove(const char *path) {
    if (!DeleteFileA(path)) {
        set_last_error_text();
        return false;
    }
    return true;
}

uint32_t file_process_id() {
    return GetCurrentProcessId();
}

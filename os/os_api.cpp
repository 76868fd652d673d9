// Portable helpers built on the OS services table.
#include "os/os_api.h"

const char *os_program_architecture() {
#if defined(_WIN32)
#if defined(_M_ARM64) || defined(__aarch64__)
    return "64-bit (ARM64)";
#elif defined(_WIN64)
    return "64-bit (x64)";
#else
    return "32-bit (x86)";
#endif
#elif defined(__x86_64__) && defined(__ILP32__)
    return "32-bit (x32)";
#elif defined(__x86_64__)
    return "64-bit (x86-64)";
#elif defined(__i386__)
    return "32-bit (i386)";
#elif defined(__aarch64__)
    return "64-bit (AArch64)";
#elif defined(__arm__)
    return "32-bit (ARM)";
#else
    return sizeof(void *) == 8 ? "64-bit" : "32-bit";
#endif
}

std::string os_join_path(const std::string &directory, const char *name) {
#ifdef _WIN32
    const char separator = '\\';
#else
    const char separator = '/';
#endif
    std::string path = directory;
    if (path.empty() || (path.back() != separator && path.back() != '/'))
        path += separator;
    path += name;
    return path;
}

bool os_write_whole_file(const char *path, const void *data, size_t size) {
    OsFile file = g_OsApi.file_create(path);
    if (file == OS_INVALID_FILE)
        return false;
    bool written = g_OsApi.file_write(file, data, size);
    uint32_t error = written ? 0 : g_OsApi.get_last_error();
    bool closed = g_OsApi.file_close(file);
    if (written && !closed)
        error = g_OsApi.get_last_error();
    if (written && closed)
        return true;
    // Deleting may set its own code; the caller wants the one of the step that failed.
    g_OsApi.file_delete(path);
    g_OsApi.set_last_error(error);
    return false;
}

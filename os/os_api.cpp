// Portable helpers built on the OS services table.
#include "os/os_api.h"

#include <cstdio>
#include <exception>

#ifdef _WIN32
#include <windows.h>
#endif

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

bool os_program_name(std::string *name) {
    std::string path;
    if (!g_OsApi.executable_path(&path))
        return false;
    size_t start = path.find_last_of("/\\");
    start = start == std::string::npos ? 0 : start + 1;
    size_t dot = path.find_last_of('.');
    size_t end = dot != std::string::npos && dot > start ? dot : path.size();
    *name = path.substr(start, end - start);
    return true;
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

uint32_t os_ansi_code_page() {
#ifdef _WIN32
    return GetACP();
#else
    return 65001;
#endif
}

size_t os_text_prefix_length(const char *text, size_t length, size_t limit, uint32_t code_page) {
    if (length <= limit)
        return length;
    if (code_page == 65001) {
        size_t cut = limit;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut;
        return cut;
    }
#ifdef _WIN32
    if (CPINFO info; GetCPInfo(code_page, &info) && info.MaxCharSize == 2) {
        size_t at = 0;
        while (at < limit) {
            const size_t width = IsDBCSLeadByteEx(code_page, static_cast<BYTE>(text[at])) ? 2 : 1;
            if (at + width > limit)
                break;
            at += width;
        }
        return at;
    }
#endif
    return limit;
}

void os_run_thread_entry(OsThreadEntry entry, void *context) noexcept {
    try {
        entry(context);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "thread ended by an exception: %s\n", error.what());
    } catch (...) {
        std::fprintf(stderr, "thread ended by an exception\n");
    }
}

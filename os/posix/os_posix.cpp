// OS services on POSIX (Linux).
#include "os/os_api.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <vector>

namespace {

bool posix_executable_path(std::string *path) {
    // readlink does not say whether the link was truncated; grow until it fits with room to spare.
    std::vector<char> buffer(256);
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0)
            return false;
        if (static_cast<size_t>(n) < buffer.size()) {
            path->assign(buffer.data(), static_cast<size_t>(n));
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool posix_temp_directory(std::string *path) {
    const char *value = nullptr;
    for (const char *name : {"TEMP", "TMPDIR"}) {
        const char *candidate = getenv(name);
        if (candidate != nullptr && candidate[0] != '\0') {
            value = candidate;
            break;
        }
    }
    std::string directory = value != nullptr ? value : "/tmp";
    while (directory.size() > 1 && directory.back() == '/')
        directory.pop_back();
    *path = directory;
    return true;
}

bool posix_temp_directories(std::vector<std::string> *paths) {
    std::vector<std::string> found;
    auto add = [&](std::string directory) {
        while (directory.size() > 1 && directory.back() == '/')
            directory.pop_back();
        if (!directory.empty() && std::find(found.begin(), found.end(), directory) == found.end())
            found.push_back(directory);
    };
    for (const char *name : {"TEMP", "TMPDIR"})
        if (const char *value = getenv(name); value != nullptr && value[0] != '\0')
            add(value);
    add("/tmp");
    add("/var/tmp");
    *paths = std::move(found);
    return true;
}

bool posix_create_private_directory_in(const char *base, std::string *path) {
    std::string pattern = os_join_path(base, "tarnex-XXXXXX");
    // mkdtemp creates the directory with mode 0700 under a name nobody else can have taken.
    if (mkdtemp(pattern.data()) == nullptr)
        return false;
    *path = pattern;
    return true;
}

bool posix_allows_execution(const char *directory) {
    struct statvfs file_system;
    return statvfs(directory, &file_system) != 0 || (file_system.f_flag & ST_NOEXEC) == 0;
}

bool posix_create_private_directory(std::string *path) {
    std::string base;
    if (!posix_temp_directory(&base))
        return false;
    std::string pattern = os_join_path(base, "tarnex-XXXXXX");
    // mkdtemp creates the directory with mode 0700 under a name nobody else can have taken.
    if (mkdtemp(pattern.data()) == nullptr)
        return false;
    *path = pattern;
    return true;
}

bool posix_remove_private_directory(const char *path) {
    return rmdir(path) == 0;
}

OsFile posix_file_create(const char *path) {
    int fd;
    do {
        fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? OS_INVALID_FILE : fd;
}

bool posix_file_write(OsFile file, const void *data, size_t size) {
    const char *position = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = write(static_cast<int>(file), position, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        position += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool posix_file_close(OsFile file) {
    // On Linux the descriptor is gone even when close reports EINTR; closing again could hit another
    // thread's new descriptor, so EINTR is not retried.
    return close(static_cast<int>(file)) == 0 || errno == EINTR;
}

bool posix_file_delete(const char *path) {
    return unlink(path) == 0;
}

// dlerror's text names the file and the loader's finding; for the findings that mean "this is no library
// for this program" the words come first, the loader's text stays behind them.
std::string posix_library_load_text(const char *reason) {
    if (reason == nullptr)
        return "unknown reason";
    for (const char *finding : {"invalid ELF header", "wrong ELF class", "file too short", "ELF file"})
        if (strstr(reason, finding) != nullptr)
            return std::string("the library is not built for this program's architecture, ") +
                   os_program_architecture() + ": it is a library of another architecture, or not a " +
                   "Linux library at all (" + reason + ")";
    return reason;
}

OsLibrary posix_library_load(const char *path, std::string *error) {
    dlerror();
    void *library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr && error != nullptr)
        *error = posix_library_load_text(dlerror());
    return library;
}

void *posix_library_symbol(OsLibrary library, const char *name) {
    return dlsym(library, name);
}

void posix_library_unload(OsLibrary library) {
    dlclose(library);
}

uint32_t posix_get_last_error() {
    return static_cast<uint32_t>(errno);
}

void posix_set_last_error(uint32_t code) {
    errno = static_cast<int>(code);
}

// strerror_r comes in a GNU flavour (returns the text) and an XSI one (fills the buffer); accept both.
[[maybe_unused]] const char *strerror_result(const char *text, const char *) {
    return text;
}
[[maybe_unused]] const char *strerror_result(int failed, const char *buffer) {
    return failed == 0 ? buffer : nullptr;
}

std::string posix_error_text(uint32_t code) {
    char buffer[256] = {};
    const char *text = strerror_result(strerror_r(static_cast<int>(code), buffer, sizeof buffer), buffer);
    if (text == nullptr || text[0] == '\0')
        return "error " + std::to_string(code);
    return text;
}

// --- UTF-8 <-> UTF-16. On POSIX the 8-bit encoding of file names, terminals and our logs is UTF-8.

constexpr char16_t REPLACEMENT = 0xFFFD;

void append_utf16(std::u16string *out, uint32_t code_point) {
    if (code_point < 0x10000) {
        out->push_back(static_cast<char16_t>(code_point));
    } else {
        code_point -= 0x10000;
        out->push_back(static_cast<char16_t>(0xD800 + (code_point >> 10)));
        out->push_back(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)));
    }
}

bool posix_ansi_to_utf16(const char *text, std::u16string *out) {
    std::u16string result;
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    while (*p != 0) {
        unsigned char lead = *p;
        uint32_t code_point;
        int continuation;
        uint32_t minimum;
        if (lead < 0x80) {
            result.push_back(lead);
            ++p;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            code_point = lead & 0x1F, continuation = 1, minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            code_point = lead & 0x0F, continuation = 2, minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            code_point = lead & 0x07, continuation = 3, minimum = 0x10000;
        } else {
            result.push_back(REPLACEMENT);
            ++p;
            continue;
        }
        int taken = 1;
        for (; taken <= continuation; ++taken) {
            if ((p[taken] & 0xC0) != 0x80)
                break; // also stops at the terminating NUL
            code_point = (code_point << 6) | (p[taken] & 0x3F);
        }
        if (taken <= continuation || code_point < minimum || code_point > 0x10FFFF ||
            (code_point >= 0xD800 && code_point <= 0xDFFF)) {
            // Skip the lead byte only: what follows gets its own chance to be a character.
            result.push_back(REPLACEMENT);
            ++p;
            continue;
        }
        append_utf16(&result, code_point);
        p += taken;
    }
    *out = std::move(result);
    return true;
}

void append_utf8(std::string *out, uint32_t code_point) {
    if (code_point < 0x80) {
        out->push_back(static_cast<char>(code_point));
    } else if (code_point < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (code_point >> 6)));
        out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else if (code_point < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (code_point >> 12)));
        out->push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (code_point >> 18)));
        out->push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    }
}

bool posix_utf16_to_ansi(const char16_t *text, std::string *out) {
    std::string result;
    for (const char16_t *p = text; *p != 0; ++p) {
        uint32_t unit = *p;
        if (unit >= 0xD800 && unit <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            append_utf8(&result, 0x10000 + ((unit - 0xD800) << 10) + (p[1] - 0xDC00));
            ++p;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            append_utf8(&result, REPLACEMENT); // a surrogate without its partner
        } else {
            append_utf8(&result, unit);
        }
    }
    *out = std::move(result);
    return true;
}

// --- Threads.

struct ThreadStart {
    OsThreadEntry entry;
    void *context;
};

void *thread_trampoline(void *argument) {
    ThreadStart start = *static_cast<ThreadStart *>(argument);
    delete static_cast<ThreadStart *>(argument);
    os_run_thread_entry(start.entry, start.context);
    return nullptr;
}

bool posix_start_thread(OsThreadEntry entry, void *context) {
    auto *start = new (std::nothrow) ThreadStart{entry, context};
    if (start == nullptr) {
        errno = ENOMEM;
        return false;
    }
    pthread_attr_t attributes;
    int result = pthread_attr_init(&attributes);
    if (result == 0) {
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        result = pthread_create(&thread, &attributes, thread_trampoline, start);
        pthread_attr_destroy(&attributes);
    }
    if (result != 0) {
        delete start;
        errno = result; // pthread functions return their code instead of setting errno
        return false;
    }
    return true;
}

constexpr OsApi POSIX_API = {
    posix_executable_path,
    posix_temp_directory,
    posix_create_private_directory,
    posix_remove_private_directory,
    posix_file_create,
    posix_file_write,
    posix_file_close,
    posix_file_delete,
    posix_library_load,
    posix_library_symbol,
    posix_library_unload,
    posix_get_last_error,
    posix_set_last_error,
    posix_error_text,
    posix_ansi_to_utf16,
    posix_utf16_to_ansi,
    posix_start_thread,
    posix_temp_directories,
    posix_create_private_directory_in,
    posix_allows_execution,
};

} // namespace

OsApi g_OsApi = POSIX_API;

const OsApi &os_platform_api() {
    return POSIX_API;
}

void os_end_process(int exit_code) {
    // _exit runs neither atexit handlers nor static destructors nor the finalizers of loaded libraries.
    _exit(exit_code);
}

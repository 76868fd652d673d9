// OS services on Windows.
#include "os/os_api.h"

#include <windows.h>

#include <process.h>

#include <cstdio>
#include <new>
#include <vector>

namespace {

bool win32_executable_path(std::string *path) {
    // GetModuleFileName truncates silently apart from filling the whole buffer; grow until it fits.
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0)
            return false;
        if (n < buffer.size()) {
            path->assign(buffer.data(), n);
            return true;
        }
        if (buffer.size() >= 32768) { // the longest path Windows has
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return false;
        }
        buffer.resize(buffer.size() * 2);
    }
}

void strip_trailing_separators(std::string *directory) {
    // Keep the separator of a drive root ("C:\").
    while (directory->size() > 3 && (directory->back() == '\\' || directory->back() == '/'))
        directory->pop_back();
}

bool win32_temp_directory(std::string *path) {
    std::string directory;
    DWORD needed = GetEnvironmentVariableA("TEMP", nullptr, 0);
    if (needed > 1) {
        directory.resize(needed);
        DWORD n = GetEnvironmentVariableA("TEMP", directory.data(), needed);
        directory.resize(n < needed ? n : 0);
    }
    if (directory.empty()) {
        // No usable TEMP: the system's own notion of the temporary path (TMP, USERPROFILE, Windows).
        char buffer[MAX_PATH + 1];
        DWORD n = GetTempPathA(sizeof buffer, buffer);
        if (n == 0 || n > MAX_PATH)
            return false;
        directory.assign(buffer, n);
    }
    strip_trailing_separators(&directory);
    *path = directory;
    return true;
}

bool win32_create_private_directory(std::string *path) {
    return win32_temp_directory(path);
}

bool win32_temp_directories(std::vector<std::string> *paths) {
    std::string temp;
    if (!win32_temp_directory(&temp))
        return false;
    *paths = {temp};
    return true;
}

// A folder of this process's own under `base`: named after the process and a count, so that two
// programs started from the same folder (two stations on one PC) never share it. It inherits the
// access rights of `base`, the user's own %TEMP%.
bool win32_create_private_directory_in(const char *base, std::string *path) {
    std::string folder = base;
    strip_trailing_separators(&folder);
    if (folder.empty() || folder.back() != '\\')
        folder += '\\';
    static LONG counter = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, "tarnex-%lu-%ld", static_cast<unsigned long>(GetCurrentProcessId()),
                      static_cast<long>(InterlockedIncrement(&counter)));
        const std::string candidate = folder + name;
        if (CreateDirectoryA(candidate.c_str(), nullptr)) {
            *path = candidate;
            return true;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return false;
}

bool win32_allows_execution(const char *) {
    return true;
}

// A folder from win32_create_private_directory_in goes (RemoveDirectory removes empty folders alone);
// the shared temporary directory, which win32_create_private_directory names, stays whatever happens.
bool win32_remove_private_directory(const char *path) {
    std::string temp;
    if (win32_temp_directory(&temp) && lstrcmpiA(temp.c_str(), path) == 0)
        return true;
    return RemoveDirectoryA(path) != 0;
}

OsFile win32_file_create(const char *path) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return OS_INVALID_FILE;
    // CREATE_ALWAYS reports "already exists" through the last-error value even on success.
    SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<OsFile>(file);
}

bool win32_file_write(OsFile file, const void *data, size_t size) {
    const char *position = static_cast<const char *>(data);
    while (size > 0) {
        DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(reinterpret_cast<HANDLE>(file), position, chunk, &written, nullptr))
            return false;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        position += written;
        size -= written;
    }
    return true;
}

bool win32_file_close(OsFile file) {
    return CloseHandle(reinterpret_cast<HANDLE>(file)) != 0;
}

bool win32_file_delete(const char *path) {
    return DeleteFileA(path) != 0;
}

std::string win32_error_text(uint32_t code) {
    char *message = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<char *>(&message), 0, nullptr);
    std::string text;
    if (n != 0 && message != nullptr)
        text.assign(message, n);
    if (message != nullptr)
        LocalFree(message);
    // System messages end in ".\r\n"; callers put the text inside sentences of their own.
    while (!text.empty() &&
           (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    if (text.empty())
        text = "error " + std::to_string(code);
    return text;
}

// Why LoadLibrary failed, in words a technician can act on; the code, and the system's text where it
// says more than its number, stay at the end for whoever reads the log.
std::string win32_library_load_text(DWORD code) {
    const std::string detail = " (error " + std::to_string(code) + ": " + win32_error_text(code) + ")";
    switch (code) {
    case ERROR_BAD_EXE_FORMAT:
        // The system's own text for this one is "%1 is not a valid Win32 application", insert unfilled.
        return std::string("the library is not built for this program's architecture, ") +
               os_program_architecture() +
               ": it is a library of another architecture, or not a Windows library at all (error 193)";
    case ERROR_EXE_MACHINE_TYPE_MISMATCH:
        return std::string("the library is built for another machine than this program's, ") +
               os_program_architecture() + " (error 216)";
    case ERROR_MOD_NOT_FOUND:
        return "the library needs another library that this system does not have" + detail;
    case ERROR_PROC_NOT_FOUND:
        return "the library needs a function that this version of Windows does not have" + detail;
    case ERROR_DLL_INIT_FAILED:
        return "the library's own start-up failed" + detail;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return "the library file is not there" + detail;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return "the library file cannot be read; a security program may be blocking it" + detail;
    case ERROR_SXS_CANT_GEN_ACTCTX:
        return "the library's manifest names components that this system does not have" + detail;
    }
    return win32_error_text(code) + " (error " + std::to_string(code) + ")";
}

OsLibrary win32_library_load(const char *path, std::string *error) {
    // The altered search path lets the library find libraries of its own next to itself.
    HMODULE library = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (library == nullptr && error != nullptr) {
        DWORD code = GetLastError();
        *error = win32_library_load_text(code);
        SetLastError(code);
    }
    return library;
}

void *win32_library_symbol(OsLibrary library, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void win32_library_unload(OsLibrary library) {
    FreeLibrary(static_cast<HMODULE>(library));
}

uint32_t win32_get_last_error() {
    return GetLastError();
}

void win32_set_last_error(uint32_t code) {
    SetLastError(code);
}

bool win32_ansi_to_utf16(const char *text, std::u16string *out) {
    static_assert(sizeof(wchar_t) == sizeof(char16_t));
    int needed = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (needed <= 0)
        return false;
    std::u16string result(static_cast<size_t>(needed), u'\0');
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, reinterpret_cast<wchar_t *>(result.data()), needed) <= 0)
        return false;
    result.resize(static_cast<size_t>(needed - 1)); // the converted NUL
    *out = std::move(result);
    return true;
}

bool win32_utf16_to_ansi(const char16_t *text, std::string *out) {
    const auto *wide = reinterpret_cast<const wchar_t *>(text);
    int needed = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return false;
    std::string result(static_cast<size_t>(needed), '\0');
    if (WideCharToMultiByte(CP_ACP, 0, wide, -1, result.data(), needed, nullptr, nullptr) <= 0)
        return false;
    result.resize(static_cast<size_t>(needed - 1));
    *out = std::move(result);
    return true;
}

struct ThreadStart {
    OsThreadEntry entry;
    void *context;
};

unsigned __stdcall thread_trampoline(void *argument) {
    ThreadStart start = *static_cast<ThreadStart *>(argument);
    delete static_cast<ThreadStart *>(argument);
    os_run_thread_entry(start.entry, start.context);
    return 0;
}

bool win32_start_thread(OsThreadEntry entry, void *context) {
    auto *start = new (std::nothrow) ThreadStart{entry, context};
    if (start == nullptr) {
        SetLastError(ERROR_OUTOFMEMORY);
        return false;
    }
    // The C runtime's thread start, so that the runtime's per-thread state is set up for the worker.
    uintptr_t thread = _beginthreadex(nullptr, 0, thread_trampoline, start, 0, nullptr);
    if (thread == 0) {
        DWORD code = GetLastError();
        delete start;
        SetLastError(code != ERROR_SUCCESS ? code : ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    CloseHandle(reinterpret_cast<HANDLE>(thread)); // detached: nobody waits for it
    return true;
}

constexpr OsApi WIN32_API = {
    win32_executable_path,
    win32_temp_directory,
    win32_create_private_directory,
    win32_remove_private_directory,
    win32_file_create,
    win32_file_write,
    win32_file_close,
    win32_file_delete,
    win32_library_load,
    win32_library_symbol,
    win32_library_unload,
    win32_get_last_error,
    win32_set_last_error,
    win32_error_text,
    win32_ansi_to_utf16,
    win32_utf16_to_ansi,
    win32_start_thread,
    win32_temp_directories,
    win32_create_private_directory_in,
    win32_allows_execution,
};

} // namespace

OsApi g_OsApi = WIN32_API;

const OsApi &os_platform_api() {
    return WIN32_API;
}

void os_end_process(int exit_code) {
    // Not ExitProcess, nor the C runtime's _exit or _Exit, which call it: ExitProcess stops the other
    // threads where they are and then runs every loaded library's DLL_PROCESS_DETACH code, the driver
    // library's and the C runtime's among them. With a download worker stopped inside the driver or
    // holding a heap or stream lock, that code may wait for ever or free what is in use. TerminateProcess
    // runs no code of the process any more.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exit_code));
    // It does not come back for the calling process; were the termination to be still under way, this
    // thread waits for it.
    for (;;)
        Sleep(INFINITE);
}

// Operating-system services: everything the core needs from the kernel and the C runtime that differs
// between Windows and POSIX. The core includes no platform header; it calls through g_OsApi.
//
// The table is filled with the platform's implementation before main() runs (constant initialisation,
// no start-up order to worry about). Tests may overwrite single entries to inject faults and put the
// platform's entry back from os_platform_api() afterwards; nothing else writes to it.
//
// Error reporting: an operation that fails leaves the native error code in the last-error value
// (GetLastError on Windows, errno on POSIX), so that callers can both act on it (the OS_ERROR_* codes
// below) and log it (error_text).
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The native codes the core acts on, named once. A driver library reports a read time-out with
// OS_ERROR_TIMEOUT and any other code once the device has gone.
#ifdef _WIN32
inline constexpr uint32_t OS_ERROR_INVALID_HANDLE = 6;     // ERROR_INVALID_HANDLE
inline constexpr uint32_t OS_ERROR_OUT_OF_MEMORY = 14;     // ERROR_OUTOFMEMORY
inline constexpr uint32_t OS_ERROR_DEVICE_FAULT = 31;      // ERROR_GEN_FAILURE
inline constexpr uint32_t OS_ERROR_INVALID_PARAMETER = 87; // ERROR_INVALID_PARAMETER
inline constexpr uint32_t OS_ERROR_TIMEOUT = 121;          // ERROR_SEM_TIMEOUT
#else
inline constexpr uint32_t OS_ERROR_INVALID_HANDLE = EBADF;
inline constexpr uint32_t OS_ERROR_OUT_OF_MEMORY = ENOMEM;
inline constexpr uint32_t OS_ERROR_DEVICE_FAULT = EIO;
inline constexpr uint32_t OS_ERROR_INVALID_PARAMETER = EINVAL;
inline constexpr uint32_t OS_ERROR_TIMEOUT = ETIMEDOUT;
#endif
// OS_ERROR_DEVICE_FAULT is what the transport reports when a driver breaks its own contract (claims
// success without moving a byte, or claims more bytes than were asked for): the driver leaves no code of
// its own in that case, and "success" must never reach a failure message.

// An open file: a HANDLE on Windows, a file descriptor on POSIX.
using OsFile = intptr_t;
inline constexpr OsFile OS_INVALID_FILE = -1;

// A loaded library: an HMODULE on Windows, a dlopen handle on POSIX.
using OsLibrary = void *;

// Entry of a thread started with start_thread. It must not let an exception escape.
using OsThreadEntry = void (*)(void *context);

struct OsApi {
    // --- Paths. Text is in the system's 8-bit encoding: the ANSI code page on Windows, UTF-8 on POSIX.

    // Full path of the running program's own executable file. Any thread, does not block on I/O.
    // False on failure, with the last-error value set; *path is then left as it was.
    bool (*executable_path)(std::string *path);

    // Directory for temporary files, without a trailing separator: on Windows %TEMP% (the system's
    // temporary path when TEMP is unset or empty); on POSIX $TEMP, else $TMPDIR, else /tmp. Any thread.
    // False only when the system can name no such directory, with the last-error value set.
    bool (*temp_directory)(std::string *path);

    // A directory only this process uses, for files it deploys at run time (the driver library). On
    // POSIX a new directory with mode 0700 under temp_directory, so that no other user can replace what
    // we are about to load; on Windows the temporary directory itself. Window thread, at start-up.
    // False on failure, with the last-error value set.
    bool (*create_private_directory)(std::string *path);

    // Removes a directory made by create_private_directory or create_private_directory_in once its files
    // are deleted; the shared temporary directory that create_private_directory names on Windows stays
    // (true, nothing done). False on failure.
    bool (*remove_private_directory)(const char *path);

    // --- Files.

    // Creates the file, or truncates an existing one to 0 bytes, and opens it for writing. Blocks on
    // disk I/O. OS_INVALID_FILE on failure, with the last-error value set.
    OsFile (*file_create)(const char *path);

    // Writes all `size` bytes at the current position, continuing short writes. Blocks on disk I/O.
    // False on failure (some bytes may have been written), with the last-error value set.
    bool (*file_write)(OsFile file, const void *data, size_t size);

    // Closes the file. False when the system reports that written data could not be committed; the
    // file is closed either way.
    bool (*file_close)(OsFile file);

    // Deletes the file. False on failure (absent file included), with the last-error value set.
    bool (*file_delete)(const char *path);

    // --- Libraries.

    // Loads the library at `path` and resolves its imports now, so that a broken library fails here and
    // not at the first call. Window thread. Null on failure, with the reason in words in *error when
    // `error` is not null: what the failure means for a technician (a library built for another
    // architecture than os_program_architecture(), a library it needs that is missing, ...), with the
    // system's code or text kept at the end for the log.
    OsLibrary (*library_load)(const char *path, std::string *error);

    // Address of the export `name`, or null when the library has no such export. Any thread.
    void *(*library_symbol)(OsLibrary library, const char *name);

    // Unloads a library from library_load. Nothing may call into it afterwards.
    void (*library_unload)(OsLibrary library);

    // --- Error values. All of them act on the calling thread's own value.

    uint32_t (*get_last_error)();
    void (*set_last_error)(uint32_t code);

    // The system's one-line description of a native error code, without a trailing newline or period
    // ("Connection timed out", "The semaphore timeout period has expired"). Never empty.
    std::string (*error_text)(uint32_t code);

    // --- Text conversion between the 8-bit encoding and UTF-16 (interface names are UTF-16).

    // Both convert a NUL-terminated text; an empty text gives an empty result. False on failure, with
    // the last-error value set. On POSIX ill-formed input is not a failure: each ill-formed sequence
    // becomes U+FFFD (in UTF-16) or its UTF-8 encoding, the usual replacement.
    bool (*ansi_to_utf16)(const char *text, std::u16string *out);
    bool (*utf16_to_ansi)(const char16_t *text, std::string *out);

    // --- Threads.

    // Starts a detached thread running entry(context); nobody joins it. Any thread. False when no thread
    // could be started (entry is then never called), with the last-error value set.
    bool (*start_thread)(OsThreadEntry entry, void *context);

    // --- Where else a library can be deployed when the temporary directory does not let one load.

    // The directories for temporary files, best first: on POSIX $TEMP, $TMPDIR, /tmp and /var/tmp, each
    // once, the first two only when set (the first is temp_directory's); on Windows the temporary
    // directory alone. Any thread. False when the system can name none.
    bool (*temp_directories)(std::vector<std::string> *paths);

    // A new directory under `base` (one of temp_directories) that only this process uses: on POSIX
    // create_private_directory's kind under `base` instead of the first; on Windows a folder with a name
    // no other process picks (what a station deploys its driver library to, so that two of them never
    // share one). Window thread. False on failure, with the last-error value set.
    bool (*create_private_directory_in)(const char *base, std::string *path);

    // False when no code can be loaded from files in `directory`: on POSIX its file system is mounted
    // noexec, and dlopen refuses every library there. True on Windows, and when it cannot be told.
    bool (*allows_execution)(const char *directory);
};

// The services in use. See the top of this file for who may write to it.
extern OsApi g_OsApi;

// The platform's own implementation, for restoring entries of g_OsApi.
const OsApi &os_platform_api();

// The architecture this program is built for, as its platform names it: "64-bit (x64)" and "32-bit
// (x86)" on Windows, "64-bit (x86-64)" on Linux, and so on. A library loaded into the process must be of
// the same.
const char *os_program_architecture();

// `directory` and `name` joined with the platform's separator.
std::string os_join_path(const std::string &directory, const char *name);

// The running program's file name without its folder and extension ("tarnex" for
// /opt/tarnex/tarnex or C:\x\tarnex.exe), as message box captions use it. False when the program's
// own path cannot be had (the last-error value says why).
bool os_program_name(std::string *name);

// Writes a whole file in one go: creates or truncates it, writes `size` bytes, closes it. On any
// failure the partial file is deleted, so no half-written file is left behind, and the last-error
// value holds the error of the step that failed. Blocks on disk I/O.
bool os_write_whole_file(const char *path, const void *data, size_t size);

// The code page of the system's 8-bit encoding: the ANSI code page on Windows (GetACP), 65001 (UTF-8)
// on POSIX.
uint32_t os_ansi_code_page();

// The length of the longest start of `text` (`length` bytes) that is at most `limit` bytes long and
// ends on a character boundary of `code_page`: a text shortened to it never ends in half a character.
// UTF-8 (65001) is cut before a continuation byte; a double-byte code page (936, 932, 949, 950 ...) is
// walked from the start, since a trail byte may look like a lead byte; single-byte pages cut anywhere.
// Double-byte pages are known on Windows only (IsDBCSLeadByteEx); elsewhere they cut anywhere.
size_t os_text_prefix_length(const char *text, size_t length, size_t limit, uint32_t code_page);

// Ends the process at once with `exit_code`, whatever its other threads are doing: no atexit handler,
// static destructor, library finalizer or detach code runs, and the system reclaims everything. For
// ending while a worker may be stopped anywhere, inside a driver library or holding a lock that such code
// would need. Flushes nothing. Any thread; does not return.
[[noreturn]] void os_end_process(int exit_code);

// Runs a thread's entry with the backstop every thread start of os/ puts around it: an exception that
// escapes the entry is caught there, one line goes to standard error, and the thread ends as if the
// entry had returned. (Entries must not let one escape; this keeps a fault from ending the process.)
void os_run_thread_entry(OsThreadEntry entry, void *context) noexcept;

// The driver library at run time: the package carries it as "AdbWinApi.dll"; start-up writes it to a
// directory of this process's, loads it from there, and shut-down deletes it again. And the check of the
// device list the package carries with it.
//
// The directory is, on POSIX, a private one made for this process (mode 0700, under $TEMP, else $TMPDIR,
// else /tmp), removed again with the library; on Windows it is %TEMP% itself (the system's temporary
// directory when TEMP is unset), unless the program asked for a folder of its own there
// (use_own_driver_directory). Everything here runs on the window thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline constexpr char DRIVER_LIBRARY_NAME[] = "AdbWinApi.dll";

// The longest library path accepted, terminator included (MAX_PATH): a longer one is refused, as the
// loader of the system this was made for would refuse it.
inline constexpr size_t DRIVER_LIBRARY_PATH_MAX = 260;

// Deploys the library into a folder of this process's own under the temporary directory on every
// platform, removed again with the library: the station's choice, so that two stations on one Windows
// PC never write over each other's library. Before the first deployment.
void use_own_driver_directory();

// Nonzero when the device list is usable: present and not empty. Its content is not interpreted.
int check_device_list(const uint8_t *data, uint32_t size);

// Writes the `size` bytes of the library to its path (making the directory first when needed). An
// existing file is replaced whole, never left with a stale tail. 0 on success; -1 when there is nothing
// to write, the directory cannot be made, the path is too long, or the file cannot be created or written
// completely (a partial file is deleted again).
int deploy_driver_library(const uint8_t *data, uint32_t size);

// The library's path, built anew; false when there is no directory yet or the path is too long.
bool driver_library_path(std::string *path);

// Unbinds the driver operations (g_DriverApi) and unloads `library`; nothing for null. Window thread,
// once nothing can call into the library any more.
void unload_driver_library(void *library);

// Deletes the library file and, on POSIX, its private directory. Returns 1 when the file was deleted,
// 0 when not (it is still loaded on Windows, or was never written); callers ignore it.
int remove_driver_library();

// Start-up failed after the library was written: on POSIX the private directory goes with the file, as
// on every way out; on Windows the file stays in %TEMP%, where the next start replaces it.
void discard_private_driver_directory();

// Forgets the directory without touching it (tests, between start-ups in one process).
void forget_driver_library_directory();

// The directory the library is deployed to, or empty before the first deployment.
std::string driver_library_directory();

// Why a deployment moves on to the next temporary directory.
enum DriverMove {
    DRIVER_NOT_WRITTEN, // no directory could be made there, or the library not written whole
    DRIVER_NOT_LOADED,  // the library was written but did not load
};

// The library could not be deployed under the current temporary directory, or did not load from there.
// When the place is to blame (not written: always, for a missing, read-only or full directory; not
// loaded: when its file system allows no code, a temporary directory mounted noexec) and another
// temporary directory that allows code is left (os/os_api.h: temp_directories; POSIX only), what was made
// in this one is discarded, the next deployment goes to that one, the name of the one that failed goes
// to *failed and the next one's to *next, and the result is true. False, with nothing changed,
// otherwise. Window thread.
bool move_driver_library_on(DriverMove why, std::string *failed, std::string *next);

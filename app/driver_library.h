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

// The library was deployed but did not load. When the reason is the place (its directory allows no
// code: a temporary directory mounted noexec), the library and its private directory are discarded,
// the next deployment goes to the next temporary directory that allows code (os/os_api.h:
// temp_directories), whose name is put in *next, and the result is true. False, with nothing changed,
// when the place is not to blame or no such directory is left. Window thread.
bool move_driver_library_on(std::string *next);

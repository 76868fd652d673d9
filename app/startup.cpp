#include "app/startup.h"

#include "app/driver_library.h"
#include "app/window_texts.h"
#include "package/image_table.h"
#include "usb/driver_api.h"

#include <cstdio>
#include <string>

namespace {

// Deploys the library and loads it. A temporary directory that cannot take the library (missing, not
// writable, full) or lets no library load from it (mounted noexec) is passed over for the next one, on
// POSIX, where there are several; standard error says which directory failed and which one comes next.
// Null when it could be neither written nor loaded anywhere, with the text of the message box in
// *failure and the reason on standard error.
OsLibrary deploy_and_load_library(const ImageSlot &driver, const char **failure) {
    if (driver.Data == nullptr) {
        std::fprintf(stderr, "%s: the package carries none\n", DRIVER_LIBRARY_NAME);
        *failure = STARTUP_DEPLOY_TEXT;
        return nullptr;
    }
    for (;;) {
        std::string failed, next;
        if (deploy_driver_library(driver.Data, driver.Size) != 0) {
            const std::string reason = g_OsApi.error_text(g_OsApi.get_last_error());
            if (!move_driver_library_on(DRIVER_NOT_WRITTEN, &failed, &next)) {
                std::fprintf(stderr, "%s: cannot write it to the temporary directory: %s\n",
                             DRIVER_LIBRARY_NAME, reason.c_str());
                *failure = STARTUP_DEPLOY_TEXT;
                return nullptr;
            }
            std::fprintf(stderr, "%s: cannot write it under %s: %s; trying %s\n", DRIVER_LIBRARY_NAME,
                         failed.c_str(), reason.c_str(), next.c_str());
            continue;
        }
        std::string path, reason;
        OsLibrary loaded = driver_library_path(&path) ? g_OsApi.library_load(path.c_str(), &reason) : nullptr;
        if (loaded != nullptr)
            return loaded;
        std::fprintf(stderr, "%s: %s\n", DRIVER_LIBRARY_NAME, reason.c_str());
        // The library's own directory is private and goes; the one to name is where it was made.
        const std::string directory = driver_library_directory();
        if (!move_driver_library_on(DRIVER_NOT_LOADED, &failed, &next)) {
            if (!directory.empty() && !g_OsApi.allows_execution(directory.c_str()))
                std::fprintf(
                    stderr,
                    "%s: %s is on a file system mounted noexec, and no other temporary directory allows "
                    "loading a library: set TMPDIR to one that does\n",
                    DRIVER_LIBRARY_NAME, directory.substr(0, directory.find_last_of("/\\")).c_str());
            *failure = STARTUP_LOAD_TEXT;
            return nullptr;
        }
        std::fprintf(stderr, "%s: %s is on a file system mounted noexec, where no library loads; trying %s\n",
                     DRIVER_LIBRARY_NAME, failed.c_str(), next.c_str());
    }
}

} // namespace

const char *start_up_flasher(OsLibrary *library) {
    *library = nullptr;

    // An executable path that cannot be had is read as an empty one, which fails to open.
    std::string self;
    if (!g_OsApi.executable_path(&self))
        self.clear();
    if (const char *error = load_image_table(self.c_str(), &g_ImageTable))
        return error;

    const ImageSlot &deviceList = g_ImageTable.Slots[SLOT_DEVICE_LIST];
    if (deviceList.Data == nullptr || check_device_list(deviceList.Data, deviceList.Size) == 0)
        return STARTUP_DEVICE_LIST_TEXT;

    const char *failure = nullptr;
    OsLibrary loaded = deploy_and_load_library(g_ImageTable.Slots[SLOT_DRIVER_LIBRARY], &failure);
    if (loaded == nullptr)
        return failure;
    // A library without every operation would crash at the first call of a missing one; it is refused
    // here like one that does not load.
    std::string missing;
    if (!bind_driver_api(loaded, &g_DriverApi, &missing)) {
        std::fprintf(stderr, "%s: missing %s\n", DRIVER_LIBRARY_NAME, missing.c_str());
        unload_driver_library(loaded);
        return STARTUP_LOAD_TEXT;
    }
    *library = loaded;
    return nullptr;
}

#include "app/startup.h"

#include "app/driver_library.h"
#include "app/window_texts.h"
#include "package/image_table.h"
#include "usb/driver_api.h"

#include <cstdio>
#include <string>

namespace {

// Loads the library deployed. A temporary directory mounted noexec refuses every library: then the
// library is deployed again to the next temporary directory, and so on; standard error says which
// directory failed and which one comes next. Null, with the reason on standard error, when it does not
// load anywhere.
OsLibrary load_deployed_library(const ImageSlot &driver) {
    for (;;) {
        std::string path, reason;
        OsLibrary loaded = driver_library_path(&path) ? g_OsApi.library_load(path.c_str(), &reason) : nullptr;
        if (loaded != nullptr)
            return loaded;
        std::fprintf(stderr, "%s: %s\n", DRIVER_LIBRARY_NAME, reason.c_str());
        // The library's own directory is private and goes; the one to name is where it was made.
        const std::string directory = driver_library_directory();
        const std::string failed = directory.substr(0, directory.find_last_of("/\\"));
        std::string next;
        if (!move_driver_library_on(&next)) {
            if (!directory.empty() && !g_OsApi.allows_execution(directory.c_str()))
                std::fprintf(
                    stderr,
                    "%s: %s is on a file system mounted noexec, and no other temporary directory allows "
                    "loading a library: set TMPDIR to one that does\n",
                    DRIVER_LIBRARY_NAME, failed.c_str());
            return nullptr;
        }
        std::fprintf(stderr, "%s: %s is on a file system mounted noexec, where no library loads; trying %s\n",
                     DRIVER_LIBRARY_NAME, failed.c_str(), next.c_str());
        if (deploy_driver_library(driver.Data, driver.Size) != 0) {
            std::fprintf(stderr, "%s: cannot write it under %s: %s\n", DRIVER_LIBRARY_NAME, next.c_str(),
                         g_OsApi.error_text(g_OsApi.get_last_error()).c_str());
            return nullptr;
        }
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

    const ImageSlot &driver = g_ImageTable.Slots[SLOT_DRIVER_LIBRARY];
    if (deploy_driver_library(driver.Data, driver.Size) != 0)
        return STARTUP_DEPLOY_TEXT;

    OsLibrary loaded = load_deployed_library(driver);
    if (loaded == nullptr)
        return STARTUP_LOAD_TEXT;
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

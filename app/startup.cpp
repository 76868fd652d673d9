#include "app/startup.h"

#include "app/driver_library.h"
#include "app/window_texts.h"
#include "package/image_table.h"
#include "usb/driver_api.h"

#include <cstdio>
#include <string>

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

    std::string path, reason;
    OsLibrary loaded = driver_library_path(&path) ? g_OsApi.library_load(path.c_str(), &reason) : nullptr;
    if (loaded == nullptr) {
        std::fprintf(stderr, "%s: %s\n", DRIVER_LIBRARY_NAME, reason.c_str());
        return STARTUP_LOAD_TEXT;
    }
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

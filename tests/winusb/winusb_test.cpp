#include "tests/winusb/winusb_test.h"

#include "os/os_api.h"

#include <windows.h>

namespace usbtest {

DriverApi g_Api = {};
std::string g_SkipReason = "the bus was not set up";
std::string g_LoadError;
std::filesystem::path g_Deployed;
OsLibrary g_Library = nullptr;

std::filesystem::path program_path() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::filesystem::path(std::wstring(path, n)).parent_path();
}

bool plant_tripwire(const std::filesystem::path &folder, const char *name) {
    std::error_code ec;
    std::filesystem::copy_file(program_path() / "tarnex_planted.dll", folder / name,
                               std::filesystem::copy_options::overwrite_existing, ec);
    return !ec;
}

void BusEnvironment::SetUp() {
    std::string reason;
    if (!prepare_bus(&reason)) {
        g_SkipReason = reason;
        return;
    }
    remove_leftover_devices();
    g_SkipReason.clear();
    if (!m_load)
        return;
    // As the flasher deploys it: a copy named AdbWinApi.dll in a folder anyone could have written to,
    // loaded with that folder first in the search path.
    g_Deployed = program_path() / ".." / "winusb-tests" / "driver";
    std::error_code ec;
    std::filesystem::remove_all(g_Deployed, ec);
    std::filesystem::create_directories(g_Deployed, ec);
    std::filesystem::copy_file(program_path() / "tarnex_winusb.dll", g_Deployed / "AdbWinApi.dll", ec);
    if (ec || !plant_tripwire(g_Deployed, "winusb.dll") || !plant_tripwire(g_Deployed, "setupapi.dll")) {
        g_LoadError = "cannot deploy the library: " + ec.message();
        return;
    }
    std::string why;
    g_Library = g_OsApi.library_load((g_Deployed / "AdbWinApi.dll").string().c_str(), &why);
    std::string missing;
    if (g_Library == nullptr || !bind_driver_api(g_Library, &g_Api, &missing))
        g_LoadError = "tarnex_winusb.dll does not load: " + why + " " + missing;
}

void BusEnvironment::TearDown() {
    remove_leftover_devices();
}

} // namespace usbtest

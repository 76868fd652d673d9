// What the tests of the WinUSB driver library share: the bus made ready once per program, the library
// deployed and loaded the way the flasher does it, and small helpers over the driver operations.
#pragma once

#include "tests/winusb/emulated_phone.h"
#include "usb/driver_api.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace usbtest {

// The twelve operations of tarnex_winusb.dll, loaded once per program from a folder of its own as
// "AdbWinApi.dll" with the flasher's loader, next to planted winusb.dll and setupapi.dll tripwires
// (planted_dll.cpp). All null until the environment has set them up.
extern DriverApi g_Api;
extern std::string g_SkipReason;         // the bus cannot be had here: tests skip
extern std::string g_LoadError;          // the library did not load: tests fail
extern std::filesystem::path g_Deployed; // the folder the library was loaded from
extern OsLibrary g_Library;

// Prepares the bus (prepare_bus) and, when asked, loads the library into this process; removes leftover
// phones before and after.
class BusEnvironment : public ::testing::Environment {
public:
    explicit BusEnvironment(bool load_library) : m_load(load_library) {}
    void SetUp() override;
    void TearDown() override;

private:
    bool m_load;
};

// Plants the tripwire as `name` in `folder`; its marker is `folder/name.loaded`.
bool plant_tripwire(const std::filesystem::path &folder, const char *name);

std::filesystem::path program_path();

} // namespace usbtest

#define USBTEST_REQUIRE_BUS()                                                                                \
    do {                                                                                                     \
        if (!usbtest::g_SkipReason.empty())                                                                  \
            GTEST_SKIP() << usbtest::g_SkipReason;                                                           \
        ASSERT_TRUE(usbtest::g_LoadError.empty()) << usbtest::g_LoadError;                                   \
    } while (0)

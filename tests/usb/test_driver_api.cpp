// Binding the driver operation table by export name.
#include "usb/driver_api.h"

#include "fake_driver.h"

#include <cstring>

namespace {

// The library handle the fake lookups are given; never dereferenced.
OsLibrary const FAKE_LIBRARY = reinterpret_cast<OsLibrary>(0x1000);

// Library lookups that know every export but the ones named in g_Absent.
std::vector<std::string> g_Absent;
void *lookup_without_absent(OsLibrary library, const char *name) {
    if (library != FAKE_LIBRARY)
        return nullptr;
    for (const std::string &absent : g_Absent)
        if (absent == name)
            return nullptr;
    return FakeDriver::symbol(name);
}

class DriverBinding : public ::testing::Test {
protected:
    void SetUp() override { g_OsApi.library_symbol = lookup_without_absent; }
    void TearDown() override { g_OsApi = os_platform_api(); }
};

} // namespace

TEST_F(DriverBinding, EveryOperationIsBoundToTheExportOfItsName) {
    g_Absent = {};
    DriverApi api = {};
    std::string missing = "stale";
    ASSERT_TRUE(bind_driver_api(FAKE_LIBRARY, &api, &missing));
    EXPECT_EQ(missing, "");
    DriverApi expected = FakeDriver::table();
    EXPECT_EQ(std::memcmp(&api, &expected, sizeof api), 0);
    EXPECT_TRUE(driver_api_complete(api));
}

TEST_F(DriverBinding, MissingExportsAreAllNamedAndNothingIsBound) {
    g_Absent = {"AdbGetSerialNumber", "AdbCloseHandle"};
    DriverApi api = FakeDriver::table(); // whatever was there before must not survive half-bound
    std::string missing;
    EXPECT_FALSE(bind_driver_api(FAKE_LIBRARY, &api, &missing));
    EXPECT_EQ(missing, "AdbGetSerialNumber, AdbCloseHandle");
    DriverApi empty = {};
    EXPECT_EQ(std::memcmp(&api, &empty, sizeof api), 0);
    EXPECT_FALSE(driver_api_complete(api));

    g_Absent = {"AdbEnumInterfaces"};
    EXPECT_FALSE(bind_driver_api(FAKE_LIBRARY, &api, nullptr));
}

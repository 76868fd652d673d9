// The transport against the simulated phone, deployed, loaded and bound by name the way the product
// does it. After every test, whatever path it took, every handle the transport opened through the
// driver must have been closed exactly once.
#include "usb/usb_device.h"

#include "deployed_sim.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

class UsbSim : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.deploy()) << sim.error;
        ASSERT_TRUE(driver_api_complete(g_DriverApi));
    }
    void TearDown() override {
        if (sim.library != nullptr) {
            TarnexSimHandleStats stats = sim.stats();
            EXPECT_EQ(stats.open_now, 0u) << sim.transcript();
            EXPECT_EQ(stats.bad_closes, 0u) << sim.transcript();
            EXPECT_EQ(stats.bad_handles, 0u) << sim.transcript();
        }
        sim.remove();
    }

    // Reopens a held device by its name the way the poll checks it: the 8-bit name back to UTF-16.
    UsbDeviceHandle *reopen(const UsbDeviceHandle *held) {
        std::u16string name;
        if (!g_OsApi.ansi_to_utf16(held->interface_name, &name))
            return nullptr;
        return open_device_interface(name.c_str());
    }

    DeployedSim sim;
};

// Four interfaces the scan must pass over, then two fastboot phones; the first of those has no serial.
const char *const CROWDED_BUS = "device adb\n"
                                "interface-class 0xff 0x42 0x01\n"
                                "device three\n"
                                "endpoints 3\n"
                                "device away\n"
                                "plugged no\n"
                                "device refusing\n"
                                "on open#1 fail\n"
                                "device first\n"
                                "serial none\n"
                                "vendor 0x0bb4\n"
                                "device second\n";

} // namespace

TEST_F(UsbSim, TheDefaultPhoneIsFoundAndItsHandleClosesCompletely) {
    UsbDeviceHandle *device = scan_for_device(is_fastboot_interface);
    ASSERT_NE(device, nullptr) << sim.transcript();
    EXPECT_NE(std::string(device->interface_name).find("#SIM-phone#"), std::string::npos)
        << device->interface_name;
    TarnexSimHandleStats stats = sim.stats();
    EXPECT_EQ(stats.open_enumerations, 0u);
    EXPECT_EQ(stats.open_interfaces, 1u);
    EXPECT_EQ(stats.open_endpoints, 2u);
    free_device(device);
}

TEST_F(UsbSim, AScanOfACrowdedBusReturnsTheFirstFastbootPhoneAndNothingElseStaysOpen) {
    ASSERT_TRUE(sim.scenario(CROWDED_BUS)) << sim.error;
    UsbDeviceHandle *device = scan_for_device(is_fastboot_interface);
    ASSERT_NE(device, nullptr) << sim.transcript();
    EXPECT_NE(std::string(device->interface_name).find("vid_0bb4"), std::string::npos);
    TarnexSimHandleStats stats = sim.stats();
    EXPECT_EQ(stats.open_now, 3u) << sim.transcript();
    // The enumeration, then adb, three, first and second with three handles each; refusing none.
    EXPECT_EQ(stats.opened, 13u) << sim.transcript();
    EXPECT_NE(sim.transcript().find("open second"), std::string::npos) << "the walk stopped at the match";
    free_device(device);
}

TEST_F(UsbSim, AHeldDeviceReopensByNameUntilItIsUnplugged) {
    UsbDeviceHandle *held = scan_for_device(is_fastboot_interface);
    ASSERT_NE(held, nullptr);
    UsbDeviceHandle *check = reopen(held);
    ASSERT_NE(check, nullptr) << "a second open while the first is held must succeed";
    EXPECT_STREQ(check->interface_name, held->interface_name);
    free_device(check);

    ASSERT_EQ(sim.unplug("phone"), 0);
    errno = 0;
    EXPECT_EQ(reopen(held), nullptr);
    EXPECT_NE(errno, 0);
    EXPECT_EQ(scan_for_device(is_fastboot_interface), nullptr);
    free_device(held); // closing handles of a departed phone still works
}

TEST_F(UsbSim, AFailedOpenReportsTheDriversErrorAndLeavesNothingOpen) {
    ASSERT_TRUE(sim.scenario("device phone\nname usb-phone\non open#1 fail\n")) << sim.error;
    EXPECT_EQ(open_device_interface(u"usb-phone"), nullptr);
    EXPECT_NE(errno, 0);
    EXPECT_EQ(g_OsApi.get_last_error(), static_cast<uint32_t>(errno));

    errno = 0;
    EXPECT_EQ(open_device_interface(u"usb-nobody"), nullptr);
#ifdef _WIN32
    EXPECT_EQ(errno, 2); // ERROR_FILE_NOT_FOUND
#else
    EXPECT_EQ(errno, ENOENT);
#endif
    UsbDeviceHandle *device = open_device_interface(u"usb-phone"); // the second open is allowed
    ASSERT_NE(device, nullptr);
    EXPECT_STREQ(device->interface_name, "usb-phone");
    free_device(device);
}

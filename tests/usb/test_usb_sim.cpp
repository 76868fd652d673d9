// Discovery and handles against the simulated phone.
#include "usb/usb_device.h"

#include "usb_sim_test.h"

#include <cerrno>
#include <string>

namespace {

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

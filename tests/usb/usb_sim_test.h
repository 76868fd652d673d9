// The fixture of the transport tests against the simulated phone, deployed, loaded and bound by name
// the way the product does it. After every test, whatever path it took, every handle the transport
// opened through the driver must have been closed exactly once.
#pragma once

#include "deployed_sim.h"
#include "usb/usb_device.h"

#include <gtest/gtest.h>

#include <string>

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

// What the protocol tests share: the simulated phone deployed, loaded and bound by name the way the
// product does it and opened through the real transport, the exchange's wire traffic taken from the
// phone's transcript, and the standard-error lines of a call.
#pragma once

#include "fastboot/command_exchange.h"
#include "os/os_api.h"
#include "tests/support/test_data.h"
#include "tests/usb/deployed_sim.h"
#include "usb/usb_device.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

// The code the simulated phone leaves once it has left the bus.
#ifdef _WIN32
inline constexpr uint32_t SIM_DEVICE_GONE = 1167; // ERROR_DEVICE_NOT_CONNECTED
#else
inline constexpr uint32_t SIM_DEVICE_GONE = ENODEV;
#endif

using Lines = std::vector<std::string>;

// "WHAT (the system's description of CODE)", as the exchange words a failed transfer.
inline std::string described(const char *what, uint32_t code) {
    return std::string(what) + " (" + g_OsApi.error_text(code) + ")";
}

// Everything `run` writes to standard error.
inline std::string stderr_of(const std::function<void()> &run) {
    testing::internal::CaptureStderr();
    run();
    return testing::internal::GetCapturedStderr();
}

// After every test, whatever path it took, every handle the exchange opened through the driver must have
// been closed exactly once.
class FastbootSim : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.deploy()) << sim.error;
        ASSERT_TRUE(driver_api_complete(g_DriverApi));
        ErrorText[0] = '\0';
    }
    void TearDown() override {
        free_device(device);
        if (sim.library != nullptr) {
            TarnexSimHandleStats stats = sim.stats();
            EXPECT_EQ(stats.open_now, 0u) << sim.transcript();
            EXPECT_EQ(stats.bad_closes, 0u) << sim.transcript();
            EXPECT_EQ(stats.bad_handles, 0u) << sim.transcript();
        }
        sim.remove();
    }

    // Starts the phone afresh with `scenario` and opens it the way the poll does.
    void open(const std::string &scenario = "device phone\n") {
        ASSERT_TRUE(sim.scenario(scenario.c_str())) << sim.error;
        device = scan_for_device(is_fastboot_interface);
        ASSERT_NE(device, nullptr);
    }

    // The exchange as the phone saw it: commands in, replies out, and each data phase's byte count.
    Lines wire() const {
        Lines lines;
        std::istringstream transcript(sim.transcript());
        for (std::string line; std::getline(transcript, line);) {
            if (line.rfind("out ", 0) == 0 || line.rfind("in ", 0) == 0)
                lines.push_back(line);
            else if (line.rfind("data ", 0) == 0)
                lines.push_back(line.substr(0, line.find(" crc32=")));
        }
        return lines;
    }

    DeployedSim sim;
    UsbDeviceHandle *device = nullptr;
};

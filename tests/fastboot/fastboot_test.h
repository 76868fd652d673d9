// What the protocol tests share: the simulated phone opened through the real transport, the exchange's
// wire traffic taken from the phone's transcript, and the standard-error lines of a call.
#pragma once

#include "fastboot/command_exchange.h"
#include "os/os_api.h"
#include "tests/usb/usb_sim_test.h"

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

// Bytes that differ from one position to the next, so that a shifted or cut data phase shows.
inline std::string image_bytes(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 131) ^ (i >> 9));
    return data;
}

class FastbootSim : public UsbSim {
protected:
    void SetUp() override {
        UsbSim::SetUp();
        ErrorText[0] = '\0';
    }
    void TearDown() override {
        free_device(device);
        UsbSim::TearDown();
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

    UsbDeviceHandle *device = nullptr;
};

// A USB bus with simulated phones on it, as the cases of the libusb driver library meet it. The cases are
// written once against this (library_cases.cpp: the library through its twelve operations;
// flasher_cases.cpp: the console and Qt flashers with the library as their driver) and run on every bus
// that implements it. Each test program links exactly one bus, which defines make_test_bus() and main():
//
//   umockdev_bus.cpp                 libusb over umockdev's emulated usbdevfs, the phones served in the
//                                    test process (rigs/usb_emulation), on the build machine;
//   tests/kernel_usb/gadget_bus.cpp  the kernel's own USB stack (usbcore, usbfs, dummy_hcd, hub events),
//                                    the phones served by tarnex-gadget-phone (rigs/gadget), in the test
//                                    machine of rigs/vm.
//
// Both serve the simulated phone's model (drivers/sim), so the same scenario means the same phone. Where
// a bus cannot do what a case needs, the case skips there by name (REQUIRE_BUS) and says why.
#pragma once

#include "tests/libusb/driver_library.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

enum class BusFeature {
    HOST_CALLS,    // the phones see the host driver's calls: opens, claims, counted time-outs, short writes
    PHONE_PROCESS, // the phones run in a process of their own, which a case may kill
    OTHER_DEVICES, // a device beside the phones that the library must never touch, and a fault if it does
};

struct BusOptions {
    bool other_devices = false; // OTHER_DEVICES: a memory stick beside the phones
    // Serial numbers beyond the scenario format's printable ASCII (UTF-8, label -> text).
    std::map<std::string, std::string> serials;
};

// What a phone does with the bytes of data phases; commands it always takes.
enum class DataPhases {
    TAKEN,  // takes them, and first those it held, in the order they came
    HELD,   // takes none: the host's transfers wait (NAKed), as at a phone that is busy
    HALTED, // halts its bulk OUT endpoint: the host's transfer under way ends with a stall, after the
            // bytes before the order's byte, and so does every later one
};

// What the host's bulk OUT transfers to a phone came to, since its last set_data_phases.
struct OutTransfers {
    uint32_t pending = 0;   // submitted, not ended
    uint32_t cancelled = 0; // ended by the host's cancel (a time-out, a close)
};

// What the host driver did to the phones, on a bus with HOST_CALLS.
struct HostCalls {
    uint64_t opens = 0;    // device files of phones opened
    uint64_t claims = 0;   // claims of a fastboot interface
    uint64_t releases = 0; // releases of one
};

class TestBus {
public:
    virtual ~TestBus() = default;

    // Why this bus cannot run here at all, or empty when it can.
    virtual std::string unavailable() = 0;
    // Why this bus cannot do `feature`, or empty when it can.
    virtual std::string lacks(BusFeature feature) = 0;

    // Puts the phones of `scenario` (drivers/sim/README.md) on the bus; false, with a test failure, when
    // it cannot. Programs started afterwards see the bus too.
    virtual bool start(const std::string &scenario, const BusOptions &options) = 0;

    // The name the driver library gives phone LABEL's fastboot interface ("usb:1-4.1:1").
    virtual std::string interface_name(const std::string &label) = 0;

    // Takes phone LABEL off the bus, or puts it back on the same port; returns once the host's side of the
    // bus shows it (the library's own view follows by itself, as on any machine).
    virtual bool unplug(const std::string &label) = 0;
    virtual bool plug(const std::string &label) = 0;

    // Runs `start_read`, which begins a read of phone LABEL's bulk IN endpoint on another thread, and
    // returns true once that read is pending at the phone, false after `timeout`.
    virtual bool wait_read_pending(const std::string &label, const std::function<void()> &start_read,
                                   std::chrono::milliseconds timeout) = 0;

    // From byte `at` of a data phase on (a multiple of 512; 0 for its first byte), phone LABEL does
    // `what` with the bytes of data phases. Give it between the host's transfers: before the command that
    // starts the data phase, or while the phone holds. A transfer that reaches past `at` is cut there by
    // the kernel's phone, and by the emulated one when it halts; the emulated one takes it whole when it
    // holds. False, with a test failure, when the bus cannot.
    virtual bool set_data_phases(const std::string &label, DataPhases what, uint32_t at = 0) = 0;
    // True once phone LABEL holds a data phase at the byte of a HELD order (on the emulated bus: with a
    // transfer of the host waiting there), false after `timeout`.
    virtual bool wait_holding(const std::string &label, std::chrono::milliseconds timeout) = 0;
    // The host's bulk OUT transfers to phone LABEL since its last set_data_phases.
    virtual OutTransfers out_transfers(const std::string &label) = 0;

    // PHONE_PROCESS: ends the phones' process at once (SIGKILL), as a crash would, and reaps it.
    virtual bool kill_phones() = 0;

    // The phones' transcript so far (drivers/sim/README.md).
    virtual std::string transcript() = 0;
    // The bytes a partition of phone LABEL holds (empty when erased or never written); nullopt where the
    // bus cannot tell.
    virtual std::optional<std::vector<uint8_t>> partition(const std::string &label,
                                                          const std::string &name) = 0;
    // HOST_CALLS: what the host driver did so far.
    virtual HostCalls host_calls() = 0;

    // Takes the phones off the bus; what went wrong on it that no case asked for, or empty.
    virtual std::string stop() = 0;
};

// The bus of this test program.
std::unique_ptr<TestBus> make_test_bus();

// Generous: the kernel's bus runs on an emulated processor, on a build machine that is busy.
constexpr std::chrono::seconds BUS_SETTLE{60};

// Waits until `done` holds, looking again every few milliseconds (what the host's side of a bus shows
// follows its events by itself, as on any machine); the last verdict.
inline bool eventually(const std::function<bool()> &done, std::chrono::milliseconds timeout = BUS_SETTLE) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A case on the bus: the bus and, once it has started, the driver library bound into g_DriverApi. The
// library goes before the bus does.
class BusTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_bus = make_test_bus();
        std::string why_not = m_bus->unavailable();
        if (!why_not.empty())
            GTEST_SKIP() << why_not;
    }

    void TearDown() override {
        m_library.unload();
        if (m_bus != nullptr) {
            std::string faults = m_bus->stop();
            EXPECT_EQ(faults, "");
        }
    }

    TestBus &bus() { return *m_bus; }

    // Starts the bus and loads the library; false with a test failure. (Cases that run programs on the bus
    // start it alone, with bus().start.)
    bool start(const std::string &scenario, const BusOptions &options = {}) {
        if (!m_bus->start(scenario, options))
            return false;
        std::string error;
        if (!m_library.load(error)) {
            ADD_FAILURE() << error;
            return false;
        }
        return true;
    }

    void unload_library() { m_library.unload(); }
    bool load_library() {
        std::string error;
        bool ok = m_library.load(error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }

private:
    std::unique_ptr<TestBus> m_bus;
    libusb_test::DriverLibrary m_library;
};

// Skips the current case, by name, on a bus that cannot do what it needs.
#define REQUIRE_BUS(feature)                                                                                 \
    do {                                                                                                     \
        std::string why_not = bus().lacks(feature);                                                          \
        if (!why_not.empty())                                                                                \
            GTEST_SKIP() << why_not;                                                                         \
    } while (0)

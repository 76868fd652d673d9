// An emulated USB bus with simulated phones on it, at the level of the kernel's usbdevfs: umockdev
// provides the sysfs records and device nodes, and this class answers the ioctls that libusb sends
// (claims, URBs submitted, reaped and discarded, control requests) with the simulated phone's model
// (drivers/sim/phone.h). libusb's own code then runs unchanged above it, in this process or in any other
// process started with umockdev's preload library and this test bed's UMOCKDEV_DIR (see
// tarnex_usb_emulator.cpp and drivers/libusb/README.md).
//
// The bus: root hub "usb1", a hub on port 4, phone K of the scenario on port 4.K ("1-4.1", "1-4.2", ...),
// and, when asked for, a memory stick on port 1. Each phone has two interfaces: 0, a debug interface
// (ff/42/01, endpoints 0x81 and 0x01) that nothing may touch, and 1, the fastboot interface with the
// scenario's class and endpoint count (bulk IN 0x83 and bulk OUT 0x02, so that a driver that assumes
// 0x81 and 0x01 talks to the wrong interface). Anything done to the debug interface, a hub or the memory
// stick is recorded as a fault, and so is a bulk IN transfer submitted while the phone is still in a data
// phase: the host would be reading the status of a download before all its bytes were sent.
//
// Transfers complete in the order the phone serves them, not the order they were submitted: reads wait
// for the phone to speak while writes submitted after them complete, and the host reaps whatever is done.
//
// A phone that leaves the bus (a scenario rule, a reboot, unplug()) fails its pending URBs as the kernel
// does (-ESHUTDOWN) and every later ioctl with ENODEV, and its device is removed with a "remove" uevent;
// when it comes back it gets a new device number on the same port, as a replugged device does.
//
// Threads: umockdev calls the ioctl handler on a worker thread of its own; a bus thread of ours applies
// plugs and unplugs to the test bed and brings rebooted phones back; the public functions may be called
// from any thread. One lock guards the phones (which are not thread-safe) and all the bookkeeping.
#pragma once

#include "drivers/sim/scenario.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarnex::usb_emulation {

struct EmulationOptions {
    bool mass_storage = false;     // a memory stick on port 1 beside the phones
    std::vector<std::string> busy; // labels whose fastboot interface another program holds (claims: EBUSY)
    std::filesystem::path base;    // relative paths of the scenario are taken from here
    // Serial numbers beyond the scenario format's printable ASCII (UTF-8, label -> text): what a device's
    // string descriptor may carry.
    std::map<std::string, std::string> serials;
    // A read the host discards (libusb's time-out) is first given the phone's reply if the phone has one
    // by then, and comes back cancelled with those bytes: a reply that lands while the cancel runs.
    bool replies_race_discards = false;
};

// What the phones do with the bulk OUT transfers of data phases that the host submits (commands are
// always taken).
enum class WriteMode {
    NORMAL, // taken at once, as the phone's model takes them
    HOLD,   // left pending (a device that keeps NAKing) until the mode changes or the host discards them
    STALL,  // ended with -EPIPE, as a halted endpoint ends them
};

// Counters the tests wait on and check. All of them count since the emulation started.
struct EmulationStats {
    uint64_t opens = 0;               // device files of phones opened
    uint64_t claims = 0;              // claims of a fastboot interface granted
    uint64_t releases = 0;            // releases of a fastboot interface
    uint64_t submitted = 0;           // URBs submitted to phones (control ones included)
    uint64_t discarded = 0;           // URBs cancelled by the host (libusb's time-outs)
    uint64_t writes_discarded = 0;    // of them, bulk OUT ones
    uint32_t reads_waiting = 0;       // bulk IN URBs waiting now for the phone to say something
    uint32_t writes_waiting = 0;      // bulk OUT URBs held now (WriteMode::HOLD)
    uint32_t most_writes_waiting = 0; // the most bulk OUT URBs ever held at once
    uint64_t bus_changes = 0;         // devices added to or removed from the test bed
};

class UsbEmulation {
public:
    // Starts the bus with the scenario's phones attached as the scenario says. Sets UMOCKDEV_DIR in this
    // process's environment, so that processes started afterwards (under umockdev's preload) see this
    // bus. Null with a sentence in `error` when umockdev or the transcript file fails.
    static std::unique_ptr<UsbEmulation> start(sim::Scenario scenario, const EmulationOptions &options,
                                               std::string &error);
    ~UsbEmulation();
    UsbEmulation(const UsbEmulation &) = delete;
    UsbEmulation &operator=(const UsbEmulation &) = delete;

    // Takes a phone off the bus or puts it back; returns once the test bed shows it (a client's next
    // device list agrees). False for an unknown label.
    bool unplug(const std::string &label);
    bool plug(const std::string &label);

    // How phone `label` treats the bulk OUT transfers of data phases from byte `at` of one on: those held
    // meanwhile are served in the order they came as the new mode says (all of them for NORMAL). A transfer
    // that reaches past `at` is taken whole for HOLD, and up to `at` for STALL. False for an unknown label.
    bool set_write_mode(const std::string &label, WriteMode mode, uint32_t at = 0);

    // The phone's port path ("1-4.1"), for the names a driver gives its interfaces.
    std::optional<std::string> port_path(const std::string &label) const;

    // The simulated phones' transcript (drivers/sim/README.md), with a "fault LABEL \"TEXT\"" line for
    // each fault.
    std::string transcript() const;
    // Things done to what nobody may touch; empty when all was well.
    std::vector<std::string> faults() const;
    EmulationStats stats() const;

    // The bytes a partition holds (empty when erased); nullopt for an unknown phone or partition, or one
    // whose data mode keeps no bytes.
    std::optional<std::vector<uint8_t>> partition(const std::string &label, const std::string &name) const;

    // Waits until `ready` holds for the counters, or the time-out passes. Returns the last verdict.
    bool wait_until(const std::function<bool(const EmulationStats &)> &ready,
                    std::chrono::milliseconds timeout) const;

    // The test bed's root folder (UMOCKDEV_DIR).
    std::string root_dir() const;

    struct State;

private:
    explicit UsbEmulation(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

} // namespace tarnex::usb_emulation

// A phone on an emulated USB bus, for the tests of the WinUSB driver library under Wine.
//
// The phone's interface is registered in the test prefix with the real SetupAPI, under the Android
// interface class, and made active the way the system does when a driver enables it (the DWORD `Linked`
// under the interface's key). Its device path leads, through an NT symbolic link, to a named pipe that
// this process serves; the stand-in winusb.dll (stand_in_winusb.cpp) speaks wire_protocol.h over it. The
// device side is the simulated phone's model (drivers/sim/phone.h) with its scenario language, so every
// driver of ours meets the same phone. Unplugging clears `Linked`, removes the link and closes the pipe.
//
// Like a real WinUSB device, the phone takes one open file at a time: a second file that opens it is
// refused in WinUsb_Initialize with ERROR_ACCESS_DENIED.
//
// Every phone registers a device instance of its own, named after the tag it is given, and removes it
// when it is made (a leftover of a failed run) and when it ends. remove_leftover_devices() removes every
// test instance at once, for a test program's start and end.
#pragma once

#include "drivers/sim/phone.h"
#include "drivers/sim/transcript.h"
#include "tests/winusb/wire_protocol.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace usbtest {

// Prepares the prefix for emulated phones: puts the stand-in winusb.dll (from the folder next to this
// program) into system32 and checks that it is the one the system directory gives out (WINEDLLOVERRIDES
// must say winusb=n, or Wine's own stub is loaded). False with the reason.
bool prepare_bus(std::string *reason);

// Removes every device instance any emulated phone registered, in this run or a failed earlier one.
void remove_leftover_devices();

// The device path an interface of `instance` gets under the Android class (SetupAPI's own spelling).
struct PhoneOptions {
    // The interface's pipes in order; empty: from the scenario's endpoint count (bulk IN 0x81 and bulk
    // OUT 0x01 for the usual two).
    std::vector<wire::PipeInfo> pipes;
    // String descriptor 0; the serial number is given in these languages only.
    std::vector<uint16_t> languages = {0x0409};
};

class EmulatedPhone {
public:
    // Registers the phone and starts serving it. `tag` names its device instance (letters, digits, '-'),
    // unique among the phones of one test program; `scenario` is the simulated phone's scenario text
    // with exactly one device (plugged or not as it says). Check ok() afterwards.
    EmulatedPhone(const std::string &tag, const std::string &scenario, PhoneOptions options = {});
    // Unplugs, stops serving and removes the device instance.
    ~EmulatedPhone();
    EmulatedPhone(const EmulatedPhone &) = delete;
    EmulatedPhone &operator=(const EmulatedPhone &) = delete;

    bool ok() const { return m_error.empty(); }
    const std::string &error() const { return m_error; }

    // The interface's device path, as SetupAPI lists it.
    const std::wstring &path() const { return m_path; }
    std::string path_utf8() const;

    // As a cable would. Unplugging ends every open file on the phone; a new file needs a new open.
    void plug();
    void unplug();
    bool plugged();

    // While held, bulk OUT transfers wait in the device (as on a device that keeps NAKing) until they
    // are released or aborted.
    void hold_writes(bool hold);
    // While stalled, bulk OUT transfers fail as on a halted endpoint (ERROR_GEN_FAILURE).
    void stall_writes(bool stall);
    // While silent, descriptor requests on the control pipe get no answer: the host's control time-out
    // ends them (a device too busy to answer, not one that has gone).
    void silence_control(bool silent);

    // Files opened on the phone since it was made (successful WinUsb_Initialize), those refused because
    // another file had it open, those open now, and transfers waiting in the device now.
    uint32_t files_opened();
    uint32_t files_refused();
    uint32_t files_open();
    uint32_t transfers_waiting();
    // Device descriptors read from the phone: what the flasher's poll does once per presence check.
    uint32_t device_descriptor_reads();
    // Bulk IN transfers the host started after reading a download's DATA reply and before sending all
    // of its bytes: a status read that came too early.
    uint32_t early_reads();
    // The most bulk OUT transfers held in the device at once (hold_writes).
    uint32_t most_writes_held();

    // What the host did to the phone and what it answered (drivers/sim/README.md, "Transcript").
    std::string transcript();
    // A partition's content: its bytes, or nothing when never flashed or erased.
    std::vector<uint8_t> partition(const std::string &name);
    bool partition_touched(const std::string &name);

private:
    struct Connection;
    struct Parked {
        wire::Request request;
        std::vector<uint8_t> data;
    };
    struct Outgoing {
        wire::Response header;
        std::vector<uint8_t> data;
    };

    static DWORD WINAPI listener_main(void *self);
    static DWORD WINAPI connection_main(void *connection);
    void listen();
    void serve(Connection *c);
    // The following run with m_lock held.
    void handle(Connection *c, const wire::Request &request, std::vector<uint8_t> &data,
                std::vector<Outgoing> &out, bool *drop, std::chrono::steady_clock::time_point *until);
    bool try_read(Connection *c, const wire::Request &request, std::vector<Outgoing> &out, bool *gone,
                  std::chrono::steady_clock::time_point *until);
    bool try_write(const wire::Request &request, const std::vector<uint8_t> &data, std::vector<Outgoing> &out,
                   bool *gone, std::chrono::steady_clock::time_point *until);
    void retry_parked(Connection *c, std::vector<Outgoing> &out, bool *gone);
    void bus_plug();
    void bus_unplug();
    bool start_listening();
    void stop_listening();
    void set_linked(DWORD value);
    bool send(Connection *c, const std::vector<Outgoing> &out);

    std::string m_error;
    std::wstring m_instance, m_path, m_pipeName, m_controlKey;
    PhoneOptions m_options;
    UCHAR m_inPipe = 0, m_outPipe = 0;

    std::mutex m_lock; // the model is not thread-safe: every use of it, and all state below
    tarnex::sim::Transcript m_transcript;
    std::unique_ptr<tarnex::sim::Phone> m_phone;
    bool m_busPlugged = false;
    HANDLE m_link = nullptr;
    bool m_holdWrites = false, m_stallWrites = false, m_silentControl = false;
    std::vector<std::unique_ptr<Connection>> m_connections;
    Connection *m_active = nullptr; // the file that has the phone open
    uint32_t m_opened = 0, m_refused = 0, m_deviceReads = 0, m_earlyReads = 0, m_mostWritesHeld = 0;

    // The pipe instance the next file will open. It exists before the link does and is replaced as soon
    // as a file has opened it, so that an open never finds the path without a pipe behind it.
    HANDLE m_listening = INVALID_HANDLE_VALUE;
    OVERLAPPED m_connect = {};

    std::atomic<bool> m_stop{false};
    HANDLE m_listener = nullptr;
};

} // namespace usbtest

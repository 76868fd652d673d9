// A scripted driver library for the transport tests: interfaces with their descriptors and faults,
// transfers that play a script, and a ledger of every handle it hands out.
//
// The driver ABI carries no context pointer, so there is one fake per process (FakeDriver::get());
// FakeDriverTest resets it, installs it into g_DriverApi and checks the ledger after each test;
// FakePhoneTest adds one healthy interface, opened.
#pragma once

#include "os/os_api.h"
#include "usb/driver_api.h"
#include "usb/usb_device.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct FakeInterface {
    std::u16string name; // as enumerated and as opened by name
    std::string ansi_name;
    UsbDeviceDescriptor device = {};
    UsbInterfaceDescriptor interface = {};
    std::optional<std::string> serial; // none: AdbGetSerialNumber fails

    // Faults of the open and probe steps; a failing step leaves fault_error as the last-error value.
    bool fail_create = false;
    bool fail_read_endpoint = false;
    bool fail_write_endpoint = false;
    bool report_name_size_zero = false;
    bool fail_name = false;
    bool unterminated_name = false; // fills the whole name buffer with no NUL
    bool fail_device_descriptor = false;
    bool fail_interface_descriptor = false;
    uint32_t fault_error = 1167; // ERROR_DEVICE_NOT_CONNECTED on Windows; any code will do
};

// A healthy fastboot interface (class 0xFF, subclass 0x42, protocol 0x03, two endpoints).
FakeInterface fastboot_interface(const char *ansi_name, uint16_t vendor = 0x18D1, uint16_t product = 0xD00D);

// The outcome of one transfer call; the default is a full success.
struct FakeTransfer {
    bool ok = true;
    std::optional<uint32_t> count; // bytes reported; default: all that was asked (write) or data size (read)
    uint32_t error = 0;            // last-error value left behind
    std::string data;              // bytes a read delivers
};

struct FakeTransferCall {
    ADBAPIHANDLE endpoint;
    uint32_t size;
    uint32_t timeout_ms;
};

enum class FakeHandleKind { Enumeration, Interface, ReadEndpoint, WriteEndpoint };

struct FakeHandle {
    FakeHandleKind kind;
    size_t interface_index;
    int closes = 0;
};

class FakeDriver {
public:
    static FakeDriver &get();
    void reset();
    // The twelve operations as a bound table.
    static DriverApi table();
    // Looks up one of the twelve operations by export name, as a library would; null for others.
    static void *symbol(const char *name);

    std::vector<FakeInterface> interfaces;
    bool fail_enumeration = false;
    std::deque<FakeTransfer> write_script; // consumed one per call; empty: full success
    std::deque<FakeTransfer> read_script;  // consumed one per call; empty: time-out
    uint32_t close_error = 9999;           // what AdbCloseHandle leaves behind, to catch lost errors

    std::vector<FakeTransferCall> writes;
    std::vector<FakeTransferCall> reads;
    std::string written; // every byte the writes accepted, in order
    std::vector<FakeHandleKind> close_order;
    std::vector<std::unique_ptr<FakeHandle>> handles;

    // Handles not closed yet, and whether any handle was closed more than once (or never opened).
    std::vector<ADBAPIHANDLE> open_handles() const;
    bool bad_close = false;

    FakeHandle *find(ADBAPIHANDLE handle, FakeHandleKind kind);
    ADBAPIHANDLE make_handle(FakeHandleKind kind, size_t interface_index);
};

// Installs a fresh fake for each test and requires, at its end, that no handle was closed twice and
// none is left open (tests free what they are returned).
class FakeDriverTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    FakeDriver &fake = FakeDriver::get();
};

// A FakeDriverTest with one healthy fastboot interface "phone", opened as `handle` before the test and
// freed after it.
class FakePhoneTest : public FakeDriverTest {
protected:
    void SetUp() override;
    void TearDown() override;
    UsbDeviceHandle *handle = nullptr;
};

// The libusb driver library against the emulated phone: libusb's own code, unchanged, over an emulated
// usbdevfs, with the simulated phone's model answering beneath it. Through the twelve operations, and
// through the product's own transport (usb_device.h, bulk_transfer.h) where that is how they are used.
// These cases need what only the emulation offers (the host's calls counted, scripted time-outs, a
// claim held by another program, a memory stick that must not be touched); the cases that hold on every
// bus, the kernel's too, are in library_cases.cpp.
#include "tests/libusb/libusb_test.h"

#include "usb/bulk_transfer.h"
#include "usb/usb_device.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using namespace libusb_test;
using tarnex::usb_emulation::EmulationOptions;
using tarnex::usb_emulation::EmulationStats;

namespace {

const char PHONE_NAME[] = "usb:1-4.1:1"; // phone 1 on port 1 of the hub on port 4, interface 1

UsbDeviceHandle *open_phone() {
    return open_device(PHONE_NAME);
}

} // namespace

// --- enumeration ------------------------------------------------------------------------------------------

class LibusbEnumeration : public EmulatedBus {};

TEST_F(LibusbEnumeration, EchoesTheClassAndKeepsTheSizeProtocol) {
    REQUIRE_EMULATION();
    ASSERT_TRUE(start("device phone\n"));
    const AdbGuid other = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
    Listing l = list_interfaces(other);
    ASSERT_EQ(l.guids.size(), 1u);
    EXPECT_EQ(std::memcmp(&l.guids[0], &other, sizeof other), 0);

    ADBAPIHANDLE e = g_DriverApi.AdbEnumInterfaces(ANDROID_USB_CLASS_ID, true, true, true);
    ASSERT_NE(e, nullptr);
    uint8_t small[24];
    uint32_t size = sizeof small;
    errno = 0;
    EXPECT_FALSE(g_DriverApi.AdbNextInterface(e, reinterpret_cast<AdbInterfaceInfo *>(small), &size));
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(size, ADB_INTERFACE_NAME_OFFSET + 2 * (std::strlen(PHONE_NAME) + 1));
    // The entry that did not fit is still there for a big enough buffer.
    alignas(8) uint8_t entry[ENTRY_SIZE];
    size = ENTRY_SIZE;
    EXPECT_TRUE(g_DriverApi.AdbNextInterface(e, reinterpret_cast<AdbInterfaceInfo *>(entry), &size));
    EXPECT_TRUE(g_DriverApi.AdbCloseHandle(e));
}

TEST_F(LibusbEnumeration, ScanFindsThePhoneThroughTheTransport) {
    REQUIRE_EMULATION();
    ASSERT_TRUE(start("device phone\n"));
    UsbDeviceHandle *device = scan_for_device(is_fastboot_interface);
    ASSERT_NE(device, nullptr) << std::strerror(errno);
    EXPECT_STREQ(device->interface_name, PHONE_NAME);
    EXPECT_EQ(talk(device, "getvar:product"), "OKAYphone");
    free_device(device);
}

// --- names and opening ------------------------------------------------------------------------------------

class LibusbOpen : public EmulatedBus {};

TEST_F(LibusbOpen, AnInterfaceAnotherProgramHoldsIsRefusedWithEbusy) {
    REQUIRE_EMULATION();
    EmulationOptions options;
    options.busy = {"phone"};
    ASSERT_TRUE(start("device phone\n", options));
    errno = 0;
    EXPECT_EQ(open_phone(), nullptr);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(scan_for_device(is_fastboot_interface), nullptr);
    // The interface handle alone needs no claim: descriptors can be read, endpoints cannot be opened.
    ADBAPIHANDLE iface = open_by_name(PHONE_NAME);
    ASSERT_NE(iface, nullptr);
    errno = 0;
    EXPECT_EQ(g_DriverApi.AdbOpenDefaultBulkReadEndpoint(iface, 0, 0), nullptr);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_TRUE(g_DriverApi.AdbCloseHandle(iface));
}

TEST_F(LibusbOpen, NamesOfNothingOrOfOtherInterfacesFail) {
    REQUIRE_EMULATION();
    EmulationOptions options;
    options.mass_storage = true;
    ASSERT_TRUE(start("device phone\n", options));
    for (const char *name : {"usb:1-4.1:0", "usb:1-1:0", "usb:1-4:0", "usb:1-4.2:1", "usb:2-4.1:1", "garbage",
                             "usb:1-4.1:1 ", ""}) {
        errno = 0;
        EXPECT_EQ(open_by_name(name), nullptr) << name;
        EXPECT_EQ(errno, ENODEV) << name;
    }
    errno = 0;
    EXPECT_EQ(g_DriverApi.AdbCreateInterfaceByName(nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(emulation->stats().opens, 0u); // nothing was even opened
}

// --- descriptors and serial number
// --------------------------------------------------------------------------

class LibusbDescriptors : public EmulatedBus {};

TEST_F(LibusbDescriptors, InterfaceNameInBothForms) {
    REQUIRE_EMULATION();
    ASSERT_TRUE(start("device phone\n"));
    ADBAPIHANDLE iface = open_by_name(PHONE_NAME);
    ASSERT_NE(iface, nullptr);
    uint32_t size = 0;
    EXPECT_FALSE(g_DriverApi.AdbGetInterfaceName(iface, nullptr, &size, true));
    EXPECT_EQ(size, sizeof PHONE_NAME);
    char16_t wide[32];
    size = sizeof wide;
    ASSERT_TRUE(g_DriverApi.AdbGetInterfaceName(iface, wide, &size, false));
    EXPECT_EQ(std::u16string(wide), u16(PHONE_NAME));
    EXPECT_TRUE(g_DriverApi.AdbCloseHandle(iface));
}

// --- transfers --------------------------------------------------------------------------------------------

class LibusbTransfer : public EmulatedBus {};

TEST_F(LibusbTransfer, ScriptedTimeOutsAreWaitedOutByTheTransport) {
    REQUIRE_EMULATION();
    ASSERT_TRUE(start("device phone\non getvar:product timeouts 2\n"));
    UsbDeviceHandle *device = open_phone();
    ASSERT_NE(device, nullptr);
    // Each time-out costs a 64-byte read's 1012 ms; the transport reads again until the reply comes.
    EXPECT_EQ(talk(device, "getvar:product"), "OKAYphone");
    EXPECT_EQ(emulation->stats().discarded, 2u);
    free_device(device);
}

// --- closing
// ------------------------------------------------------------------------------------------------

class LibusbClose : public EmulatedBus {};

TEST_F(LibusbClose, StaleUnknownAndDoubleClosedHandlesFailWithEbadf) {
    REQUIRE_EMULATION();
    ASSERT_TRUE(start("device phone\n"));
    ADBAPIHANDLE iface = open_by_name(PHONE_NAME);
    ASSERT_NE(iface, nullptr);
    ADBAPIHANDLE in = g_DriverApi.AdbOpenDefaultBulkReadEndpoint(iface, 0, 0);
    ASSERT_NE(in, nullptr);
    EXPECT_TRUE(g_DriverApi.AdbCloseHandle(in));
    EXPECT_TRUE(g_DriverApi.AdbCloseHandle(iface));

    int dummy = 0;
    for (ADBAPIHANDLE h : {iface, in, static_cast<ADBAPIHANDLE>(nullptr), static_cast<ADBAPIHANDLE>(&dummy),
                           reinterpret_cast<ADBAPIHANDLE>(uintptr_t{0x7FFF0})}) {
        errno = 0;
        EXPECT_FALSE(g_DriverApi.AdbCloseHandle(h));
        EXPECT_EQ(errno, EBADF);
        char buffer[64];
        uint32_t n = 0;
        errno = 0;
        EXPECT_FALSE(g_DriverApi.AdbReadEndpointSync(h, buffer, sizeof buffer, &n, 100));
        EXPECT_EQ(errno, EBADF);
        UsbDeviceDescriptor d;
        EXPECT_FALSE(g_DriverApi.AdbGetUsbDeviceDescriptor(h, &d));
        EXPECT_EQ(errno, EBADF);
    }
    // The wrong kind of handle is no better than a stale one.
    ADBAPIHANDLE again = open_by_name(PHONE_NAME);
    ASSERT_NE(again, nullptr);
    char buffer[64];
    uint32_t n = 0;
    errno = 0;
    EXPECT_FALSE(g_DriverApi.AdbReadEndpointSync(again, buffer, sizeof buffer, &n, 100));
    EXPECT_EQ(errno, EBADF);
    EXPECT_TRUE(g_DriverApi.AdbCloseHandle(again));
}

int main(int argc, char **argv) {
    libusb_test::restart_under_umockdev(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

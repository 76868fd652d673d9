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

// --- reads that race their time-out ----------------------------------------------------------------------

class LibusbReadRace : public EmulatedBus {};

TEST_F(LibusbReadRace, AReplyThatLandsWhileTheReadIsCancelledIsKept) {
    REQUIRE_EMULATION();
    EmulationOptions options;
    options.replies_race_discards = true;
    ASSERT_TRUE(start("device phone\non getvar:product timeouts 1\n", options));
    UsbDeviceHandle *device = open_phone();
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(bulk_write(device, 0, "getvar:product", 14, 1), 14);
    // The reply comes as libusb cancels the read at its time-out: the bytes moved, and they are the
    // reply. Dropped, the flasher would read again and wait for ever for a reply already consumed.
    char reply[64];
    uint32_t got = 0;
    errno = 0;
    EXPECT_TRUE(g_DriverApi.AdbReadEndpointSync(device->read_endpoint, reply, sizeof reply, &got, 300))
        << std::strerror(errno);
    EXPECT_EQ(std::string(reply, got), "OKAYphone");
    EXPECT_EQ(emulation->stats().discarded, 1u);
    EXPECT_EQ(talk(device, "getvar:serialno"), "OKAYSIM-phone"); // and the next reply is the next one's
    free_device(device);
}

// --- writes in flight ----------------------------------------------------------------------------------
// A data chunk returns once it is submitted; the next write on its handle and the next read on the same
// interface handle wait for it and report its failure, never as a time-out.

using tarnex::usb_emulation::WriteMode;

// Chooses through the environment how many writes a write endpoint opened from now on keeps in flight.
class LibusbInFlight : public EmulatedBus {
protected:
    void TearDown() override {
        unsetenv("TARNEX_USB_IN_FLIGHT");
        EmulatedBus::TearDown();
    }

    static void in_flight(const char *limit) { setenv("TARNEX_USB_IN_FLIGHT", limit, 1); }

    bool writes_waiting(uint32_t n) {
        return emulation->wait_until([&](const EmulationStats &s) { return s.writes_waiting == n; }, 60s);
    }
};

TEST_F(LibusbInFlight, AChunkReturnsOnceSubmittedAndTheCallersBufferIsFreeAtOnce) {
    REQUIRE_EMULATION();
    ASSERT_TRUE(start("device phone\n"));
    UsbDeviceHandle *device = open_phone();
    ASSERT_NE(device, nullptr);
    std::vector<uint8_t> image = pattern(3 * 4096);
    ASSERT_EQ(talk(device, "download:00003000"), "DATA00003000");
    ASSERT_TRUE(emulation->set_write_mode("phone", WriteMode::HOLD));
    std::vector<uint8_t> chunk(4096);
    for (int i = 0; i < 3; ++i) {
        std::memcpy(chunk.data(), image.data() + i * 4096, 4096);
        EXPECT_EQ(write_chunk(device, chunk.data()), 0);
        std::memset(chunk.data(), 0xEE, chunk.size()); // the caller's buffer is its own again
    }
    // All three returned while the phone took none of them.
    EXPECT_EQ(emulation->stats().writes_waiting, 3u);
    // The status read waits for them: it reaches the phone only once they are done (the phone also
    // records a read that comes while it still expects data as a fault).
    std::string reply;
    int read_error = -1;
    std::thread reader([&] { read_error = read_reply(device, reply); });
    EXPECT_FALSE(emulation->wait_until([](const EmulationStats &s) { return s.reads_waiting > 0; }, 300ms));
    ASSERT_TRUE(emulation->set_write_mode("phone", WriteMode::NORMAL));
    reader.join();
    EXPECT_EQ(read_error, 0);
    EXPECT_EQ(reply, "OKAY");
    EXPECT_EQ(talk(device, "flash:boot"), "OKAY");
    EXPECT_EQ(emulation->partition("phone", "boot"), image);
    free_device(device);
}

TEST_F(LibusbInFlight, NoMoreThanTheLimitAreInFlightAndOneMeansOneAtATime) {
    REQUIRE_EMULATION();
    in_flight("4");
    ASSERT_TRUE(start("device phone\non download:*#2 short-write 1000\n"));
    UsbDeviceHandle *device = open_phone();
    ASSERT_NE(device, nullptr);
    std::vector<uint8_t> image = pattern(10 * 4096);
    ASSERT_EQ(talk(device, "download:0000a000"), "DATA0000a000");
    ASSERT_TRUE(emulation->set_write_mode("phone", WriteMode::HOLD));
    std::atomic<int> failures{0};
    std::thread writer([&] {
        for (int i = 0; i < 10; ++i)
            failures += write_chunk(device, image.data() + i * 4096) != 0;
    });
    // The fifth write waits for the oldest, which the phone holds.
    ASSERT_TRUE(writes_waiting(4));
    ASSERT_TRUE(emulation->set_write_mode("phone", WriteMode::NORMAL));
    writer.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(emulation->stats().most_writes_waiting, 4u);
    std::string reply;
    EXPECT_EQ(read_reply(device, reply), 0);
    EXPECT_EQ(reply, "OKAY");
    EXPECT_EQ(talk(device, "flash:boot"), "OKAY");
    EXPECT_EQ(emulation->partition("phone", "boot"), image);
    free_device(device);

    // One at a time, as before: a chunk the phone takes only in part is continued by the transport.
    in_flight("1");
    device = open_phone();
    ASSERT_NE(device, nullptr);
    std::vector<uint8_t> recovery = pattern(70001);
    EXPECT_EQ(download_and_flash(device, recovery, "recovery"), "");
    EXPECT_EQ(emulation->partition("phone", "recovery"), recovery);
    EXPECT_NE(emulation->transcript().find("data phone bytes=70001"), std::string::npos);
    free_device(device);
}

// A phone that takes part of a transfer and reports it done: no real bus ends a bulk OUT transfer that
// way (the host decides how many packets it carries; a device can only stop it with a stall, which the
// shared cases in library_cases.cpp make), but a driver must not take it for the whole chunk.
TEST_F(LibusbInFlight, AWriteThatCarriedPartOfItsBytesIsReportedByTheNextCall) {
    REQUIRE_EMULATION();
    ASSERT_TRUE(start("device phone\non download:* short-write 1000\n"));
    std::vector<uint8_t> chunk = pattern(4096);
    UsbDeviceHandle *device = open_phone();
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(talk(device, "download:00002000"), "DATA00002000");
    EXPECT_EQ(write_chunk(device, chunk.data()), 0);
    errno = 0;
    EXPECT_EQ(bulk_write(device, 0, "getvar:product", 14, 1), -1); // that chunk carried 1000 of its bytes
    EXPECT_EQ(errno, EIO);
    free_device(device);
}

int main(int argc, char **argv) {
    libusb_test::restart_under_umockdev(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// The libusb driver library against the emulated phone: libusb's own code, unchanged, over an emulated
// usbdevfs, with the simulated phone's model answering beneath it. Through the twelve operations, and
// through the product's own transport (usb_device.h, bulk_transfer.h) where that is how they are used.
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
using libusb_test::EmulatedBus;
using tarnex::usb_emulation::EmulationOptions;
using tarnex::usb_emulation::EmulationStats;

namespace {

constexpr uint32_t ENTRY_SIZE = 2048;
const char PHONE_NAME[] = "usb:1-4.1:1"; // phone 1 on port 1 of the hub on port 4, interface 1

std::u16string u16(const std::string &s) {
    return std::u16string(s.begin(), s.end());
}

struct Listing {
    std::vector<std::string> names;
    std::vector<AdbGuid> guids;
    int end_error = 0;
};

Listing list_interfaces(AdbGuid guid = ANDROID_USB_CLASS_ID) {
    Listing out;
    ADBAPIHANDLE e = g_DriverApi.AdbEnumInterfaces(guid, true, true, true);
    EXPECT_NE(e, nullptr) << std::strerror(errno);
    if (e == nullptr)
        return out;
    alignas(8) uint8_t entry[ENTRY_SIZE];
    for (;;) {
        uint32_t size = ENTRY_SIZE;
        if (!g_DriverApi.AdbNextInterface(e, reinterpret_cast<AdbInterfaceInfo *>(entry), &size)) {
            out.end_error = errno;
            break;
        }
        AdbGuid g;
        std::memcpy(&g, entry, sizeof g);
        out.guids.push_back(g);
        std::string name;
        for (uint32_t i = ADB_INTERFACE_NAME_OFFSET; i + 1 < size && (entry[i] | entry[i + 1]) != 0; i += 2)
            name += static_cast<char>(entry[i]);
        out.names.push_back(name);
    }
    EXPECT_TRUE(g_DriverApi.AdbCloseHandle(e));
    return out;
}

ADBAPIHANDLE open_by_name(const std::string &name) {
    std::u16string n = u16(name);
    return g_DriverApi.AdbCreateInterfaceByName(n.c_str());
}

// A command and its one reply, through the product's transport.
std::string talk(UsbDeviceHandle *device, const std::string &command) {
    if (bulk_write(device, 0, command.data(), static_cast<int32_t>(command.size()), 1) !=
        static_cast<int32_t>(command.size()))
        return "write failed: " + std::string(std::strerror(errno));
    char reply[64];
    int32_t n = bulk_read(device, reply, sizeof reply);
    if (n < 0)
        return "read failed: " + std::string(std::strerror(errno));
    return std::string(reply, static_cast<size_t>(n));
}

UsbDeviceHandle *open_phone() {
    std::u16string n = u16(PHONE_NAME);
    return open_device_interface(n.c_str());
}

std::vector<uint8_t> pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    return bytes;
}

// Downloads `data` and flashes it into `partition`; "" when every step was answered as it should be.
std::string download_and_flash(UsbDeviceHandle *device, const std::vector<uint8_t> &data,
                               const std::string &partition) {
    char command[32];
    std::snprintf(command, sizeof command, "download:%08x", static_cast<unsigned>(data.size()));
    std::string reply = talk(device, command);
    if (reply.substr(0, 4) != "DATA")
        return "download: " + reply;
    if (bulk_write(device, 0, data.data(), static_cast<int32_t>(data.size()), 0) !=
        static_cast<int32_t>(data.size()))
        return "data phase: " + std::string(std::strerror(errno));
    char status[64];
    int32_t n = bulk_read(device, status, sizeof status);
    if (n != 4 || std::memcmp(status, "OKAY", 4) != 0)
        return "data phase status";
    reply = talk(device, "flash:" + partition);
    return reply == "OKAY" ? "" : "flash: " + reply;
}

} // namespace

// --- enumeration ------------------------------------------------------------------------------------------

class LibusbEnumeration : public EmulatedBus {};

TEST_F(LibusbEnumeration, ListsTheFastbootInterfaceOnlyAndOpensNothing) {
    REQUIRE_EMULATION();
    EmulationOptions options;
    options.mass_storage = true;
    ASSERT_TRUE(start("device phone\n", options));

    Listing l = list_interfaces();
    // Not the memory stick, not the hubs, not the phone's debug interface 0.
    ASSERT_EQ(l.names, std::vector<std::string>{PHONE_NAME});
    EXPECT_EQ(std::memcmp(&l.guids[0], &ANDROID_USB_CLASS_ID, sizeof(AdbGuid)), 0);
    EXPECT_EQ(l.end_error, ENODATA);
    // Listing reads the descriptors libusb caches: no device file is opened, so nothing is disturbed.
    EXPECT_EQ(emulation->stats().opens, 0u);
}

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

TEST_F(LibusbEnumeration, ListsEveryFastbootPhoneAndOnlyPresentOnes) {
    REQUIRE_EMULATION();
    ASSERT_TRUE(start("device a\n"
                      "device debug-only\ninterface-class 0xff 0x42 0x01\n"
                      "device away\nplugged no\n"
                      "device c\nvendor 0x18d1\nproduct 0xd00d\n"));
    EXPECT_EQ(list_interfaces().names, (std::vector<std::string>{"usb:1-4.1:1", "usb:1-4.4:1"}));
    ASSERT_TRUE(emulation->plug("away"));
    EXPECT_EQ(list_interfaces().names,
              (std::vector<std::string>{"usb:1-4.1:1", "usb:1-4.3:1", "usb:1-4.4:1"}));
    ASSERT_TRUE(emulation->unplug("a"));
    EXPECT_EQ(list_interfaces().names, (std::vector<std::string>{"usb:1-4.3:1", "usb:1-4.4:1"}));
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

TEST_F(LibusbOpen, NamesStayTheSameAcrossAReplugButOldHandlesDie) {
    REQUIRE_EMULATION();
    ASSERT_TRUE(start("device phone\n"));
    UsbDeviceHandle *held = open_phone();
    ASSERT_NE(held, nullptr) << std::strerror(errno);

    ASSERT_TRUE(emulation->unplug("phone"));
    EXPECT_TRUE(list_interfaces().names.empty());
    errno = 0;
    EXPECT_EQ(open_by_name(PHONE_NAME), nullptr);
    EXPECT_EQ(errno, ENODEV);

    ASSERT_TRUE(emulation->plug("phone"));
    EXPECT_EQ(list_interfaces().names, std::vector<std::string>{PHONE_NAME});
    // The replugged phone has the name of the held one, but the held handles are not its handles: the
    // poll's presence check must fail, or the flasher would keep a dead phone for ever.
    errno = 0;
    EXPECT_EQ(open_by_name(PHONE_NAME), nullptr);
    EXPECT_EQ(errno, ENODEV);
    char reply[64];
    errno = 0;
    EXPECT_EQ(bulk_write(held, 0, "getvar:product", 14, 1), -1);
    EXPECT_NE(errno, OS_ERROR_TIMEOUT);
    EXPECT_EQ(bulk_read(held, reply, sizeof reply), -1);
    EXPECT_EQ(errno, ENODEV);

    // Once the dead one is released, the name opens the new phone.
    free_device(held);
    UsbDeviceHandle *fresh = open_phone();
    ASSERT_NE(fresh, nullptr) << std::strerror(errno);
    EXPECT_EQ(talk(fresh, "getvar:product"), "OKAYphone");
    free_device(fresh);
}

TEST_F(LibusbOpen, ASecondOpenSharesTheFirstClaim) {
    REQUIRE_EMULATION();
    ASSERT_TRUE(start("device phone\n"));
    UsbDeviceHandle *first = open_phone();
    ASSERT_NE(first, nullptr) << std::strerror(errno);
    UsbDeviceHandle *second = open_phone(); // the poll's presence check
    ASSERT_NE(second, nullptr) << std::strerror(errno);
    EmulationStats s = emulation->stats();
    EXPECT_EQ(s.opens, 1u);
    EXPECT_EQ(s.claims, 1u);

    free_device(first);
    EXPECT_EQ(emulation->stats().releases, 0u);
    EXPECT_EQ(talk(second, "getvar:product"), "OKAYphone");
    free_device(second);
    EXPECT_EQ(emulation->stats().releases, 1u);

    // And again from scratch: the interface was really given back.
    UsbDeviceHandle *again = open_phone();
    ASSERT_NE(again, nullptr) << std::strerror(errno);
    free_device(again);
    EXPECT_EQ(emulation->stats().claims, 2u);
}

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

TEST_F(LibusbDescriptors, DescriptorsAreTheDevicesOwn) {
    REQUIRE_EMULATION();
    ASSERT_TRUE(start("device phone\nvendor 0x18d1\nproduct 0xd00d\ndevice-class 0xef 2 1\n"));
    ADBAPIHANDLE iface = open_by_name(PHONE_NAME);
    ASSERT_NE(iface, nullptr) << std::strerror(errno);
    uint8_t d[18];
    ASSERT_TRUE(g_DriverApi.AdbGetUsbDeviceDescriptor(iface, reinterpret_cast<UsbDeviceDescriptor *>(d)));
    const uint8_t expected_device[18] = {18,   1,    0x00, 0x02, 0xef, 2, 1, 64, 0xd1,
                                         0x18, 0x0d, 0xd0, 0x00, 0x01, 1, 2, 3,  1};
    EXPECT_EQ(std::memcmp(d, expected_device, sizeof d), 0);
    uint8_t i[9];
    ASSERT_TRUE(
        g_DriverApi.AdbGetUsbInterfaceDescriptor(iface, reinterpret_cast<UsbInterfaceDescriptor *>(i)));
    const uint8_t expected_interface[9] = {9, 4, 1, 0, 2, 0xff, 0x42, 0x03, 0};
    EXPECT_EQ(std::memcmp(i, expected_interface, sizeof i), 0);
    EXPECT_FALSE(g_DriverApi.AdbGetUsbDeviceDescriptor(iface, nullptr));
    EXPECT_TRUE(g_DriverApi.AdbCloseHandle(iface));
}

TEST_F(LibusbDescriptors, SerialNumberInUtf8AndUtf16) {
    REQUIRE_EMULATION();
    const std::string serial = "SIM-Gr\xC3\xBC\xC3\x9F"
                               "e-\xE7\x94\xB5\xE8\xAF\x9D"; // "SIM-Grüße-电话"
    EmulationOptions options;
    options.serials["phone"] = serial;
    ASSERT_TRUE(start("device phone\n", options));
    ADBAPIHANDLE iface = open_by_name(PHONE_NAME);
    ASSERT_NE(iface, nullptr) << std::strerror(errno);

    uint32_t size = 0;
    errno = 0;
    EXPECT_FALSE(g_DriverApi.AdbGetSerialNumber(iface, nullptr, &size, true));
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(size, serial.size() + 1);
    char ansi[256];
    size = sizeof ansi;
    ASSERT_TRUE(g_DriverApi.AdbGetSerialNumber(iface, ansi, &size, true)) << std::strerror(errno);
    EXPECT_EQ(std::string(ansi), serial);

    std::u16string expected = u"SIM-Gr\u00FC\u00DFe-\u7535\u8BDD";
    char16_t wide[128];
    size = sizeof wide;
    ASSERT_TRUE(g_DriverApi.AdbGetSerialNumber(iface, wide, &size, false)) << std::strerror(errno);
    EXPECT_EQ(std::u16string(wide), expected);
    EXPECT_EQ(size, 2 * (expected.size() + 1));

    // The transport's probe reads it the same way.
    UsbDeviceHandle *device = open_phone();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(probe_interface(device, is_fastboot_interface), 1);
    free_device(device);
    EXPECT_TRUE(g_DriverApi.AdbCloseHandle(iface));
}

TEST_F(LibusbDescriptors, APhoneWithoutSerialIsStillAFastbootPhone) {
    REQUIRE_EMULATION();
    ASSERT_TRUE(start("device phone\nserial none\n"));
    UsbDeviceHandle *device = open_phone();
    ASSERT_NE(device, nullptr) << std::strerror(errno);
    char buffer[256];
    uint32_t size = sizeof buffer;
    EXPECT_FALSE(g_DriverApi.AdbGetSerialNumber(device->interface_handle, buffer, &size, true));
    EXPECT_EQ(probe_interface(device, is_fastboot_interface), 1);
    free_device(device);
}

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

TEST_F(LibusbTransfer, DownloadAndFlashThroughTheTransport) {
    REQUIRE_EMULATION();
    ASSERT_TRUE(start("device phone\n"));
    UsbDeviceHandle *device = open_phone();
    ASSERT_NE(device, nullptr) << std::strerror(errno);
    std::vector<uint8_t> boot = pattern(10000), recovery = pattern(70001);
    EXPECT_EQ(download_and_flash(device, boot, "boot"), "");
    EXPECT_EQ(download_and_flash(device, recovery, "recovery"), "");
    EXPECT_EQ(emulation->partition("phone", "boot"), boot);
    EXPECT_EQ(emulation->partition("phone", "recovery"), recovery);
    EXPECT_NE(emulation->transcript().find("data phone bytes=70001"), std::string::npos);
    free_device(device);
}

TEST_F(LibusbTransfer, AReadWithNothingToSayTimesOutAfterItsTimeOut) {
    REQUIRE_EMULATION();
    ASSERT_TRUE(start("device phone\n"));
    UsbDeviceHandle *device = open_phone();
    ASSERT_NE(device, nullptr);
    char buffer[64];
    uint32_t got = 99;
    auto started = std::chrono::steady_clock::now();
    errno = 0;
    EXPECT_FALSE(g_DriverApi.AdbReadEndpointSync(device->read_endpoint, buffer, sizeof buffer, &got, 300));
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(got, 0u);
    EXPECT_GE(took, 290ms);
    EXPECT_LT(took, 20s); // generous: the point is that the time-out is the read's own
    // The phone is still there and still answers.
    EXPECT_EQ(talk(device, "getvar:product"), "OKAYphone");
    free_device(device);
}

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

TEST_F(LibusbTransfer, AnUnplugDuringAPendingReadIsNotATimeOut) {
    REQUIRE_EMULATION();
    ASSERT_TRUE(start("device phone\n"));
    UsbDeviceHandle *device = open_phone();
    ASSERT_NE(device, nullptr);
    std::atomic<int> error{0};
    std::atomic<bool> result{true};
    std::atomic<bool> finished{false};
    std::thread reader([&] {
        char buffer[64];
        uint32_t got = 0;
        result = g_DriverApi.AdbReadEndpointSync(device->read_endpoint, buffer, sizeof buffer, &got, 120000);
        error = errno;
        finished = true;
    });
    ASSERT_TRUE(emulation->wait_until([](const EmulationStats &s) { return s.reads_waiting == 1; }, 60s));
    auto unplugged = std::chrono::steady_clock::now();
    ASSERT_TRUE(emulation->unplug("phone"));
    reader.join();
    EXPECT_FALSE(result);
    EXPECT_NE(error, ETIMEDOUT);
    EXPECT_EQ(error, ENODEV);
    EXPECT_LT(std::chrono::steady_clock::now() - unplugged, 60s); // long before the read's 120 s
    free_device(device);
}

TEST_F(LibusbTransfer, AnUnplugInTheDataPhaseFailsTheWriteWithDeviceGone) {
    REQUIRE_EMULATION();
    ASSERT_TRUE(start("device phone\non download:* unplug-after 5000\n"));
    UsbDeviceHandle *device = open_phone();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(talk(device, "download:00002710"), "DATA00002710");
    std::vector<uint8_t> data = pattern(10000);
    errno = 0;
    EXPECT_EQ(bulk_write(device, 0, data.data(), static_cast<int32_t>(data.size()), 0), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_NE(emulation->transcript().find("data-cut phone bytes=5000 of=10000"), std::string::npos);
    // The poll's presence check now fails.
    EXPECT_EQ(open_phone(), nullptr);
    free_device(device);
}

TEST_F(LibusbTransfer, AReplyLongerThanTheReadGivesWhatWasAskedAndDropsTheRest) {
    REQUIRE_EMULATION();
    // 200 bytes: more than the 64 a status read asks for, as newer boot loaders may answer.
    std::string long_reply = "OKAY";
    while (long_reply.size() < 200)
        long_reply += static_cast<char>('a' + long_reply.size() % 26);
    ASSERT_TRUE(start("device phone\non getvar:long reply " + long_reply + "\n"));
    UsbDeviceHandle *device = open_phone();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(talk(device, "getvar:long"), long_reply.substr(0, 64));
    // The rest of that reply is gone: the next reply is the next command's, whole.
    EXPECT_EQ(talk(device, "getvar:product"), "OKAYphone");

    ASSERT_EQ(bulk_write(device, 0, "getvar:long", 11, 1), 11);
    char small[16];
    uint32_t got = 0;
    EXPECT_TRUE(g_DriverApi.AdbReadEndpointSync(device->read_endpoint, small, sizeof small, &got, 1000))
        << std::strerror(errno);
    EXPECT_EQ(std::string(small, got), long_reply.substr(0, 16));
    EXPECT_EQ(talk(device, "getvar:serialno"), "OKAYSIM-phone");
    free_device(device);
}

TEST_F(LibusbTransfer, TheWindowThreadOpensAndClosesWhileTheWorkerTransfers) {
    REQUIRE_EMULATION();
    ASSERT_TRUE(start("device phone\n"));
    UsbDeviceHandle *held = open_phone();
    ASSERT_NE(held, nullptr);
    std::atomic<bool> done{false};
    std::atomic<int> failed_checks{0}, checks{0};
    std::thread poll([&] {
        while (!done) {
            UsbDeviceHandle *check = open_phone();
            if (check == nullptr)
                ++failed_checks;
            free_device(check);
            ++checks;
            std::this_thread::yield();
        }
    });
    std::vector<uint8_t> image = pattern(1 << 20);
    std::string outcome = download_and_flash(held, image, "system");
    done = true;
    poll.join();
    EXPECT_EQ(outcome, "");
    EXPECT_EQ(failed_checks, 0);
    EXPECT_GT(checks, 0);
    EXPECT_EQ(emulation->partition("phone", "system"), image);
    EXPECT_EQ(emulation->stats().claims, 1u); // one claim all along
    free_device(held);
}

// --- closing
// ------------------------------------------------------------------------------------------------

class LibusbClose : public EmulatedBus {};

TEST_F(LibusbClose, HandlesCloseInAnyOrderAndTheLastGivesTheInterfaceBack) {
    REQUIRE_EMULATION();
    ASSERT_TRUE(start("device phone\n"));
    ADBAPIHANDLE iface = open_by_name(PHONE_NAME);
    ASSERT_NE(iface, nullptr);
    ADBAPIHANDLE in = g_DriverApi.AdbOpenDefaultBulkReadEndpoint(iface, 0, 0);
    ADBAPIHANDLE out = g_DriverApi.AdbOpenDefaultBulkWriteEndpoint(iface, 0, 0);
    ASSERT_NE(in, nullptr);
    ASSERT_NE(out, nullptr);

    // The interface first: its endpoints go on working.
    EXPECT_TRUE(g_DriverApi.AdbCloseHandle(iface));
    uint32_t n = 0;
    char command[] = "getvar:product";
    EXPECT_TRUE(g_DriverApi.AdbWriteEndpointSync(out, command, 14, &n, 1000));
    EXPECT_TRUE(g_DriverApi.AdbCloseHandle(out));
    char reply[64];
    EXPECT_TRUE(g_DriverApi.AdbReadEndpointSync(in, reply, sizeof reply, &n, 1000));
    EXPECT_EQ(std::string(reply, n), "OKAYphone");
    EXPECT_EQ(emulation->stats().releases, 0u);
    EXPECT_TRUE(g_DriverApi.AdbCloseHandle(in));
    EXPECT_EQ(emulation->stats().releases, 1u);
}

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

TEST_F(LibusbClose, UnloadingTheLibraryWithHandlesOpenGivesEverythingBack) {
    REQUIRE_EMULATION();
    ASSERT_TRUE(start("device phone\n"));
    UsbDeviceHandle *device = open_phone();
    ASSERT_NE(device, nullptr);
    // Left open on purpose: the library's end releases the claim and ends its libusb context.
    delete[] device->interface_name;
    delete device;
    unload_driver();
    EXPECT_EQ(emulation->stats().releases, 1u);
    // A new load starts afresh and finds the phone free.
    ASSERT_TRUE(load_driver());
    UsbDeviceHandle *again = open_phone();
    ASSERT_NE(again, nullptr) << std::strerror(errno);
    free_device(again);
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

    // One data chunk through the driver; errno of a failure, 0 on success.
    static int write_chunk(UsbDeviceHandle *device, const uint8_t *data, uint32_t timeout_ms = 60000) {
        uint32_t n = 0;
        errno = 0;
        bool ok = g_DriverApi.AdbWriteEndpointSync(device->write_endpoint, const_cast<uint8_t *>(data), 4096,
                                                   &n, timeout_ms);
        return ok && n == 4096 ? 0 : errno != 0 ? errno : -1;
    }

    // One status read; errno of a failure, 0 with the reply in `reply`.
    static int read_reply(UsbDeviceHandle *device, std::string &reply) {
        char buffer[64];
        uint32_t n = 0;
        errno = 0;
        bool ok = g_DriverApi.AdbReadEndpointSync(device->read_endpoint, buffer, sizeof buffer, &n, 5000);
        reply.assign(buffer, ok ? n : 0);
        return ok ? 0 : errno;
    }

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

TEST_F(LibusbInFlight, AWriteThatFailsInFlightIsReportedByTheNextCallsAndNeverAsATimeOut) {
    REQUIRE_EMULATION();
    // A stall, a transfer the phone takes only in part, and a time-out, each on a phone of its own.
    ASSERT_TRUE(start("device stall\ndevice short\non download:* short-write 1000\ndevice late\n"));
    std::vector<uint8_t> chunk = pattern(4096);
    auto open_at = [](const char *name) { return open_device_interface(u16(name).c_str()); };

    UsbDeviceHandle *stall = open_at("usb:1-4.1:1");
    ASSERT_NE(stall, nullptr);
    ASSERT_EQ(talk(stall, "download:00002000"), "DATA00002000");
    ASSERT_TRUE(emulation->set_write_mode("stall", WriteMode::STALL));
    EXPECT_EQ(write_chunk(stall, chunk.data()), 0);
    std::string reply;
    EXPECT_EQ(read_reply(stall, reply), EIO);
    // It stays reported, to a write and a read alike, until the handle is closed.
    EXPECT_EQ(write_chunk(stall, chunk.data()), EIO);
    EXPECT_EQ(read_reply(stall, reply), EIO);
    free_device(stall);

    UsbDeviceHandle *part = open_at("usb:1-4.2:1");
    ASSERT_NE(part, nullptr);
    ASSERT_EQ(talk(part, "download:00002000"), "DATA00002000");
    EXPECT_EQ(write_chunk(part, chunk.data()), 0);
    errno = 0;
    EXPECT_EQ(bulk_write(part, 0, "getvar:product", 14, 1), -1); // that chunk carried 1000 of its bytes
    EXPECT_EQ(errno, EIO);
    free_device(part);

    UsbDeviceHandle *late = open_at("usb:1-4.3:1");
    ASSERT_NE(late, nullptr);
    ASSERT_EQ(talk(late, "download:00002000"), "DATA00002000");
    ASSERT_TRUE(emulation->set_write_mode("late", WriteMode::HOLD));
    EXPECT_EQ(write_chunk(late, chunk.data(), 300), 0);
    // A command waits for the write before it: that one's time-out passes, and it is no time-out to the
    // flasher, which would take it for a silent phone and wait for ever.
    errno = 0;
    EXPECT_EQ(bulk_write(late, 0, "getvar:product", 14, 1), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_GE(emulation->stats().discarded, 1u);
    free_device(late);
}

TEST_F(LibusbInFlight, ThePresenceCheckNeitherWaitsForNorCancelsNorConsumesWritesInFlight) {
    REQUIRE_EMULATION();
    ASSERT_TRUE(start("device phone\n"));
    UsbDeviceHandle *device = open_phone();
    ASSERT_NE(device, nullptr);
    std::vector<uint8_t> image = pattern(2 * 4096);
    ASSERT_EQ(talk(device, "download:00002000"), "DATA00002000");
    ASSERT_TRUE(emulation->set_write_mode("phone", WriteMode::HOLD));
    EXPECT_EQ(write_chunk(device, image.data()), 0);
    EXPECT_EQ(write_chunk(device, image.data() + 4096), 0);

    // The window's check, twice: its open and close while the worker's writes are held in the phone.
    for (int i = 0; i < 2; ++i) {
        UsbDeviceHandle *check = open_phone();
        EXPECT_NE(check, nullptr) << std::strerror(errno);
        free_device(check);
    }
    EXPECT_EQ(emulation->stats().discarded, 0u);
    EXPECT_EQ(emulation->stats().writes_waiting, 2u);
    ASSERT_TRUE(emulation->set_write_mode("phone", WriteMode::NORMAL));
    std::string reply;
    EXPECT_EQ(read_reply(device, reply), 0);
    EXPECT_EQ(reply, "OKAY");
    EXPECT_EQ(talk(device, "flash:boot"), "OKAY");
    EXPECT_EQ(emulation->partition("phone", "boot"), image);

    // A failure in flight is the worker's to see, not the check's to take away.
    ASSERT_EQ(talk(device, "download:00001000"), "DATA00001000");
    ASSERT_TRUE(emulation->set_write_mode("phone", WriteMode::STALL));
    EXPECT_EQ(write_chunk(device, image.data()), 0);
    UsbDeviceHandle *check = open_phone();
    EXPECT_NE(check, nullptr);
    free_device(check);
    EXPECT_EQ(read_reply(device, reply), EIO);
    free_device(device);
}

TEST_F(LibusbInFlight, AnUnplugWithWritesInFlightIsReportedAsTheDeviceGone) {
    REQUIRE_EMULATION();
    ASSERT_TRUE(start("device phone\n"));
    UsbDeviceHandle *device = open_phone();
    ASSERT_NE(device, nullptr);
    std::vector<uint8_t> chunk = pattern(4096);
    ASSERT_EQ(talk(device, "download:00004000"), "DATA00004000");
    ASSERT_TRUE(emulation->set_write_mode("phone", WriteMode::HOLD));
    EXPECT_EQ(write_chunk(device, chunk.data()), 0);
    EXPECT_EQ(write_chunk(device, chunk.data()), 0);
    ASSERT_TRUE(emulation->unplug("phone"));
    std::string reply;
    EXPECT_EQ(read_reply(device, reply), ENODEV);
    EXPECT_EQ(open_phone(), nullptr); // and the poll's check fails
    free_device(device);
}

TEST_F(LibusbInFlight, ClosingOrUnloadingWithWritesInFlightCancelsThemAndGivesTheInterfaceBack) {
    REQUIRE_EMULATION();
    ASSERT_TRUE(start("device phone\n"));
    std::vector<uint8_t> chunk = pattern(4096);
    UsbDeviceHandle *device = open_phone();
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(talk(device, "download:00010000"), "DATA00010000");
    ASSERT_TRUE(emulation->set_write_mode("phone", WriteMode::HOLD));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(write_chunk(device, chunk.data()), 0);
    free_device(device);
    EmulationStats s = emulation->stats();
    EXPECT_EQ(s.discarded, 3u);
    EXPECT_EQ(s.writes_waiting, 0u);
    EXPECT_EQ(s.releases, 1u);

    // Left open when the library goes: its end cancels them before it closes the device.
    device = open_phone();
    ASSERT_NE(device, nullptr);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(write_chunk(device, chunk.data()), 0);
    delete[] device->interface_name;
    delete device;
    unload_driver();
    s = emulation->stats();
    EXPECT_EQ(s.discarded, 6u);
    EXPECT_EQ(s.releases, 2u);
}

int main(int argc, char **argv) {
    libusb_test::restart_under_umockdev(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// The libusb driver library on a bus with simulated phones (test_bus.h), written once and run over
// umockdev's emulated usbdevfs and over the kernel's own USB stack: what the flasher relies on from its
// twelve operations. Where the two buses differ, the case says what the library must hold to on both.
#include "tests/libusb/test_bus.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using namespace libusb_test;

namespace {

// The interface number at the end of a name ("usb:1-4.1:1").
uint8_t interface_number(const std::string &name) {
    return static_cast<uint8_t>(std::stoi(name.substr(name.find_last_of(':') + 1)));
}

// Either is right: the kernel reports a device pulled in the middle of a transfer as an I/O error about
// as often as it reports it gone, depending on whether the host controller or the hub event ends the
// transfer first (umockdev always says gone). What the flasher needs is that it is never the time-out,
// which it would take for "keep waiting". Which one came is printed: the tier's logs keep the count.
bool is_gone_code(int error) {
    std::printf("[   INFO   ] the transfer failed with %s\n", error < 0 ? "nothing" : std::strerror(error));
    return error == ENODEV || error == EIO;
}

// Whether the poll's presence check fails for interface NAME, as it must once its phone has gone: at once
// where the library saw the device gone, else as soon as the system has told libusb.
bool presence_check_fails(const std::string &name) {
    return eventually([&] {
        UsbDeviceHandle *check = open_device(name);
        free_device(check);
        return check == nullptr;
    });
}

// Writes a data phase in 4096-byte transfers on another thread until a write fails, counting them.
class Writer {
public:
    explicit Writer(UsbDeviceHandle *device) : m_device(device) {
        m_thread = std::thread([this] {
            std::vector<uint8_t> chunk = pattern(4096);
            for (;;) {
                uint32_t n = 0;
                if (!g_DriverApi.AdbWriteEndpointSync(m_device->write_endpoint, chunk.data(), 4096, &n,
                                                      60000)) {
                    m_error = errno;
                    break;
                }
                ++m_writes;
            }
            m_done = true;
        });
    }
    ~Writer() { m_thread.join(); }

    bool wait_writes(uint64_t count) {
        return eventually([&] { return m_writes >= count || m_done; }) && !m_done;
    }
    // The failure's errno once the writes have failed, or -1 after the time-out.
    int failure(std::chrono::milliseconds timeout) {
        return eventually([&] { return m_done.load(); }, timeout) ? m_error.load() : -1;
    }

private:
    UsbDeviceHandle *m_device;
    std::atomic<uint64_t> m_writes{0};
    std::atomic<int> m_error{0};
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

} // namespace

// --- enumeration ------------------------------------------------------------------------------------------

class LibusbEnumeration : public BusTest {};

TEST_F(LibusbEnumeration, ListsFastbootInterfacesOnlyAndOpensNothing) {
    BusOptions options;
    options.other_devices = bus().lacks(BusFeature::OTHER_DEVICES).empty();
    // Beside the phone, one whose only interface is a debug interface (ff/42/01) that another program may
    // be using: it must not even be opened.
    ASSERT_TRUE(start("device phone\ndevice debug\ninterface-class 0xff 0x42 0x01\n", options));
    const std::string phone = bus().interface_name("phone");

    Listing l = list_interfaces();
    ASSERT_EQ(l.names, std::vector<std::string>{phone});
    EXPECT_EQ(std::memcmp(&l.guids[0], &ANDROID_USB_CLASS_ID, sizeof(AdbGuid)), 0);
    EXPECT_EQ(l.end_error, ENODATA);
    if (bus().lacks(BusFeature::HOST_CALLS).empty()) {
        EXPECT_EQ(bus().host_calls().opens, 0u); // listing reads the descriptors libusb keeps
    }
}

TEST_F(LibusbEnumeration, ListsPresentPhonesAndOnesPluggedInLater) {
    ASSERT_TRUE(start("device a\ndevice later\nplugged no\n"));
    const std::string a = bus().interface_name("a"), later = bus().interface_name("later");
    EXPECT_EQ(list_interfaces().names, std::vector<std::string>{a});

    // The library started before the phone arrived: it hears of it through the system (udev on a real
    // machine), not by being started again.
    ASSERT_TRUE(bus().plug("later"));
    EXPECT_TRUE(eventually([&] {
        return list_interfaces().names == std::vector<std::string>{a, later};
    })) << "the phone plugged in later is not listed";
    ASSERT_TRUE(bus().unplug("a"));
    EXPECT_TRUE(eventually([&] { return list_interfaces().names == std::vector<std::string>{later}; }))
        << "the phone pulled out is still listed";
}

// --- names and opening ------------------------------------------------------------------------------------

class LibusbOpen : public BusTest {};

TEST_F(LibusbOpen, NamesStayTheSameAcrossAReplugButOldHandlesDie) {
    ASSERT_TRUE(start("device phone\n"));
    const std::string name = bus().interface_name("phone");
    UsbDeviceHandle *held = open_device(name);
    ASSERT_NE(held, nullptr) << std::strerror(errno);

    ASSERT_TRUE(bus().unplug("phone"));
    EXPECT_TRUE(eventually([&] { return list_interfaces().names.empty(); }));
    errno = 0;
    EXPECT_EQ(open_by_name(name), nullptr);
    EXPECT_EQ(errno, ENODEV);

    ASSERT_TRUE(bus().plug("phone"));
    EXPECT_TRUE(eventually([&] { return list_interfaces().names == std::vector<std::string>{name}; }));
    // The replugged phone has the name of the held one, but the held handles are not its handles: the
    // poll's presence check must fail, or the flasher would keep a dead phone for ever.
    errno = 0;
    EXPECT_EQ(open_by_name(name), nullptr);
    EXPECT_EQ(errno, ENODEV);
    char reply[64];
    errno = 0;
    EXPECT_EQ(bulk_write(held, 0, "getvar:product", 14, 1), -1);
    EXPECT_NE(errno, OS_ERROR_TIMEOUT);
    EXPECT_EQ(bulk_read(held, reply, sizeof reply), -1);
    EXPECT_EQ(errno, ENODEV);

    // Once the dead one is released, the name opens the new phone.
    free_device(held);
    UsbDeviceHandle *fresh = open_device(name);
    ASSERT_NE(fresh, nullptr) << std::strerror(errno);
    EXPECT_EQ(talk(fresh, "getvar:product"), "OKAYphone");
    free_device(fresh);
}

TEST_F(LibusbOpen, ASecondOpenSharesTheFirst) {
    ASSERT_TRUE(start("device phone\n"));
    const std::string name = bus().interface_name("phone");
    UsbDeviceHandle *first = open_device(name);
    ASSERT_NE(first, nullptr) << std::strerror(errno);
    UsbDeviceHandle *second = open_device(name); // the poll's presence check
    ASSERT_NE(second, nullptr) << std::strerror(errno);
    const bool counted = bus().lacks(BusFeature::HOST_CALLS).empty();
    if (counted) {
        EXPECT_EQ(bus().host_calls().opens, 1u);
        EXPECT_EQ(bus().host_calls().claims, 1u);
    }

    free_device(first);
    EXPECT_EQ(talk(second, "getvar:product"), "OKAYphone");
    free_device(second);
    if (counted) {
        EXPECT_EQ(bus().host_calls().releases, 1u);
    }

    // And again from scratch: the interface was really given back, or this claim would fail (EBUSY).
    UsbDeviceHandle *again = open_device(name);
    ASSERT_NE(again, nullptr) << std::strerror(errno);
    EXPECT_EQ(talk(again, "getvar:product"), "OKAYphone");
    free_device(again);
}

// --- descriptors and serial number ------------------------------------------------------------------------

class LibusbDescriptors : public BusTest {};

TEST_F(LibusbDescriptors, DescriptorsAreTheDevicesOwn) {
    ASSERT_TRUE(start("device phone\nvendor 0x18d1\nproduct 0xd00d\ndevice-class 0xef 2 1\n"));
    const std::string name = bus().interface_name("phone");
    ADBAPIHANDLE iface = open_by_name(name);
    ASSERT_NE(iface, nullptr) << std::strerror(errno);
    uint8_t d[18];
    ASSERT_TRUE(g_DriverApi.AdbGetUsbDeviceDescriptor(iface, reinterpret_cast<UsbDeviceDescriptor *>(d)));
    // USB 2.0, 64-byte control packets, device release 1.00, strings 1 to 3, one configuration.
    const uint8_t expected_device[18] = {18,   1,    0x00, 0x02, 0xef, 2, 1, 64, 0xd1,
                                         0x18, 0x0d, 0xd0, 0x00, 0x01, 1, 2, 3,  1};
    EXPECT_EQ(std::memcmp(d, expected_device, sizeof d), 0);
    uint8_t i[9];
    ASSERT_TRUE(
        g_DriverApi.AdbGetUsbInterfaceDescriptor(iface, reinterpret_cast<UsbInterfaceDescriptor *>(i)));
    const uint8_t expected_interface[9] = {9, 4, interface_number(name), 0, 2, 0xff, 0x42, 0x03, 0};
    EXPECT_EQ(std::memcmp(i, expected_interface, sizeof i), 0);
    EXPECT_FALSE(g_DriverApi.AdbGetUsbDeviceDescriptor(iface, nullptr));
    EXPECT_TRUE(g_DriverApi.AdbCloseHandle(iface));
}

TEST_F(LibusbDescriptors, SerialNumberInUtf8AndUtf16) {
    const std::string serial = "SIM-Gr\xC3\xBC\xC3\x9F"
                               "e-\xE7\x94\xB5\xE8\xAF\x9D"; // "SIM-Grüße-电话"
    BusOptions options;
    options.serials["phone"] = serial;
    ASSERT_TRUE(start("device phone\n", options));
    const std::string name = bus().interface_name("phone");
    ADBAPIHANDLE iface = open_by_name(name);
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
    UsbDeviceHandle *device = open_device(name);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(probe_interface(device, is_fastboot_interface), 1);
    free_device(device);
    EXPECT_TRUE(g_DriverApi.AdbCloseHandle(iface));
}

TEST_F(LibusbDescriptors, APhoneWithoutSerialIsStillAFastbootPhone) {
    ASSERT_TRUE(start("device phone\nserial none\n"));
    UsbDeviceHandle *device = open_device(bus().interface_name("phone"));
    ASSERT_NE(device, nullptr) << std::strerror(errno);
    // None, or an empty one: a gadget made through configfs always has a serial number string, which is
    // then empty.
    char buffer[256] = {};
    uint32_t size = sizeof buffer;
    bool has = g_DriverApi.AdbGetSerialNumber(device->interface_handle, buffer, &size, true);
    EXPECT_TRUE(!has || buffer[0] == '\0') << buffer;
    EXPECT_EQ(probe_interface(device, is_fastboot_interface), 1);
    free_device(device);
}

// --- transfers --------------------------------------------------------------------------------------------

class LibusbTransfer : public BusTest {};

TEST_F(LibusbTransfer, DownloadAndFlashThroughTheTransport) {
    ASSERT_TRUE(start("device phone\n"));
    UsbDeviceHandle *device = open_device(bus().interface_name("phone"));
    ASSERT_NE(device, nullptr) << std::strerror(errno);
    std::vector<uint8_t> boot = pattern(10000), recovery = pattern(70001);
    EXPECT_EQ(download_and_flash(device, boot, "boot"), "");
    EXPECT_EQ(download_and_flash(device, recovery, "recovery"), "");
    EXPECT_EQ(bus().partition("phone", "boot"), boot);
    EXPECT_EQ(bus().partition("phone", "recovery"), recovery);
    EXPECT_NE(bus().transcript().find("data phone bytes=70001"), std::string::npos);
    free_device(device);
}

TEST_F(LibusbTransfer, AReadWithNothingToSayTimesOutAfterItsTimeOut) {
    ASSERT_TRUE(start("device phone\n"));
    UsbDeviceHandle *device = open_device(bus().interface_name("phone"));
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

TEST_F(LibusbTransfer, AnUnplugDuringAPendingReadIsNotATimeOut) {
    ASSERT_TRUE(start("device phone\n"));
    UsbDeviceHandle *device = open_device(bus().interface_name("phone"));
    ASSERT_NE(device, nullptr);
    std::atomic<int> error{0};
    std::atomic<bool> result{true};
    std::thread reader;
    ASSERT_TRUE(bus().wait_read_pending(
        "phone",
        [&] {
            reader = std::thread([&] {
                char buffer[64];
                uint32_t got = 0;
                result = g_DriverApi.AdbReadEndpointSync(device->read_endpoint, buffer, sizeof buffer, &got,
                                                         120000);
                error = errno;
            });
        },
        BUS_SETTLE));
    auto unplugged = std::chrono::steady_clock::now();
    ASSERT_TRUE(bus().unplug("phone"));
    reader.join();
    EXPECT_FALSE(result);
    EXPECT_TRUE(is_gone_code(error)) << std::strerror(error);
    EXPECT_LT(std::chrono::steady_clock::now() - unplugged, 60s); // long before the read's 120 s
    free_device(device);
}

TEST_F(LibusbTransfer, AnUnplugInTheDataPhaseFailsTheWriteAndThePresenceCheck) {
    ASSERT_TRUE(start("device phone\non download:* unplug-after 5000\n"));
    const std::string name = bus().interface_name("phone");
    UsbDeviceHandle *device = open_device(name);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(talk(device, "download:00100000"), "DATA00100000");
    std::vector<uint8_t> data = pattern(1 << 20);
    errno = 0;
    EXPECT_EQ(bulk_write(device, 0, data.data(), static_cast<int32_t>(data.size()), 0), -1);
    EXPECT_TRUE(is_gone_code(errno)) << std::strerror(errno);
    EXPECT_NE(bus().transcript().find("data-cut phone bytes=5000 of=1048576"), std::string::npos);
    EXPECT_TRUE(presence_check_fails(name)) << "the presence check still finds the phone that left";
    free_device(device);
}

TEST_F(LibusbTransfer, AnUnplugOnRequestDuringWritesFailsThem) {
    ASSERT_TRUE(start("device phone\ndata discard\n"));
    UsbDeviceHandle *device = open_device(bus().interface_name("phone"));
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(talk(device, "download:7fffffff"), "DATA7fffffff");
    {
        Writer writer(device);
        ASSERT_TRUE(writer.wait_writes(64));
        ASSERT_TRUE(bus().unplug("phone"));
        int error = writer.failure(BUS_SETTLE);
        EXPECT_TRUE(is_gone_code(error)) << (error < 0 ? "the writes went on" : std::strerror(error));
    }
    free_device(device);
}

TEST_F(LibusbTransfer, AKilledPhoneFailsTheWritesInFlight) {
    REQUIRE_BUS(BusFeature::PHONE_PROCESS);
    ASSERT_TRUE(start("device phone\ndata discard\n"));
    UsbDeviceHandle *device = open_device(bus().interface_name("phone"));
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(talk(device, "download:7fffffff"), "DATA7fffffff");
    {
        Writer writer(device);
        ASSERT_TRUE(writer.wait_writes(64));
        ASSERT_TRUE(bus().kill_phones());
        int error = writer.failure(BUS_SETTLE);
        EXPECT_TRUE(is_gone_code(error)) << (error < 0 ? "the writes went on" : std::strerror(error));
    }
    free_device(device);
}

TEST_F(LibusbTransfer, AReplyLongerThanTheReadGivesWhatWasAskedAndDropsTheRest) {
    // 200 bytes: more than the 64 a status read asks for, as newer boot loaders may answer.
    std::string long_reply = "OKAY";
    while (long_reply.size() < 200)
        long_reply += static_cast<char>('a' + long_reply.size() % 26);
    ASSERT_TRUE(start("device phone\non getvar:long reply " + long_reply + "\n"));
    UsbDeviceHandle *device = open_device(bus().interface_name("phone"));
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(talk(device, "getvar:long"), long_reply.substr(0, 64));
    // The rest of that reply is gone: the next reply is the next command's, whole.
    EXPECT_EQ(talk(device, "getvar:product"), "OKAYphone");

    ASSERT_EQ(bulk_write(device, 0, "getvar:long", 11, 1), 11);
    char small[16];
    uint32_t got = 0;
    EXPECT_TRUE(g_DriverApi.AdbReadEndpointSync(device->read_endpoint, small, sizeof small, &got, 5000))
        << std::strerror(errno);
    EXPECT_EQ(std::string(small, got), long_reply.substr(0, 16));
    EXPECT_EQ(talk(device, "getvar:product"), "OKAYphone");
    free_device(device);
}

TEST_F(LibusbTransfer, TheWindowThreadOpensAndClosesWhileTheWorkerTransfers) {
    ASSERT_TRUE(start("device phone\n"));
    const std::string name = bus().interface_name("phone");
    UsbDeviceHandle *held = open_device(name);
    ASSERT_NE(held, nullptr);
    std::atomic<bool> done{false};
    std::atomic<int> failed_checks{0}, checks{0};
    std::thread poll([&] {
        while (!done) {
            UsbDeviceHandle *check = open_device(name);
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
    EXPECT_EQ(bus().partition("phone", "system"), image);
    if (bus().lacks(BusFeature::HOST_CALLS).empty()) {
        EXPECT_EQ(bus().host_calls().claims, 1u); // one claim all along
    }
    free_device(held);
}

// --- writes in flight -------------------------------------------------------------------------------------

// Data chunks stay in flight after their call (the library's own number of them, as the flasher runs it);
// the phone holds or halts its data phases to keep them there, or to fail them, at a known byte.
class LibusbWritesInFlight : public BusTest {
protected:
    void SetUp() override {
        unsetenv("TARNEX_USB_IN_FLIGHT");
        BusTest::SetUp();
    }

    bool pending(const std::string &label, uint32_t n) {
        return eventually([&] { return bus().out_transfers(label).pending == n; });
    }
};

TEST_F(LibusbWritesInFlight, AStallACutAndATimeOutAreReportedByTheNextCallsNeverAsATimeOut) {
    // A real bus ends a bulk OUT transfer early only when the device stops it, and then with a stall: the
    // host decides how many packets a transfer carries, and a device can only take each one, make it wait
    // (NAK), or refuse it (STALL). So a short write in flight is a stall in the middle of a transfer.
    ASSERT_TRUE(start("device stall\ndevice cut\ndevice late\n"));
    std::vector<uint8_t> chunk = pattern(4096);
    std::string reply;

    UsbDeviceHandle *stall = open_device(bus().interface_name("stall"));
    ASSERT_NE(stall, nullptr) << std::strerror(errno);
    ASSERT_TRUE(bus().set_data_phases("stall", DataPhases::HALTED));
    ASSERT_EQ(talk(stall, "download:00002000"), "DATA00002000");
    EXPECT_EQ(write_chunk(stall, chunk.data()), 0);
    EXPECT_EQ(read_reply(stall, reply), EIO);
    // It stays reported, to a write and a read alike, until the handle is closed.
    EXPECT_EQ(write_chunk(stall, chunk.data()), EIO);
    EXPECT_EQ(read_reply(stall, reply), EIO);
    free_device(stall);

    UsbDeviceHandle *cut = open_device(bus().interface_name("cut"));
    ASSERT_NE(cut, nullptr) << std::strerror(errno);
    ASSERT_TRUE(bus().set_data_phases("cut", DataPhases::HALTED, 1024)); // two packets into the chunk
    ASSERT_EQ(talk(cut, "download:00002000"), "DATA00002000");
    EXPECT_EQ(write_chunk(cut, chunk.data()), 0);
    errno = 0;
    EXPECT_EQ(bulk_write(cut, 0, "getvar:product", 14, 1), -1);
    EXPECT_EQ(errno, EIO);
    free_device(cut);

    UsbDeviceHandle *late = open_device(bus().interface_name("late"));
    ASSERT_NE(late, nullptr) << std::strerror(errno);
    ASSERT_TRUE(bus().set_data_phases("late", DataPhases::HELD));
    ASSERT_EQ(talk(late, "download:00002000"), "DATA00002000");
    EXPECT_EQ(write_chunk(late, chunk.data(), 300), 0);
    // A command waits for the write before it: that one's time-out passes, and it is no time-out to the
    // flasher, which would take it for a silent phone and wait for ever.
    errno = 0;
    EXPECT_EQ(bulk_write(late, 0, "getvar:product", 14, 1), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(bus().out_transfers("late").cancelled, 1u);
    free_device(late);
}

TEST_F(LibusbWritesInFlight, ThePresenceCheckNeitherWaitsForNorCancelsNorConsumesThem) {
    ASSERT_TRUE(start("device phone\n"));
    const std::string name = bus().interface_name("phone");
    UsbDeviceHandle *device = open_device(name);
    ASSERT_NE(device, nullptr) << std::strerror(errno);
    std::vector<uint8_t> image = pattern(2 * 4096);
    ASSERT_TRUE(bus().set_data_phases("phone", DataPhases::HELD));
    ASSERT_EQ(talk(device, "download:00002000"), "DATA00002000");
    EXPECT_EQ(write_chunk(device, image.data()), 0);
    EXPECT_EQ(write_chunk(device, image.data() + 4096), 0);
    ASSERT_TRUE(pending("phone", 2));

    // The window's check, twice: its open and close while the worker's writes wait at the phone.
    for (int i = 0; i < 2; ++i) {
        UsbDeviceHandle *check = open_device(name);
        EXPECT_NE(check, nullptr) << std::strerror(errno);
        free_device(check);
    }
    OutTransfers after = bus().out_transfers("phone");
    EXPECT_EQ(after.pending, 2u);
    EXPECT_EQ(after.cancelled, 0u);
    ASSERT_TRUE(bus().set_data_phases("phone", DataPhases::TAKEN));
    std::string reply;
    EXPECT_EQ(read_reply(device, reply), 0);
    EXPECT_EQ(reply, "OKAY");
    EXPECT_EQ(talk(device, "flash:boot"), "OKAY");
    EXPECT_EQ(bus().partition("phone", "boot"), image);

    // A failure in flight is the worker's to see, not the check's to take away.
    ASSERT_TRUE(bus().set_data_phases("phone", DataPhases::HALTED));
    ASSERT_EQ(talk(device, "download:00001000"), "DATA00001000");
    EXPECT_EQ(write_chunk(device, image.data()), 0);
    UsbDeviceHandle *check = open_device(name);
    EXPECT_NE(check, nullptr) << std::strerror(errno);
    free_device(check);
    EXPECT_EQ(read_reply(device, reply), EIO);
    free_device(device);
}

TEST_F(LibusbWritesInFlight, AnUnplugWithWritesInFlightIsTheDeviceGoneNeverATimeOut) {
    ASSERT_TRUE(start("device phone\n"));
    const std::string name = bus().interface_name("phone");
    UsbDeviceHandle *device = open_device(name);
    ASSERT_NE(device, nullptr) << std::strerror(errno);
    std::vector<uint8_t> chunk = pattern(4096);
    ASSERT_TRUE(bus().set_data_phases("phone", DataPhases::HELD));
    ASSERT_EQ(talk(device, "download:00004000"), "DATA00004000");
    EXPECT_EQ(write_chunk(device, chunk.data()), 0);
    EXPECT_EQ(write_chunk(device, chunk.data()), 0);
    ASSERT_TRUE(pending("phone", 2));
    ASSERT_TRUE(bus().unplug("phone"));
    std::string reply;
    EXPECT_TRUE(is_gone_code(read_reply(device, reply)));
    EXPECT_TRUE(presence_check_fails(name)) << "the presence check still finds the phone that left";
    free_device(device);
}

TEST_F(LibusbWritesInFlight, ClosingOrUnloadingCancelsThemAndGivesTheInterfaceBack) {
    ASSERT_TRUE(start("device phone\n"));
    const std::string name = bus().interface_name("phone");
    const bool counted = bus().lacks(BusFeature::HOST_CALLS).empty();
    std::vector<uint8_t> image = pattern(0x10000);
    UsbDeviceHandle *device = open_device(name);
    ASSERT_NE(device, nullptr) << std::strerror(errno);
    ASSERT_TRUE(bus().set_data_phases("phone", DataPhases::HELD));
    ASSERT_EQ(talk(device, "download:00010000"), "DATA00010000");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(write_chunk(device, image.data() + i * 4096), 0);
    ASSERT_TRUE(pending("phone", 3));
    free_device(device);
    OutTransfers closed = bus().out_transfers("phone");
    EXPECT_EQ(closed.pending, 0u);
    EXPECT_EQ(closed.cancelled, 3u);
    if (counted) {
        EXPECT_EQ(bus().host_calls().releases, 1u);
    }

    // Given back: it opens again. Left open when the library goes, its end cancels them before it closes
    // the device.
    device = open_device(name);
    ASSERT_NE(device, nullptr) << std::strerror(errno);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(write_chunk(device, image.data() + i * 4096), 0);
    ASSERT_TRUE(pending("phone", 3));
    delete[] device->interface_name;
    delete device;
    unload_library();
    closed = bus().out_transfers("phone");
    EXPECT_EQ(closed.pending, 0u);
    EXPECT_EQ(closed.cancelled, 6u);
    if (counted) {
        EXPECT_EQ(bus().host_calls().releases, 2u);
    }

    // None of the cancelled bytes reached the phone: its data phase takes the whole image still.
    ASSERT_TRUE(load_library());
    device = open_device(name);
    ASSERT_NE(device, nullptr) << std::strerror(errno);
    ASSERT_TRUE(bus().set_data_phases("phone", DataPhases::TAKEN));
    EXPECT_EQ(bulk_write(device, 0, image.data(), static_cast<int32_t>(image.size()), 0),
              static_cast<int32_t>(image.size()));
    std::string reply;
    EXPECT_EQ(read_reply(device, reply), 0);
    EXPECT_EQ(reply, "OKAY");
    EXPECT_EQ(talk(device, "flash:boot"), "OKAY");
    EXPECT_EQ(bus().partition("phone", "boot"), image);
    free_device(device);
}

// --- closing ----------------------------------------------------------------------------------------------

class LibusbClose : public BusTest {};

TEST_F(LibusbClose, HandlesCloseInAnyOrderAndTheLastGivesTheInterfaceBack) {
    ASSERT_TRUE(start("device phone\n"));
    const std::string name = bus().interface_name("phone");
    ADBAPIHANDLE iface = open_by_name(name);
    ASSERT_NE(iface, nullptr);
    ADBAPIHANDLE in = g_DriverApi.AdbOpenDefaultBulkReadEndpoint(iface, 0, 0);
    ADBAPIHANDLE out = g_DriverApi.AdbOpenDefaultBulkWriteEndpoint(iface, 0, 0);
    ASSERT_NE(in, nullptr);
    ASSERT_NE(out, nullptr);
    const bool counted = bus().lacks(BusFeature::HOST_CALLS).empty();

    // The interface first: its endpoints go on working.
    EXPECT_TRUE(g_DriverApi.AdbCloseHandle(iface));
    uint32_t n = 0;
    char command[] = "getvar:product";
    EXPECT_TRUE(g_DriverApi.AdbWriteEndpointSync(out, command, 14, &n, 5000));
    EXPECT_TRUE(g_DriverApi.AdbCloseHandle(out));
    char reply[64];
    EXPECT_TRUE(g_DriverApi.AdbReadEndpointSync(in, reply, sizeof reply, &n, 5000));
    EXPECT_EQ(std::string(reply, n), "OKAYphone");
    if (counted) {
        EXPECT_EQ(bus().host_calls().releases, 0u);
    }
    EXPECT_TRUE(g_DriverApi.AdbCloseHandle(in));
    if (counted) {
        EXPECT_EQ(bus().host_calls().releases, 1u);
    }
    // Given back for real: a new open claims it again.
    UsbDeviceHandle *again = open_device(name);
    ASSERT_NE(again, nullptr) << std::strerror(errno);
    free_device(again);
}

TEST_F(LibusbClose, UnloadingTheLibraryWithHandlesOpenGivesEverythingBack) {
    ASSERT_TRUE(start("device phone\n"));
    const std::string name = bus().interface_name("phone");
    UsbDeviceHandle *device = open_device(name);
    ASSERT_NE(device, nullptr);
    // Left open on purpose: the library's end releases the claim and ends its libusb context.
    delete[] device->interface_name;
    delete device;
    unload_library();
    if (bus().lacks(BusFeature::HOST_CALLS).empty()) {
        EXPECT_EQ(bus().host_calls().releases, 1u);
    }
    // A new load starts afresh and finds the phone free.
    ASSERT_TRUE(load_library());
    UsbDeviceHandle *again = open_device(name);
    ASSERT_NE(again, nullptr) << std::strerror(errno);
    EXPECT_EQ(talk(again, "getvar:product"), "OKAYphone");
    free_device(again);
}

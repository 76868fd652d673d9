// tarnex_winusb.dll under Wine, unchanged, with the real SetupAPI of the test prefix and the stand-in
// WinUSB: enumeration, opening and the shared session, descriptors, bulk transfers and their time-outs,
// closing, two threads at once, and where the library takes WinUSB from.
#include "drivers/transfer_policy.h"
#include "tests/winusb/winusb_test.h"
#include "usb/bulk_transfer.h"
#include "usb/usb_device.h"

#include <windows.h>

#include <winusb.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

using namespace usbtest;
using Clock = std::chrono::steady_clock;

namespace {

const AdbGuid OTHER_CLASS = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};

struct Entry {
    AdbGuid class_id;
    uint32_t flags;
    std::u16string name;
};

std::u16string u16(const std::wstring &s) {
    return std::u16string(s.begin(), s.end());
}

// Every entry of a new enumeration, walked with a buffer as large as each needs.
std::vector<Entry> list(const AdbGuid &guid, bool not_present, bool removed, bool active) {
    std::vector<Entry> entries;
    ADBAPIHANDLE e = g_Api.AdbEnumInterfaces(guid, not_present, removed, active);
    EXPECT_NE(e, nullptr) << GetLastError();
    if (e == nullptr)
        return entries;
    std::vector<uint8_t> buffer(4096);
    for (;;) {
        uint32_t size = static_cast<uint32_t>(buffer.size());
        if (!g_Api.AdbNextInterface(e, reinterpret_cast<AdbInterfaceInfo *>(buffer.data()), &size)) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
            break;
        }
        Entry entry;
        std::memcpy(&entry.class_id, buffer.data(), 16);
        std::memcpy(&entry.flags, buffer.data() + 16, 4);
        entry.name = reinterpret_cast<const char16_t *>(buffer.data() + ADB_INTERFACE_NAME_OFFSET);
        entries.push_back(entry);
    }
    EXPECT_TRUE(g_Api.AdbCloseHandle(e));
    return entries;
}

// Waits until `condition` holds, for what the emulated phone learns from another thread (a file closed).
template <typename Fn>
bool eventually(Fn condition, int timeout_ms = 10000) {
    auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (Clock::now() > until)
            return false;
        Sleep(5);
    }
    return true;
}

bool same(const AdbGuid &a, const AdbGuid &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// An interface and its two endpoints, closed at the end of the scope in whatever order is left.
struct Opened {
    ADBAPIHANDLE iface = nullptr, read = nullptr, write = nullptr;

    explicit Opened(const std::wstring &path) {
        iface = g_Api.AdbCreateInterfaceByName(u16(path).c_str());
        if (iface != nullptr) {
            read = g_Api.AdbOpenDefaultBulkReadEndpoint(iface, 0, 0);
            write = g_Api.AdbOpenDefaultBulkWriteEndpoint(iface, 0, 0);
        }
    }
    ~Opened() { close(); }
    Opened(const Opened &) = delete;
    Opened &operator=(const Opened &) = delete;
    bool ok() const { return iface != nullptr && read != nullptr && write != nullptr; }
    void close() {
        for (ADBAPIHANDLE *h : {&write, &read, &iface}) {
            if (*h != nullptr)
                g_Api.AdbCloseHandle(*h);
            *h = nullptr;
        }
    }
};

bool write_text(ADBAPIHANDLE endpoint, const std::string &text, uint32_t timeout_ms = 2000) {
    uint32_t written = 0;
    return g_Api.AdbWriteEndpointSync(endpoint, const_cast<char *>(text.data()),
                                      static_cast<uint32_t>(text.size()), &written, timeout_ms) &&
           written == text.size();
}

// One reply; "<error N>" when the read failed.
std::string read_text(ADBAPIHANDLE endpoint, uint32_t timeout_ms = 2000) {
    char buffer[64];
    uint32_t got = 0;
    if (!g_Api.AdbReadEndpointSync(endpoint, buffer, sizeof buffer, &got, timeout_ms))
        return "<error " + std::to_string(GetLastError()) + ">";
    return std::string(buffer, got);
}

std::string exchange(const Opened &o, const std::string &command) {
    if (!write_text(o.write, command))
        return "<write failed " + std::to_string(GetLastError()) + ">";
    return read_text(o.read);
}

// Sets how many writes a write endpoint opened from now on keeps in flight, for the life of the object.
struct InFlight {
    explicit InFlight(const char *limit) { SetEnvironmentVariableA("TARNEX_USB_IN_FLIGHT", limit); }
    ~InFlight() { SetEnvironmentVariableA("TARNEX_USB_IN_FLIGHT", nullptr); }
    InFlight(const InFlight &) = delete;
    InFlight &operator=(const InFlight &) = delete;
};

// One data chunk; 0 when all of it was taken, else the last-error value.
DWORD write_chunk(ADBAPIHANDLE endpoint, const uint8_t *data, uint32_t timeout_ms = 60000) {
    uint32_t written = 0;
    SetLastError(0);
    bool ok = g_Api.AdbWriteEndpointSync(endpoint, const_cast<uint8_t *>(data), 4096, &written, timeout_ms);
    return ok && written == 4096 ? 0 : GetLastError() != 0 ? GetLastError() : ERROR_GEN_FAILURE;
}

class Driver : public ::testing::Test {
protected:
    // A phone of this test, registered and served; the test fails when it cannot be.
    std::unique_ptr<EmulatedPhone> Phone(const std::string &label, const std::string &scenario = "",
                                         PhoneOptions options = {}) {
        auto phone =
            std::make_unique<EmulatedPhone>(tag(label), "device " + label + "\n" + scenario, options);
        EXPECT_TRUE(phone->ok()) << phone->error();
        return phone;
    }

    static std::string tag(const std::string &label) {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::string t = name.substr(0, 40) + "-" + label;
        for (char &c : t)
            c = std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::toupper(c)) : '-';
        return t;
    }
};

} // namespace

// --- Enumeration.

TEST_F(Driver, EnumerationListsTheInterfacesTheFlagsAsk) {
    USBTEST_REQUIRE_BUS();
    auto present = Phone("present");
    auto absent = Phone("absent", "plugged no\n");
    ASSERT_TRUE(present->ok() && absent->ok());

    // What the flasher asks for: present and active ones only.
    std::vector<Entry> entries = list(ANDROID_USB_CLASS_ID, true, true, true);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, u16(present->path()));
    EXPECT_TRUE(same(entries[0].class_id, ANDROID_USB_CLASS_ID));
    EXPECT_EQ(entries[0].flags, 1u) << "SPINT_ACTIVE";

    // Everything registered, each with the flags SetupAPI reports.
    entries = list(ANDROID_USB_CLASS_ID, false, false, false);
    ASSERT_EQ(entries.size(), 2u);
    for (const Entry &e : entries)
        EXPECT_EQ(e.flags, e.name == u16(present->path()) ? 1u : 0u);
    EXPECT_EQ(list(ANDROID_USB_CLASS_ID, false, false, true).size(), 1u);

    // Another class lists nothing, and so does the Android class once the phone is unplugged.
    EXPECT_TRUE(list(OTHER_CLASS, true, true, true).empty());
    present->unplug();
    EXPECT_TRUE(list(ANDROID_USB_CLASS_ID, true, true, true).empty());
}

TEST_F(Driver, EnumerationEntryTooSmallGetsTheSizeNeededAndStaysNext) {
    USBTEST_REQUIRE_BUS();
    auto phone = Phone("phone");
    ASSERT_TRUE(phone->ok());
    ADBAPIHANDLE e = g_Api.AdbEnumInterfaces(ANDROID_USB_CLASS_ID, true, true, true);
    ASSERT_NE(e, nullptr);
    const uint32_t needed = static_cast<uint32_t>(20 + 2 * (phone->path().size() + 1));
    uint32_t size = 20;
    std::vector<uint8_t> buffer(needed);
    auto *info = reinterpret_cast<AdbInterfaceInfo *>(buffer.data());
    EXPECT_FALSE(g_Api.AdbNextInterface(e, info, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, needed);
    size = 0;
    EXPECT_FALSE(g_Api.AdbNextInterface(e, nullptr, &size));
    EXPECT_EQ(size, needed);
    EXPECT_FALSE(g_Api.AdbNextInterface(e, info, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    size = needed;
    ASSERT_TRUE(g_Api.AdbNextInterface(e, info, &size));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(buffer.data() + 20)), u16(phone->path()));
    for (int i = 0; i < 2; ++i) {
        size = needed;
        EXPECT_FALSE(g_Api.AdbNextInterface(e, info, &size));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    }
    EXPECT_TRUE(g_Api.AdbCloseHandle(e));
}

TEST_F(Driver, TheFlashersScanFindsTheFastbootInterfaceOnly) {
    USBTEST_REQUIRE_BUS();
    auto other_function = Phone("adb", "interface-class 0xff 0x42 0x01\n");
    auto three_endpoints = Phone("three", "endpoints 3\n");
    auto fastboot = Phone("fastboot", "serial none\n");
    ASSERT_TRUE(other_function->ok() && three_endpoints->ok() && fastboot->ok());
    g_DriverApi = g_Api;
    UsbDeviceHandle *found = scan_for_device(is_fastboot_interface);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(std::string(found->interface_name), fastboot->path_utf8());
    free_device(found);
    // The walk left nothing open: every phone can be opened by another file.
    for (EmulatedPhone *p : {other_function.get(), three_endpoints.get(), fastboot.get()})
        EXPECT_TRUE(eventually([&] { return p->files_open() == 0; }));
    g_DriverApi = {};
}

// --- Opening, and the session that a second open shares.

TEST_F(Driver, SecondOpenSharesTheOneFileAndEitherCloseLeavesTheOtherWorking) {
    USBTEST_REQUIRE_BUS();
    auto phone = Phone("phone");
    ASSERT_TRUE(phone->ok());
    auto first = std::make_unique<Opened>(phone->path());
    ASSERT_TRUE(first->ok()) << GetLastError();

    // The emulation refuses a second file, as WinUSB does: without sharing the check below would fail.
    HANDLE file =
        CreateFileW(phone->path().c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    HMODULE winusb = GetModuleHandleW(L"winusb.dll");
    auto initialize = reinterpret_cast<decltype(&WinUsb_Initialize)>(
        reinterpret_cast<void *>(GetProcAddress(winusb, "WinUsb_Initialize")));
    WINUSB_INTERFACE_HANDLE usb = nullptr;
    EXPECT_FALSE(initialize(file, &usb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(file);

    auto second = std::make_unique<Opened>(phone->path());
    ASSERT_TRUE(second->ok()) << GetLastError();
    EXPECT_EQ(phone->files_opened(), 1u);
    EXPECT_EQ(exchange(*second, "getvar:product"), "OKAYphone");

    second.reset(); // the second handle goes: the first still works
    EXPECT_EQ(exchange(*first, "getvar:serialno"), "OKAYSIM-phone");
    auto third = std::make_unique<Opened>(phone->path());
    ASSERT_TRUE(third->ok());
    first.reset(); // the first goes: the third still works, on the same file
    EXPECT_EQ(exchange(*third, "getvar:serialno"), "OKAYSIM-phone");
    EXPECT_EQ(phone->files_opened(), 1u);
    third.reset();
    EXPECT_TRUE(eventually([&] { return phone->files_open() == 0; })) << "the last handle closes the file";
}

TEST_F(Driver, JoiningASessionNeverHidesAnUnplug) {
    USBTEST_REQUIRE_BUS();
    auto phone = Phone("phone");
    ASSERT_TRUE(phone->ok());
    Opened held(phone->path());
    ASSERT_TRUE(held.ok());

    phone->unplug();
    EXPECT_EQ(g_Api.AdbCreateInterfaceByName(u16(phone->path()).c_str()), nullptr);
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_NE(read_text(held.read, 500), "<error 121>") << "a phone that left is no time-out";

    // Plugged in again between two checks: the held handle is dead, so the check must still fail.
    phone->plug();
    Opened again_before(phone->path()); // a fresh session on the phone that came back
    ASSERT_TRUE(again_before.ok()) << GetLastError();
    phone->unplug();
    phone->plug();
    EXPECT_EQ(g_Api.AdbCreateInterfaceByName(u16(phone->path()).c_str()), nullptr);
    // Once the dead session is known, the next open starts afresh and works.
    Opened fresh(phone->path());
    ASSERT_TRUE(fresh.ok()) << GetLastError();
    EXPECT_EQ(exchange(fresh, "getvar:product"), "OKAYphone");
    EXPECT_NE(exchange(again_before, "getvar:product"), "OKAYphone");
}

TEST_F(Driver, OpeningWhatIsNotThereFails) {
    USBTEST_REQUIRE_BUS();
    auto absent = Phone("absent", "plugged no\n");
    ASSERT_TRUE(absent->ok());
    SetLastError(0);
    EXPECT_EQ(g_Api.AdbCreateInterfaceByName(u16(absent->path()).c_str()), nullptr);
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_EQ(g_Api.AdbCreateInterfaceByName(
                  u"\\\\?\\usb#vid_0000&pid_0000#none#{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}"),
              nullptr);
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_EQ(g_Api.AdbCreateInterfaceByName(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(g_Api.AdbCreateInterfaceByName(u""), nullptr);
    std::u16string endless(40000, u'x');
    EXPECT_EQ(g_Api.AdbCreateInterfaceByName(endless.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Driver, TheInterfacesFirstBulkPipesAreUsed) {
    USBTEST_REQUIRE_BUS();
    PhoneOptions options;
    // An interrupt pipe first, and a second pair of bulk pipes after the first: the phone answers on
    // 0x82 and 0x02 only.
    options.pipes = {
        {3, 0x83, 64, 1}, {2, 0x82, 512, 0}, {2, 0x02, 512, 0}, {2, 0x84, 512, 0}, {2, 0x03, 512, 0}};
    auto phone = Phone("phone", "", options);
    ASSERT_TRUE(phone->ok());
    Opened o(phone->path());
    ASSERT_TRUE(o.ok());
    EXPECT_EQ(exchange(o, "getvar:product"), "OKAYphone");

    PhoneOptions in_only;
    in_only.pipes = {{2, 0x81, 512, 0}};
    auto half = Phone("half", "", in_only);
    ASSERT_TRUE(half->ok());
    ADBAPIHANDLE iface = g_Api.AdbCreateInterfaceByName(u16(half->path()).c_str());
    ASSERT_NE(iface, nullptr);
    ADBAPIHANDLE read = g_Api.AdbOpenDefaultBulkReadEndpoint(iface, 0, 0);
    EXPECT_NE(read, nullptr);
    EXPECT_EQ(g_Api.AdbOpenDefaultBulkWriteEndpoint(iface, 0, 0), nullptr);
    EXPECT_NE(GetLastError(), 0u);
    g_Api.AdbCloseHandle(read);
    g_Api.AdbCloseHandle(iface);
}

// --- Descriptors and names.

TEST_F(Driver, DescriptorsComeFromThePhone) {
    USBTEST_REQUIRE_BUS();
    auto phone = Phone("phone", "vendor 0x18d1\nproduct 0x4ee0\ndevice-class 0xef 2 1\n");
    ASSERT_TRUE(phone->ok());
    Opened o(phone->path());
    ASSERT_TRUE(o.ok());
    UsbDeviceDescriptor device = {};
    ASSERT_TRUE(g_Api.AdbGetUsbDeviceDescriptor(o.iface, &device));
    EXPECT_EQ(device.bLength, 18);
    EXPECT_EQ(device.bDescriptorType, 1);
    EXPECT_EQ(device.idVendor, 0x18d1);
    EXPECT_EQ(device.idProduct, 0x4ee0);
    EXPECT_EQ(device.bDeviceClass, 0xef);
    EXPECT_EQ(device.bDeviceSubClass, 2);
    EXPECT_EQ(device.bDeviceProtocol, 1);
    EXPECT_EQ(device.iSerialNumber, 3);
    UsbInterfaceDescriptor iface = {};
    ASSERT_TRUE(g_Api.AdbGetUsbInterfaceDescriptor(o.iface, &iface));
    EXPECT_EQ(iface.bNumEndpoints, 2);
    EXPECT_EQ(iface.bInterfaceClass, 0xff);
    EXPECT_EQ(iface.bInterfaceSubClass, 0x42);
    EXPECT_EQ(iface.bInterfaceProtocol, 0x03);
    EXPECT_FALSE(g_Api.AdbGetUsbDeviceDescriptor(o.iface, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Driver, SerialNumberAndNameInBothFormsWithTheSizesOfTheAbi) {
    USBTEST_REQUIRE_BUS();
    PhoneOptions german;
    german.languages = {0x0407}; // the serial number is given in this language only
    auto phone = Phone("phone", "serial TX-123456\n", german);
    auto no_serial = Phone("none", "serial none\n");
    ASSERT_TRUE(phone->ok() && no_serial->ok());
    Opened o(phone->path());
    ASSERT_TRUE(o.ok());

    uint32_t size = 0;
    EXPECT_FALSE(g_Api.AdbGetSerialNumber(o.iface, nullptr, &size, true));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, 10u) << "bytes, the terminator included";
    char ansi[10];
    size = 5;
    EXPECT_FALSE(g_Api.AdbGetSerialNumber(o.iface, ansi, &size, true));
    EXPECT_EQ(size, 10u);
    ASSERT_TRUE(g_Api.AdbGetSerialNumber(o.iface, ansi, &size, true)) << GetLastError();
    EXPECT_STREQ(ansi, "TX-123456");
    size = 0;
    EXPECT_FALSE(g_Api.AdbGetSerialNumber(o.iface, nullptr, &size, false));
    EXPECT_EQ(size, 20u);
    char16_t wide[10];
    ASSERT_TRUE(g_Api.AdbGetSerialNumber(o.iface, wide, &size, false));
    EXPECT_EQ(std::u16string(wide), u"TX-123456");

    size = 0;
    g_Api.AdbGetInterfaceName(o.iface, nullptr, &size, true);
    ASSERT_EQ(size, phone->path().size() + 1);
    std::string name(size, '\0');
    ASSERT_TRUE(g_Api.AdbGetInterfaceName(o.iface, name.data(), &size, true));
    EXPECT_EQ(name.c_str(), phone->path_utf8());
    size = 0;
    g_Api.AdbGetInterfaceName(o.iface, nullptr, &size, false);
    ASSERT_EQ(size, 2 * (phone->path().size() + 1));
    std::u16string wide_name(size / 2, u'\0');
    ASSERT_TRUE(g_Api.AdbGetInterfaceName(o.iface, wide_name.data(), &size, false));
    EXPECT_EQ(wide_name.c_str(), u16(phone->path()));

    Opened n(no_serial->path());
    ASSERT_TRUE(n.ok());
    size = sizeof ansi;
    EXPECT_FALSE(g_Api.AdbGetSerialNumber(n.iface, ansi, &size, true));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

// --- Bulk transfers.

TEST_F(Driver, OneAtATimeAWriteIsOneTransferAndMayBeShortAZeroLengthReplyIsRead) {
    USBTEST_REQUIRE_BUS();
    auto phone = Phone("phone", "on download:* short-write 1000\non getvar:empty reply\n");
    ASSERT_TRUE(phone->ok());
    InFlight one("1");
    Opened o(phone->path());
    ASSERT_TRUE(o.ok());
    EXPECT_EQ(exchange(o, "download:00001000"), "DATA00001000");
    std::vector<uint8_t> data(4096, 0x5A);
    uint32_t written = 0;
    ASSERT_TRUE(g_Api.AdbWriteEndpointSync(o.write, data.data(), 4096, &written, 2000));
    EXPECT_EQ(written, 1000u) << "one transfer, as far as the phone took it";
    uint32_t rest = 4096 - 1000;
    while (rest > 0) {
        ASSERT_TRUE(g_Api.AdbWriteEndpointSync(o.write, data.data(), rest, &written, 2000));
        rest -= written;
    }
    EXPECT_EQ(read_text(o.read), "OKAY");
    EXPECT_NE(phone->transcript().find("data phone bytes=4096 crc32="), std::string::npos);
    EXPECT_NE(phone->transcript().find("transfers=5 largest=4096"), std::string::npos);

    EXPECT_TRUE(write_text(o.write, "getvar:empty"));
    char buffer[64];
    uint32_t got = 99;
    EXPECT_TRUE(g_Api.AdbReadEndpointSync(o.read, buffer, sizeof buffer, &got, 2000));
    EXPECT_EQ(got, 0u);
}

TEST_F(Driver, AReadTimeOutIs121AndLeavesNoTransferPending) {
    USBTEST_REQUIRE_BUS();
    auto phone = Phone("phone", "on getvar:serialno timeouts 2\n");
    ASSERT_TRUE(phone->ok());
    Opened o(phone->path());
    ASSERT_TRUE(o.ok());

    auto started = Clock::now();
    EXPECT_EQ(read_text(o.read, 300), "<error 121>") << "nothing to say";
    EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(250));
    EXPECT_EQ(phone->transfers_waiting(), 0u) << "the timed-out read was aborted";
    // The next reply goes to the next read, not to the one given up.
    EXPECT_EQ(exchange(o, "getvar:product"), "OKAYphone");

    // A phone slow to answer: every read that times out is ended, and the reply comes whole to the read
    // after them.
    ASSERT_TRUE(write_text(o.write, "getvar:serialno"));
    EXPECT_EQ(read_text(o.read, 200), "<error 121>");
    EXPECT_EQ(read_text(o.read, 200), "<error 121>");
    EXPECT_EQ(read_text(o.read, 200), "OKAYSIM-phone");
    EXPECT_EQ(phone->transfers_waiting(), 0u);
}

TEST_F(Driver, AWriteTimeOutIs121AndTheWriteNeverArrives) {
    USBTEST_REQUIRE_BUS();
    auto phone = Phone("phone");
    ASSERT_TRUE(phone->ok());
    Opened o(phone->path());
    ASSERT_TRUE(o.ok());
    phone->hold_writes(true);
    uint32_t written = 7;
    char command[] = "getvar:product";
    EXPECT_FALSE(g_Api.AdbWriteEndpointSync(o.write, command, sizeof command - 1, &written, 300));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(phone->transfers_waiting(), 0u);
    phone->hold_writes(false);
    EXPECT_EQ(exchange(o, "getvar:serialno"), "OKAYSIM-phone");
    EXPECT_EQ(phone->transcript().find("getvar:product"), std::string::npos) << phone->transcript();
}

TEST_F(Driver, APhoneThatLeavesFailsTransfersWithACodeOtherThan121) {
    USBTEST_REQUIRE_BUS();
    auto phone = Phone("phone", "on download:* unplug-after 1000\n");
    ASSERT_TRUE(phone->ok());
    Opened o(phone->path());
    ASSERT_TRUE(o.ok());

    // Unplugged while a read waits with a long time-out: the read ends at once, and not as a time-out.
    std::atomic<DWORD> error{0};
    std::atomic<bool> done{false};
    std::jthread reader([&] {
        char buffer[64];
        uint32_t got = 0;
        if (!g_Api.AdbReadEndpointSync(o.read, buffer, sizeof buffer, &got, 20000))
            error = GetLastError();
        done = true;
    });
    ASSERT_TRUE(eventually([&] { return phone->transfers_waiting() == 1; }));
    auto unplugged = Clock::now();
    phone->unplug();
    reader.join();
    EXPECT_TRUE(done);
    EXPECT_LT(Clock::now() - unplugged, std::chrono::seconds(10));
    EXPECT_NE(error.load(), 0u);
    EXPECT_NE(error.load(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_NE(read_text(o.read, 300), "<error 121>");
    EXPECT_FALSE(write_text(o.write, "getvar:product", 300));
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));

    // Gone in the middle of a data phase.
    o.close();
    phone->plug();
    Opened again(phone->path());
    ASSERT_TRUE(again.ok()) << GetLastError();
    EXPECT_EQ(exchange(again, "download:00001000"), "DATA00001000");
    std::vector<uint8_t> data(4096);
    // The chunk is left in flight; the read after it reports the phone gone.
    EXPECT_EQ(write_chunk(again.write, data.data()), 0u);
    std::string status = read_text(again.read);
    EXPECT_NE(status, "<error 121>");
    EXPECT_NE(status, "<error 0>");
    EXPECT_EQ(status.substr(0, 7), "<error ");
}

TEST_F(Driver, AReplyLongerThanTheReadGivesWhatWasAskedAndDropsTheRest) {
    USBTEST_REQUIRE_BUS();
    // 200 bytes: more than the 64 a status read asks for, as newer boot loaders may answer.
    std::string long_reply = "OKAY";
    while (long_reply.size() < 200)
        long_reply += static_cast<char>('a' + long_reply.size() % 26);
    auto phone = Phone("phone", "on getvar:long reply " + long_reply + "\n");
    ASSERT_TRUE(phone->ok());
    Opened o(phone->path());
    ASSERT_TRUE(o.ok());
    EXPECT_EQ(exchange(o, "getvar:long"), long_reply.substr(0, 64));
    // WinUSB keeps the rest of a reply for the next read; that rest must not pass for the next reply.
    EXPECT_EQ(exchange(o, "getvar:product"), "OKAYphone");

    ASSERT_TRUE(write_text(o.write, "getvar:long"));
    char small[16];
    uint32_t got = 0;
    EXPECT_TRUE(g_Api.AdbReadEndpointSync(o.read, small, sizeof small, &got, 2000)) << GetLastError();
    EXPECT_EQ(std::string(small, got), long_reply.substr(0, 16));
    EXPECT_EQ(exchange(o, "getvar:serialno"), "OKAYSIM-phone");
}

TEST_F(Driver, AJoinWhoseDescriptorReadTimesOutStillJoins) {
    USBTEST_REQUIRE_BUS();
    auto phone = Phone("phone");
    ASSERT_TRUE(phone->ok());
    Opened held(phone->path());
    ASSERT_TRUE(held.ok());

    // A phone too busy to answer on its control pipe is still there: the poll's check must not fail,
    // or the window lets go of the phone in the middle of a download. Nor may the check wait for
    // WinUSB's default 5 s control time-out on the window thread.
    phone->silence_control(true);
    auto started = Clock::now();
    ADBAPIHANDLE check = g_Api.AdbCreateInterfaceByName(u16(phone->path()).c_str());
    auto took = Clock::now() - started;
    EXPECT_NE(check, nullptr) << GetLastError();
    EXPECT_LT(took, std::chrono::milliseconds(4500));
    phone->silence_control(false);
    EXPECT_EQ(exchange(held, "getvar:product"), "OKAYphone");
    if (check != nullptr) {
        EXPECT_TRUE(g_Api.AdbCloseHandle(check));
    }
    EXPECT_EQ(phone->files_opened(), 1u);
}

// --- Writes in flight: a data chunk returns once it is started; the next write on its handle and the next
// read on the same interface handle wait for it and report its failure, never as a time-out (121).

TEST_F(Driver, AChunkReturnsOnceStartedAndTheStatusReadWaitsForIt) {
    USBTEST_REQUIRE_BUS();
    auto phone = Phone("phone");
    ASSERT_TRUE(phone->ok());
    Opened o(phone->path());
    ASSERT_TRUE(o.ok());
    std::vector<uint8_t> image(3 * 4096);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 13 + (i >> 8));
    ASSERT_EQ(exchange(o, "download:00003000"), "DATA00003000");
    phone->hold_writes(true);
    std::vector<uint8_t> chunk(4096);
    for (int i = 0; i < 3; ++i) {
        std::memcpy(chunk.data(), image.data() + i * 4096, 4096);
        EXPECT_EQ(write_chunk(o.write, chunk.data()), 0u);
        std::memset(chunk.data(), 0xEE, chunk.size()); // the caller's buffer is its own again
    }
    EXPECT_TRUE(eventually([&] { return phone->transfers_waiting() == 3; })) << "all three in the device";
    // The status read reaches the phone only once they are done.
    std::string status;
    std::jthread reader([&] { status = read_text(o.read, 20000); });
    EXPECT_FALSE(eventually([&] { return phone->transfers_waiting() > 3; }, 300));
    phone->hold_writes(false);
    reader.join();
    EXPECT_EQ(status, "OKAY");
    EXPECT_EQ(exchange(o, "flash:boot"), "OKAY");
    EXPECT_EQ(phone->partition("boot"), image);
    EXPECT_EQ(phone->early_reads(), 0u);
}

TEST_F(Driver, NoMoreThanTheLimitAreInFlight) {
    USBTEST_REQUIRE_BUS();
    auto phone = Phone("phone");
    ASSERT_TRUE(phone->ok());
    InFlight four("4");
    Opened o(phone->path());
    ASSERT_TRUE(o.ok());
    std::vector<uint8_t> image(10 * 4096, 0x3C);
    ASSERT_EQ(exchange(o, "download:0000a000"), "DATA0000a000");
    phone->hold_writes(true);
    std::atomic<int> failures{0};
    std::jthread writer([&] {
        for (int i = 0; i < 10; ++i)
            failures += write_chunk(o.write, image.data() + i * 4096) != 0;
    });
    ASSERT_TRUE(eventually([&] { return phone->transfers_waiting() == 4; })); // the fifth waits for the first
    phone->hold_writes(false);
    writer.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(phone->most_writes_held(), 4u);
    EXPECT_EQ(read_text(o.read), "OKAY");
}

TEST_F(Driver, AWriteThatFailsInFlightIsReportedByTheNextCallsAndNeverAsATimeOut) {
    USBTEST_REQUIRE_BUS();
    // A stall, a transfer the phone takes only in part, and a time-out, each on a phone of its own.
    auto stall = Phone("stall");
    auto part = Phone("part", "on download:* short-write 1000\n");
    auto late = Phone("late");
    ASSERT_TRUE(stall->ok() && part->ok() && late->ok());
    std::vector<uint8_t> chunk(4096, 0x77);
    const std::string failed = "<error " + std::to_string(ERROR_GEN_FAILURE) + ">";

    Opened s(stall->path());
    ASSERT_EQ(exchange(s, "download:00002000"), "DATA00002000");
    stall->stall_writes(true);
    EXPECT_EQ(write_chunk(s.write, chunk.data()), 0u);
    EXPECT_EQ(read_text(s.read), failed);
    // It stays reported, to a write and a read alike, until the handle is closed.
    EXPECT_EQ(write_chunk(s.write, chunk.data()), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(read_text(s.read), failed);

    Opened p(part->path());
    ASSERT_EQ(exchange(p, "download:00002000"), "DATA00002000");
    EXPECT_EQ(write_chunk(p.write, chunk.data()), 0u);
    EXPECT_FALSE(write_text(p.write, "getvar:product")) << "that chunk carried 1000 of its bytes";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));

    Opened l(late->path());
    ASSERT_EQ(exchange(l, "download:00002000"), "DATA00002000");
    late->hold_writes(true);
    EXPECT_EQ(write_chunk(l.write, chunk.data(), 300), 0u);
    // A command waits for the write before it: that one's time-out passes, and to the flasher it must not
    // look like a silent phone, which it would wait for for ever.
    EXPECT_FALSE(write_text(l.write, "getvar:product"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_TRUE(eventually([&] { return late->transfers_waiting() == 0; })) << "the late write was aborted";
}

TEST_F(Driver, ThePresenceCheckNeitherWaitsForNorAbortsNorConsumesWritesInFlight) {
    USBTEST_REQUIRE_BUS();
    auto phone = Phone("phone");
    ASSERT_TRUE(phone->ok());
    g_DriverApi = g_Api;
    UsbDeviceHandle *held = scan_for_device(is_fastboot_interface);
    ASSERT_NE(held, nullptr);
    std::vector<uint8_t> image(2 * 4096, 0x42);
    auto say = [&](const std::string &command) {
        if (bulk_write(held, 0, command.data(), static_cast<int32_t>(command.size()), 1) < 0)
            return std::string("<write failed>");
        char reply[64];
        int32_t n = bulk_read(held, reply, sizeof reply);
        return n < 0 ? "<error " + std::to_string(GetLastError()) + ">" : std::string(reply, n);
    };
    ASSERT_EQ(say("download:00002000"), "DATA00002000");
    phone->hold_writes(true);
    EXPECT_EQ(write_chunk(held->write_endpoint, image.data()), 0u);
    EXPECT_EQ(write_chunk(held->write_endpoint, image.data() + 4096), 0u);
    ASSERT_TRUE(eventually([&] { return phone->transfers_waiting() == 2; }));

    // The window's check, twice, while the worker's writes are held in the phone.
    std::u16string name(held->interface_name, held->interface_name + std::strlen(held->interface_name));
    for (int i = 0; i < 2; ++i) {
        UsbDeviceHandle *check = open_device_interface(name.c_str());
        EXPECT_NE(check, nullptr) << GetLastError();
        free_device(check);
    }
    EXPECT_EQ(phone->transfers_waiting(), 2u) << "nothing aborted";
    phone->hold_writes(false);
    char reply[64];
    EXPECT_EQ(bulk_read(held, reply, sizeof reply), 4);
    EXPECT_EQ(say("flash:boot"), "OKAY");
    EXPECT_EQ(phone->partition("boot"), image);

    // A failure in flight is the worker's to see, not the check's to take away.
    ASSERT_EQ(say("download:00001000"), "DATA00001000");
    phone->stall_writes(true);
    EXPECT_EQ(write_chunk(held->write_endpoint, image.data()), 0u);
    UsbDeviceHandle *check = open_device_interface(name.c_str());
    EXPECT_NE(check, nullptr);
    free_device(check);
    EXPECT_EQ(bulk_read(held, reply, sizeof reply), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    free_device(held);
    g_DriverApi = {};
}

TEST_F(Driver, AnUnplugWithWritesInFlightIsReportedAsTheDeviceGone) {
    USBTEST_REQUIRE_BUS();
    auto phone = Phone("phone");
    ASSERT_TRUE(phone->ok());
    Opened o(phone->path());
    ASSERT_TRUE(o.ok());
    std::vector<uint8_t> chunk(4096, 0x11);
    ASSERT_EQ(exchange(o, "download:00004000"), "DATA00004000");
    phone->hold_writes(true);
    EXPECT_EQ(write_chunk(o.write, chunk.data()), 0u);
    EXPECT_EQ(write_chunk(o.write, chunk.data()), 0u);
    phone->unplug();
    std::string status = read_text(o.read);
    EXPECT_NE(status, "<error 121>");
    EXPECT_EQ(status.substr(0, 7), "<error ");
    EXPECT_EQ(g_Api.AdbCreateInterfaceByName(u16(phone->path()).c_str()), nullptr) << "the check fails too";
}

TEST_F(Driver, ClosingWithWritesInFlightAbortsThemAndLetsTheFileGo) {
    USBTEST_REQUIRE_BUS();
    auto phone = Phone("phone");
    ASSERT_TRUE(phone->ok());
    {
        Opened o(phone->path());
        ASSERT_TRUE(o.ok());
        std::vector<uint8_t> chunk(4096, 0x22);
        ASSERT_EQ(exchange(o, "download:00010000"), "DATA00010000");
        phone->hold_writes(true);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(write_chunk(o.write, chunk.data()), 0u);
        ASSERT_TRUE(eventually([&] { return phone->transfers_waiting() == 3; }));
        ASSERT_TRUE(g_Api.AdbCloseHandle(o.write));
        o.write = nullptr;
        EXPECT_EQ(phone->transfers_waiting(), 0u) << "the close waited for its writes to end";
    }
    phone->hold_writes(false);
    EXPECT_TRUE(eventually([&] { return phone->files_open() == 0; }));
}

// --- Closing.

TEST_F(Driver, UnknownClosedAndWrongHandlesAreRefusedNeverFollowed) {
    USBTEST_REQUIRE_BUS();
    auto phone = Phone("phone");
    ASSERT_TRUE(phone->ok());
    Opened o(phone->path());
    ASSERT_TRUE(o.ok());
    int on_the_stack = 0;
    for (ADBAPIHANDLE bogus :
         {static_cast<ADBAPIHANDLE>(nullptr), reinterpret_cast<ADBAPIHANDLE>(0x10),
          reinterpret_cast<ADBAPIHANDLE>(0xdeadbeef0), static_cast<ADBAPIHANDLE>(&on_the_stack)}) {
        EXPECT_FALSE(g_Api.AdbCloseHandle(bogus));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    char buffer[64];
    uint32_t n = 0, size = sizeof buffer;
    // The wrong kind of handle for each operation.
    EXPECT_FALSE(g_Api.AdbReadEndpointSync(o.write, buffer, 64, &n, 100));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(g_Api.AdbWriteEndpointSync(o.read, buffer, 4, &n, 100));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(g_Api.AdbReadEndpointSync(o.iface, buffer, 64, &n, 100));
    EXPECT_FALSE(g_Api.AdbGetSerialNumber(o.read, buffer, &size, true));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(g_Api.AdbNextInterface(o.iface, reinterpret_cast<AdbInterfaceInfo *>(buffer), &size));
    EXPECT_EQ(g_Api.AdbOpenDefaultBulkReadEndpoint(o.read, 0, 0), nullptr);

    ADBAPIHANDLE read = o.read;
    EXPECT_TRUE(g_Api.AdbCloseHandle(read));
    o.read = nullptr;
    EXPECT_FALSE(g_Api.AdbCloseHandle(read));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(g_Api.AdbReadEndpointSync(read, buffer, 64, &n, 100));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Driver, InterfaceAndEndpointsCloseInEitherOrder) {
    USBTEST_REQUIRE_BUS();
    auto phone = Phone("phone");
    ASSERT_TRUE(phone->ok());
    {
        Opened o(phone->path());
        ASSERT_TRUE(o.ok());
        ASSERT_TRUE(g_Api.AdbCloseHandle(o.iface));
        o.iface = nullptr;
        EXPECT_EQ(exchange(o, "getvar:product"), "OKAYphone") << "endpoints outlive their interface";
        EXPECT_EQ(phone->files_open(), 1u);
        g_Api.AdbCloseHandle(o.read);
        o.read = nullptr;
        EXPECT_EQ(phone->files_open(), 1u);
        g_Api.AdbCloseHandle(o.write);
        o.write = nullptr;
        EXPECT_TRUE(eventually([&] { return phone->files_open() == 0; }))
            << "the last handle closes the file";
    }
    Opened o(phone->path());
    ASSERT_TRUE(o.ok());
    g_Api.AdbCloseHandle(o.write);
    g_Api.AdbCloseHandle(o.read);
    o.write = o.read = nullptr;
    UsbDeviceDescriptor device;
    EXPECT_TRUE(g_Api.AdbGetUsbDeviceDescriptor(o.iface, &device));
    g_Api.AdbCloseHandle(o.iface);
    o.iface = nullptr;
    EXPECT_TRUE(eventually([&] { return phone->files_open() == 0; }));
}

// --- Two threads at once.

TEST_F(Driver, NoLockIsHeldAcrossATransfer) {
    USBTEST_REQUIRE_BUS();
    auto phone = Phone("phone");
    ASSERT_TRUE(phone->ok());
    Opened worker(phone->path());
    ASSERT_TRUE(worker.ok());
    std::string reply;
    std::jthread reader([&] { reply = read_text(worker.read, 30000); });
    ASSERT_TRUE(eventually([&] { return phone->transfers_waiting() == 1; }));

    // While the worker's read waits, the window thread does all it does in a poll, promptly.
    auto started = Clock::now();
    {
        Opened check(phone->path());
        ASSERT_TRUE(check.ok());
        UsbDeviceDescriptor device;
        EXPECT_TRUE(g_Api.AdbGetUsbDeviceDescriptor(check.iface, &device));
        char serial[256];
        uint32_t size = sizeof serial;
        EXPECT_TRUE(g_Api.AdbGetSerialNumber(check.iface, serial, &size, true));
        EXPECT_EQ(list(ANDROID_USB_CLASS_ID, true, true, true).size(), 1u);
        // And the command whose reply ends the worker's read goes out on the second handle.
        EXPECT_TRUE(write_text(check.write, "getvar:product"));
    }
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(15)) << "the calls waited for the worker's read";
    reader.join();
    EXPECT_EQ(reply, "OKAYphone");
}

TEST_F(Driver, ThePollChecksWhileTheWorkerDownloads) {
    USBTEST_REQUIRE_BUS();
    auto phone = Phone("phone");
    ASSERT_TRUE(phone->ok());
    g_DriverApi = g_Api;
    UsbDeviceHandle *held = scan_for_device(is_fastboot_interface);
    ASSERT_NE(held, nullptr);

    std::vector<uint8_t> image(1 << 20);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7 + (i >> 12));
    std::atomic<bool> finished{false};
    std::string outcome;
    std::jthread worker([&] {
        auto say = [&](const std::string &command) {
            uint32_t n = 0;
            char reply[64];
            g_Api.AdbWriteEndpointSync(held->write_endpoint, const_cast<char *>(command.data()),
                                       static_cast<uint32_t>(command.size()), &n, 2000);
            return g_Api.AdbReadEndpointSync(held->read_endpoint, reply, 64, &n, 2000)
                       ? std::string(reply, n)
                       : std::string("<failed>");
        };
        outcome = say("download:00100000");
        for (size_t at = 0; at < image.size() && outcome == "DATA00100000";) {
            uint32_t n = 0;
            if (!g_Api.AdbWriteEndpointSync(held->write_endpoint, image.data() + at, 4096, &n, 8000)) {
                outcome = "<write failed>";
                break;
            }
            at += n;
        }
        char reply[64];
        uint32_t n = 0;
        if (outcome == "DATA00100000" && g_Api.AdbReadEndpointSync(held->read_endpoint, reply, 64, &n, 2000))
            outcome = say("flash:boot");
        finished = true;
    });
    // The window thread's check, as the poll makes it, over and over while the download runs.
    int checks = 0;
    std::u16string name(held->interface_name, held->interface_name + std::strlen(held->interface_name));
    while (!finished) {
        UsbDeviceHandle *check = open_device_interface(name.c_str());
        EXPECT_NE(check, nullptr) << GetLastError();
        free_device(check);
        ++checks;
    }
    worker.join();
    free_device(held);
    g_DriverApi = {};
    EXPECT_EQ(outcome, "OKAY");
    EXPECT_GT(checks, 0);
    EXPECT_EQ(phone->partition("boot"), image);
    EXPECT_EQ(phone->files_opened(), 1u);
    EXPECT_EQ(phone->files_refused(), 0u);
    EXPECT_EQ(phone->early_reads(), 0u);
}

// --- What the library allocates, and where it takes WinUSB from.

namespace {

std::atomic<DWORD> g_CountedThread{0};
std::atomic<int> g_Allocations{0};
void *(*g_Malloc)(size_t) = nullptr;
void *(*g_Calloc)(size_t, size_t) = nullptr;
void *(*g_Realloc)(void *, size_t) = nullptr;

void count() {
    if (GetCurrentThreadId() == g_CountedThread.load())
        ++g_Allocations;
}
void *counting_malloc(size_t n) {
    count();
    return g_Malloc(n);
}
void *counting_calloc(size_t n, size_t size) {
    count();
    return g_Calloc(n, size);
}
void *counting_realloc(void *p, size_t n) {
    count();
    return g_Realloc(p, n);
}

// Points `module`'s import of `dll`!`name` at `replacement`; returns what it pointed at, or null.
void *patch_import(HMODULE module, const char *dll, const char *name, void *replacement) {
    auto *base = reinterpret_cast<uint8_t *>(module);
    auto *nt =
        reinterpret_cast<IMAGE_NT_HEADERS *>(base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY &imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto *d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress); d->Name != 0;
         ++d) {
        if (_stricmp(reinterpret_cast<char *>(base + d->Name), dll) != 0)
            continue;
        auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + d->OriginalFirstThunk);
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + d->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto *by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<char *>(by_name->Name), name) != 0)
                continue;
            DWORD old;
            VirtualProtect(&slots->u1.Function, sizeof(void *), PAGE_READWRITE, &old);
            void *original = reinterpret_cast<void *>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof(void *), old, &old);
            return original;
        }
    }
    return nullptr;
}

} // namespace

TEST_F(Driver, TransfersAllocateNothing) {
    USBTEST_REQUIRE_BUS();
    auto phone = Phone("phone");
    ASSERT_TRUE(phone->ok());
    // Every allocation of the library goes through its imports of the C runtime; counted on this thread.
    HMODULE library = static_cast<HMODULE>(g_Library);
    if (g_Malloc == nullptr) {
        g_Malloc = reinterpret_cast<void *(*)(size_t)>(
            patch_import(library, "msvcrt.dll", "malloc", reinterpret_cast<void *>(&counting_malloc)));
        g_Calloc = reinterpret_cast<void *(*)(size_t, size_t)>(
            patch_import(library, "msvcrt.dll", "calloc", reinterpret_cast<void *>(&counting_calloc)));
        g_Realloc = reinterpret_cast<void *(*)(void *, size_t)>(
            patch_import(library, "msvcrt.dll", "realloc", reinterpret_cast<void *>(&counting_realloc)));
    }
    ASSERT_TRUE(g_Malloc != nullptr && g_Calloc != nullptr && g_Realloc != nullptr);
    Opened o(phone->path());
    ASSERT_TRUE(o.ok());
    ASSERT_EQ(exchange(o, "getvar:product"), "OKAYphone"); // first use of everything on the way
    ASSERT_EQ(read_text(o.read, 50), "<error 121>");
    // A data phase of as many chunks as stay in flight, held in the phone the first time so that every
    // transfer the library keeps for them has been made.
    std::vector<uint8_t> chunk(4096, 0x5A);
    const unsigned chunks = tarnex::drivers::IN_FLIGHT_DEFAULT;
    char download[32], data[32];
    std::snprintf(download, sizeof download, "download:%08x", chunks * 4096);
    std::snprintf(data, sizeof data, "DATA%08x", chunks * 4096);
    auto data_phase = [&](bool hold) {
        bool ok = exchange(o, download) == data;
        phone->hold_writes(hold);
        for (unsigned i = 0; i < chunks; ++i)
            ok = ok && write_chunk(o.write, chunk.data()) == 0;
        phone->hold_writes(false);
        return ok && read_text(o.read) == "OKAY";
    };
    ASSERT_TRUE(data_phase(true));

    // The counter itself must see allocations, or zero below would prove nothing.
    g_CountedThread = GetCurrentThreadId();
    g_Allocations = 0;
    ADBAPIHANDLE extra = g_Api.AdbCreateInterfaceByName(u16(phone->path()).c_str());
    EXPECT_GT(g_Allocations.load(), 0) << "an open allocates its handle";
    g_Api.AdbCloseHandle(extra);

    g_Allocations = 0;
    char command[] = "getvar:product";
    char reply[64];
    int ok = 0;
    for (int i = 0; i < 200; ++i) {
        uint32_t n = 0;
        ok += g_Api.AdbWriteEndpointSync(o.write, command, sizeof command - 1, &n, 2000) &&
              g_Api.AdbReadEndpointSync(o.read, reply, sizeof reply, &n, 2000);
    }
    uint32_t n = 0;
    EXPECT_FALSE(g_Api.AdbReadEndpointSync(o.read, reply, sizeof reply, &n, 50)); // the time-out path too
    ok += data_phase(false) ? 1 : 0;
    g_CountedThread = 0;
    EXPECT_EQ(ok, 201);
    EXPECT_EQ(g_Allocations.load(), 0);
}

TEST_F(Driver, WinUsbIsLoadedFromTheSystemDirectoryNeverFromTheLibrarysFolder) {
    USBTEST_REQUIRE_BUS();
    auto phone = Phone("phone");
    ASSERT_TRUE(phone->ok());
    Opened o(phone->path());
    ASSERT_TRUE(o.ok());
    EXPECT_FALSE(std::filesystem::exists(g_Deployed / "winusb.dll.loaded"));
    EXPECT_FALSE(std::filesystem::exists(g_Deployed / "setupapi.dll.loaded"));
    wchar_t path[MAX_PATH] = {}, system[MAX_PATH] = {};
    GetModuleFileNameW(GetModuleHandleW(L"winusb.dll"), path, MAX_PATH);
    GetSystemDirectoryW(system, MAX_PATH);
    EXPECT_EQ(_wcsicmp(path, (std::wstring(system) + L"\\winusb.dll").c_str()), 0)
        << std::filesystem::path(path).string();
}

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new BusEnvironment(true));
    return RUN_ALL_TESTS();
}

// The simulated phone through its exports only, loaded by path as the product loads a driver library.
// Every later test trusts this library, so these check it the way a host would see it: wire bytes,
// last-error codes, handle accounting, files written for another process.

#include "drivers/sim/sim_binding.h"
#include "os/os_api.h"
#include "tests/support/test_data.h"
#include "tests/support/test_files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

#ifdef _WIN32
constexpr uint32_t CODE_DEVICE_GONE = 1167; // ERROR_DEVICE_NOT_CONNECTED
constexpr uint32_t CODE_NOT_FOUND = 2;      // ERROR_FILE_NOT_FOUND
#else
constexpr uint32_t CODE_DEVICE_GONE = ENODEV;
constexpr uint32_t CODE_NOT_FOUND = ENOENT;
#endif
constexpr uint32_t CODE_TIMEOUT = OS_ERROR_TIMEOUT;
constexpr uint32_t CODE_INVALID_HANDLE = OS_ERROR_INVALID_HANDLE;

uint32_t last_error() {
    return g_OsApi.get_last_error();
}
void clear_last_error() {
    g_OsApi.set_last_error(0);
}

// Checks `condition` until it holds (true) or 20 s have passed (false).
template <typename Condition>
bool eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

// The library next to the test program, where the build puts it.
std::filesystem::path library_path() {
    std::string self;
    g_OsApi.executable_path(&self);
    return std::filesystem::path(self).parent_path() / TARNEX_SIM_FILE;
}

// The library loaded by path the way the product loads a driver, with every export bound.
struct SimLibrary : SimBinding {
    OsLibrary module = nullptr;

    bool load(const std::filesystem::path &path) {
        std::string reason;
        module = g_OsApi.library_load(path.string().c_str(), &reason);
        if (module == nullptr) {
            error = "cannot load " + path.string() + ": " + reason;
            return false;
        }
        return bind([&](const char *name) { return g_OsApi.library_symbol(module, name); });
    }
    void unload() {
        if (module != nullptr)
            g_OsApi.library_unload(module);
        module = nullptr;
    }
};

SimLibrary &library() {
    static SimLibrary lib;
    static bool loaded = lib.load(library_path());
    (void)loaded;
    return lib;
}

std::string hex8(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

std::string read_text(const std::string &path) {
    std::vector<uint8_t> bytes = read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

// A host-side view of one open interface with its two endpoints.
struct Connection {
    SimLibrary &sim;
    std::u16string name{};
    ADBAPIHANDLE iface = nullptr, rd = nullptr, wr = nullptr;

    bool open(const std::u16string &interface_name) {
        name = interface_name;
        iface = sim.AdbCreateInterfaceByName(name.c_str());
        if (iface == nullptr)
            return false;
        rd = sim.AdbOpenDefaultBulkReadEndpoint(iface, 0, 0);
        wr = sim.AdbOpenDefaultBulkWriteEndpoint(iface, 0, 0);
        return rd != nullptr && wr != nullptr;
    }
    void close() {
        for (ADBAPIHANDLE *h : {&wr, &rd, &iface}) {
            if (*h != nullptr)
                sim.AdbCloseHandle(*h);
            *h = nullptr;
        }
    }
    bool write(const std::string &bytes, uint32_t *written = nullptr) {
        uint32_t n = 0;
        bool ok = sim.AdbWriteEndpointSync(wr, const_cast<char *>(bytes.data()),
                                           static_cast<uint32_t>(bytes.size()), &n, 1000);
        if (written != nullptr)
            *written = n;
        return ok;
    }
    // One reply, or nullopt-like false with the last error kept in `error`.
    bool read(std::string &reply, uint32_t *error = nullptr, uint32_t capacity = 64) {
        char buf[4096];
        uint32_t n = 0;
        bool ok = sim.AdbReadEndpointSync(rd, buf, capacity, &n, 1012);
        if (!ok && error != nullptr)
            *error = last_error();
        reply.assign(buf, ok ? n : 0);
        return ok;
    }
    // Reads replies until one is not INFO; returns them joined with '|'.
    std::string replies() {
        std::string all, r;
        for (int i = 0; i < 100; ++i) {
            if (!read(r))
                return all + "|<error>";
            all += (all.empty() ? "" : "|") + r;
            if (r.substr(0, 4) != "INFO")
                break;
        }
        return all;
    }
    std::string command(const std::string &text) {
        if (!write(text))
            return "<write error>";
        return replies();
    }
    // Sends `data` in chunks of at most `chunk` bytes, continuing after short writes.
    bool send_data(const std::string &data, size_t chunk = 4096) {
        size_t pos = 0;
        while (pos < data.size()) {
            uint32_t n = 0;
            if (!write(data.substr(pos, std::min(chunk, data.size() - pos)), &n) || n == 0)
                return false;
            pos += n;
        }
        return true;
    }
    // The whole download exchange; returns the replies seen, e.g. "DATA00000010|OKAY".
    std::string download(const std::string &data) {
        std::string first = command("download:" + hex8(static_cast<uint32_t>(data.size())));
        if (first.substr(first.rfind('|') + 1, 4) != "DATA")
            return first;
        uint32_t size =
            static_cast<uint32_t>(std::strtoul(first.substr(first.rfind('|') + 5).c_str(), nullptr, 16));
        if (size > data.size())
            return first;
        if (size > 0 && !send_data(data.substr(0, size)))
            return first + "|<data error>";
        return first + "|" + replies();
    }
};

// The UTF-16 names the enumeration lists, in its order; the enumeration handle is closed.
std::vector<std::u16string> list_interfaces(SimLibrary &sim) {
    std::vector<std::u16string> names;
    ADBAPIHANDLE e = sim.AdbEnumInterfaces(ANDROID_USB_CLASS_ID, true, true, true);
    alignas(8) uint8_t entry[2048];
    uint32_t size = sizeof entry;
    while (sim.AdbNextInterface(e, reinterpret_cast<AdbInterfaceInfo *>(entry), &size)) {
        names.emplace_back(reinterpret_cast<const char16_t *>(entry + ADB_INTERFACE_NAME_OFFSET));
        size = sizeof entry;
    }
    sim.AdbCloseHandle(e);
    return names;
}

std::u16string widen(const std::string &s) {
    return std::u16string(s.begin(), s.end());
}

// Each test starts from the default phone; `c` is closed after the test, whatever it did.
class SimTest : public ::testing::Test {
protected:
    SimLibrary &sim = library();
    Connection c{sim};

    void SetUp() override {
        ASSERT_TRUE(sim.error.empty()) << sim.error << " in " << library_path();
        sim.reset();
    }
    void TearDown() override { c.close(); }
    void configure(const std::string &text) {
        char error[256] = "";
        ASSERT_EQ(0, sim.configure(text.c_str(), error, sizeof error)) << error;
    }
    std::string configure_error(const std::string &text) {
        char error[256] = "";
        EXPECT_EQ(-1, sim.configure(text.c_str(), error, sizeof error)) << text;
        return error;
    }
    // Opens the first listed interface and forgets the transcript so far.
    void connect(Connection &connection) {
        auto names = list_interfaces(sim);
        ASSERT_FALSE(names.empty());
        ASSERT_TRUE(connection.open(names[0]));
        sim.clear_transcript();
    }
    // Starts the simulation with `scenario` and connects `c` to its first phone.
    void open(const std::string &scenario) {
        configure(scenario);
        connect(c);
    }
};

// --- discovery --------------------------------------------------------------------------------------------

TEST_F(SimTest, DefaultPhoneIsOneFastbootInterfaceWithDescriptorsAndSerial) {
    alignas(8) uint8_t entry[2048];
    ADBAPIHANDLE e = sim.AdbEnumInterfaces(ANDROID_USB_CLASS_ID, true, true, true);
    ASSERT_NE(e, nullptr);
    uint32_t size = 10;
    EXPECT_FALSE(sim.AdbNextInterface(e, reinterpret_cast<AdbInterfaceInfo *>(entry), &size));
    EXPECT_GT(size, ADB_INTERFACE_NAME_OFFSET) << "a short buffer learns the size it needs";
    size = sizeof entry;
    ASSERT_TRUE(sim.AdbNextInterface(e, reinterpret_cast<AdbInterfaceInfo *>(entry), &size));
    EXPECT_EQ(0, std::memcmp(entry, &ANDROID_USB_CLASS_ID, 16));
    std::u16string name(reinterpret_cast<const char16_t *>(entry + ADB_INTERFACE_NAME_OFFSET));
    size = sizeof entry;
    EXPECT_FALSE(sim.AdbNextInterface(e, reinterpret_cast<AdbInterfaceInfo *>(entry), &size));
    EXPECT_TRUE(sim.AdbCloseHandle(e));

    ADBAPIHANDLE i = sim.AdbCreateInterfaceByName(name.c_str());
    ASSERT_NE(i, nullptr);
    UsbDeviceDescriptor dd{};
    UsbInterfaceDescriptor id{};
    ASSERT_TRUE(sim.AdbGetUsbDeviceDescriptor(i, &dd));
    ASSERT_TRUE(sim.AdbGetUsbInterfaceDescriptor(i, &id));
    EXPECT_EQ(dd.bLength, 18);
    EXPECT_EQ(dd.bDescriptorType, 1);
    EXPECT_EQ(id.bLength, 9);
    EXPECT_EQ(id.bNumEndpoints, 2);
    EXPECT_EQ(id.bInterfaceClass, 0xFF);
    EXPECT_EQ(id.bInterfaceSubClass, 0x42);
    EXPECT_EQ(id.bInterfaceProtocol, 0x03);

    char serial[256];
    size = sizeof serial;
    ASSERT_TRUE(sim.AdbGetSerialNumber(i, serial, &size, true));
    EXPECT_STREQ(serial, "SIM-phone");

    // The two-step name query: the size first (terminator included), then the text.
    size = 0;
    EXPECT_FALSE(sim.AdbGetInterfaceName(i, nullptr, &size, true));
    ASSERT_EQ(size, name.size() + 1);
    std::string ansi(size, '\0');
    ASSERT_TRUE(sim.AdbGetInterfaceName(i, ansi.data(), &size, true));
    EXPECT_EQ(widen(ansi.c_str()), name);
    size = 0;
    sim.AdbGetInterfaceName(i, nullptr, &size, false);
    EXPECT_EQ(size, 2 * (name.size() + 1));
    EXPECT_TRUE(sim.AdbCloseHandle(i));
}

TEST_F(SimTest, ListsAttachedPhonesInScenarioOrderWithTheirOwnDescriptors) {
    configure("device a\nserial AAA\nvendor 0x1234\nproduct 0x5678\n"
              "device b\nserial none\nname my-interface\ninterface-class 0xff 0x42 0x01\nendpoints 3\n"
              "device c\nplugged no\n");
    auto names = list_interfaces(sim);
    ASSERT_EQ(names.size(), 2u) << "a detached phone is not listed";
    EXPECT_NE(names[0].find(u"vid_1234&pid_5678#AAA#"), std::u16string::npos);
    EXPECT_EQ(names[1], u"my-interface");

    ADBAPIHANDLE b = sim.AdbCreateInterfaceByName(names[1].c_str());
    ASSERT_NE(b, nullptr);
    UsbInterfaceDescriptor id{};
    ASSERT_TRUE(sim.AdbGetUsbInterfaceDescriptor(b, &id));
    EXPECT_EQ(id.bNumEndpoints, 3);
    EXPECT_EQ(id.bInterfaceProtocol, 0x01);
    char serial[256];
    uint32_t size = sizeof serial;
    EXPECT_FALSE(sim.AdbGetSerialNumber(b, serial, &size, true)) << "a phone without serial number";
    sim.AdbCloseHandle(b);

    ASSERT_EQ(0, sim.plug("c"));
    EXPECT_EQ(list_interfaces(sim).size(), 3u);
    EXPECT_EQ(-1, sim.plug("nobody"));

    ADBAPIHANDLE other = sim.AdbEnumInterfaces(AdbGuid{1, 2, 3, {4}}, true, true, true);
    alignas(8) uint8_t entry[2048];
    size = sizeof entry;
    EXPECT_FALSE(sim.AdbNextInterface(other, reinterpret_cast<AdbInterfaceInfo *>(entry), &size))
        << "nothing is listed under another interface class";
    sim.AdbCloseHandle(other);
}

TEST_F(SimTest, NoPhoneAtAllIsAnEmptyEnumeration) {
    configure("# nothing attached\n");
    EXPECT_TRUE(list_interfaces(sim).empty());
    EXPECT_EQ(sim.AdbCreateInterfaceByName(u"\\\\?\\usb#anything"), nullptr);
    EXPECT_EQ(last_error(), CODE_NOT_FOUND) << "a name nobody has is not found, not gone";
    EXPECT_EQ(sim.stats().open_now, 0u);
}

// --- handles ----------------------------------------------------------------------------------------------

TEST_F(SimTest, HandlesAreCountedAndADoubleOrUnknownCloseIsRefusedNotFollowed) {
    connect(c);
    auto s = sim.stats();
    EXPECT_EQ(s.open_now, 3u);
    EXPECT_EQ(s.open_interfaces, 1u);
    EXPECT_EQ(s.open_endpoints, 2u);

    // The window's presence check: a second handle on the same interface while the first is open.
    ADBAPIHANDLE again = sim.AdbCreateInterfaceByName(c.name.c_str());
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again, c.iface);
    EXPECT_TRUE(sim.AdbCloseHandle(again));

    clear_last_error();
    EXPECT_FALSE(sim.AdbCloseHandle(again));
    EXPECT_EQ(last_error(), CODE_INVALID_HANDLE);
    EXPECT_FALSE(sim.AdbCloseHandle(nullptr));
    EXPECT_FALSE(sim.AdbCloseHandle(reinterpret_cast<ADBAPIHANDLE>(uintptr_t{0xDEADBEEF})));
    s = sim.stats();
    EXPECT_EQ(s.bad_closes, 3u);

    // A closed handle is refused by every operation, with the invalid-handle code.
    std::string r;
    uint32_t n = 0;
    char buf[64];
    clear_last_error();
    EXPECT_FALSE(sim.AdbReadEndpointSync(again, buf, 64, &n, 100));
    EXPECT_EQ(last_error(), CODE_INVALID_HANDLE);
    // So is a handle of the wrong kind.
    EXPECT_FALSE(sim.AdbWriteEndpointSync(c.rd, buf, 4, &n, 100));
    EXPECT_EQ(last_error(), CODE_INVALID_HANDLE);
    EXPECT_EQ(sim.AdbOpenDefaultBulkReadEndpoint(c.wr, 0, 0), nullptr);
    EXPECT_EQ(sim.stats().bad_handles, 3u);

    c.close();
    s = sim.stats();
    EXPECT_EQ(s.open_now, 0u);
    EXPECT_EQ(s.opened, s.closed);
    std::string t = sim.transcript();
    EXPECT_NE(t.find("bad-close - handle=0x0\n"), std::string::npos) << t;
    EXPECT_NE(t.find("bad-close - handle=0xdeadbeef\n"), std::string::npos) << t;
}

TEST_F(SimTest, ReconfiguringForgetsEveryEarlierHandle) {
    connect(c);
    sim.reset();
    EXPECT_EQ(sim.stats().open_now, 0u);
    EXPECT_FALSE(sim.AdbCloseHandle(c.iface));
    EXPECT_EQ(sim.stats().bad_closes, 1u);
}

// --- the protocol -----------------------------------------------------------------------------------------

TEST_F(SimTest, DownloadAndFlashStoreTheImageByteForByteWithAnExactTranscript) {
    connect(c);
    std::string image = test_pattern_text(10000, 1);
    EXPECT_EQ(c.command("download:00002710"), "DATA00002710");
    // Chunks as the host's bulk writer makes them: 4096, 4096, 1808.
    ASSERT_TRUE(c.send_data(image));
    EXPECT_EQ(c.replies(), "OKAY");
    EXPECT_EQ(c.command("flash:boot"), "OKAY");
    EXPECT_EQ(sim.partition("phone", "boot"), image);

    std::string crc = hex8(reference_crc32(image));
    EXPECT_EQ(sim.transcript(), "out phone \"download:00002710\"\n"
                                "in phone \"DATA00002710\"\n"
                                "data phone bytes=10000 crc32=" +
                                    crc +
                                    " transfers=3 largest=4096\n"
                                    "in phone \"OKAY\"\n"
                                    "out phone \"flash:boot\"\n"
                                    "flash phone boot bytes=10000 crc32=" +
                                    crc +
                                    "\n"
                                    "in phone \"OKAY\"\n");

    // The last download stays: it can go to a second partition, and a new one replaces it.
    EXPECT_EQ(c.command("flash:recovery"), "OKAY");
    EXPECT_EQ(sim.partition("phone", "recovery"), image);
    std::string second = test_pattern_text(5000, 2);
    EXPECT_EQ(c.download(second), "DATA00001388|OKAY");
    EXPECT_EQ(c.command("flash:boot"), "OKAY");
    EXPECT_EQ(sim.partition("phone", "boot"), second);
    EXPECT_EQ(sim.partition("phone", "recovery"), image);

    EXPECT_EQ(c.command("erase:recovery"), "OKAY");
    EXPECT_EQ(sim.partition_fn("phone", "recovery", nullptr, 0), 0);
    EXPECT_EQ(sim.partition_fn("phone", "nothing", nullptr, 0), -2);
    EXPECT_EQ(sim.partition_fn("nobody", "boot", nullptr, 0), -1);
}

TEST_F(SimTest, RefusesWhatARealPhoneRefuses) {
    open("device p\npartitions none\npartition boot 16\nmax-download 32\n");
    EXPECT_EQ(c.command("flash:boot"), "FAILno image downloaded");
    EXPECT_EQ(c.command("download:00000021"), "FAILdownload size too large");
    EXPECT_EQ(c.command("download:zz"), "FAILinvalid download size");
    EXPECT_EQ(c.download(test_pattern_text(17, 3)), "DATA00000011|OKAY");
    EXPECT_EQ(c.command("flash:boot"), "FAILimage too large for partition");
    EXPECT_EQ(c.command("flash:system"), "FAILunknown partition");
    EXPECT_EQ(c.command("erase:cache"), "FAILunknown partition");
    EXPECT_EQ(c.command("oem unlock"), "FAILunknown command");
    EXPECT_EQ(c.command(std::string(65, 'x')), "FAILcommand too long");
    EXPECT_EQ(c.command("getvar:max-download-size"), "OKAY0x00000020");
    EXPECT_EQ(sim.partition_fn("p", "boot", nullptr, 0), 0) << "nothing refused reached the partition";
}

TEST_F(SimTest, RebootAnswersThenLeavesTheBusAndHandlesDieWithTheAttachment) {
    connect(c);
    ASSERT_EQ(c.download(test_pattern_text(100, 4)), "DATA00000064|OKAY");
    ASSERT_EQ(c.command("flash:system"), "OKAY");
    EXPECT_EQ(c.command("reboot"), "OKAY");
    EXPECT_EQ(sim.is_plugged("phone"), 0);
    EXPECT_TRUE(list_interfaces(sim).empty());

    std::string r;
    uint32_t error = 0;
    EXPECT_FALSE(c.read(r, &error));
    EXPECT_EQ(error, CODE_DEVICE_GONE) << "gone is not a time-out: the host must stop waiting";
    EXPECT_FALSE(c.write("getvar:product"));
    EXPECT_EQ(last_error(), CODE_DEVICE_GONE);
    EXPECT_EQ(sim.AdbCreateInterfaceByName(c.name.c_str()), nullptr);
    EXPECT_EQ(last_error(), CODE_DEVICE_GONE) << "the poll's reopen learns that the phone has gone";

    // Back on the bus, the old handles stay dead while new ones work; the flash survived.
    ASSERT_EQ(0, sim.plug("phone"));
    EXPECT_FALSE(c.write("getvar:product"));
    Connection fresh{sim};
    connect(fresh);
    EXPECT_EQ(fresh.command("getvar:product"), "OKAYphone");
    EXPECT_EQ(sim.partition("phone", "system"), test_pattern_text(100, 4));
    fresh.close();
    c.close();
    EXPECT_EQ(sim.stats().open_now, 0u) << "handles of a departed phone still close";
    EXPECT_EQ(sim.stats().bad_closes, 0u);
}

TEST_F(SimTest, APhoneSetToComeBackReappearsAfterItsRebootTime) {
    open("device p\nafter-reboot back 50\n");
    ASSERT_EQ(c.command("reboot"), "OKAY");
    EXPECT_EQ(sim.is_plugged("p"), 0);
    ASSERT_TRUE(eventually([&] { return sim.is_plugged("p") == 1; }));
    EXPECT_FALSE(c.write("getvar:product")) << "the old attachment's handles stay dead";
}

TEST_F(SimTest, APhonePluggedInLaterJoinsTheBusAfterItsTime) {
    ASSERT_TRUE(sim.scenario("device p\nplugged after 50\n")) << sim.error;
    EXPECT_EQ(sim.is_plugged("p"), 0);
    ASSERT_TRUE(eventually([&] { return sim.is_plugged("p") == 1; }));
    EXPECT_NE(sim.transcript().find("plug p\n"), std::string::npos) << sim.transcript();
    EXPECT_FALSE(sim.scenario("device p\nplugged after\n")) << "a time is needed";
    sim.error.clear(); // the library's, which every test checks first
}

TEST_F(SimTest, NothingToSayIsAnImmediateTimeOutAndATooSmallBufferLosesTheReply) {
    connect(c);
    std::string r;
    uint32_t error = 0;
    EXPECT_FALSE(c.read(r, &error));
    EXPECT_EQ(error, CODE_TIMEOUT);

    ASSERT_TRUE(c.write("getvar:product"));
    EXPECT_FALSE(c.read(r, &error, 4));
    EXPECT_NE(error, CODE_TIMEOUT);
    EXPECT_FALSE(c.read(r, &error));
    EXPECT_EQ(error, CODE_TIMEOUT);
}

// --- faults on demand -------------------------------------------------------------------------------------

// Rules the protocol tests meet through the real transport (replies, bare and quoted failures, INFO
// lines, "#N" triggers, final replies, smaller and zero data sizes) are checked there, against the host's
// reading of them; these are the rules no host-side test plays.
TEST_F(SimTest, ScriptedFailuresAndInfoLinesAreSentAsWritten) {
    open("device p\n"
         "on flash:boot fail partition locked\n"
         "on erase:* info erasing\n"
         "on erase:* info \"  two \\x01\"\n"
         "on download:*#2 final-fail bad image\n");
    ASSERT_EQ(c.download(test_pattern_text(10, 5)), "DATA0000000a|OKAY");
    EXPECT_EQ(c.command("flash:boot"), "FAILpartition locked");
    EXPECT_EQ(sim.partition_fn("p", "boot", nullptr, 0), 0) << "a refused flash writes nothing";
    EXPECT_EQ(c.command("erase:cache"), "INFOerasing|INFO  two \x01|OKAY");
    EXPECT_EQ(c.download(test_pattern_text(10, 5)), "DATA0000000a|FAILbad image");
    EXPECT_NE(sim.transcript().find("in p \"INFO  two \\x01\"\n"), std::string::npos);
}

// Larger than offered: the host refuses to send, and the phone still waits for its bytes.
TEST_F(SimTest, ADataSizeLargerThanOfferedIsWhatThePhoneThenWaitsFor) {
    open("device p\non download:* data-size +1\n");
    EXPECT_EQ(c.command("download:00000064"), "DATA00000065");
    ASSERT_TRUE(c.send_data(test_pattern_text(101, 7)));
    EXPECT_EQ(c.replies(), "OKAY");
}

TEST_F(SimTest, TimeOutsBeforeAReplyAreCountedExactly) {
    open("device p\non getvar:product timeouts 3\non download:* final-timeouts 2\n");
    ASSERT_TRUE(c.write("getvar:product"));
    std::string r;
    for (int i = 0; i < 3; ++i) {
        uint32_t error = 0;
        EXPECT_FALSE(c.read(r, &error));
        EXPECT_EQ(error, CODE_TIMEOUT);
    }
    ASSERT_TRUE(c.read(r));
    EXPECT_EQ(r, "OKAYp");

    EXPECT_EQ(c.command("download:00000004"), "DATA00000004");
    ASSERT_TRUE(c.send_data("abcd"));
    EXPECT_FALSE(c.read(r));
    EXPECT_FALSE(c.read(r));
    ASSERT_TRUE(c.read(r));
    EXPECT_EQ(r, "OKAY");
    std::string t = sim.transcript();
    size_t count = 0;
    for (size_t pos = 0; (pos = t.find("timeout p\n", pos)) != std::string::npos; ++pos)
        ++count;
    EXPECT_EQ(count, 5u);
}

TEST_F(SimTest, UnplugAtACommandOrAfterSomeDataKeepsWhatWasFlashed) {
    open("device p\non #3 unplug\n");
    ASSERT_EQ(c.download(test_pattern_text(8, 8)), "DATA00000008|OKAY");
    ASSERT_EQ(c.command("flash:amss"), "OKAY");
    EXPECT_FALSE(c.write("flash:cefs")) << "the third command meets no phone";
    EXPECT_EQ(last_error(), CODE_DEVICE_GONE);
    EXPECT_EQ(sim.partition("p", "amss"), test_pattern_text(8, 8));
    c.close();

    open("device p\non download:* unplug-after 5000\n");
    EXPECT_EQ(c.command("download:00002710"), "DATA00002710");
    uint32_t n = 0;
    EXPECT_TRUE(c.write(test_pattern_text(4096, 9), &n));
    EXPECT_FALSE(c.write(test_pattern_text(4096, 9), &n));
    EXPECT_EQ(last_error(), CODE_DEVICE_GONE);
    EXPECT_EQ(n, 5000u - 4096u);
    EXPECT_NE(sim.transcript().find("data-cut p bytes=5000 of=10000\nunplug p data\n"), std::string::npos)
        << sim.transcript();
    c.close();
    EXPECT_EQ(sim.stats().open_now, 0u);
}

TEST_F(SimTest, ShortWritesMakeTheHostContinueWhereThePhoneStopped) {
    open("device p\non download:* short-write 1000\n");
    std::string image = test_pattern_text(4096, 10);
    EXPECT_EQ(c.command("download:00001000"), "DATA00001000");
    uint32_t n = 0;
    ASSERT_TRUE(c.write(image, &n));
    EXPECT_EQ(n, 1000u);
    ASSERT_TRUE(c.send_data(image.substr(1000)));
    EXPECT_EQ(c.replies(), "OKAY");
    ASSERT_EQ(c.command("flash:boot"), "OKAY");
    EXPECT_EQ(sim.partition("p", "boot"), image);
}

TEST_F(SimTest, OpensCanBeMadeToFailOrToFindThePhoneGone) {
    configure("device p\non open#2 fail\non open#3 unplug\n");
    auto names = list_interfaces(sim);
    ASSERT_EQ(names.size(), 1u);
    ADBAPIHANDLE first = sim.AdbCreateInterfaceByName(names[0].c_str());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(sim.AdbCreateInterfaceByName(names[0].c_str()), nullptr);
    EXPECT_NE(last_error(), CODE_TIMEOUT);
    EXPECT_EQ(sim.AdbCreateInterfaceByName(names[0].c_str()), nullptr);
    EXPECT_EQ(last_error(), CODE_DEVICE_GONE);
    EXPECT_EQ(sim.is_plugged("p"), 0);
    EXPECT_TRUE(sim.AdbCloseHandle(first));
    EXPECT_EQ(sim.stats().open_now, 0u);
}

TEST_F(SimTest, ARateSlowsTheLinkInRealTime) {
    // Only a lower bound: a busy machine can make it slower, never faster.
    open("device p\nrate 2M\n");
    std::string image = test_pattern_text(400 * 1024, 11);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(c.download(image), "DATA00064000|OKAY");
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(150));
}

TEST_F(SimTest, DataModesThatKeepNoBytesStillReportSizeAndChecksum) {
    configure("device a\ndata crc\ndevice b\ndata discard\n");
    auto names = list_interfaces(sim);
    ASSERT_EQ(names.size(), 2u);
    std::string image = test_pattern_text(9000, 12);
    for (const auto &name : names) {
        ASSERT_TRUE(c.open(name));
        ASSERT_EQ(c.download(image), "DATA00002328|OKAY");
        ASSERT_EQ(c.command("flash:boot"), "OKAY");
        c.close();
    }
    EXPECT_EQ(sim.partition_fn("a", "boot", nullptr, 0), -3);
    std::string t = sim.transcript();
    EXPECT_NE(t.find("flash a boot bytes=9000 crc32=" + hex8(reference_crc32(image))), std::string::npos)
        << t;
    EXPECT_NE(t.find("flash b boot bytes=9000 crc32=-"), std::string::npos) << t;
}

// --- scenario text ----------------------------------------------------------------------------------------

TEST_F(SimTest, BadScenariosAreRefusedWithTheLineAndTheReason) {
    struct Case {
        const char *text;
        const char *message;
    } cases[] = {
        {"device a\nvendr 1\n", "line 2: unknown key 'vendr'"},
        {"vendor 1\n", "line 1: 'vendor' belongs in a device block"},
        {"device a\nvendor 0x10000\n", "line 2: vendor ID 0x10000 is above the largest allowed, 65535"},
        {"device a\npartition boot 12Q\n", "line 2: partition size '12Q' is not a number"},
        {"device a\npartition boot 99999999999999999999\n", "line 2: partition size is too large"},
        {"device a\non flash:boot frobnicate\n", "line 2: unknown action 'frobnicate'"},
        {"device a\non flash:boot fail 0123456789012345678901234567890123456789012345678901234567890\n",
         "line 2: the text of 'fail' is 61 bytes; a reply holds at most 60"},
        {"device a\n\n# x\ndevice a\n", "line 4: device 'a' is defined twice"},
        {"device a\nserial X\ndevice b\nserial X\n", "devices 'a' and 'b' have the same interface name"},
        {"device a\non open#2 info hi\n", "line 2: an 'open#N' trigger takes only 'unplug' or 'fail'"},
        {"device a\non x reply \"abc\n", "line 2: a quoted text has no closing quote"},
        {"device a\non #0 fail\n", "line 2: command number counts from 1"},
        {"device a\ninterface-class 0xff 0x42\n", "line 2: 'interface-class' needs a class"},
        {"device a\non x info \\q\n", "line 2: unknown escape '\\q'"},
        {"device a b\n", "line 1: 'device' takes fewer values"},
        {"device a\ndata most\n", "line 2: 'data' is 'keep', 'crc' or 'discard'"},
        {"device a\non x short-write 0\n", "line 2: 'short-write' needs at least 1 byte"},
    };
    configure("device keep\n");
    for (const auto &bad : cases) {
        std::string error = configure_error(bad.text);
        EXPECT_EQ(error.substr(0, std::strlen(bad.message)), bad.message) << "for: " << bad.text;
    }
    EXPECT_EQ(sim.is_plugged("keep"), 1) << "a refused scenario changes nothing";
    EXPECT_EQ(-1, sim.configure("vendr", nullptr, 0)) << "no error buffer is fine";
    EXPECT_EQ(-1, sim.configure_file("/no/such/scenario", nullptr, 0));
}

// --- files for another process ----------------------------------------------------------------------------

TEST_F(SimTest, TranscriptAndPartitionsGoToFilesAsTheyHappen) {
    TempDir dir;
    write_file(dir.Path("scenario.txt"),
               bytes_of("transcript-file log.txt\npartition-dir parts\ndevice p\n"));
    char error[256] = "";
    ASSERT_EQ(0, sim.configure_file(dir.Path("scenario.txt").c_str(), error, sizeof error)) << error;
    connect(c);
    std::string image = test_pattern_text(3000, 13);
    ASSERT_EQ(c.download(image), "DATA00000bb8|OKAY");
    ASSERT_EQ(c.command("flash:boot"), "OKAY");
    ASSERT_EQ(c.command("erase:cache"), "OKAY");
    EXPECT_EQ(read_text(dir.Path("parts/p/boot.img")), image);
    EXPECT_TRUE(std::filesystem::exists(dir.Path("parts/p/cache.img")));
    EXPECT_EQ(std::filesystem::file_size(dir.Path("parts/p/cache.img")), 0u);
    EXPECT_FALSE(std::filesystem::exists(dir.Path("parts/p/system.img"))) << "untouched";
    c.close();
    // The file has every line at once, also those the memory copy has forgotten since.
    std::string log = read_text(dir.Path("log.txt")), memory = sim.transcript();
    EXPECT_EQ(log.substr(0, 9), "open - h=");
    ASSERT_GE(log.size(), memory.size());
    EXPECT_EQ(log.substr(log.size() - memory.size()), memory);

    ASSERT_EQ(0, sim.write_partitions(dir.Path("later").c_str()));
    EXPECT_EQ(read_text(dir.Path("later/p/boot.img")), image);
    sim.reset(); // the transcript file is closed before its folder goes
}

// A fresh copy of the library, loaded the way the product loads its driver, starts from the environment.
// The folder outlives the loaded copy: a loaded library cannot be deleted on Windows.
class StartUpTest : public ::testing::Test {
protected:
    TempDir dir;
    SimLibrary copy;

    void SetUp() override { std::filesystem::copy_file(library_path(), dir.Path("AdbWinApi.dll")); }
    void TearDown() override {
        set_env("TARNEX_SIM_SCENARIO", "");
        copy.unload();
    }
    static void set_env(const char *name, const std::string &value) {
#ifdef _WIN32
        _putenv_s(name, value.c_str());
#else
        if (value.empty())
            unsetenv(name);
        else
            setenv(name, value.c_str(), 1);
#endif
    }
    void start(const std::string &scenario) {
        write_file(dir.Path("scenario.txt"), bytes_of(scenario));
        set_env("TARNEX_SIM_SCENARIO", dir.Path("scenario.txt"));
        ASSERT_TRUE(copy.load(dir.Path("AdbWinApi.dll"))) << copy.error;
    }
};

TEST_F(StartUpTest, TheScenarioFileNamedByTheEnvironmentIsLoadedOnFirstUse) {
    start("transcript-file out/transcript.txt\npartition-dir out/parts\n"
          "device first\nserial ONE\ndevice second\nserial TWO\n");
    auto names = list_interfaces(copy);
    ASSERT_EQ(names.size(), 2u);
    Connection c{copy};
    ASSERT_TRUE(c.open(names[1]));
    ASSERT_EQ(c.download("hello"), "DATA00000005|OKAY");
    ASSERT_EQ(c.command("flash:boot"), "OKAY");
    c.close();
    EXPECT_EQ(read_text(dir.Path("out/parts/second/boot.img")), "hello")
        << "paths in a scenario file are taken from its folder";
    std::string log = read_text(dir.Path("out/transcript.txt"));
    EXPECT_EQ(log.substr(0, 30), "open - h=1 enumeration count=2");
    EXPECT_NE(log.find("flash second boot bytes=5"), std::string::npos) << log;
}

TEST_F(StartUpTest, ABrokenScenarioFileAttachesNothingAndSaysWhy) {
    start("device a\nvendr 1\n");
    EXPECT_TRUE(list_interfaces(copy).empty());
    std::string t = copy.transcript();
    EXPECT_EQ(t.substr(0, 22), "error - \"scenario not ") << t;
    EXPECT_NE(t.find("line 2: unknown key 'vendr'"), std::string::npos) << t;
}

TEST_F(StartUpTest, UnloadingEndsTheSimulationAndLoadingAgainStartsAfresh) {
    start("device first\n");
    char error[256];
    ASSERT_EQ(0, copy.configure("device a\ndevice b\n", error, sizeof error)) << error;
    ASSERT_EQ(list_interfaces(copy).size(), 2u);
    copy.unload();
    ASSERT_TRUE(copy.load(dir.Path("AdbWinApi.dll"))) << copy.error;
    EXPECT_EQ(list_interfaces(copy).size(), 1u) << "the product's next start-up meets the scenario again";
    EXPECT_EQ(copy.is_plugged("first"), 1);
}

// --- two threads ------------------------------------------------------------------------------------------

// The product's pattern: the worker transfers on its handle while the window thread opens and closes a
// second handle on the same interface, and may unplug-check or reconfigure nothing meanwhile.
TEST_F(SimTest, ConcurrentOpenAndCloseBesideATransferLosesNothing) {
    connect(c);
    std::atomic<bool> done{false};
    std::atomic<int> checks{0};
    std::thread window([&] {
        while (!done) {
            ADBAPIHANDLE h = sim.AdbCreateInterfaceByName(c.name.c_str());
            uint32_t size = 0;
            sim.AdbGetInterfaceName(h, nullptr, &size, true);
            sim.AdbCloseHandle(h);
            sim.stats();
            ++checks;
        }
    });
    // At least three rounds, and on until the window thread has been seen checking during one: on a busy
    // machine it may get no turn during a short download.
    std::string image = test_pattern_text(2 << 20, 14);
    bool overlapped = false;
    for (int round = 0; round < 200 && (round < 3 || !overlapped); ++round) {
        const int before = checks.load();
        const bool flashed = c.download(image) == "DATA00200000|OKAY" && c.command("flash:system") == "OKAY";
        overlapped = overlapped || checks.load() > before;
        if (!flashed) {
            ADD_FAILURE() << "round " << round << " failed";
            break;
        }
    }
    done = true;
    window.join();
    EXPECT_EQ(sim.partition("phone", "system"), image);
    EXPECT_TRUE(overlapped) << "the checks ran beside a transfer";
    c.close();
    auto s = sim.stats();
    EXPECT_EQ(s.open_now, 0u);
    EXPECT_EQ(s.bad_closes, 0u);
    EXPECT_EQ(s.bad_handles, 0u);
}

TEST_F(SimTest, UnplugFromAnotherThreadEndsATransferWithDeviceGone) {
    open("device p\nrate 64M\n");
    std::string image = test_pattern_text(8 << 20, 15);
    // The cable goes once the data phase has begun.
    std::thread cable([&] {
        eventually([&] { return sim.transcript().find("in p \"DATA") != std::string::npos; });
        sim.unplug("p");
    });
    std::string result = c.download(image);
    cable.join();
    EXPECT_NE(result.find("<"), std::string::npos) << "the host saw the phone go: " << result;
    EXPECT_EQ(sim.is_plugged("p"), 0);
    c.close();
    EXPECT_EQ(sim.stats().open_now, 0u);
}

} // namespace

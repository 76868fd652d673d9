// The real tarnex.exe under Wine with tarnex_winusb.dll in its package as "AdbWinApi.dll", flashing an
// emulated phone through the prefix's SetupAPI and the stand-in WinUSB, driven through its window as an
// operator would. Tripwire DLLs wait in its %TEMP%, where it deploys the library.
#include "res/resource.h"
#include "tests/winusb/winusb_test.h"
#include "tools/demo_firmware.h"
#include "tools/packer.h"
#include "tools/remote/remote_control.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

using namespace usbtest;
namespace fs = std::filesystem;

namespace {

constexpr int START_MS = 30000; // a cold Wine may take a while to show the first window
constexpr int WAIT_MS = 20000;
constexpr int POLL_MS = 500;

// Image entries and the partitions the flasher writes them to, in its order.
const std::pair<const char *, const char *> FLASHED[] = {
    {"qcsblhd_cfgdata.mbn", "qcsblhd"},
    {"qcsbl.mbn", "qcsbl"},
    {"oemsblhd.mbn", "oemsblhd"},
    {"oemsbl.mbn", "oemsbl"},
    {"amsshd.mbn", "amsshd"},
    {"amss.mbn", "amss"},
    {"cefs.mbn", "cefs"},
    {"appsboothd.mbn", "appsboothd"},
    {"appsboot.mbn", "appsboot"},
    {"boot.img", "boot"},
    {"system.img", "system"},
    {"recovery.img", "recovery"},
};

std::vector<uint8_t> read_bytes(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class WinUsbFlasher : public ::testing::Test {
protected:
    void SetUp() override {
        const auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
        work = program_path() / ".." / "winusb-tests" / test->name();
        fs::remove_all(work);
        fs::create_directories(work / "temp");
        fs::create_directories(program_path() / ".." / "screenshots");
    }

    void TearDown() override { remote::end(&process); }

    std::vector<PackBlob> Firmware() {
        std::vector<PackBlob> entries;
        for (int i = 0; i < 13; ++i) {
            const char *name = DEMO_IMAGES[i].Name;
            entries.push_back({name, demo_image_contents(name, 5000 + 7919u * static_cast<uint32_t>(i))});
        }
        entries.push_back({"AdbWinApi.dll", read_bytes(program_path() / "tarnex_winusb.dll")});
        entries.push_back({"DeviceList.dat", demo_device_list()});
        return entries;
    }

    // Starts a flasher with the WinUSB library for `scenario`'s phone, and waits until it shows "Ready".
    void LaunchReady(const std::string &scenario) {
        phone = std::make_unique<EmulatedPhone>(
            std::string("FLASHER-") + ::testing::UnitTest::GetInstance()->current_test_info()->name(),
            "device phone\n" + scenario);
        ASSERT_TRUE(phone->ok()) << phone->error();
        fs::path flasher = work / "flasher.exe";
        std::string error;
        ASSERT_TRUE(pack_build_blobs((program_path() / "tarnex.exe").string().c_str(), Firmware(),
                                     flasher.string().c_str(), &error))
            << error;
        ASSERT_TRUE(plant_tripwire(work / "temp", "winusb.dll") &&
                    plant_tripwire(work / "temp", "setupapi.dll"));
        ASSERT_TRUE(remote::launch("\"" + flasher.string() + "\"", {"TEMP=" + (work / "temp").string()},
                                   (work / "output.txt").string().c_str(), &process, &error))
            << error;
        window = remote::wait_dialog(process.id, "Tarnex", START_MS);
        ASSERT_NE(window, nullptr) << "no window; output:\n" << Output();
        ASSERT_TRUE(WaitStatus("Ready")) << Output();
    }

    bool WaitStatus(const std::string &status, int timeout_ms = WAIT_MS) {
        bool shown =
            remote::wait_until([&] { return remote::item_text(window, IDC_STATUS) == status; }, timeout_ms);
        if (!shown)
            ADD_FAILURE() << "status \"" << remote::item_text(window, IDC_STATUS) << "\" instead of \""
                          << status << "\"";
        return shown;
    }

    void ExpectShows(const std::string &status, bool start_enabled, int position,
                     const std::string &percent) {
        EXPECT_EQ(remote::item_text(window, IDC_STATUS), status);
        EXPECT_EQ(remote::item_enabled(window, IDOK), start_enabled);
        EXPECT_EQ(remote::progress_position(window, IDC_PROGRESS), position);
        EXPECT_EQ(remote::item_text(window, IDC_PERCENT_CAPTION), percent);
        EXPECT_EQ(remote::item_text(window, IDC_PORT_CAPTION), "USB PORT");
    }

    // Exit, a clean end, and nothing loaded from where the library was deployed.
    void ExitCleanly() {
        ASSERT_TRUE(remote::click(window, IDCANCEL));
        DWORD code = 0xDEAD;
        EXPECT_TRUE(remote::wait_exit(process, WAIT_MS, &code));
        EXPECT_EQ(code, 0u);
        EXPECT_FALSE(fs::exists(work / "temp" / "AdbWinApi.dll"));
        EXPECT_FALSE(fs::exists(work / "temp" / "winusb.dll.loaded")) << "a planted winusb.dll was loaded";
        EXPECT_FALSE(fs::exists(work / "temp" / "setupapi.dll.loaded"))
            << "a planted setupapi.dll was loaded";
    }

    std::string Output() {
        std::vector<uint8_t> bytes = read_bytes(work / "output.txt");
        std::string text(bytes.begin(), bytes.end());
        std::erase(text, '\r');
        return text;
    }

    fs::path work;
    std::unique_ptr<EmulatedPhone> phone;
    remote::Process process;
    HWND window = nullptr;
};

} // namespace

// The phone answers the reboot but stays, so that the final state stays on screen.
TEST_F(WinUsbFlasher, FlashesEveryImageAndRebootsThePhone) {
    USBTEST_REQUIRE_BUS();
    LaunchReady("on reboot reply OKAY\n");
    ExpectShows("Ready", true, 0, "0%");
    ASSERT_TRUE(remote::click(window, IDOK));
    ASSERT_TRUE(WaitStatus("Download successfully!")) << Output();
    ASSERT_TRUE(
        remote::wait_until([&] { return remote::progress_position(window, IDC_PROGRESS) == 100; }, WAIT_MS));
    ExpectShows("Download successfully!", false, 100, "100%");
    std::string error;
    EXPECT_TRUE(remote::screenshot(
        window, remote::unix_path((program_path() / ".." / "screenshots" / "winusb-succeeded.png").string()),
        &error))
        << error;

    const std::vector<PackBlob> firmware = Firmware();
    for (size_t i = 0; i < std::size(FLASHED); ++i)
        EXPECT_EQ(phone->partition(FLASHED[i].second), firmware[i].Bytes) << FLASHED[i].second;
    EXPECT_FALSE(phone->partition_touched("userdata"));
    EXPECT_NE(phone->transcript().find("out phone \"reboot\""), std::string::npos);
    // The poll's second open of the interface, twice a second through the whole download, joined the
    // worker's file every time.
    EXPECT_EQ(phone->files_opened(), 1u);
    EXPECT_EQ(phone->files_refused(), 0u);
    ExitCleanly();
}

TEST_F(WinUsbFlasher, DeviceFailureStopsTheDownloadAndShowsFailed) {
    USBTEST_REQUIRE_BUS();
    LaunchReady("on flash:boot fail \"boot is locked\"\n");
    ASSERT_TRUE(remote::click(window, IDOK));
    ASSERT_TRUE(WaitStatus("Download failed!"));
    ExpectShows("Download failed!", false, 0, "");
    EXPECT_NE(Output().find("FAILED (remote: boot is locked)\n"), std::string::npos) << Output();
    EXPECT_FALSE(phone->partition_touched("boot"));
    EXPECT_EQ(phone->transcript().find("system"), std::string::npos) << "nothing after the failed step";
    // The phone still answers: the failure stays on screen.
    Sleep(3 * POLL_MS);
    ExpectShows("Download failed!", false, 0, "");
    ExitCleanly();
}

TEST_F(WinUsbFlasher, UnplugInTheDataPhaseFailsAndShowsNoDevice) {
    USBTEST_REQUIRE_BUS();
    LaunchReady("on download:*#6 unplug-after 3000\n");
    ASSERT_TRUE(remote::click(window, IDOK));
    ASSERT_TRUE(remote::wait_until([&] { return Output().find("FAILED (") != std::string::npos; }, WAIT_MS))
        << Output();
    // The poll may notice the phone gone before or after the worker reports the failure: either way the
    // window ends without a device, showing nothing or the failure.
    ASSERT_TRUE(remote::wait_until([&] { return !remote::item_enabled(window, IDOK); }, WAIT_MS));
    Sleep(3 * POLL_MS);
    const std::string status = remote::item_text(window, IDC_STATUS);
    EXPECT_TRUE(status.empty() || status == "Download failed!") << status;
    ExpectShows(status, false, 0, "");
    EXPECT_NE(phone->transcript().find("data-cut phone"), std::string::npos);
    EXPECT_FALSE(phone->partition_touched("amss"));
    ExitCleanly();
}

TEST_F(WinUsbFlasher, UnplugWhileReadyShowsNoDeviceWithinTwoPollsAndPluggingInAgainReady) {
    USBTEST_REQUIRE_BUS();
    LaunchReady("");
    // Polls come and go while the phone stays: it stays "Ready" on the one file the scan opened.
    Sleep(3 * POLL_MS);
    ExpectShows("Ready", true, 0, "0%");
    EXPECT_EQ(phone->files_opened(), 1u);

    auto unplugged = std::chrono::steady_clock::now();
    phone->unplug();
    // Two polls, and slack for a busy machine to get the window's texts across.
    ASSERT_TRUE(WaitStatus("", 2 * POLL_MS + 2000));
    auto noticed = std::chrono::steady_clock::now() - unplugged;
    ExpectShows("", false, 0, "");
    const int noticed_ms =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(noticed).count());
    RecordProperty("no_device_after_ms", noticed_ms);
    std::printf("no device shown %d ms after the unplug (poll period %d ms)\n", noticed_ms, POLL_MS);

    phone->plug();
    ASSERT_TRUE(WaitStatus("Ready"));
    ExpectShows("Ready", true, 0, "0%");
    ExitCleanly();
}

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new BusEnvironment(false));
    return RUN_ALL_TESTS();
}

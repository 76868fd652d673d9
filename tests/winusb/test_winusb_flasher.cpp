// The real tarnex.exe under Wine with tarnex_winusb.dll in its package as "AdbWinApi.dll", flashing an
// emulated phone through the prefix's SetupAPI and the stand-in WinUSB, worked through its window by the
// operator of rigs/remote. Tripwire DLLs wait in its %TEMP%, where it deploys the library.
//
// The phone's scenario header comes before any Windows header: wingdi.h defines ABSOLUTE as a macro.
#include "tests/winusb/winusb_test.h"

#include "app/window_texts.h"
#include "package/image_table.h"
#include "res/resource.h"
#include "rigs/demo/demo_firmware.h"
#include "rigs/remote/remote_operator.h"
#include "tools/packer.h"

#include <chrono>
#include <cstdio>
#include <fstream>

using namespace usbtest;
namespace fs = std::filesystem;

namespace {

constexpr int START_MS = 30000; // a cold Wine may take a while to show the first window
constexpr int WAIT_MS = 20000;
constexpr int POLL_MS = 500;

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

    // Every image, small, with contents that show where each block belongs; the WinUSB library as the
    // driver; the device list.
    std::vector<PackBlob> Firmware() {
        std::vector<PackBlob> entries;
        for (int i = 0; i < IMAGE_COUNTED_SLOTS; ++i) {
            const char *name = IMAGE_ENTRY_NAMES[i];
            entries.push_back({name, demo_image_contents(name, 5000 + 7919u * static_cast<uint32_t>(i))});
        }
        entries.push_back({"AdbWinApi.dll", read_bytes(program_path() / "tarnex_winusb.dll")});
        entries.push_back({"DeviceList.dat", demo_device_list()});
        return entries;
    }

    // Plugs in `scenario`'s phone, starts a flasher with the WinUSB library and waits for "Ready".
    void LaunchReady(const std::string &scenario) {
        phone = std::make_unique<EmulatedPhone>(
            std::string("FLASHER-") + ::testing::UnitTest::GetInstance()->current_test_info()->name(),
            "device phone\n" + scenario);
        ASSERT_TRUE(phone->ok()) << phone->error();
        const fs::path flasher = work / "flasher.exe";
        std::string error;
        ASSERT_TRUE(pack_build_blobs((program_path() / "tarnex.exe").string().c_str(), Firmware(),
                                     flasher.string().c_str(), &error))
            << error;
        ASSERT_TRUE(plant_tripwire(work / "temp", "winusb.dll") &&
                    plant_tripwire(work / "temp", "setupapi.dll"));
        // Built by appending: GCC 12 warns falsely about `"\"" + path` (-Wrestrict).
        std::string command = "\"";
        command += flasher.string();
        command += '"';
        ASSERT_TRUE(remote::launch(command, {"TEMP=" + (work / "temp").string()},
                                   (work / "output.txt").string().c_str(), &process, &error))
            << error;
        op = RemoteOperator(process.id);
        ASSERT_TRUE(op.wait_window(IDD_TARNEX_DIALOG, START_MS)) << "no window; output:\n" << Output();
        ASSERT_TRUE(WaitStatus(STATUS_READY_TEXT, WAIT_MS)) << Output();
    }

    bool WaitStatus(const std::string &status, int timeout_ms) {
        if (op.wait_until([&] { return op.text(IDC_STATUS) == status; }, timeout_ms))
            return true;
        ADD_FAILURE() << "status \"" << op.text(IDC_STATUS) << "\" instead of \"" << status << "\"";
        return false;
    }

    // The window as an operator sees it, once a state has been set whole.
    void ExpectShows(const std::string &status, bool start_enabled, int position,
                     const std::string &percent) {
        op.wait_until(
            [&] {
                return op.text(IDC_STATUS) == status && op.enabled(IDOK) == start_enabled &&
                       op.progress(IDC_PROGRESS).position == position &&
                       op.text(IDC_PERCENT_CAPTION) == percent;
            },
            WAIT_MS);
        EXPECT_EQ(op.text(IDC_STATUS), status);
        EXPECT_EQ(op.enabled(IDOK), start_enabled);
        EXPECT_EQ(op.progress(IDC_PROGRESS).position, position);
        EXPECT_EQ(op.text(IDC_PERCENT_CAPTION), percent);
        EXPECT_EQ(op.text(IDC_PORT_CAPTION), PORT_CAPTION_TEXT);
    }

    // Waits until the window has checked the phone `polls` more times: each presence check reads its
    // device descriptor once.
    void WaitPolls(uint32_t polls) {
        const uint32_t seen = phone->device_descriptor_reads();
        EXPECT_TRUE(op.wait_until([&] { return phone->device_descriptor_reads() >= seen + polls; }, WAIT_MS))
            << "the poll stopped";
    }

    // Exit; a clean end with the phone's file closed, and nothing loaded from where the library was put.
    void ExitCleanly() {
        ASSERT_TRUE(op.click(IDCANCEL));
        DWORD code = 0xDEAD;
        EXPECT_TRUE(remote::wait_exit(process, WAIT_MS, &code));
        EXPECT_EQ(code, 0u);
        EXPECT_FALSE(fs::exists(work / "temp" / "AdbWinApi.dll"));
        EXPECT_FALSE(fs::exists(work / "temp" / "winusb.dll.loaded")) << "a planted winusb.dll was loaded";
        EXPECT_FALSE(fs::exists(work / "temp" / "setupapi.dll.loaded"))
            << "a planted setupapi.dll was loaded";
        EXPECT_TRUE(op.wait_until([&] { return phone->files_open() == 0; }, WAIT_MS))
            << "the file outlived the program";
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
    RemoteOperator op;
};

} // namespace

// The phone answers the reboot but stays, so that the final state stays on screen.
TEST_F(WinUsbFlasher, FlashesEveryImageAndRebootsThePhone) {
    USBTEST_REQUIRE_BUS();
    LaunchReady("on reboot reply OKAY\n");
    ExpectShows(STATUS_READY_TEXT, true, 0, "0%");
    ASSERT_TRUE(op.click(IDOK));
    ASSERT_TRUE(WaitStatus(STATUS_SUCCEEDED_TEXT, WAIT_MS)) << Output();
    ExpectShows(STATUS_SUCCEEDED_TEXT, false, 100, "100%");
    std::string error;
    EXPECT_TRUE(remote::screenshot(
        op.window(),
        remote::unix_path((program_path() / ".." / "screenshots" / "winusb-succeeded.png").string()), &error))
        << error;

    const std::vector<PackBlob> firmware = Firmware();
    for (size_t i = 0; i < std::size(DEMO_PARTITIONS); ++i)
        EXPECT_EQ(phone->partition(DEMO_PARTITIONS[i]), firmware[i].Bytes) << DEMO_PARTITIONS[i];
    EXPECT_FALSE(phone->partition_touched("userdata"));
    EXPECT_NE(phone->transcript().find("out phone \"reboot\""), std::string::npos);
    // The poll's second open of the interface, twice a second through the whole download, joined the
    // worker's file every time.
    EXPECT_EQ(phone->files_opened(), 1u);
    EXPECT_EQ(phone->files_refused(), 0u);
    // The library keeps data writes in flight; no status was read before all of a download's data.
    EXPECT_EQ(phone->early_reads(), 0u);
    ExitCleanly();
}

TEST_F(WinUsbFlasher, DeviceFailureStopsTheDownloadAndShowsFailed) {
    USBTEST_REQUIRE_BUS();
    LaunchReady("on flash:boot fail \"boot is locked\"\n");
    ASSERT_TRUE(op.click(IDOK));
    ASSERT_TRUE(WaitStatus(STATUS_FAILED_TEXT, WAIT_MS));
    ExpectShows(STATUS_FAILED_TEXT, false, 0, "");
    EXPECT_NE(Output().find("FAILED (remote: boot is locked)\n"), std::string::npos) << Output();
    EXPECT_FALSE(phone->partition_touched("boot"));
    EXPECT_EQ(phone->transcript().find("system"), std::string::npos) << "nothing after the failed step";
    // The phone still answers its checks: the failure stays on screen.
    WaitPolls(2);
    ExpectShows(STATUS_FAILED_TEXT, false, 0, "");
    ExitCleanly();
}

TEST_F(WinUsbFlasher, UnplugInTheDataPhaseFailsAndShowsNoDevice) {
    USBTEST_REQUIRE_BUS();
    LaunchReady("on download:*#6 unplug-after 3000\n");
    const uintptr_t found = op.picture(IDC_DEVICE_PICTURE);
    ASSERT_TRUE(op.click(IDOK));
    ASSERT_TRUE(op.wait_until([&] { return Output().find("FAILED (") != std::string::npos; }, WAIT_MS))
        << Output();
    // The poll notices the phone gone before or after the worker reports the failure: the window ends
    // without a device either way, showing nothing or the failure.
    ASSERT_TRUE(op.wait_until([&] { return op.picture(IDC_DEVICE_PICTURE) != found; }, WAIT_MS));
    ASSERT_TRUE(op.wait_until(
        [&] {
            const std::string status = op.text(IDC_STATUS);
            return status.empty() || status == STATUS_FAILED_TEXT;
        },
        WAIT_MS));
    ExpectShows(op.text(IDC_STATUS), false, 0, "");
    EXPECT_NE(phone->transcript().find("data-cut phone"), std::string::npos);
    EXPECT_FALSE(phone->partition_touched("amss"));
    ExitCleanly();
}

TEST_F(WinUsbFlasher, UnplugWhileReadyShowsNoDeviceWithinTwoPollsAndPluggingInAgainReady) {
    USBTEST_REQUIRE_BUS();
    LaunchReady("");
    const uintptr_t found = op.picture(IDC_DEVICE_PICTURE);
    // Polls come and go while the phone stays: it stays "Ready" on the one file the scan opened.
    WaitPolls(2);
    ExpectShows(STATUS_READY_TEXT, true, 0, "0%");
    EXPECT_EQ(phone->files_opened(), 1u);

    const auto unplugged = std::chrono::steady_clock::now();
    phone->unplug();
    // Two polls, and slack for a busy machine to get the window's texts across.
    ASSERT_TRUE(WaitStatus("", 2 * POLL_MS + 2000));
    const auto noticed = std::chrono::steady_clock::now() - unplugged;
    ExpectShows("", false, 0, "");
    EXPECT_NE(op.picture(IDC_DEVICE_PICTURE), found);
    const int noticed_ms =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(noticed).count());
    RecordProperty("no_device_after_ms", noticed_ms);
    std::printf("no device shown %d ms after the unplug (poll period %d ms)\n", noticed_ms, POLL_MS);

    phone->plug();
    ASSERT_TRUE(WaitStatus(STATUS_READY_TEXT, WAIT_MS));
    ExpectShows(STATUS_READY_TEXT, true, 0, "0%");
    EXPECT_EQ(op.picture(IDC_DEVICE_PICTURE), found);
    ExitCleanly();
}

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new BusEnvironment(false));
    return RUN_ALL_TESTS();
}

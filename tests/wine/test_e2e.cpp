// The real tarnex.exe with firmware appended, the simulated phone inside as its driver library, run
// under Wine and driven from this process through the window system, as an operator would: the
// downloads and their outcomes, the keyboard and the window's buttons, the About box, and every start-up
// failure. Screenshots of the main states go to build/windows/screenshots/.
#include "res/resource.h"
#include "tools/demo_firmware.h"
#include "tools/packer.h"
#include "tools/remote/remote_control.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

constexpr int START_MS = 30000; // a cold Wine may take a while to show the first window
constexpr int WAIT_MS = 20000;

// Image entries and the partitions the flasher writes them to, in the order it writes them.
struct FlashedImage {
    const char *entry;
    const char *partition;
};
constexpr FlashedImage FLASHED[] = {
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

std::string read_text(const fs::path &path) {
    std::vector<uint8_t> bytes = read_bytes(path);
    return std::string(bytes.begin(), bytes.end());
}

size_t count_lines(const std::string &text, const std::string &line) {
    size_t count = 0;
    std::istringstream lines(text);
    for (std::string each; std::getline(lines, each);)
        count += each == line;
    return count;
}

class Flasher : public ::testing::Test {
protected:
    void SetUp() override {
        bin = remote::program_folder();
        const auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
        work = fs::path(bin) / ".." / "e2e" / test->name();
        screenshots = fs::path(bin) / ".." / "screenshots";
        fs::remove_all(work);
        fs::create_directories(work / "temp");
        fs::create_directories(screenshots);
    }

    void TearDown() override { remote::end(&process); }

    // The firmware: every image, small, with contents that show where each block belongs; the simulated
    // phone as the driver library; the demo device list.
    std::vector<PackBlob> Firmware() {
        std::vector<PackBlob> entries;
        for (int i = 0; i < 13; ++i) {
            const char *name = DEMO_IMAGES[i].Name;
            entries.push_back({name, demo_image_contents(name, 5000 + 7919u * static_cast<uint32_t>(i))});
        }
        entries.push_back({"AdbWinApi.dll", read_bytes(fs::path(bin) / "tarnex_sim.dll")});
        entries.push_back({"DeviceList.dat", demo_device_list()});
        return entries;
    }

    static void Replace(std::vector<PackBlob> *entries, const char *name, std::vector<uint8_t> bytes) {
        for (PackBlob &entry : *entries)
            if (entry.Name == name)
                entry.Bytes = std::move(bytes);
    }

    fs::path MakeFlasher(const char *name, const std::vector<PackBlob> &entries) {
        fs::path out = work / (std::string(name) + ".exe");
        std::string error;
        EXPECT_TRUE(pack_build_blobs((fs::path(bin) / "tarnex.exe").string().c_str(), entries,
                                     out.string().c_str(), &error))
            << error;
        return out;
    }

    // Starts the flasher with the simulated phone of `scenario` (scenario text), its own TEMP, and its
    // output collected in output.txt.
    void Launch(const fs::path &flasher, const std::string &scenario = "device phone\n",
                const std::string &temp = "") {
        std::ofstream(work / "scenario.txt") << scenario;
        std::vector<std::string> environment = {
            "TEMP=" + (temp.empty() ? (work / "temp").string() : temp),
            "TARNEX_SIM_SCENARIO=" + (work / "scenario.txt").string(),
            "TARNEX_SIM_TRANSCRIPT=" + (work / "transcript.txt").string(),
            "TARNEX_SIM_PARTITION_DIR=" + (work / "partitions").string(),
        };
        std::string error;
        std::string command = "\"";
        command += flasher.string();
        command += '"';
        ASSERT_TRUE(
            remote::launch(command, environment, (work / "output.txt").string().c_str(), &process, &error))
            << error;
    }

    // Starts a healthy flasher and waits until its window shows the phone found.
    void LaunchReady(const std::string &scenario = "device phone\n") {
        Launch(MakeFlasher("flasher", Firmware()), scenario);
        window = remote::wait_dialog(process.id, "Tarnex", START_MS);
        ASSERT_NE(window, nullptr) << "no window; output:\n" << Output();
        ASSERT_TRUE(WaitStatus("Ready"));
    }

    bool WaitStatus(const std::string &status, int timeout_ms = WAIT_MS) {
        bool shown =
            remote::wait_until([&] { return remote::item_text(window, IDC_STATUS) == status; }, timeout_ms);
        if (!shown)
            ADD_FAILURE() << "status \"" << remote::item_text(window, IDC_STATUS) << "\" instead of \""
                          << status << "\"";
        return shown;
    }

    // The window as an operator sees it.
    void ExpectShows(const std::string &status, bool start_enabled, int position,
                     const std::string &percent) {
        EXPECT_EQ(remote::item_text(window, IDC_STATUS), status);
        EXPECT_EQ(remote::item_enabled(window, IDOK), start_enabled);
        EXPECT_EQ(remote::progress_position(window, IDC_PROGRESS), position);
        EXPECT_EQ(remote::item_text(window, IDC_PERCENT_CAPTION), percent);
        EXPECT_EQ(remote::item_text(window, IDC_PORT_CAPTION), "USB PORT");
        EXPECT_EQ(remote::item_text(window, IDC_SOFTWARE_CAPTION), "Software");
    }

    void Screenshot(const char *name) {
        std::string error;
        EXPECT_TRUE(remote::screenshot(
            window, remote::unix_path((screenshots / (std::string(name) + ".png")).string()), &error))
            << error;
    }

    DWORD ExitCode(int timeout_ms = WAIT_MS) {
        DWORD code = 0xDEAD;
        EXPECT_TRUE(remote::wait_exit(process, timeout_ms, &code)) << "the flasher did not end";
        return code;
    }

    // The flasher's standard output and error, which it writes in text mode: lines end in CR LF.
    std::string Output() {
        std::string output = read_text(work / "output.txt");
        std::erase(output, '\r');
        return output;
    }
    std::string Transcript() { return read_text(work / "transcript.txt"); }
    bool LibraryDeployed() { return fs::exists(work / "temp" / "AdbWinApi.dll"); }

    std::string bin;
    fs::path work, screenshots;
    remote::Process process;
    HWND window = nullptr;
};

} // namespace

// --- Downloads.

// The phone answers the reboot but stays on the bus, so that the final state stays on screen (a phone that
// leaves turns it to "no device" at the next poll, which a busy machine can miss).
TEST_F(Flasher, FlashesEveryImageAndRebootsThePhone) {
    LaunchReady("device phone\non reboot reply OKAY\n");
    ExpectShows("Ready", true, 0, "0%");
    EXPECT_EQ(remote::item_check(window, IDC_USERDATA), BST_UNCHECKED);
    Screenshot("ready");

    ASSERT_TRUE(remote::click(window, IDOK));
    ASSERT_TRUE(WaitStatus("Download successfully!"));
    ASSERT_TRUE(remote::wait_until(
        [&] {
            return remote::progress_position(window, IDC_PROGRESS) == 100 &&
                   remote::item_text(window, IDC_PERCENT_CAPTION) == "100%";
        },
        WAIT_MS));
    ExpectShows("Download successfully!", false, 100, "100%");
    Screenshot("succeeded");
    // While the phone stays, no new download can start.
    Sleep(1200);
    ExpectShows("Download successfully!", false, 100, "100%");

    ASSERT_TRUE(remote::click(window, IDCANCEL));
    EXPECT_EQ(ExitCode(), 0u);
    EXPECT_FALSE(LibraryDeployed()) << "the temporary driver library outlived the program";

    // Every image in its partition, byte for byte; nothing erased; one reboot.
    const std::vector<PackBlob> firmware = Firmware();
    for (size_t i = 0; i < std::size(FLASHED); ++i)
        EXPECT_EQ(read_bytes(work / "partitions" / "phone" / (std::string(FLASHED[i].partition) + ".img")),
                  firmware[i].Bytes)
            << FLASHED[i].partition;
    const std::string transcript = Transcript();
    EXPECT_EQ(transcript.find("erase"), std::string::npos);
    EXPECT_EQ(count_lines(transcript, "out phone \"reboot\""), 1u);
    // One line per protocol action on standard error: a download and a flash per image, the reboot.
    EXPECT_EQ(count_lines(Output(), "OKAY"), 2 * std::size(FLASHED) + 1) << Output();
}

TEST_F(Flasher, UserDataErasesUserdataAndCacheThenThePhoneLeavesAndNoDeviceIsShown) {
    // Slow enough to watch: several seconds for the images at this rate.
    LaunchReady("device phone\nrate 80K\n");
    HICON found = remote::item_icon(window, IDC_DEVICE_PICTURE);
    ASSERT_TRUE(remote::click(window, IDC_USERDATA));
    ASSERT_TRUE(
        remote::wait_until([&] { return remote::item_check(window, IDC_USERDATA) == BST_CHECKED; }, WAIT_MS));
    ASSERT_TRUE(remote::click(window, IDOK));
    ASSERT_TRUE(WaitStatus("Downloading..."));
    EXPECT_FALSE(remote::item_enabled(window, IDOK));
    // The bar follows the data phase, and the caption follows the bar.
    int seen = 0;
    ASSERT_TRUE(remote::wait_until(
        [&] {
            seen = remote::progress_position(window, IDC_PROGRESS);
            return seen >= 30 && remote::item_text(window, IDC_PERCENT_CAPTION) == std::to_string(seen) + "%";
        },
        WAIT_MS));
    EXPECT_LT(seen, 100);
    Screenshot("downloading");
    // The phone reboots and leaves the bus: the next poll shows no device.
    ASSERT_TRUE(WaitStatus(""));
    ExpectShows("", false, 0, "");
    EXPECT_NE(remote::item_icon(window, IDC_DEVICE_PICTURE), found);
    Screenshot("no-device");

    const std::string transcript = Transcript();
    const size_t userdata = transcript.find("erase phone userdata");
    const size_t cache = transcript.find("erase phone cache");
    const size_t reboot = transcript.find("reboot phone");
    ASSERT_NE(userdata, std::string::npos) << transcript;
    ASSERT_NE(cache, std::string::npos);
    EXPECT_LT(transcript.rfind("flash phone recovery"), userdata);
    EXPECT_LT(userdata, cache);
    EXPECT_LT(cache, reboot);
}

TEST_F(Flasher, DeviceFailureStopsEverythingAfterItAndShowsFailed) {
    LaunchReady("device phone\non flash:boot fail \"boot is locked\"\n");
    ASSERT_TRUE(remote::click(window, IDOK));
    ASSERT_TRUE(WaitStatus("Download failed!"));
    ExpectShows("Download failed!", false, 0, "");
    Screenshot("failed");
    EXPECT_NE(Output().find("FAILED (remote: boot is locked)\n"), std::string::npos) << Output();
    const std::string transcript = Transcript();
    EXPECT_NE(transcript.find("out phone \"flash:boot\""), std::string::npos);
    EXPECT_EQ(transcript.find("system"), std::string::npos) << "nothing after the failed step";
    EXPECT_EQ(transcript.find("reboot"), std::string::npos);
    // While the phone keeps answering, the failure stays on screen and no new download can start.
    Sleep(1200);
    ExpectShows("Download failed!", false, 0, "");
    ASSERT_TRUE(remote::click(window, IDCANCEL));
    EXPECT_EQ(ExitCode(), 0u);
}

TEST_F(Flasher, UnplugDuringTheDataPhaseFailsThenShowsNoDevice) {
    LaunchReady("device phone\non download:*#6 unplug-after 3000\n");
    ASSERT_TRUE(remote::click(window, IDOK));
    ASSERT_TRUE(remote::wait_until([&] { return Output().find("FAILED (") != std::string::npos; }, WAIT_MS))
        << Output();
    // The poll notices the phone gone before or after the worker reports the failure: the window ends
    // without a device either way, showing nothing or, when the poll came first, the failure.
    Sleep(1200); // more than two polls
    const std::string status = remote::item_text(window, IDC_STATUS);
    EXPECT_TRUE(status.empty() || status == "Download failed!") << status;
    ExpectShows(status, false, 0, "");
    EXPECT_NE(Transcript().find("data-cut phone"), std::string::npos);
    ASSERT_TRUE(remote::click(window, IDCANCEL));
    EXPECT_EQ(ExitCode(), 0u);
}

// --- The window's keys and buttons.

TEST_F(Flasher, EnterAndEscapeDoNothing) {
    LaunchReady();
    ASSERT_TRUE(remote::press_key(window, VK_RETURN));
    ASSERT_TRUE(remote::press_key(window, VK_ESCAPE));
    Sleep(1200); // more than two polls
    EXPECT_TRUE(IsWindow(window));
    ExpectShows("Ready", true, 0, "0%");
    EXPECT_EQ(Transcript().find("download"), std::string::npos);
}

TEST_F(Flasher, CloseButtonActsAsExit) {
    LaunchReady();
    ASSERT_TRUE(remote::system_command(window, SC_CLOSE));
    EXPECT_EQ(ExitCode(), 0u);
    EXPECT_FALSE(LibraryDeployed());
    EXPECT_NE(Transcript().find("close phone"), std::string::npos) << "the held device was released";
}

TEST_F(Flasher, ExitDuringADownloadEndsTheProcessPromptlyAndTheNextStartWorks) {
    LaunchReady("device phone\nrate 20K\n"); // the images would take more than half a minute
    ASSERT_TRUE(remote::click(window, IDOK));
    ASSERT_TRUE(WaitStatus("Downloading..."));
    ASSERT_TRUE(
        remote::wait_until([&] { return remote::progress_position(window, IDC_PROGRESS) >= 2; }, WAIT_MS));
    ASSERT_TRUE(remote::click(window, IDCANCEL));
    EXPECT_EQ(ExitCode(5000), 0u) << "a crash ends with an exception code instead";
    remote::end(&process);

    // The driver library may stay behind in TEMP (it was still loaded); the next start with the same
    // TEMP takes its place, finds the phone, and removes it at its own end.
    LaunchReady();
    ASSERT_TRUE(remote::click(window, IDCANCEL));
    EXPECT_EQ(ExitCode(), 0u);
    EXPECT_FALSE(LibraryDeployed());
}

TEST_F(Flasher, AboutBoxComesFromTheSystemMenuAndGoesBackToTheWindow) {
    LaunchReady();
    ASSERT_TRUE(remote::system_command(window, IDM_ABOUTBOX));
    HWND about = remote::wait_dialog(process.id, "关于 Tarnex", WAIT_MS);
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(GetWindow(about, GW_OWNER), window);
    EXPECT_FALSE(IsWindowEnabled(window));
    EXPECT_EQ(remote::item_text(about, IDC_ABOUT_VERSION).rfind("Tarnex, Version ", 0), 0u);
    EXPECT_EQ(remote::item_text(about, IDC_ABOUT_COPYRIGHT).rfind("Copyright", 0), 0u);
    std::swap(window, about);
    Screenshot("about");
    std::swap(window, about);
    ASSERT_TRUE(remote::click(about, IDOK));
    ASSERT_TRUE(remote::wait_until([&] { return !IsWindow(about) && IsWindowEnabled(window); }, WAIT_MS));
    // Polling went on meanwhile and goes on after it.
    ExpectShows("Ready", true, 0, "0%");
}

// --- Start-up failures: one message box, caption the program's name, then exit code 1.

struct StartupFailure {
    const char *name; // of the flasher file, and so the caption
    const char *text;
    bool library_left; // whether the driver library was written before the failure
};

class StartupFailures : public Flasher, public ::testing::WithParamInterface<StartupFailure> {
protected:
    fs::path FlasherFor(const std::string &name) {
        std::vector<PackBlob> firmware = Firmware();
        if (name == "tarnex") {
            // The base program as built, with no package at all.
            fs::copy_file(fs::path(bin) / "tarnex.exe", work / "tarnex.exe");
            return work / "tarnex.exe";
        }
        if (name == "damaged") {
            fs::path flasher = MakeFlasher("damaged", firmware);
            std::vector<uint8_t> bytes = read_bytes(flasher);
            bytes[bytes.size() - 5000] ^= 0x5A;
            std::ofstream(flasher, std::ios::binary)
                .write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
            return flasher;
        }
        if (name == "no-device-list")
            std::erase_if(firmware, [](const PackBlob &entry) { return entry.Name == "DeviceList.dat"; });
        if (name == "not-a-library")
            Replace(&firmware, "AdbWinApi.dll", std::vector<uint8_t>(4096, 0x90));
        if (name == "no-operations")
            Replace(&firmware, "AdbWinApi.dll", read_bytes(fs::path(bin) / "libos_test_library.dll"));
        return MakeFlasher(name.c_str(), firmware);
    }
};

TEST_P(StartupFailures, ShowOneMessageBoxThenEndWithCodeOne) {
    const StartupFailure &failure = GetParam();
    // No TEMP that can take the library: a folder that does not exist.
    const std::string temp =
        std::string(failure.name) == "no-temp" ? (work / "missing" / "temp").string() : "";
    Launch(FlasherFor(failure.name), "device phone\n", temp);
    HWND box = remote::wait_message_box(process.id, 0, START_MS);
    ASSERT_NE(box, nullptr) << Output();
    remote::MessageBoxContent content;
    ASSERT_TRUE(remote::read_message_box(box, &content));
    EXPECT_EQ(content.text, failure.text);
    EXPECT_EQ(content.caption, failure.name);
    EXPECT_EQ(content.buttons, std::vector<int>{IDOK});
    EXPECT_NE(content.icon, nullptr);
    EXPECT_EQ(remote::wait_dialog(process.id, "Tarnex", 0), nullptr) << "the window is not shown";
    if (std::string(failure.name) == "no-device-list") {
        window = box;
        Screenshot("startup-failure");
    }
    ASSERT_TRUE(remote::click(box, IDOK));
    EXPECT_EQ(ExitCode(), 1u);
    EXPECT_EQ(LibraryDeployed(), failure.library_left);
}

INSTANTIATE_TEST_SUITE_P(
    Flasher, StartupFailures,
    ::testing::Values(StartupFailure{"tarnex", "This file has been destroyed!", false},
                      StartupFailure{"damaged", "This file has been destroyed!", false},
                      StartupFailure{"no-device-list", "Init device list failed!", false},
                      StartupFailure{"no-temp", "AdbWinApi.dll not find", false},
                      StartupFailure{"not-a-library", "Load AdbWinApi.dll failed", true},
                      StartupFailure{"no-operations", "Load AdbWinApi.dll failed", true}),
    [](const ::testing::TestParamInfo<StartupFailure> &test) {
        std::string name = test.param.name;
        std::erase(name, '-');
        return name;
    });

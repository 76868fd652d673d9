// The flasher end to end as its operator meets it, written once and run on every front end
// (front_end.h): downloads with and without "UserData" and every partition compared, a device failure,
// an unplug in the data phase, "Exit" during a download, the keys and buttons of the window, the About
// box, and every start-up failure with its one message box.
#include "tests/e2e/front_end.h"
#include "tests/e2e/product.h"

#include "app/window_texts.h"
#include "framework/messages.h"
#include "framework/styles.h"
#include "package/image_table.h"
#include "res/resource.h"
#include "rigs/demo/demo_firmware.h"
#include "tests/support/handle_check.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

namespace fs = std::filesystem;

constexpr int WAIT_MS = 20000;

// The program under test and the controls of its phone.
const ProductUnderTest &P = product_under_test();

size_t count_lines(const std::string &text, const std::string &line) {
    size_t count = 0;
    std::istringstream lines(text);
    for (std::string each; std::getline(lines, each);)
        count += each == line;
    return count;
}

size_t count_prefixed(const std::string &text, const std::string &prefix, const std::string &suffix) {
    size_t count = 0;
    std::istringstream lines(text);
    for (std::string each; std::getline(lines, each);)
        count += each.rfind(prefix, 0) == 0 && each.size() >= suffix.size() &&
                 each.compare(each.size() - suffix.size(), suffix.size(), suffix) == 0;
    return count;
}

class Flasher : public ::testing::Test {
protected:
    void SetUp() override { fe = make_front_end(); }
    void TearDown() override { fe->end(); }

    Operator &op() { return fe->op(); }

    // What the program wrote to standard error, each line of the phone without the prefix that names it.
    std::string Errors() {
        std::string text = fe->errors();
        for (size_t at = text.find(P.line_prefix); !P.line_prefix.empty() && at != std::string::npos;
             at = text.find(P.line_prefix, at))
            text.erase(at, P.line_prefix.size());
        return text;
    }

    // The small demo firmware (small_firmware) with the device list.
    std::vector<PackBlob> Firmware() {
        std::vector<uint8_t> list = demo_device_list();
        if (P.station) { // the simulated phone's own ids too, so that the station shows it ready
            const std::string sim = "\r\nUSB\\Vid_1209&Pid_7458&Rev_0100";
            list.insert(list.end(), sim.begin(), sim.end());
        }
        return small_firmware(*fe, list);
    }

    bool Launch(const std::string &scenario, const std::vector<PackBlob> &entries, const std::string &name,
                const fs::path &temp = {}) {
        return fe->launch({name, pack_flasher_bytes(fe->base(), entries), scenario, temp});
    }

    // Starts a healthy flasher and waits until its window shows the phone found.
    void LaunchReady(const std::string &scenario = "device phone\n") {
        ASSERT_TRUE(Launch(scenario, Firmware(), "flasher"));
        ASSERT_TRUE(op().wait_window(P.dialog, fe->start_ms())) << "no window:\n" << fe->errors();
        ASSERT_TRUE(WaitStatus(STATUS_READY_TEXT));
    }

    bool WaitStatus(const std::string &status) {
        if (op().wait_until([&] { return op().text(P.status) == status; }, WAIT_MS))
            return true;
        ADD_FAILURE() << "status \"" << op().text(P.status) << "\" instead of \"" << status << "\"";
        return false;
    }

    // The window as an operator sees it. A state is set one control after the other, so its controls are
    // first given the time to show it whole.
    void ExpectShows(const std::string &status, bool start_enabled, int position,
                     const std::string &percent) {
        op().wait_until(
            [&] {
                return op().text(P.status) == status && op().enabled(P.start) == start_enabled &&
                       op().progress(P.progress).position == position && op().text(P.percent) == percent;
            },
            WAIT_MS);
        EXPECT_EQ(op().text(P.status), status);
        EXPECT_EQ(op().enabled(P.start), start_enabled);
        EXPECT_EQ(op().progress(P.progress).position, position);
        EXPECT_EQ(op().text(P.percent), percent);
        if (!P.station) { // the one-phone window's fixed captions
            EXPECT_EQ(op().text(IDC_PORT_CAPTION), PORT_CAPTION_TEXT);
            EXPECT_EQ(op().text(IDC_SOFTWARE_CAPTION), SOFTWARE_CAPTION_TEXT);
        }
    }

    // Waits until the window has polled the phone `polls` more times: each presence check and each scan
    // that finds the phone opens its interface once.
    void WaitPolls(size_t polls) {
        const size_t seen = Opens();
        EXPECT_TRUE(op().wait_until([&] { return Opens() >= seen + polls; }, WAIT_MS)) << "the poll stopped";
    }
    size_t Opens() { return count_prefixed(Transcript(), "open phone h=", " interface"); }

    int ExitCode(int timeout_ms = WAIT_MS) {
        int code = -1;
        EXPECT_TRUE(fe->wait_exit(timeout_ms, &code)) << "the flasher did not end";
        return code;
    }

    std::string Transcript() { return read_text(fe->work() / "transcript.txt"); }
    std::vector<uint8_t> Partition(const char *name) {
        return read_bytes(fe->work() / "partitions" / "phone" / (std::string(name) + ".img"));
    }
    bool TempEmpty() { return fs::is_empty(fe->work() / "temp"); }

    void ExpectEveryImageFlashed() {
        const std::vector<PackBlob> firmware = Firmware();
        for (size_t i = 0; i < std::size(DEMO_PARTITIONS); ++i)
            EXPECT_EQ(Partition(DEMO_PARTITIONS[i]), firmware[i].Bytes) << DEMO_PARTITIONS[i];
    }
    // A worker that has reported its outcome may still be letting go of the phone when the window has
    // ended (in process, "Exit" does not wait for it): its handles are waited for.
    void ExpectEveryHandleClosed() {
        op().wait_until([&] { return handle_faults(Transcript()).empty(); }, WAIT_MS);
        EXPECT_EQ(handle_faults(Transcript()), "") << Transcript();
    }

    std::unique_ptr<FrontEnd> fe;
};

} // namespace

// --- Downloads.

// The phone answers the reboot but stays on the bus, so that the final state stays on screen (a phone that
// leaves turns it to "no device" at the next poll).
TEST_F(Flasher, FlashesEveryImageAndRebootsThePhone) {
    LaunchReady("device phone\non reboot reply OKAY\n");
    ExpectShows(STATUS_READY_TEXT, true, 0, "0%");
    EXPECT_EQ(op().check(IDC_USERDATA), BST_UNCHECKED);
    fe->screenshot("ready");

    ASSERT_TRUE(op().click(P.start));
    ASSERT_TRUE(WaitStatus(STATUS_SUCCEEDED_TEXT));
    ASSERT_TRUE(op().wait_until(
        [&] { return op().progress(P.progress).position == 100 && op().text(P.percent) == "100%"; },
        WAIT_MS));
    ExpectShows(STATUS_SUCCEEDED_TEXT, P.restartable, 100, "100%");
    EXPECT_EQ(op().progress(P.progress).high, 100);
    fe->screenshot("succeeded");
    // While the phone stays, no new download can start.
    WaitPolls(2);
    ExpectShows(STATUS_SUCCEEDED_TEXT, P.restartable, 100, "100%");

    ASSERT_TRUE(op().click(IDCANCEL));
    EXPECT_EQ(ExitCode(), 0);
    EXPECT_TRUE(TempEmpty()) << "the temporary driver library outlived the program";

    ExpectEveryImageFlashed();
    const std::string transcript = Transcript();
    EXPECT_EQ(transcript.find("erase"), std::string::npos);
    EXPECT_EQ(count_lines(transcript, "out phone \"reboot\""), 1u);
    // One line per protocol action on standard error: a download and a flash per image, the reboot.
    EXPECT_EQ(count_lines(Errors(), "OKAY"), 2 * std::size(DEMO_PARTITIONS) + 1) << Errors();
    ExpectEveryHandleClosed();
}

TEST_F(Flasher, UserDataErasesUserdataAndCacheThenThePhoneLeavesAndNoDeviceIsShown) {
    // Slow enough to watch: a few seconds for the images at this rate.
    LaunchReady("device phone\nrate 200K\n");
    const uintptr_t found = op().picture(P.picture);
    ASSERT_TRUE(op().click(IDC_USERDATA));
    ASSERT_TRUE(op().wait_until([&] { return op().check(IDC_USERDATA) == BST_CHECKED; }, WAIT_MS));
    ASSERT_TRUE(op().click(P.start));
    ASSERT_TRUE(WaitStatus(STATUS_DOWNLOADING_TEXT));
    EXPECT_FALSE(op().enabled(P.start));
    // The bar follows the data phase, and the caption follows the bar.
    int seen = 0;
    ASSERT_TRUE(op().wait_until(
        [&] {
            seen = op().progress(P.progress).position;
            return seen >= 30 && op().text(P.percent) == std::to_string(seen) + "%";
        },
        WAIT_MS));
    EXPECT_LT(seen, 100);
    fe->screenshot("downloading");
    // The phone reboots and leaves the bus: the window shows no device. (When the poll notices before the
    // worker has reported the outcome, the outcome stays beside the no-device picture.)
    ASSERT_TRUE(op().wait_until([&] { return op().picture(P.picture) != found; }, WAIT_MS));
    ASSERT_TRUE(op().wait_until(
        [&] {
            const std::string status = op().text(P.status);
            return status.empty() || status == STATUS_SUCCEEDED_TEXT;
        },
        WAIT_MS));
    EXPECT_FALSE(op().enabled(P.start));
    fe->screenshot("no-device");

    ExpectEveryImageFlashed();
    const std::string transcript = Transcript();
    const size_t userdata = transcript.find("erase phone userdata");
    const size_t cache = transcript.find("erase phone cache");
    const size_t reboot = transcript.find("reboot phone");
    ASSERT_NE(userdata, std::string::npos) << transcript;
    ASSERT_NE(cache, std::string::npos);
    EXPECT_LT(transcript.rfind("flash phone recovery"), userdata);
    EXPECT_LT(userdata, cache);
    EXPECT_LT(cache, reboot);
    EXPECT_TRUE(Partition("userdata").empty());
    ASSERT_TRUE(op().click(IDCANCEL));
    EXPECT_EQ(ExitCode(), 0);
    ExpectEveryHandleClosed();
}

TEST_F(Flasher, DeviceFailureStopsEverythingAfterItAndShowsFailed) {
    LaunchReady("device phone\non flash:boot fail \"boot is locked\"\n");
    ASSERT_TRUE(op().click(P.start));
    ASSERT_TRUE(WaitStatus(STATUS_FAILED_TEXT));
    ExpectShows(STATUS_FAILED_TEXT, P.restartable, 0, "");
    fe->screenshot("failed");
    EXPECT_NE(Errors().find("FAILED (remote: boot is locked)\n"), std::string::npos) << Errors();
    const std::string transcript = Transcript();
    EXPECT_NE(transcript.find("out phone \"flash:boot\""), std::string::npos);
    EXPECT_EQ(transcript.find("system"), std::string::npos) << "nothing after the failed step";
    EXPECT_EQ(transcript.find("reboot"), std::string::npos);
    // While the phone keeps answering, the failure stays on screen and no new download can start.
    WaitPolls(2);
    ExpectShows(STATUS_FAILED_TEXT, P.restartable, 0, "");
    ASSERT_TRUE(op().click(IDCANCEL));
    EXPECT_EQ(ExitCode(), 0);
    ExpectEveryHandleClosed();
}

TEST_F(Flasher, UnplugDuringTheDataPhaseFailsThenShowsNoDevice) {
    LaunchReady("device phone\non download:*#6 unplug-after 3000\n");
    const uintptr_t found = op().picture(P.picture);
    ASSERT_TRUE(op().click(P.start));
    ASSERT_TRUE(op().wait_until([&] { return Errors().find("FAILED (") != std::string::npos; }, WAIT_MS))
        << Errors();
    EXPECT_EQ(Errors().find("FAILED (data transfer failure ("), count_lines(Errors(), "OKAY") * 5);
    // The poll notices the phone gone before or after the worker reports the failure: the window ends
    // without a device either way, showing nothing or, when the poll came first, the failure.
    ASSERT_TRUE(op().wait_until([&] { return op().picture(P.picture) != found; }, WAIT_MS));
    ASSERT_TRUE(op().wait_until(
        [&] {
            const std::string status = op().text(P.status);
            return status.empty() || status == STATUS_FAILED_TEXT;
        },
        WAIT_MS));
    const std::string status = op().text(P.status);
    ExpectShows(status, false, 0, "");
    EXPECT_NE(Transcript().find("data-cut phone"), std::string::npos);
    ASSERT_TRUE(op().click(IDCANCEL));
    EXPECT_EQ(ExitCode(), 0);
    ExpectEveryHandleClosed();
}

TEST_F(Flasher, ExitDuringADownloadEndsTheProcessPromptlyAndTheNextStartWorks) {
    LaunchReady("device phone\nrate 20K\n"); // the images would take more than half a minute
    ASSERT_TRUE(op().click(P.start));
    ASSERT_TRUE(WaitStatus(STATUS_DOWNLOADING_TEXT));
    ASSERT_TRUE(op().wait_until([&] { return op().progress(P.progress).position >= 2; }, WAIT_MS));
    ASSERT_TRUE(op().click(IDCANCEL));
    if (P.station) { // it asks first
        OperatorMessageBox box;
        ASSERT_TRUE(op().wait_message_box(&box, WAIT_MS));
        ASSERT_TRUE(op().answer_message_box(IDYES));
    }
    EXPECT_EQ(ExitCode(5000), 0) << "a crash ends with another code";
    fe->end();
    const auto left = std::distance(fs::directory_iterator(fe->work() / "temp"), fs::directory_iterator());

    // The driver library may stay behind in TEMP (Windows cannot delete it while loaded); the next start
    // with the same TEMP takes its place, finds the phone, and removes it at its own end.
    LaunchReady();
    ASSERT_TRUE(op().click(IDCANCEL));
    EXPECT_EQ(ExitCode(), 0);
    if (P.station) // its own folder, and only the one the first run could not remove stays
        EXPECT_LE(std::distance(fs::directory_iterator(fe->work() / "temp"), fs::directory_iterator()), left);
    else
        EXPECT_TRUE(TempEmpty());
}

// --- The window's keys and buttons.

TEST_F(Flasher, EnterAndEscapeDoNothing) {
    LaunchReady();
    ASSERT_TRUE(op().key(VK_RETURN));
    ASSERT_TRUE(op().key(VK_ESCAPE));
    WaitPolls(2);
    EXPECT_TRUE(op().window_exists());
    ExpectShows(STATUS_READY_TEXT, true, 0, "0%");
    EXPECT_EQ(Transcript().find("download"), std::string::npos) << "Enter did not press Start";
}

TEST_F(Flasher, CloseButtonActsAsExit) {
    LaunchReady();
    ASSERT_TRUE(op().system_command(SC_CLOSE));
    EXPECT_EQ(ExitCode(), 0);
    EXPECT_TRUE(TempEmpty());
    ExpectEveryHandleClosed(); // the held device was released
}

TEST_F(Flasher, AboutBoxComesFromTheSystemMenuAndGoesBackToTheWindow) {
    LaunchReady();
    ASSERT_TRUE(op().system_command(IDM_ABOUTBOX));
    ASSERT_TRUE(op().wait_window(IDD_ABOUTBOX, WAIT_MS));
    EXPECT_EQ(op().text(IDC_ABOUT_VERSION).rfind("Tarnex, Version ", 0), 0u);
    EXPECT_EQ(op().text(IDC_ABOUT_COPYRIGHT).rfind("Copyright", 0), 0u);
    fe->screenshot("about");
    ASSERT_TRUE(op().click(IDOK));
    ASSERT_TRUE(op().wait_until([&] { return !op().window_exists(); }, WAIT_MS));
    ASSERT_TRUE(op().wait_window(P.dialog, WAIT_MS));
    ASSERT_TRUE(op().wait_until([&] { return op().window_enabled(); }, WAIT_MS));
    // Polling went on meanwhile and goes on after it.
    ExpectShows(STATUS_READY_TEXT, true, 0, "0%");
}

// --- Start-up failures: one message box, caption the program's name, then exit code 1.

struct StartupFailure {
    const char *name; // of the flasher file, and so the caption
    const char *text;
    bool library_written; // the driver library was written before the failure

    friend void PrintTo(const StartupFailure &failure, std::ostream *out) { *out << failure.name; }
};

class StartupFailures : public Flasher, public ::testing::WithParamInterface<StartupFailure> {
protected:
    std::vector<uint8_t> FlasherFor(const std::string &name) {
        std::vector<PackBlob> firmware = Firmware();
        auto replace = [&](const char *entry, std::vector<uint8_t> bytes) {
            for (PackBlob &blob : firmware)
                if (blob.Name == entry)
                    blob.Bytes = std::move(bytes);
        };
        if (name == "tarnex")
            return fe->base(); // the base program as built, with no package at all
        if (name == "damaged") {
            std::vector<uint8_t> bytes = pack_flasher_bytes(fe->base(), firmware);
            bytes[bytes.size() - 5000] ^= 0x5A;
            return bytes;
        }
        if (name == "no-device-list")
            std::erase_if(firmware, [](const PackBlob &entry) { return entry.Name == "DeviceList.dat"; });
        if (name == "empty-device-list")
            replace("DeviceList.dat", {});
        if (name == "not-a-library")
            replace("AdbWinApi.dll", std::vector<uint8_t>(4096, 0x90));
        if (name == "no-operations")
            replace("AdbWinApi.dll", fe->partial_library());
        return pack_flasher_bytes(fe->base(), firmware);
    }
};

TEST_P(StartupFailures, ShowOneMessageBoxThenEndWithCodeOne) {
    const StartupFailure &failure = GetParam();
    // No TEMP that can take the library: a folder that does not exist.
    if (std::string(failure.name) == "no-temp" && fe->tries_next_temp())
        GTEST_SKIP()
            << "here the flasher passes over a TEMP that cannot take the library and starts from the "
               "next temporary directory (tests/app: Startup.TempThatCannotTakeTheLibraryIsPassedOver"
               "ForTheNext)";
    const fs::path temp =
        std::string(failure.name) == "no-temp" ? fe->work() / "missing" / "temp" : fs::path();
    ASSERT_TRUE(fe->launch({failure.name, FlasherFor(failure.name), "device phone\n", temp}));
    OperatorMessageBox box;
    ASSERT_TRUE(op().wait_message_box(&box, fe->start_ms())) << fe->errors();
    EXPECT_EQ(box.text, failure.text);
    EXPECT_EQ(box.caption, failure.name);
    EXPECT_TRUE(box.ok_only);
    EXPECT_TRUE(box.has_icon);
    EXPECT_FALSE(op().wait_window(P.dialog, 0)) << "the window is not shown";
    if (std::string(failure.name) == "no-device-list")
        fe->screenshot("startup-failure");
    ASSERT_TRUE(op().answer_message_box(IDOK));
    EXPECT_EQ(ExitCode(), 1);
    EXPECT_EQ(!TempEmpty(), failure.library_written && fe->failed_library_stays());
}

INSTANTIATE_TEST_SUITE_P(Each, StartupFailures,
                         ::testing::Values(StartupFailure{"tarnex", IMAGE_DESTROYED_TEXT, false},
                                           StartupFailure{"damaged", IMAGE_DESTROYED_TEXT, false},
                                           StartupFailure{"no-device-list", STARTUP_DEVICE_LIST_TEXT, false},
                                           StartupFailure{"empty-device-list", STARTUP_DEVICE_LIST_TEXT,
                                                          false},
                                           StartupFailure{"no-temp", STARTUP_DEPLOY_TEXT, false},
                                           StartupFailure{"not-a-library", STARTUP_LOAD_TEXT, true},
                                           StartupFailure{"no-operations", STARTUP_LOAD_TEXT, true}),
                         [](const ::testing::TestParamInfo<StartupFailure> &test) {
                             std::string name = test.param.name;
                             std::erase(name, '-');
                             return name;
                         });

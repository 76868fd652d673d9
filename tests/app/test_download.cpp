// The main window and the download worker as only a test inside the process sees them: the commands in
// detail, the check box read at "Start", absent and oversized images, progress arithmetic, the held
// device shared with the worker, the worker's start, exceptions, and the window's own icons and menu.
// (The downloads as an operator sees them are the end-to-end scenarios of tests/e2e.)
#include "app_fixture.h"

#include <chrono>
#include <stdexcept>

namespace {

// The commands of a full download of `blobs` (the first twelve images in plan order), with the erase
// pair when `user_data`, then reboot.
std::vector<std::string> expected_commands(const std::vector<PackBlob> &blobs, bool user_data) {
    std::vector<std::string> result;
    for (int slot = 0; slot < 12; ++slot) {
        auto blob = std::find_if(blobs.begin(), blobs.end(),
                                 [&](const PackBlob &b) { return b.Name == IMAGE_ENTRY_NAMES[slot]; });
        if (blob == blobs.end())
            continue;
        char download[32];
        std::snprintf(download, sizeof download, "download:%08x", static_cast<unsigned>(blob->Bytes.size()));
        result.push_back(download);
        result.push_back(std::string("flash:") + DEMO_PARTITIONS[slot]);
    }
    if (user_data) {
        result.push_back("erase:userdata");
        result.push_back("erase:cache");
    }
    result.push_back("reboot");
    return result;
}

// A window that throws while it handles a progress report, as a fault deep in a handler would.
class ThrowingWindow : public StateRecorder {
public:
    LRESULT SendMessageSync(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_DOWNLOAD_PROGRESS)
            throw std::runtime_error("window fault");
        return StateRecorder::SendMessageSync(message, wParam, lParam);
    }
};

class Download : public AppFixture {};

} // namespace

TEST_F(Download, BeforeAnyPhoneTheTemplateIsReplacedAndNothingCanStart) {
    WritePayload(firmware());
    Start("device phone\nplugged no\n");
    EXPECT_EQ(control(IDC_PORT_CAPTION).text, PORT_CAPTION_TEXT);
    EXPECT_EQ(percent(), "");
    EXPECT_EQ(status(), "");
    EXPECT_FALSE(start_enabled());
    EXPECT_EQ(picture(), IDI_NODEVICE);
    HeadlessWindowState main = headless_state(window);
    EXPECT_EQ(main.big_icon, IDR_MAINFRAME);
    EXPECT_EQ(main.small_icon, IDR_MAINFRAME);

    sim.plug("phone");
    ASSERT_TRUE(WaitStatus(STATUS_READY_TEXT));
    EXPECT_TRUE(start_enabled());
    EXPECT_EQ(picture(), IDI_DEVICE);
    EXPECT_EQ(percent(), "0%");
}

TEST_F(Download, UserDataIsTheCheckBoxAsItWasWhenStartWasPressed) {
    WritePayload(firmware());
    // After its reboot the phone comes back, ready for a second download.
    Start("device phone\nafter-reboot back 100\n");
    ASSERT_TRUE(WaitStatus(STATUS_READY_TEXT));

    // Ticked at "Start", unticked at once: the erase pair is sent.
    ASSERT_TRUE(headless_click(item(IDC_USERDATA)));
    ASSERT_TRUE(headless_click(item(IDOK)));
    ASSERT_TRUE(headless_click(item(IDC_USERDATA)));
    ASSERT_TRUE(WaitOutcome(STATE_SUCCEEDED));
    EXPECT_EQ(commands(), expected_commands(images(), true));

    // Unticked at "Start", ticked at once: no erase.
    ASSERT_TRUE(WaitStatus(STATUS_READY_TEXT));
    std::vector<std::string> before = commands();
    ASSERT_TRUE(headless_click(item(IDOK)));
    ASSERT_TRUE(headless_click(item(IDC_USERDATA)));
    ASSERT_TRUE(WaitOutcome(STATE_SUCCEEDED));
    std::vector<std::string> second = commands();
    second.erase(second.begin(), second.begin() + static_cast<long>(before.size()));
    EXPECT_EQ(second, expected_commands(images(), false));
}

TEST_F(Download, AbsentImagesAreSkippedAndUserdataImgIsNeverWritten) {
    std::vector<PackBlob> blobs = without(images(), "amsshd.mbn");
    WritePayload(firmware(blobs));
    Start();
    ASSERT_TRUE(WaitStatus(STATUS_READY_TEXT));
    ASSERT_TRUE(headless_click(item(IDOK)));
    ASSERT_TRUE(WaitOutcome(STATE_SUCCEEDED));
    EXPECT_EQ(commands(), expected_commands(blobs, false));
    EXPECT_EQ(sim.partition("phone", "userdata"), "") << "userdata.img is never written";
}

TEST_F(Download, PackageWithoutImagesStillErasesAndReboots) {
    WritePayload(firmware({}));
    // The phone stays on the bus after "reboot", so that the final state stays on screen.
    Start("device phone\non reboot reply OKAY\n");
    ASSERT_TRUE(WaitStatus(STATUS_READY_TEXT));
    ASSERT_TRUE(headless_click(item(IDC_USERDATA)));
    ASSERT_TRUE(headless_click(item(IDOK)));
    ASSERT_TRUE(WaitOutcome(STATE_SUCCEEDED));
    EXPECT_EQ(commands(), (std::vector<std::string>{"erase:userdata", "erase:cache", "reboot"}));
    ASSERT_TRUE(WaitStatus(STATUS_SUCCEEDED_TEXT));
    EXPECT_EQ(percent(), "100%") << "no images at all: the bar is full all the same";
}

TEST_F(Download, FailedDownloadKeepsStartDisabledUntilThePhoneIsReplugged) {
    WritePayload(firmware());
    Start("device phone\non download:*#10 fail \"no room for boot\"\n");
    ASSERT_TRUE(WaitStatus(STATUS_READY_TEXT));
    ASSERT_TRUE(headless_click(item(IDC_USERDATA)));
    ASSERT_TRUE(headless_click(item(IDOK)));
    ASSERT_TRUE(WaitStatus(STATUS_FAILED_TEXT));
    std::vector<std::string> sent = commands();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), download_of(images()[SLOT_BOOT]));
    EXPECT_EQ(fe.errors(), repeat("OKAY\n", 18) + "FAILED (remote: no room for boot)\n");

    sim.unplug("phone");
    ASSERT_TRUE(WaitStatus(""));
    sim.plug("phone");
    ASSERT_TRUE(WaitStatus(STATUS_READY_TEXT));
    EXPECT_TRUE(start_enabled());
}

TEST_F(Download, FailedRebootFailsTheDownloadAfterEveryImage) {
    WritePayload(firmware());
    Start("device phone\non reboot fail\n");
    ASSERT_TRUE(WaitStatus(STATUS_READY_TEXT));
    ASSERT_TRUE(headless_click(item(IDOK)));
    ASSERT_TRUE(WaitStatus(STATUS_FAILED_TEXT));
    EXPECT_EQ(commands(), expected_commands(images(), false));
    EXPECT_EQ(fe.errors(), repeat("OKAY\n", 24) + "FAILED (remote failure)\n");
}

TEST_F(Download, ImageOf2GiBOrMoreFailsTheDownloadBeforeAnythingReachesThePhone) {
    WritePayload(firmware());
    Start();
    ASSERT_TRUE(WaitStatus(STATUS_READY_TEXT));
    // The locator would index such a slot (no packer makes one); only its size matters here, since
    // nothing of it may be read. The click hands the change to the worker.
    g_ImageTable.Slots[SLOT_BOOT].Size = 0x80000000u;
    ASSERT_TRUE(headless_click(item(IDOK)));
    ASSERT_TRUE(WaitStatus(STATUS_FAILED_TEXT));
    EXPECT_TRUE(commands().empty()) << "no boot loader may be flashed beside an old system";
    EXPECT_EQ(fe.errors(), "FAILED (boot.img is too large (2147483648 bytes))\n");
}

TEST_F(Download, ProgressFromReportsAndStatesFromTheWorker) {
    // 1,000,000 bytes of images in all.
    WritePayload(firmware({{"system.img", std::vector<uint8_t>(1000000, 0x5A)}}));
    Start("device phone\nplugged no\n");
    ASSERT_EQ(g_ImageTable.TotalImageBytes, 1000000u);

    // Reports as the bulk writer sends them, from another thread: 10,240 bytes are 1.024 per cent,
    // and each truncation is lost.
    for (int i = 0; i < 5; ++i)
        send_to_main_window(WM_DOWNLOAD_PROGRESS, 0, 10240);
    EXPECT_EQ(progress(), 5);
    EXPECT_EQ(percent(), "5%");

    // A total of 2 GiB or more stays positive: 30,000,000 of 3,000,000,000 bytes is one per cent.
    g_ImageTable.TotalImageBytes = 3000000000u;
    send_to_main_window(WM_DOWNLOAD_PROGRESS, 0, 30000000);
    EXPECT_EQ(progress(), 6);
    // No total at all: nothing moves, nothing divides by zero.
    g_ImageTable.TotalImageBytes = 0;
    send_to_main_window(WM_DOWNLOAD_PROGRESS, 0, 10240);
    EXPECT_EQ(progress(), 6);
    EXPECT_EQ(percent(), "6%");

    send_to_main_window(WM_DOWNLOAD_STATE, 0, STATE_SUCCEEDED);
    EXPECT_EQ(progress(), 100);
    EXPECT_EQ(percent(), "100%");
    EXPECT_EQ(status(), STATUS_SUCCEEDED_TEXT);

    // A state out of range is shown as no device, exactly like 0.
    send_to_main_window(WM_DOWNLOAD_STATE, 0, 7);
    EXPECT_EQ(status(), "");
    EXPECT_EQ(percent(), "");
    EXPECT_EQ(progress(), 0);
    EXPECT_EQ(picture(), IDI_NODEVICE);
    EXPECT_FALSE(start_enabled());
}

TEST_F(Download, ExitDuringADownloadLeavesTheWorkerWhatItReads) {
    WritePayload(firmware());
    Start("device phone\nrate 20K\n");
    ASSERT_TRUE(WaitStatus(STATUS_READY_TEXT));
    ASSERT_TRUE(headless_click(item(IDOK)));
    ASSERT_TRUE(headless_wait_until([&] { return progress() > 0; }, WAIT_MS));

    ASSERT_TRUE(headless_click(item(IDCANCEL)));
    WaitEnd();
    EXPECT_EQ(fe.returned(), 0);
    EXPECT_EQ(fe.requested_exit(), 0) << "the process ends there, without its static destructors";
    EXPECT_EQ(DownloadRunning.load(), 1) << "the worker is not waited for";
    EXPECT_TRUE(TempNames().empty()) << "a loaded library is deleted on POSIX all the same";

    // The worker carries on with the images, the driver and the window's "UserData" it was left, until
    // the phone is gone; the front end then frees what it left.
    const uint32_t opened = sim.stats().opened;
    ASSERT_TRUE(headless_wait_until(
        [&] { return sim.transcript().find("flash phone qcsbl bytes=") != std::string::npos; }, WAIT_MS));
    EXPECT_EQ(sim.stats().opened, opened) << "nothing polls any more";
    sim.unplug("phone");
    ASSERT_TRUE(WaitIdle());
}

TEST_F(Download, DeviceTheWindowLetsGoOfStaysOpenUntilTheWorkerHasEnded) {
    WritePayload(firmware());
    // The presence check fails once (the phone itself stays): the window lets go of the device while
    // the worker goes on using it. Polls 200 ms apart: the scan is the first open, the third check after
    // it (open 4) fails, well inside the download, which the phone's slow link makes last seconds.
    fe.poll_period_ms = 200;
    Start("device phone\nrate 20K\non open#4 fail\n");
    ASSERT_TRUE(WaitStatus(STATUS_READY_TEXT));
    ASSERT_TRUE(headless_click(item(IDOK)));
    ASSERT_TRUE(headless_wait_until([] { return HeldDevice.load() == nullptr; }, WAIT_MS));
    EXPECT_EQ(DownloadRunning.load(), 1);
    EXPECT_EQ(sim.stats().open_interfaces, 1u) << "the worker's handle is still open";

    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(commands(), expected_commands(images(), false));
    // The worker closed it as it ended; the front end checks that every handle was closed exactly once.
}

TEST_F(Download, SecondClickBeforeTheWorkerAnnouncesItselfStartsNothing) {
    WritePayload(firmware());
    Start();
    ASSERT_TRUE(WaitStatus(STATUS_READY_TEXT));
    // The worker does not start until the second click has been handled, so that "Start" is still
    // enabled for it.
    static std::atomic<bool> s_second_click{false};
    static OsThreadEntry s_entry;
    s_second_click = false;
    g_OsApi.start_thread = [](OsThreadEntry entry, void *context) {
        s_entry = entry;
        return os_platform_api().start_thread(
            [](void *argument) {
                headless_wait_until([] { return s_second_click.load(); }, WAIT_MS);
                s_entry(argument);
            },
            context);
    };
    ASSERT_TRUE(headless_click(item(IDOK)));
    ASSERT_TRUE(headless_click(item(IDOK)));
    s_second_click = true;
    ASSERT_TRUE(WaitOutcome(STATE_SUCCEEDED));
    EXPECT_EQ(commands(), expected_commands(images(), false));
}

TEST_F(Download, WorkerThatCannotStartIsAFailedDownloadAndStartStaysDisabled) {
    WritePayload(firmware());
    Start();
    ASSERT_TRUE(WaitStatus(STATUS_READY_TEXT));
    g_OsApi.start_thread = [](OsThreadEntry, void *) { return false; };
    ASSERT_TRUE(headless_click(item(IDOK)));
    EXPECT_EQ(status(), STATUS_FAILED_TEXT);
    EXPECT_FALSE(start_enabled()) << "as after any failed download";
    EXPECT_EQ(DownloadRunning.load(), 0);
    EXPECT_TRUE(commands().empty());
}

TEST_F(Download, ExceptionInsideADownloadFailsItAndFreesTheDevice) {
    WritePayload(firmware());
    Start("device phone\non reboot reply OKAY\n");
    ASSERT_TRUE(WaitStatus(STATUS_READY_TEXT));
    ThrowingWindow throwing;
    throwing.window = window;
    set_main_window(&throwing);
    ASSERT_TRUE(headless_click(item(IDOK)));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(throwing.take(), (std::vector<LPARAM>{STATE_DOWNLOADING, STATE_FAILED}));
    ASSERT_TRUE(WaitStatus(STATUS_FAILED_TEXT)) << "never left on \"Downloading...\"";
    EXPECT_NE(fe.errors().find("FAILED (window fault)\n"), std::string::npos) << fe.errors();
    set_main_window(&m_states);
}

TEST_F(Download, SystemMenuCarriesTheAboutItem) {
    WritePayload(firmware());
    Start();
    std::vector<HeadlessMenuItem> menu = headless_state(window).system_menu;
    ASSERT_GE(menu.size(), 2u);
    EXPECT_EQ(menu[menu.size() - 2].flags, MF_SEPARATOR);
    EXPECT_EQ(menu.back().id, IDM_ABOUTBOX);
    EXPECT_EQ(menu.back().text, "关于 Tarnex(&A)...");
}

TEST_F(Download, MinimisedWindowShowsTheApplicationIconAtItsCentre) {
    WritePayload(firmware());
    Start();
    EXPECT_EQ(headless_icon_id(reinterpret_cast<IconHandle>(
                  g_FrameworkBackend.send_message(window, WM_QUERYDRAGICON, 0, 0))),
              IDR_MAINFRAME);
    ASSERT_TRUE(headless_set_iconic(window, true));
    HeadlessWindowState shown = headless_state(window);
    EXPECT_EQ(shown.paints, 1);
    EXPECT_EQ(shown.painted_icon, IDR_MAINFRAME);
    Rect client;
    g_FrameworkBackend.get_client_rect(window, &client);
    EXPECT_EQ(shown.painted_x, (client.right - 32 + 1) / 2);
    EXPECT_EQ(shown.painted_y, (client.bottom - 32 + 1) / 2);
    ASSERT_TRUE(headless_set_iconic(window, false));
    EXPECT_EQ(headless_state(window).paints, 1) << "a restored window paints the usual way";
}

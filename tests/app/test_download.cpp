// The main window and the download worker against the simulated phone: the whole sequence, its states
// and progress, failures, the operator's keys and buttons, and a device that goes away.
#include "app_fixture.h"

#include <algorithm>
#include <atomic>
#include <chrono>

namespace {

const char *const PARTITIONS[] = {"qcsblhd", "qcsbl",      "oemsblhd", "oemsbl", "amsshd", "amss",
                                  "cefs",    "appsboothd", "appsboot", "boot",   "system", "recovery"};

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
        result.push_back(std::string("flash:") + PARTITIONS[slot]);
    }
    if (user_data) {
        result.push_back("erase:userdata");
        result.push_back("erase:cache");
    }
    result.push_back("reboot");
    return result;
}

std::string repeat(const char *line, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i)
        text += line;
    return text;
}

class Download : public AppFixture {};

} // namespace

TEST_F(Download, PhoneFoundFlashedRebootedAndGoneThenExitRemovesTheLibrary) {
    WritePayload(firmware());
    Start("device phone\nplugged no\n");

    // Before any phone: the template's captions replaced, nothing to start.
    EXPECT_EQ(control(IDC_PORT_CAPTION).text, "USB PORT");
    EXPECT_EQ(percent(), "");
    EXPECT_EQ(status(), "");
    EXPECT_FALSE(start_enabled());
    EXPECT_EQ(picture(), IDI_NODEVICE);
    HeadlessWindowState main = headless_state(window);
    EXPECT_EQ(main.big_icon, IDR_MAINFRAME);
    EXPECT_EQ(main.small_icon, IDR_MAINFRAME);

    sim.plug("phone");
    ASSERT_TRUE(WaitStatus("Ready"));
    EXPECT_TRUE(start_enabled());
    EXPECT_EQ(picture(), IDI_DEVICE);
    EXPECT_EQ(progress(), 0);
    EXPECT_EQ(percent(), "0%");

    ASSERT_TRUE(headless_click(item(IDOK)));
    ASSERT_TRUE(WaitOutcome(STATE_SUCCEEDED));
    EXPECT_FALSE(start_enabled());

    EXPECT_EQ(commands(), expected_commands(images(), false));
    for (int slot = 0; slot < 12; ++slot) {
        std::vector<uint8_t> image = images()[slot].Bytes;
        EXPECT_EQ(sim.partition("phone", PARTITIONS[slot]), std::string(image.begin(), image.end()))
            << PARTITIONS[slot];
    }
    EXPECT_EQ(sim.partition("phone", "userdata"), "") << "userdata.img is never written";

    // The phone restarts and leaves the bus: the next poll shows no device (and the outcome stays when
    // that poll came just before the worker reported it).
    ASSERT_TRUE(WaitNoDevice());
    const std::string shown = status();
    EXPECT_TRUE(shown.empty() || shown == "Download successfully!") << shown;
    EXPECT_FALSE(start_enabled());

    Finish();
    EXPECT_EQ(m_stderrText, repeat("OKAY\n", 25));
    EXPECT_EQ(s_exit_code, -1);
    EXPECT_EQ(m_returned, 0);
    EXPECT_TRUE(names_in(m_temp).empty()) << "the library and its directory are gone";
}

TEST_F(Download, UserDataIsTheCheckBoxAsItWasWhenStartWasPressed) {
    WritePayload(firmware());
    // After its reboot the phone comes back, ready for a second download.
    Start("device phone\nafter-reboot back 100\n");
    ASSERT_TRUE(WaitStatus("Ready"));

    // Ticked at "Start", unticked at once: the erase pair is sent.
    ASSERT_TRUE(headless_click(item(IDC_USERDATA)));
    ASSERT_TRUE(headless_click(item(IDOK)));
    ASSERT_TRUE(headless_click(item(IDC_USERDATA)));
    ASSERT_TRUE(WaitOutcome(STATE_SUCCEEDED));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(commands(), expected_commands(images(), true));
    EXPECT_EQ(sim.partition("phone", "userdata"), "");

    // Unticked at "Start", ticked at once: no erase.
    ASSERT_TRUE(WaitStatus("Ready"));
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
    ASSERT_TRUE(WaitStatus("Ready"));
    ASSERT_TRUE(headless_click(item(IDOK)));
    ASSERT_TRUE(WaitOutcome(STATE_SUCCEEDED));
    std::vector<std::string> sent = commands();
    EXPECT_EQ(sent, expected_commands(blobs, false));
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "flash:amsshd"), 0);
}

TEST_F(Download, PackageWithoutImagesStillErasesAndReboots) {
    WritePayload(firmware({}));
    // The phone stays on the bus after "reboot", so that the final state stays on screen.
    Start("device phone\non reboot reply OKAY\n");
    ASSERT_TRUE(WaitStatus("Ready"));
    ASSERT_TRUE(headless_click(item(IDC_USERDATA)));
    ASSERT_TRUE(headless_click(item(IDOK)));
    ASSERT_TRUE(WaitOutcome(STATE_SUCCEEDED));
    EXPECT_EQ(commands(), (std::vector<std::string>{"erase:userdata", "erase:cache", "reboot"}));
    ASSERT_TRUE(WaitStatus("Download successfully!"));
    EXPECT_EQ(percent(), "100%") << "no images at all: the bar is full all the same";
}

TEST_F(Download, FailedBootDownloadStopsEverythingAfterItUntilThePhoneIsReplugged) {
    WritePayload(firmware());
    Start("device phone\non download:*#10 fail \"no room for boot\"\n");
    ASSERT_TRUE(WaitStatus("Ready"));
    ASSERT_TRUE(headless_click(item(IDC_USERDATA)));
    ASSERT_TRUE(headless_click(item(IDOK)));
    ASSERT_TRUE(WaitStatus("Download failed!"));
    EXPECT_EQ(progress(), 0);
    EXPECT_EQ(percent(), "");
    EXPECT_FALSE(start_enabled());

    std::vector<std::string> sent = commands();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), download_of(images()[SLOT_BOOT]));
    for (const char *never : {"flash:boot", "flash:system", "flash:recovery", "erase:userdata", "reboot"})
        EXPECT_EQ(std::count(sent.begin(), sent.end(), never), 0) << never;

    // The phone still answers: the failure stays on screen and no new download can start.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(status(), "Download failed!");
    EXPECT_FALSE(start_enabled());

    sim.unplug("phone");
    ASSERT_TRUE(WaitStatus(""));
    sim.plug("phone");
    ASSERT_TRUE(WaitStatus("Ready"));

    Finish();
    EXPECT_EQ(m_stderrText, repeat("OKAY\n", 18) + "FAILED (remote: no room for boot)\n");
}

TEST_F(Download, FailedRebootFailsTheDownloadAfterEveryImage) {
    WritePayload(firmware());
    Start("device phone\non reboot fail\n");
    ASSERT_TRUE(WaitStatus("Ready"));
    ASSERT_TRUE(headless_click(item(IDOK)));
    ASSERT_TRUE(WaitStatus("Download failed!"));
    EXPECT_EQ(commands(), expected_commands(images(), false));
    Finish();
    EXPECT_EQ(m_stderrText, repeat("OKAY\n", 24) + "FAILED (remote failure)\n");
}

TEST_F(Download, ImageOf2GiBOrMoreFailsTheDownloadBeforeAnythingOfItIsSent) {
    WritePayload(firmware());
    Start();
    ASSERT_TRUE(WaitStatus("Ready"));
    // The locator would index such a slot (no packer makes one); only its size matters here, since
    // nothing of it may be read. The click hands the change to the worker.
    g_ImageTable.Slots[SLOT_BOOT].Size = 0x80000000u;
    ASSERT_TRUE(headless_click(item(IDOK)));
    ASSERT_TRUE(WaitStatus("Download failed!"));
    std::vector<std::string> sent = commands();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), "flash:appsboot") << "the last image before boot";
    Finish();
    EXPECT_EQ(m_stderrText, repeat("OKAY\n", 18) + "FAILED (boot.img is too large (2147483648 bytes))\n");
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
    EXPECT_EQ(status(), "Download successfully!");

    // A state out of range is shown as no device, exactly like 0.
    send_to_main_window(WM_DOWNLOAD_STATE, 0, 7);
    EXPECT_EQ(status(), "");
    EXPECT_EQ(percent(), "");
    EXPECT_EQ(progress(), 0);
    EXPECT_EQ(picture(), IDI_NODEVICE);
    EXPECT_FALSE(start_enabled());
}

TEST_F(Download, ProgressOfARealDownloadMovesThroughThePercentages) {
    WritePayload(firmware());
    // Two-kilobyte transfers on a slow link, so that the window sees the reports go by; the phone stays
    // on the bus after "reboot", so that the poll does not take the final state away before it is seen.
    Start("device phone\nrate 500K\non download:* short-write 2048\non reboot reply OKAY\n");
    ASSERT_TRUE(WaitStatus("Ready"));
    ASSERT_TRUE(headless_click(item(IDOK)));
    std::vector<int> seen;
    ASSERT_TRUE(headless_wait_until(
        [&] {
            int now = progress();
            if (seen.empty() || seen.back() != now)
                seen.push_back(now);
            // The window shows the outcome first and then fills the bar: both belong to the end.
            return status() == "Download successfully!" && now == 100;
        },
        WAIT_MS));
    g_FrameworkBackend.send_message(window, 0, 0, 0); // WM_NULL: the final state is shown whole
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_GE(seen.size(), 5u) << "the bar moved in steps during the download";
    EXPECT_EQ(progress(), 100);
    EXPECT_EQ(percent(), "100%");
    EXPECT_FALSE(start_enabled());
}

TEST_F(Download, EnterAndEscapeDoNothingAndTheCloseButtonIsExit) {
    WritePayload(firmware());
    Start();
    ASSERT_TRUE(WaitStatus("Ready"));
    ASSERT_TRUE(headless_key(window, VK_RETURN));
    ASSERT_TRUE(headless_key(item(IDC_STATUS), VK_ESCAPE));
    EXPECT_TRUE(headless_state(window).exists);
    EXPECT_EQ(status(), "Ready");
    EXPECT_TRUE(commands().empty()) << "Enter did not press Start";

    ASSERT_TRUE(headless_system_command(window, SC_CLOSE));
    m_ui.join();
    EXPECT_EQ(m_returned, 0);
    EXPECT_EQ(HeldDevice.load(), nullptr);
    EXPECT_TRUE(names_in(m_temp).empty());
}

TEST_F(Download, ExitDuringADownloadEndsAtOnceAndLeavesTheWorkerWhatItReads) {
    WritePayload(firmware());
    Start("device phone\nrate 20K\n");
    ASSERT_TRUE(WaitStatus("Ready"));
    ASSERT_TRUE(headless_click(item(IDOK)));
    ASSERT_TRUE(headless_wait_until([&] { return progress() > 0; }, WAIT_MS));

    const auto pressed = std::chrono::steady_clock::now();
    ASSERT_TRUE(headless_click(item(IDCANCEL)));
    m_ui.join();
    EXPECT_LT(std::chrono::steady_clock::now() - pressed, std::chrono::seconds(2));
    EXPECT_EQ(m_returned, 0);
    EXPECT_EQ(s_exit_code, 0) << "the process ends there, without its static destructors";
    EXPECT_EQ(DownloadRunning.load(), 1) << "the worker is not waited for";
    EXPECT_TRUE(names_in(m_temp).empty()) << "a loaded library is deleted on POSIX all the same";

    // The worker carries on with the images, the driver and the window's "UserData" it was left, and
    // ends on its own once the phone is gone; the fixture then frees what it left.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    sim.unplug("phone");
    ASSERT_TRUE(WaitIdle());
}

TEST_F(Download, DeviceLeavingInTheDataPhaseFailsTheDownloadAndShowsNoDevice) {
    WritePayload(firmware());
    Start("device phone\non download:*#3 unplug-after 1000\n");
    ASSERT_TRUE(WaitStatus("Ready"));
    ASSERT_TRUE(headless_click(item(IDOK)));
    ASSERT_TRUE(WaitIdle());
    // The window ends without a device, showing the failure (the poll noticed first) or nothing.
    ASSERT_TRUE(WaitNoDevice());
    const std::string shown = status();
    EXPECT_TRUE(shown.empty() || shown == "Download failed!") << shown;
    EXPECT_FALSE(start_enabled());
    EXPECT_NE(sim.transcript().find("data-cut phone bytes="), std::string::npos);
    Finish();
    EXPECT_EQ(m_stderrText.find("FAILED (data transfer failure ("), repeat("OKAY\n", 4).size())
        << m_stderrText;
}

TEST_F(Download, DeviceTheWindowLetsGoOfStaysOpenUntilTheWorkerHasEnded) {
    WritePayload(firmware());
    // The presence check fails once (the phone itself stays): the window lets go of the device while
    // the worker goes on using it. Polls 200 ms apart: the scan is the first open, the third check after
    // it (open 4) fails, well inside the download, which the phone's slow link makes last seconds.
    g_AppSeams.poll_period_ms = 200;
    Start("device phone\nrate 20K\non open#4 fail\n");
    ASSERT_TRUE(WaitStatus("Ready"));
    ASSERT_TRUE(headless_click(item(IDOK)));
    ASSERT_TRUE(headless_wait_until([] { return HeldDevice.load() == nullptr; }, WAIT_MS));
    EXPECT_EQ(DownloadRunning.load(), 1);
    EXPECT_EQ(sim.stats().open_interfaces, 1u) << "the worker's handle is still open";

    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(commands(), expected_commands(images(), false));
    // The worker closed it as it ended; the fixture checks that every handle was closed exactly once.
}

TEST_F(Download, SecondClickBeforeTheWorkerAnnouncesItselfStartsNothing) {
    WritePayload(firmware());
    Start();
    ASSERT_TRUE(WaitStatus("Ready"));
    // The worker is slow to start, so that "Start" is still enabled for the second click.
    static OsThreadEntry s_entry;
    g_OsApi.start_thread = [](OsThreadEntry entry, void *context) {
        s_entry = entry;
        return os_platform_api().start_thread(
            [](void *argument) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                s_entry(argument);
            },
            context);
    };
    headless_click(item(IDOK), 0);
    ASSERT_TRUE(headless_click(item(IDOK)));
    ASSERT_TRUE(WaitOutcome(STATE_SUCCEEDED));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(commands(), expected_commands(images(), false));
}

TEST_F(Download, WorkerThatCannotStartIsAFailedDownload) {
    WritePayload(firmware());
    Start();
    ASSERT_TRUE(WaitStatus("Ready"));
    g_OsApi.start_thread = [](OsThreadEntry, void *) { return false; };
    ASSERT_TRUE(headless_click(item(IDOK)));
    EXPECT_EQ(status(), "Download failed!");
    EXPECT_EQ(DownloadRunning.load(), 0);
    EXPECT_TRUE(commands().empty());
}

TEST_F(Download, AboutBoxFromTheSystemMenu) {
    WritePayload(firmware());
    Start();
    std::vector<HeadlessMenuItem> menu = headless_state(window).system_menu;
    ASSERT_GE(menu.size(), 2u);
    EXPECT_EQ(menu[menu.size() - 2].flags, MF_SEPARATOR);
    EXPECT_EQ(menu.back().id, IDM_ABOUTBOX);
    EXPECT_EQ(menu.back().text, "关于 Tarnex(&A)...");

    headless_system_command(window, IDM_ABOUTBOX, 0);
    WindowHandle about = headless_wait_dialog(IDD_ABOUTBOX, WAIT_MS);
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(headless_state(headless_item(about, IDC_ABOUT_VERSION)).text.rfind("Tarnex, Version ", 0), 0u);
    EXPECT_FALSE(headless_state(window).enabled) << "the main window waits for the About box";
    ASSERT_TRUE(headless_key(about, VK_ESCAPE));
    ASSERT_TRUE(headless_wait_until([&] { return headless_state(window).enabled; }, WAIT_MS));
    EXPECT_FALSE(headless_state(about).exists);
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

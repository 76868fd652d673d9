// The dialog framework on the headless backend: modal runs, message tables and default handling, messages
// between threads, timers, keyboard pre-translation, message boxes, and dialogs built from res/.
#include "framework/headless/headless.h"
#include "framework/styles.h"
#include "framework/win_app.h"
#include "res/resource.h"
#include "res/resource_tables.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

constexpr UINT WM_PROBE = WM_USER + 100;
constexpr UINT WM_SLOW_PROBE = WM_USER + 101;
constexpr UINT WM_ARM_TIMER = WM_USER + 102;
constexpr UINT WM_ASK = WM_USER + 103;
constexpr UINT WM_ENABLE_OK = WM_USER + 104;
constexpr int WAIT_MS = 10000;

// The About box's template with handlers of our own.
class ProbeDialog : public CDialog {
public:
    ProbeDialog() : CDialog(IDD_ABOUTBOX) {}

    std::atomic<std::thread::id> probed_on{};
    std::atomic<int> ticks{0};
    std::atomic<int> paints_declined{0};
    bool visible_during_init = true;
    bool end_during_init = false;
    bool swallow_escape = false;
    std::atomic<bool> slow_probe_started{false};
    std::atomic<bool> release_slow_probe{false};

    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        visible_during_init = headless_state(m_hWnd).visible;
        if (end_during_init)
            EndDialog(IDABORT);
        return TRUE;
    }

    BOOL PreTranslateMessage(Msg *msg) override {
        if (swallow_escape && msg->message == WM_KEYDOWN && msg->wParam == VK_ESCAPE)
            return TRUE;
        return CDialog::PreTranslateMessage(msg);
    }

    static void OnTimerTick(WindowHandle window, UINT, uintptr_t, uint32_t) {
        auto *self = static_cast<ProbeDialog *>(AfxGetMainWnd());
        if (self != nullptr && self->m_hWnd == window && ++self->ticks == 3)
            g_FrameworkBackend.kill_timer(window, 7);
    }

protected:
    LRESULT OnProbe(WPARAM wParam, LPARAM lParam) {
        probed_on = std::this_thread::get_id();
        return static_cast<LRESULT>(wParam) + lParam;
    }
    LRESULT OnSlowProbe(WPARAM, LPARAM) {
        slow_probe_started = true;
        while (!release_slow_probe)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EndDialog(IDOK);
        return 1;
    }
    LRESULT OnArmTimer(WPARAM, LPARAM) { return static_cast<LRESULT>(SetTimer(7, 5, OnTimerTick)); }
    LRESULT OnAsk(WPARAM, LPARAM) { return AfxMessageBox("Something happened", MB_OK | MB_ICONEXCLAMATION); }
    LRESULT OnEnableOk(WPARAM enable, LPARAM) {
        CWnd(GetDlgItem(IDOK)).EnableWindow(static_cast<BOOL>(enable));
        return 0;
    }
    // Declines, so that the default handling still runs.
    bool OnPaint(WPARAM, LPARAM, LRESULT *) {
        ++paints_declined;
        return false;
    }

    const MessageMap *GetMessageMap() const override {
        static constexpr MessageMapEntry entries[] = {
            on_message<&ProbeDialog::OnProbe>(WM_PROBE), on_message<&ProbeDialog::OnSlowProbe>(WM_SLOW_PROBE),
            on_message<&ProbeDialog::OnPaint>(WM_PAINT), on_message<&ProbeDialog::OnArmTimer>(WM_ARM_TIMER),
            on_message<&ProbeDialog::OnAsk>(WM_ASK),     on_message<&ProbeDialog::OnEnableOk>(WM_ENABLE_OK),
        };
        static constexpr MessageMap map = {entries, std::size(entries)};
        return &map;
    }
};

class ProbeApp : public CWinApp {
public:
    int helps = 0;
    void OnHelpCommand() { ++helps; }

protected:
    const MessageMap *GetCommandMap() const override {
        static constexpr MessageMapEntry entries[] = {on_command<&ProbeApp::OnHelpCommand>(ID_HELP, 0)};
        static constexpr MessageMap map = {entries, std::size(entries)};
        return &map;
    }
};

// Runs a ProbeDialog on a window thread of its own, as the application's main window.
class Headless : public ::testing::Test {
protected:
    void Start() {
        app.m_pMainWnd = &dialog;
        ui = std::thread([this] { result = dialog.DoModal(); });
        window = headless_wait_dialog(IDD_ABOUTBOX, WAIT_MS);
        ASSERT_NE(window, nullptr);
    }
    void TearDown() override {
        if (ui.joinable()) {
            if (headless_state(window).exists)
                headless_key(window, VK_ESCAPE);
            ui.join();
        }
        headless_clear_message_box_history();
    }

    ProbeApp app;
    ProbeDialog dialog;
    std::thread ui;
    WindowHandle window = nullptr;
    std::atomic<intptr_t> result{0};
};

} // namespace

TEST_F(Headless, ModalRunShowsAfterInitAndReturnsTheValueGivenToEndDialog) {
    Start();
    EXPECT_FALSE(dialog.visible_during_init);
    EXPECT_EQ(headless_state(window).text, "关于 Tarnex");
    ASSERT_TRUE(headless_click(headless_item(window, IDOK)));
    ui.join();
    EXPECT_EQ(result, IDOK);
    EXPECT_FALSE(headless_state(window).exists);
    EXPECT_EQ(dialog.m_hWnd, nullptr);
}

TEST_F(Headless, DialogEndedDuringInitReturnsWithoutALoop) {
    dialog.end_during_init = true;
    ui = std::thread([this] { result = dialog.DoModal(); });
    ui.join();
    EXPECT_EQ(result, IDABORT);
}

TEST_F(Headless, UnknownTemplateFailsTheModalRun) {
    CDialog missing(4242);
    EXPECT_EQ(missing.DoModal(), -1);
}

TEST_F(Headless, MessageFromAnotherThreadIsHandledOnTheWindowThreadWhileTheSenderWaits) {
    Start();
    std::thread::id window_thread = ui.get_id();
    EXPECT_EQ(g_FrameworkBackend.send_message(window, WM_PROBE, 40, 2), 42);
    EXPECT_EQ(dialog.probed_on.load(), window_thread);
    // The same through the core's report path, which finds the main window by itself.
    EXPECT_EQ(send_to_main_window(WM_PROBE, 1, 1), 2);
}

TEST_F(Headless, SenderWaitingWhenTheWindowGoesAwayGetsZero) {
    Start();
    // The first send ends the dialog while the second waits in the queue behind it.
    std::thread first([&] { g_FrameworkBackend.send_message(window, WM_SLOW_PROBE, 0, 0); });
    ASSERT_TRUE(headless_wait_until([&] { return dialog.slow_probe_started.load(); }, WAIT_MS));
    std::atomic<LRESULT> late{-1};
    std::thread second([&] { late = g_FrameworkBackend.send_message(window, WM_PROBE, 5, 5); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    dialog.release_slow_probe = true;
    first.join();
    second.join();
    ui.join();
    EXPECT_EQ(late, 0);
    EXPECT_EQ(result, IDOK);
    // Reports after the window is gone find nothing, and nothing blocks.
    EXPECT_EQ(send_to_main_window(WM_PROBE, 1, 1), 0);
    EXPECT_EQ(g_FrameworkBackend.send_message(window, WM_PROBE, 1, 1), 0);
    EXPECT_FALSE(g_FrameworkBackend.post_message(window, WM_PROBE, 1, 1));
}

TEST_F(Headless, TimerCallsBackFromTheLoopUntilKilled) {
    Start();
    ASSERT_EQ(g_FrameworkBackend.send_message(window, WM_ARM_TIMER, 0, 0), 7);
    ASSERT_TRUE(headless_wait_until([&] { return dialog.ticks >= 3; }, WAIT_MS));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(dialog.ticks, 3);
}

TEST_F(Headless, EscapeAndCloseButtonCancelUnlessPreTranslationSwallowsThem) {
    dialog.swallow_escape = true;
    Start();
    ASSERT_TRUE(headless_key(window, VK_ESCAPE));
    EXPECT_TRUE(headless_state(window).exists);
    ASSERT_TRUE(headless_system_command(window, SC_CLOSE));
    ui.join();
    EXPECT_EQ(result, IDCANCEL);
}

TEST_F(Headless, EnterClicksTheDefaultButton) {
    Start();
    ASSERT_TRUE(headless_key(window, VK_RETURN));
    ui.join();
    EXPECT_EQ(result, IDOK);
}

TEST_F(Headless, HandlerThatDeclinesStillGetsTheDefaultHandling) {
    Start();
    ASSERT_TRUE(headless_set_iconic(window, true));
    HeadlessWindowState shown = headless_state(window);
    EXPECT_TRUE(shown.iconic);
    EXPECT_EQ(dialog.paints_declined, 1);
    EXPECT_EQ(shown.paints, 0); // the default painting draws nothing here
}

TEST_F(Headless, UnhandledCommandGoesToTheApplicationsCommandTable) {
    Start();
    g_FrameworkBackend.post_message(window, WM_COMMAND, make_wparam(ID_HELP, 0), 0);
    ASSERT_TRUE(headless_wait_until([&] { return app.helps == 1; }, WAIT_MS));
    EXPECT_TRUE(headless_state(window).exists);
}

TEST_F(Headless, MessageBoxWaitsForItsAnswerAndKeepsTheLoopRunning) {
    Start();
    app.m_strAppName = "probe";
    std::atomic<LRESULT> answer{0};
    std::thread asker([&] { answer = g_FrameworkBackend.send_message(window, WM_ASK, 0, 0); });
    HeadlessMessageBox box;
    ASSERT_TRUE(headless_wait_message_box(&box, WAIT_MS));
    EXPECT_EQ(box.text, "Something happened");
    EXPECT_EQ(box.caption, "probe");
    EXPECT_EQ(box.type, MB_OK | MB_ICONEXCLAMATION);
    EXPECT_FALSE(headless_state(window).enabled) << "the owner is disabled while the box is open";
    // The window thread sits in the box's loop, which still handles what is sent to the window.
    EXPECT_EQ(g_FrameworkBackend.send_message(window, WM_PROBE, 40, 2), 42);
    EXPECT_TRUE(headless_answer_message_box(IDOK));
    asker.join();
    EXPECT_EQ(answer, IDOK);
    EXPECT_TRUE(headless_state(window).enabled);
    EXPECT_EQ(headless_message_box_history().size(), 1u);
}

TEST_F(Headless, ClicksReachOnlyEnabledControlsOfAnEnabledDialog) {
    Start();
    WindowHandle ok = headless_item(window, IDOK);
    g_FrameworkBackend.send_message(window, WM_ENABLE_OK, FALSE, 0);
    ASSERT_TRUE(headless_click(ok));
    EXPECT_TRUE(headless_state(window).exists);
    g_FrameworkBackend.send_message(window, WM_ENABLE_OK, TRUE, 0);
    ASSERT_TRUE(headless_click(ok));
    ui.join();
    EXPECT_EQ(result, IDOK);
}

TEST(HeadlessTemplates, MainWindowHasItsControlsInTabOrder) {
    const DialogResource *main = find_dialog_resource(IDD_TARNEX_DIALOG);
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(main->width, 242);
    EXPECT_EQ(main->height, 135);
    EXPECT_STREQ(main->caption, "Tarnex");
    EXPECT_STREQ(main->font_name, "宋体");
    EXPECT_EQ(main->font_points, 9);
    const int ids[] = {1, 2, 1001, 1002, 1005, 1003, 1009, 1010, -1, 1013};
    ASSERT_EQ(main->item_count, std::size(ids));
    for (size_t i = 0; i < main->item_count; ++i)
        EXPECT_EQ(main->items[i].id, ids[i]) << "tab position " << i;
    EXPECT_NE(main->items[0].style & WS_DISABLED, 0u) << "Start is disabled at creation";
    EXPECT_EQ(main->items[2].icon, IDI_NODEVICE);
    EXPECT_STREQ(find_string_resource(IDS_ABOUTBOX), "关于 Tarnex(&A)...");
    for (int icon : {IDI_DEVICE, IDI_NODEVICE, IDR_MAINFRAME})
        EXPECT_NE(g_FrameworkBackend.load_icon(icon), nullptr);
}

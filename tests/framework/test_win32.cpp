// The dialog framework on the Win32 backend, under Wine: real dialogs from the program's resources on a
// window thread of their own, driven from the test's thread through the window system only (as another
// process would): modal runs, messages between threads, timers, pre-translation, message boxes, icons,
// the system menu and wide-character texts.
#include "framework/win32/win32_backend.h"

#include "framework/win_app.h"
#include "res/resource.h"
#include "res/resource_tables.h"
#include "res/version.h"
#include "tools/remote/remote_control.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

namespace {

constexpr UINT WM_PROBE = WM_USER + 100;
constexpr UINT WM_SLOW_PROBE = WM_USER + 101;
constexpr UINT WM_ARM_TIMER = WM_USER + 102;
constexpr UINT WM_ASK = WM_USER + 103;
constexpr UINT WM_RUN = WM_USER + 104;
constexpr int WAIT_MS = 10000;
constexpr char ABOUT_CAPTION[] = "关于 Tarnex";

// A dialog with handlers of our own, on the About box's template (or another one).
class ProbeDialog : public CDialog {
public:
    explicit ProbeDialog(UINT templateId = IDD_ABOUTBOX, CWnd *parent = nullptr)
        : CDialog(templateId, parent) {}

    std::atomic<DWORD> probed_on{0};
    std::atomic<int> ticks{0};
    std::atomic<int> timer_messages_seen{0};
    std::atomic<int> escapes_seen{0};
    std::atomic<bool> visible_during_init{true};
    bool end_during_init = false;
    bool swallow_escape = false;
    std::atomic<bool> slow_probe_started{false};
    std::atomic<bool> release_slow_probe{false};
    std::atomic<int> destroyed_with_owner_enabled{-1};
    bool paint_icon = false;
    std::atomic<int> icon_paints{0};
    std::atomic<int> background_erases{0};

    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        visible_during_init = IsWindowVisible(win32_hwnd(m_hWnd)) != FALSE;
        if (end_during_init)
            EndDialog(IDABORT);
        return TRUE;
    }

    BOOL PreTranslateMessage(Msg *msg) override {
        if (msg->message == WM_TIMER)
            ++timer_messages_seen;
        if (msg->message == WM_KEYDOWN && msg->wParam == VK_ESCAPE) {
            ++escapes_seen;
            if (swallow_escape)
                return TRUE;
        }
        return CDialog::PreTranslateMessage(msg);
    }

    static void OnTimerTick(WindowHandle window, UINT message, uintptr_t id, uint32_t) {
        auto *self = static_cast<ProbeDialog *>(AfxGetMainWnd());
        if (self != nullptr && self->m_hWnd == window && message == WM_TIMER && id == 7 && ++self->ticks == 3)
            g_FrameworkBackend.kill_timer(window, 7);
    }

protected:
    LRESULT OnProbe(WPARAM wParam, LPARAM lParam) {
        probed_on = GetCurrentThreadId();
        return static_cast<LRESULT>(wParam) + lParam;
    }
    LRESULT OnSlowProbe(WPARAM, LPARAM) {
        slow_probe_started = true;
        while (!release_slow_probe)
            Sleep(1);
        EndDialog(IDOK);
        return 1;
    }
    LRESULT OnArmTimer(WPARAM, LPARAM) { return static_cast<LRESULT>(SetTimer(7, 5, OnTimerTick)); }
    LRESULT OnAsk(WPARAM, LPARAM text) {
        return AfxMessageBox(reinterpret_cast<const char *>(text), MB_OK | MB_ICONEXCLAMATION);
    }
    // Runs a test's code on the window thread, for the calls that must be made there.
    LRESULT OnRun(WPARAM, LPARAM code) {
        (*reinterpret_cast<std::function<void()> *>(code))();
        return 0;
    }
    // Paints the application icon the way a minimised window does, when asked to.
    bool OnPaint(WPARAM, LPARAM, LRESULT *result) {
        if (!paint_icon)
            return false;
        CPaintDC dc(this);
        SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
        dc.DrawIcon(4, 4, g_FrameworkBackend.load_icon(IDR_MAINFRAME));
        ++icon_paints;
        *result = 0;
        return true;
    }
    bool OnIconEraseBackground(WPARAM dc, LPARAM, LRESULT *) {
        // The device context must be the real one: the default handling paints with it.
        if (GetObjectType(reinterpret_cast<HDC>(dc)) == OBJ_DC)
            ++background_erases;
        return false;
    }
    LRESULT OnQueryDragIcon(WPARAM, LPARAM) {
        return reinterpret_cast<LRESULT>(g_FrameworkBackend.load_icon(IDR_MAINFRAME));
    }
    bool OnDestroy(WPARAM, LPARAM, LRESULT *) {
        if (HWND owner = GetWindow(win32_hwnd(m_hWnd), GW_OWNER))
            destroyed_with_owner_enabled = ::IsWindowEnabled(owner) ? 1 : 0;
        return false;
    }

    const MessageMap *GetMessageMap() const override {
        static constexpr MessageMapEntry entries[] = {
            on_message<&ProbeDialog::OnProbe>(WM_PROBE),
            on_message<&ProbeDialog::OnSlowProbe>(WM_SLOW_PROBE),
            on_message<&ProbeDialog::OnArmTimer>(WM_ARM_TIMER),
            on_message<&ProbeDialog::OnAsk>(WM_ASK),
            on_message<&ProbeDialog::OnRun>(WM_RUN),
            on_message<&ProbeDialog::OnDestroy>(WM_DESTROY),
            on_message<&ProbeDialog::OnPaint>(WM_PAINT),
            on_message<&ProbeDialog::OnIconEraseBackground>(WM_ICONERASEBKGND),
            on_message<&ProbeDialog::OnQueryDragIcon>(WM_QUERYDRAGICON),
        };
        static constexpr MessageMap map = {entries, std::size(entries)};
        return &map;
    }
};

class ProbeApp : public CWinApp {};

// Runs a ProbeDialog on a window thread of its own, as the application's main window.
class Win32Backend : public ::testing::Test {
protected:
    // Names the application after the program and registers the control classes, as a program's start does.
    void SetUp() override { ASSERT_EQ(AfxWinMain(), 0); }

    void Start(const char *caption = ABOUT_CAPTION) {
        app.m_pMainWnd = &dialog;
        ui = std::thread([this] {
            ui_thread = GetCurrentThreadId();
            result = dialog.DoModal();
        });
        window = remote::wait_dialog(GetCurrentProcessId(), caption, WAIT_MS);
        ASSERT_NE(window, nullptr);
    }

    // Runs `code` on the window thread and returns when it is done.
    void OnWindowThread(std::function<void()> code) {
        SendMessageW(window, WM_RUN, 0, reinterpret_cast<LPARAM>(&code));
    }

    void TearDown() override {
        if (ui.joinable()) {
            // Whatever the test left open goes: message boxes first, then the dialog.
            while (HWND box = remote::wait_message_box(GetCurrentProcessId(), ui_thread, 0))
                PostMessageW(box, WM_COMMAND, IDOK, 0);
            if (IsWindow(window))
                PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
            ui.join();
        }
    }

    ProbeApp app;
    ProbeDialog dialog;
    std::thread ui;
    std::atomic<DWORD> ui_thread{0};
    HWND window = nullptr;
    std::atomic<intptr_t> result{0};
};

} // namespace

// --- The modal run.

TEST_F(Win32Backend, ModalRunShowsTheTemplateAfterInitAndReturnsTheValueGivenToEndDialog) {
    Start();
    EXPECT_FALSE(dialog.visible_during_init);
    EXPECT_EQ(dialog.GetSafeHwnd(), win32_window(window));
    // The caption and the About box's texts come from the template, wide, whatever the code page.
    EXPECT_EQ(remote::text(window), ABOUT_CAPTION);
    EXPECT_EQ(remote::item_text(window, IDC_ABOUT_VERSION), TARNEX_ABOUT_VERSION_TEXT);
    ASSERT_TRUE(remote::click(window, IDOK));
    ui.join();
    EXPECT_EQ(result, IDOK);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(dialog.m_hWnd, nullptr);
}

TEST_F(Win32Backend, DialogEndedDuringInitIsNeverShown) {
    dialog.end_during_init = true;
    ui = std::thread([this] { result = dialog.DoModal(); });
    ui.join();
    EXPECT_EQ(result, IDABORT);
    EXPECT_FALSE(dialog.visible_during_init);
    EXPECT_EQ(remote::wait_dialog(GetCurrentProcessId(), ABOUT_CAPTION, 0), nullptr);
}

TEST_F(Win32Backend, UnknownTemplateFailsTheModalRun) {
    CDialog missing(4242);
    EXPECT_EQ(missing.DoModal(), -1);
}

TEST_F(Win32Backend, NestedDialogDisablesItsOwnerUntilItHasGone) {
    Start();
    ProbeDialog nested(IDD_ABOUTBOX, &dialog);
    std::atomic<intptr_t> nested_result{0};
    std::function<void()> run_nested = [&] { nested_result = nested.DoModal(); };
    std::thread poster([&] { SendMessageW(window, WM_RUN, 0, reinterpret_cast<LPARAM>(&run_nested)); });
    HWND inner = nullptr;
    ASSERT_TRUE(remote::wait_until(
        [&] {
            inner = reinterpret_cast<HWND>(nested.GetSafeHwnd());
            return inner != nullptr && IsWindowVisible(inner);
        },
        WAIT_MS));
    EXPECT_FALSE(IsWindowEnabled(window));
    EXPECT_FALSE(remote::click(window, IDOK)) << "a disabled dialog takes no clicks";
    ASSERT_TRUE(remote::click(inner, IDOK));
    poster.join();
    EXPECT_EQ(nested_result, IDOK);
    EXPECT_TRUE(IsWindowEnabled(window));
    // The owner is enabled again before the nested dialog goes, so the activation returns to it.
    EXPECT_EQ(nested.destroyed_with_owner_enabled, 1);
}

// --- Messages between threads.

TEST_F(Win32Backend, MessageFromAnotherThreadIsHandledOnTheWindowThreadWhileTheSenderWaits) {
    Start();
    EXPECT_EQ(g_FrameworkBackend.send_message(win32_window(window), WM_PROBE, 40, 2), 42);
    EXPECT_EQ(dialog.probed_on.load(), ui_thread.load());
    // The core's report path finds the main window by itself.
    EXPECT_EQ(send_to_main_window(WM_PROBE, 1, 1), 2);
    EXPECT_TRUE(g_FrameworkBackend.post_message(win32_window(window), WM_PROBE, 0, 0));
}

TEST_F(Win32Backend, DialogEndedFromASentMessageEndsWithoutFurtherInput) {
    // The handler runs inside GetMessageW, where nothing posted would otherwise wake the loop.
    Start();
    std::thread sender([&] { g_FrameworkBackend.send_message(win32_window(window), WM_SLOW_PROBE, 0, 0); });
    ASSERT_TRUE(remote::wait_until([&] { return dialog.slow_probe_started.load(); }, WAIT_MS));
    dialog.release_slow_probe = true;
    sender.join();
    ui.join();
    EXPECT_EQ(result, IDOK);
    // Reports after the window is gone find nothing, and nothing blocks.
    EXPECT_EQ(send_to_main_window(WM_PROBE, 1, 1), 0);
    EXPECT_EQ(g_FrameworkBackend.send_message(win32_window(window), WM_PROBE, 1, 1), 0);
    EXPECT_FALSE(g_FrameworkBackend.post_message(win32_window(window), WM_PROBE, 1, 1));
}

// --- Timers and pre-translation.

TEST_F(Win32Backend, TimerCallsBackThroughPreTranslationUntilKilled) {
    Start();
    ASSERT_EQ(SendMessageW(window, WM_ARM_TIMER, 0, 0), 7);
    ASSERT_TRUE(remote::wait_until([&] { return dialog.ticks >= 3; }, WAIT_MS));
    Sleep(100);
    EXPECT_EQ(dialog.ticks, 3);
    EXPECT_GE(dialog.timer_messages_seen, 3);
}

TEST_F(Win32Backend, PreTranslationSwallowsKeysBeforeTheDialogActsOnThem) {
    dialog.swallow_escape = true;
    Start();
    ASSERT_TRUE(remote::press_key(window, VK_ESCAPE));
    ASSERT_TRUE(remote::wait_until([&] { return dialog.escapes_seen >= 1; }, WAIT_MS));
    SendMessageW(window, WM_NULL, 0, 0); // the key's turn in the loop has passed
    EXPECT_TRUE(IsWindow(window));
    // Unswallowed, Enter reaches the dialog's standard keyboard handling: the default button, OK.
    ASSERT_TRUE(remote::press_key(window, VK_RETURN));
    ui.join();
    EXPECT_EQ(result, IDOK);
}

TEST_F(Win32Backend, CloseButtonIsTheCancelCommand) {
    Start();
    ASSERT_TRUE(remote::system_command(window, SC_CLOSE));
    ui.join();
    EXPECT_EQ(result, IDCANCEL);
}

// --- Message boxes.

TEST_F(Win32Backend, MessageBoxShowsTextAndModuleNameWithOkAndExclamationWhileTheThreadKeepsWorking) {
    Start();
    const char *text = "无法打开设备: Open image failed";
    std::atomic<LRESULT> answer{-1};
    std::thread asker([&] { answer = SendMessageW(window, WM_ASK, 0, reinterpret_cast<LPARAM>(text)); });
    HWND box = remote::wait_message_box(GetCurrentProcessId(), ui_thread, WAIT_MS);
    ASSERT_NE(box, nullptr);
    remote::MessageBoxContent content;
    ASSERT_TRUE(remote::read_message_box(box, &content));
    EXPECT_EQ(content.caption, "test_win32");
    EXPECT_EQ(content.text, text);
    EXPECT_EQ(content.buttons, std::vector<int>{IDOK});
    EXPECT_EQ(content.icon, LoadIconW(nullptr, MAKEINTRESOURCEW(32515)) /* IDI_EXCLAMATION */);
    EXPECT_EQ(GetWindow(box, GW_OWNER), window);
    EXPECT_FALSE(IsWindowEnabled(window));

    // Sent messages and timers are still handled while the box waits for its answer.
    EXPECT_EQ(g_FrameworkBackend.send_message(win32_window(window), WM_PROBE, 2, 3), 5);
    ASSERT_EQ(SendMessageW(window, WM_ARM_TIMER, 0, 0), 7);
    EXPECT_TRUE(remote::wait_until([&] { return dialog.ticks >= 3; }, WAIT_MS));

    ASSERT_TRUE(remote::click(box, IDOK));
    asker.join();
    EXPECT_EQ(answer, IDOK);
    EXPECT_TRUE(IsWindowEnabled(window));
}

// --- Controls, icons, menus and texts.

TEST_F(Win32Backend, TextsRoundTripAsUtf8ThroughTheWideCalls) {
    Start();
    HWND version = GetDlgItem(window, IDC_ABOUT_VERSION);
    OnWindowThread([&] { g_FrameworkBackend.set_window_text(win32_window(version), "固件 100%"); });
    EXPECT_EQ(remote::text(version), "固件 100%");
    std::string read;
    OnWindowThread([&] { read = g_FrameworkBackend.get_window_text(win32_window(version)); });
    EXPECT_EQ(read, "固件 100%");
    OnWindowThread([&] { g_FrameworkBackend.set_window_text(win32_window(version), ""); });
    EXPECT_EQ(remote::text(version), "");
}

TEST_F(Win32Backend, ReadsOfATextThatChangesMeanwhileAreNeverCut) {
    Start();
    HWND version = GetDlgItem(window, IDC_ABOUT_VERSION);
    const std::string texts[2] = {"Downloading...", "Download successfully!"};
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 1500; ++i)
            OnWindowThread(
                [&] { g_FrameworkBackend.set_window_text(win32_window(version), texts[i % 2].c_str()); });
        done = true;
    });
    int reads = 0;
    while (!done) {
        const std::string read = remote::text(version);
        ++reads;
        if (read != texts[0] && read != texts[1] && read != TARNEX_ABOUT_VERSION_TEXT) {
            ADD_FAILURE() << "read \"" << read << "\"";
            break;
        }
    }
    writer.join();
    EXPECT_GT(reads, 10);
}

TEST_F(Win32Backend, IconsComeFromTheResourcesOnceAndReachTheControlsAndTheWindow) {
    Start();
    IconHandle device = g_FrameworkBackend.load_icon(IDI_DEVICE);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(g_FrameworkBackend.load_icon(IDI_DEVICE), device);
    EXPECT_NE(g_FrameworkBackend.load_icon(IDI_NODEVICE), device);
    EXPECT_EQ(g_FrameworkBackend.load_icon(4242), nullptr);

    // The About box's picture is the application icon from the template; STM_SETICON replaces it.
    HWND picture = nullptr;
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
        if ((GetWindowLongPtrW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
            picture = child;
    ASSERT_NE(picture, nullptr);
    EXPECT_NE(SendMessageW(picture, STM_GETICON, 0, 0), 0);
    OnWindowThread([&] {
        CStatic control;
        control.Attach(win32_window(picture));
        control.SetIcon(device);
    });
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(picture, STM_GETICON, 0, 0)), win32_hicon(device));

    IconHandle application = g_FrameworkBackend.load_icon(IDR_MAINFRAME);
    OnWindowThread([&] {
        dialog.SetIcon(application, TRUE);
        dialog.SetIcon(application, FALSE);
    });
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(window, WM_GETICON, ICON_BIG, 0)),
              win32_hicon(application));
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(window, WM_GETICON, ICON_SMALL, 0)),
              win32_hicon(application));
    EXPECT_EQ(g_FrameworkBackend.system_metric(SM_CXICON), GetSystemMetrics(SM_CXICON));
}

TEST_F(Win32Backend, PaintingDrawsTheIconOnTheRealDeviceContext) {
    dialog.paint_icon = true;
    Start();
    OnWindowThread([&] {
        InvalidateRect(window, nullptr, TRUE);
        UpdateWindow(window);
    });
    EXPECT_GE(dialog.icon_paints, 1);
    EXPECT_GE(dialog.background_erases, 1);
    // Drawn where asked: the icon's yellow bolt or its phone differ from the grey dialog background.
    HDC screen = GetDC(window);
    bool drawn = false;
    for (int y = 4; y < 36 && !drawn; ++y)
        for (int x = 4; x < 36 && !drawn; ++x)
            drawn = GetPixel(screen, x, y) != GetSysColor(COLOR_BTNFACE);
    ReleaseDC(window, screen);
    EXPECT_TRUE(drawn);
    // The dialog procedure returns WM_QUERYDRAGICON's result itself, not through DWLP_MSGRESULT.
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(window, WM_QUERYDRAGICON, 0, 0)),
              win32_hicon(g_FrameworkBackend.load_icon(IDR_MAINFRAME)));
}

TEST_F(Win32Backend, SystemMenuTakesTheAboutItemFromTheStringTable) {
    Start();
    std::string about;
    ASSERT_TRUE(g_FrameworkBackend.load_string(IDS_ABOUTBOX, &about));
    EXPECT_EQ(about, "关于 Tarnex(&A)...");
    EXPECT_FALSE(g_FrameworkBackend.load_string(4242, &about));
    OnWindowThread([&] {
        CMenu menu(dialog.GetSystemMenu());
        ASSERT_NE(menu.m_hMenu, nullptr);
        EXPECT_TRUE(menu.AppendMenu(MF_SEPARATOR));
        EXPECT_TRUE(menu.AppendMenu(MF_STRING, IDM_ABOUTBOX, about.c_str()));
    });
    HMENU menu = GetSystemMenu(window, FALSE);
    wchar_t item[64] = {};
    ASSERT_GT(GetMenuStringW(menu, IDM_ABOUTBOX, item, 64, MF_BYCOMMAND), 0);
    EXPECT_STREQ(item, L"\x5173\x4e8e Tarnex(&A)...");
    const int count = GetMenuItemCount(menu);
    EXPECT_EQ(GetMenuItemID(menu, count - 1), static_cast<UINT>(IDM_ABOUTBOX));
    EXPECT_EQ(GetMenuState(menu, count - 2, MF_BYPOSITION) & MF_SEPARATOR, static_cast<UINT>(MF_SEPARATOR));
}

TEST_F(Win32Backend, MainWindowTemplateHasItsControlsAndAWorkingProgressBar) {
    ProbeDialog main(IDD_TARNEX_DIALOG);
    app.m_pMainWnd = &main;
    ui = std::thread([&] {
        ui_thread = GetCurrentThreadId();
        result = main.DoModal();
    });
    window = remote::wait_dialog(GetCurrentProcessId(), "Tarnex", WAIT_MS);
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(remote::item_enabled(window, IDOK)) << "Start is disabled at creation";
    EXPECT_TRUE(remote::item_enabled(window, IDCANCEL));
    EXPECT_EQ(remote::item_text(window, IDC_PORT_CAPTION), "USB");
    EXPECT_EQ(remote::item_check(window, IDC_USERDATA), BST_UNCHECKED);
    wchar_t kind[32] = {};
    GetClassNameW(GetDlgItem(window, IDC_PROGRESS), kind, 32);
    EXPECT_STREQ(kind, PROGRESS_CLASSW);

    OnWindowThread([&] {
        CProgressCtrl progress;
        progress.Attach(main.GetDlgItem(IDC_PROGRESS));
        progress.SetRange(0, 100);
        progress.SetPos(42);
        int low = -1, high = -1;
        progress.GetRange(low, high);
        EXPECT_EQ(low, 0);
        EXPECT_EQ(high, 100);
    });
    EXPECT_EQ(remote::progress_position(window, IDC_PROGRESS), 42);

    // The check box toggles under a click, and a disabled button takes none.
    ASSERT_TRUE(remote::click(window, IDC_USERDATA));
    EXPECT_TRUE(
        remote::wait_until([&] { return remote::item_check(window, IDC_USERDATA) == BST_CHECKED; }, WAIT_MS));
    EXPECT_FALSE(remote::click(window, IDOK));
    ASSERT_TRUE(remote::click(window, IDCANCEL));
    ui.join();
    EXPECT_EQ(result, IDCANCEL);
}

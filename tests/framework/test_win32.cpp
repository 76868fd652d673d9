// The dialog framework on the Win32 backend, under Wine: the backend contract (backend_contract.cpp) with
// real dialogs from the program's resources, driven through the window system only (as another process
// would), and what only real windows do: wide-character texts, icons, painting on a real device
// context, the system menu, the common controls' progress bar.
#include "framework/win32/win32_backend.h"

#include "res/version.h"
#include "rigs/remote/remote_operator.h"
#include "tests/framework/backend_contract.h"

#include <commctrl.h>

namespace {

class Win32Harness : public BackendHarness {
public:
    std::unique_ptr<Operator> make_operator() override {
        return std::make_unique<RemoteOperator>(GetCurrentProcessId());
    }
    WindowHandle window_of(Operator &op) override {
        return win32_window(static_cast<RemoteOperator &>(op).window());
    }
    bool is_visible(WindowHandle window) override { return IsWindowVisible(win32_hwnd(window)) != FALSE; }
};

// Paints the application icon the way a minimised window does, and records what it was given.
class PaintingProbe : public ProbeDialog {
public:
    using ProbeDialog::ProbeDialog;
    std::atomic<int> icon_paints{0};
    std::atomic<int> background_erases{0};

protected:
    bool OnPaint(WPARAM, LPARAM, LRESULT *result) {
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
    const MessageMap *GetMessageMap() const override {
        static constexpr MessageMapEntry entries[] = {
            on_message<&PaintingProbe::OnPaint>(WM_PAINT),
            on_message<&PaintingProbe::OnIconEraseBackground>(WM_ICONERASEBKGND),
            on_message<&PaintingProbe::OnQueryDragIcon>(WM_QUERYDRAGICON),
            on_message<&PaintingProbe::OnRun>(WM_RUN),
        };
        static constexpr MessageMap map = {entries, std::size(entries)};
        return &map;
    }
};

class Win32Backend : public BackendContract {
protected:
    HWND hwnd() const { return win32_hwnd(window); }
};

} // namespace

std::unique_ptr<BackendHarness> make_backend_harness() {
    return std::make_unique<Win32Harness>();
}

TEST_F(Win32Backend, MessageBoxIsOwnedByTheWindowAndShowsTheExclamationMark) {
    Start();
    const char *text = "Load AdbWinApi.dll failed";
    std::thread asker(
        [&] { g_FrameworkBackend.send_message(window, WM_ASK, 0, reinterpret_cast<LPARAM>(text)); });
    HWND box = remote::wait_message_box(GetCurrentProcessId(), 0, CONTRACT_WAIT_MS);
    ASSERT_NE(box, nullptr);
    remote::MessageBoxContent content;
    ASSERT_TRUE(remote::read_message_box(box, &content));
    EXPECT_EQ(content.icon, LoadIconW(nullptr, MAKEINTRESOURCEW(32515)) /* IDI_EXCLAMATION */);
    EXPECT_EQ(GetWindow(box, GW_OWNER), hwnd());
    ASSERT_TRUE(remote::click(box, IDOK));
    asker.join();
}

TEST_F(Win32Backend, TextsRoundTripAsUtf8ThroughTheWideCalls) {
    Start();
    HWND version = GetDlgItem(hwnd(), IDC_ABOUT_VERSION);
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
    HWND version = GetDlgItem(hwnd(), IDC_ABOUT_VERSION);
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
    for (HWND child = GetWindow(hwnd(), GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
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
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(hwnd(), WM_GETICON, ICON_BIG, 0)),
              win32_hicon(application));
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(hwnd(), WM_GETICON, ICON_SMALL, 0)),
              win32_hicon(application));
    EXPECT_EQ(g_FrameworkBackend.system_metric(SM_CXICON), GetSystemMetrics(SM_CXICON));
}

TEST_F(Win32Backend, PaintingDrawsTheIconOnTheRealDeviceContext) {
    PaintingProbe &painting = MakeProbe<PaintingProbe>();
    Start(&painting);
    OnWindowThread([&] {
        InvalidateRect(hwnd(), nullptr, TRUE);
        UpdateWindow(hwnd());
    });
    EXPECT_GE(painting.icon_paints, 1);
    EXPECT_GE(painting.background_erases, 1);
    // Drawn where asked: the icon's yellow bolt or its phone differ from the grey dialog background.
    HDC screen = GetDC(hwnd());
    bool drawn = false;
    for (int y = 4; y < 36 && !drawn; ++y)
        for (int x = 4; x < 36 && !drawn; ++x)
            drawn = GetPixel(screen, x, y) != GetSysColor(COLOR_BTNFACE);
    ReleaseDC(hwnd(), screen);
    EXPECT_TRUE(drawn);
    // The dialog procedure returns WM_QUERYDRAGICON's result itself, not through DWLP_MSGRESULT.
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(hwnd(), WM_QUERYDRAGICON, 0, 0)),
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
    HMENU menu = GetSystemMenu(hwnd(), FALSE);
    wchar_t item[64] = {};
    ASSERT_GT(GetMenuStringW(menu, IDM_ABOUTBOX, item, 64, MF_BYCOMMAND), 0);
    EXPECT_STREQ(item, L"\x5173\x4e8e Tarnex(&A)...");
    const int count = GetMenuItemCount(menu);
    EXPECT_EQ(GetMenuItemID(menu, count - 1), static_cast<UINT>(IDM_ABOUTBOX));
    EXPECT_EQ(GetMenuState(menu, count - 2, MF_BYPOSITION) & MF_SEPARATOR, static_cast<UINT>(MF_SEPARATOR));
}

TEST_F(Win32Backend, MainWindowTemplateHasItsControlsAndAWorkingProgressBar) {
    ProbeDialog &main = MakeProbe<ProbeDialog>(IDD_TARNEX_DIALOG);
    Start(&main, IDD_TARNEX_DIALOG);
    EXPECT_FALSE(remote::item_enabled(hwnd(), IDOK)) << "Start is disabled at creation";
    EXPECT_TRUE(remote::item_enabled(hwnd(), IDCANCEL));
    EXPECT_EQ(remote::item_text(hwnd(), IDC_PORT_CAPTION), "USB");
    EXPECT_EQ(remote::item_check(hwnd(), IDC_USERDATA), BST_UNCHECKED);
    wchar_t kind[32] = {};
    GetClassNameW(GetDlgItem(hwnd(), IDC_PROGRESS), kind, 32);
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
    EXPECT_EQ(remote::progress_position(hwnd(), IDC_PROGRESS), 42);

    // The check box toggles under a click, and a disabled button takes none.
    ASSERT_TRUE(remote::click(hwnd(), IDC_USERDATA));
    EXPECT_TRUE(remote::wait_until([&] { return remote::item_check(hwnd(), IDC_USERDATA) == BST_CHECKED; },
                                   CONTRACT_WAIT_MS));
    EXPECT_FALSE(remote::click(hwnd(), IDOK));
    ASSERT_TRUE(remote::click(hwnd(), IDCANCEL));
    ui.join();
    EXPECT_EQ(result, IDCANCEL);
}

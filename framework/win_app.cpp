#include "framework/win_app.h"

#include <atomic>

namespace {

std::atomic<CWinApp *> g_App{nullptr};

// What the core's reports go through: a fixed object that forwards by window handle. It is created once
// and never destroyed, so that a worker still reporting while the process ends (static destructors
// running) finds it intact, and a report for a window that is gone ends in the backend as 0.
class MainWindowLink : public MainWindowTarget {
public:
    LRESULT SendMessageSync(UINT message, WPARAM wParam, LPARAM lParam) override {
        WindowHandle window = m_window.load(std::memory_order_acquire);
        return window != nullptr ? g_FrameworkBackend.send_message(window, message, wParam, lParam) : 0;
    }
    std::atomic<WindowHandle> m_window{nullptr};
};

MainWindowLink &main_window_link() {
    static MainWindowLink *link = new MainWindowLink;
    return *link;
}

} // namespace

CWinApp::CWinApp() {
    g_App.store(this, std::memory_order_release);
}

CWinApp::~CWinApp() {
    CWinApp *self = this;
    g_App.compare_exchange_strong(self, nullptr);
}

bool CWinApp::OnCmdMsg(UINT id, UINT code) {
    LRESULT ignored = 0;
    return dispatch_message_map(GetCommandMap(), this, WM_COMMAND, make_wparam(id, code), 0, &ignored);
}

CWinApp *AfxGetApp() {
    return g_App.load(std::memory_order_acquire);
}

CWnd *AfxGetMainWnd() {
    CWinApp *app = AfxGetApp();
    return app != nullptr ? app->m_pMainWnd.load(std::memory_order_acquire) : nullptr;
}

int AfxMessageBox(const char *text, UINT type) {
    CWinApp *app = AfxGetApp();
    CWnd *main = AfxGetMainWnd();
    return g_FrameworkBackend.message_box(main != nullptr ? main->m_hWnd : nullptr, text,
                                          app != nullptr ? app->m_strAppName.c_str() : "", type);
}

int AfxWinMain() {
    CWinApp *app = AfxGetApp();
    if (app == nullptr)
        return 1;
    if (!g_FrameworkBackend.module_name(&app->m_strAppName))
        app->m_strAppName.clear();
    g_FrameworkBackend.initialize();
    // A dialog-based application does all its work inside InitInstance; one that asks for a loop of its
    // own would need a main frame window, which this framework does not have.
    app->InitInstance();
    return app->ExitInstance();
}

void link_main_window(WindowHandle window) {
    MainWindowLink &link = main_window_link();
    link.m_window.store(window, std::memory_order_release);
    set_main_window(window != nullptr ? &link : nullptr);
}

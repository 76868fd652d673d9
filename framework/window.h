// Windows and controls: a window object holds a handle it does not own, and each control is a few
// one-line wrappers over its messages.
//
// The members are inline on purpose. A translation unit that includes <windows.h> sees SendMessage,
// SetWindowText and friends renamed by its macros (SendMessageA ...); inline members then simply exist
// under both names, where out-of-line ones would fail to link. Such a translation unit includes
// <windows.h> first, so that its calls are renamed the same way as the declarations.
#pragma once

#include "framework/backend.h"
#include "framework/messages.h"

#include <string>

// What a message table's handlers are members of: windows and the application.
class CCmdTarget {
public:
    virtual ~CCmdTarget() = default;
};

class CWnd : public CCmdTarget {
public:
    CWnd() = default;
    explicit CWnd(WindowHandle window) : m_hWnd(window) {}

    // The window this object stands for; null before it exists and after it is gone. The backend owns
    // the window: this object never destroys it.
    WindowHandle m_hWnd = nullptr;

    WindowHandle GetSafeHwnd() const { return m_hWnd; }
    void Attach(WindowHandle window) { m_hWnd = window; }

    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return g_FrameworkBackend.send_message(m_hWnd, message, wParam, lParam);
    }
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return g_FrameworkBackend.post_message(m_hWnd, message, wParam, lParam);
    }

    void SetWindowText(const char *text) { g_FrameworkBackend.set_window_text(m_hWnd, text); }
    std::string GetWindowText() const { return g_FrameworkBackend.get_window_text(m_hWnd); }
    BOOL EnableWindow(BOOL enable = TRUE) { return g_FrameworkBackend.enable_window(m_hWnd, enable != 0); }
    BOOL IsWindowEnabled() const { return g_FrameworkBackend.is_window_enabled(m_hWnd); }
    BOOL IsIconic() const { return g_FrameworkBackend.is_iconic(m_hWnd); }
    void GetClientRect(Rect *rect) const { g_FrameworkBackend.get_client_rect(m_hWnd, rect); }
    WindowHandle GetDlgItem(int id) const { return g_FrameworkBackend.get_dlg_item(m_hWnd, id); }

    uintptr_t SetTimer(uintptr_t id, UINT period_ms, TimerCallback callback) {
        return g_FrameworkBackend.set_timer(m_hWnd, id, period_ms, callback);
    }
    BOOL KillTimer(uintptr_t id) { return g_FrameworkBackend.kill_timer(m_hWnd, id); }

    // A system metric (SM_CXICON ...). A member, so that it cannot collide with the Win32 function.
    static int GetSystemMetrics(int index) { return g_FrameworkBackend.system_metric(index); }

    // The window's system menu (belongs to the window), or null.
    MenuHandle GetSystemMenu() const { return g_FrameworkBackend.get_system_menu(m_hWnd); }

    // WM_SETICON: the big (title bar, task switcher) or small icon. Returns the previous one.
    IconHandle SetIcon(IconHandle icon, BOOL big) {
        return reinterpret_cast<IconHandle>(
            SendMessage(WM_SETICON, big ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon)));
    }

    // The window's own handling of a message, called by the backend on the window's thread. True when
    // handled, with the result in *result; false asks the backend for the default handling. Never lets
    // an exception escape.
    virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *result) { return false; }
};

// A static control: text, or an icon (SS_ICON).
class CStatic : public CWnd {
public:
    IconHandle SetIcon(IconHandle icon) {
        return reinterpret_cast<IconHandle>(SendMessage(STM_SETICON, reinterpret_cast<WPARAM>(icon)));
    }
    IconHandle GetIcon() const { return reinterpret_cast<IconHandle>(SendMessage(STM_GETICON)); }
};

class CButton : public CWnd {
public:
    int GetCheck() const { return static_cast<int>(SendMessage(BM_GETCHECK)); }
    void SetCheck(int check) { SendMessage(BM_SETCHECK, static_cast<WPARAM>(check)); }
};

class CEdit : public CWnd {};

class CProgressCtrl : public CWnd {
public:
    // Both limits must lie in 0..65535 (PBM_SETRANGE packs them into one parameter).
    void SetRange(int lower, int upper) {
        SendMessage(PBM_SETRANGE, 0, static_cast<LPARAM>(make_wparam(lower, upper)));
    }
    void GetRange(int &lower, int &upper) const {
        lower = static_cast<int>(SendMessage(PBM_GETRANGE, TRUE));
        upper = static_cast<int>(SendMessage(PBM_GETRANGE, FALSE));
    }
    // The position is kept within the range; returns the previous one.
    int SetPos(int position) {
        return static_cast<int>(SendMessage(PBM_SETPOS, static_cast<WPARAM>(position)));
    }
    int GetPos() const { return static_cast<int>(SendMessage(PBM_GETPOS)); }
};

// A menu that belongs to a window (the system menu).
class CMenu {
public:
    explicit CMenu(MenuHandle menu) : m_hMenu(menu) {}
    MenuHandle m_hMenu;
    BOOL AppendMenu(UINT flags, uintptr_t id = 0, const char *text = nullptr) {
        return g_FrameworkBackend.append_menu(m_hMenu, flags, id, text);
    }
};

// Painting of one WM_PAINT, from construction to destruction.
class CPaintDC {
public:
    explicit CPaintDC(CWnd *window) : m_pWnd(window), m_hDC(g_FrameworkBackend.begin_paint(window->m_hWnd)) {}
    ~CPaintDC() { g_FrameworkBackend.end_paint(m_pWnd->m_hWnd, m_hDC); }
    CPaintDC(const CPaintDC &) = delete;
    CPaintDC &operator=(const CPaintDC &) = delete;

    void DrawIcon(int x, int y, IconHandle icon) { g_FrameworkBackend.draw_icon(m_hDC, x, y, icon); }
    DeviceContext GetSafeHdc() const { return m_hDC; }

private:
    CWnd *m_pWnd;
    DeviceContext m_hDC;
};

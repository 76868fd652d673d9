// The Win32 backend: dialogs from the templates in the program's resources, a modal loop of our own so
// that every dialog's message pre-translation sees the input, timers with callbacks, and the
// wide-character calls wherever text crosses into the window system.
//
// Windows and their messages are the system's: a message sent from another thread is handled by the
// window thread while it waits in GetMessage, MessageBox or a nested modal loop, as the contract asks.
// What the backend keeps itself (which windows are our dialogs, the timers' callbacks, the paints in
// progress) is created once and never destroyed, so that a worker still reporting while the process ends
// finds nothing torn down.
#include "framework/win32/win32_backend.h"

#include "framework/dialog.h"
#include "framework/handler_guard.h"

#include <commctrl.h>

#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace {

// The property that marks a window as one of our modal dialogs and leads to its ModalRun.
constexpr wchar_t MODAL_RUN_PROPERTY[] = L"Tarnex.ModalRun";

// One modal run: the dialog object and how the run is to end.
struct ModalRun {
    CDialog *dialog;
    HWND window = nullptr;
    bool end_requested = false;
    intptr_t result = 0;
};

HINSTANCE program_instance() {
    return GetModuleHandleW(nullptr);
}

ModalRun *modal_run_of(HWND window) {
    return window != nullptr ? static_cast<ModalRun *>(GetPropW(window, MODAL_RUN_PROPERTY)) : nullptr;
}

// The modal run a message belongs to: the dialog's own, or that of the dialog holding the control.
ModalRun *owning_run(HWND window) {
    while (window != nullptr) {
        if (ModalRun *run = modal_run_of(window))
            return run;
        if ((GetWindowLongPtrW(window, GWL_STYLE) & WS_CHILD) == 0)
            return nullptr;
        window = GetParent(window);
    }
    return nullptr;
}

// --- Timers. SetTimer calls a TIMERPROC; the portable callback has its own type, so one trampoline
// looks the callback up by window and id.

struct TimerTable {
    std::mutex mutex;
    std::map<std::pair<HWND, UINT_PTR>, TimerCallback> callbacks;
};

TimerTable &timers() {
    static TimerTable *table = new TimerTable;
    return *table;
}

void CALLBACK timer_trampoline(HWND window, UINT message, UINT_PTR id, DWORD time) {
    TimerCallback callback = nullptr;
    {
        std::lock_guard<std::mutex> lock(timers().mutex);
        auto it = timers().callbacks.find({window, id});
        if (it != timers().callbacks.end())
            callback = it->second;
    }
    if (callback != nullptr)
        run_guarded("a timer callback", 0, [&] {
            callback(win32_window(window), message, id, time);
            return 0;
        });
}

void forget_timers(HWND window) {
    std::lock_guard<std::mutex> lock(timers().mutex);
    std::erase_if(timers().callbacks, [&](const auto &entry) { return entry.first.first == window; });
}

// --- The dialog procedure shared by every dialog of the framework.

// Messages whose result a dialog procedure returns itself instead of through DWLP_MSGRESULT.
bool returns_result_directly(UINT message) {
    switch (message) {
    case WM_INITDIALOG:
    case WM_QUERYDRAGICON:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
        return true;
    default:
        return false;
    }
}

INT_PTR CALLBACK dialog_procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    ModalRun *run = nullptr;
    if (message == WM_INITDIALOG) {
        // The first message the dialog object sees: the messages that create the window come before it
        // and get the default handling.
        run = reinterpret_cast<ModalRun *>(lParam);
        run->window = window;
        SetPropW(window, MODAL_RUN_PROPERTY, run);
        run->dialog->Attach(win32_window(window));
        lParam = 0;
    } else {
        run = modal_run_of(window);
    }
    if (run == nullptr)
        return FALSE;

    LRESULT result = 0;
    const bool handled = run_guarded("a window procedure", false, [&] {
        return run->dialog->OnMessage(message, wParam, lParam, &result);
    });
    if (message == WM_NCDESTROY) {
        // Also when something else destroyed the window: the loop must not wait for it any longer.
        RemovePropW(window, MODAL_RUN_PROPERTY);
        forget_timers(window);
        run->window = nullptr;
        run->end_requested = true;
    }
    if (!handled)
        return FALSE;
    if (returns_result_directly(message))
        return static_cast<INT_PTR>(result);
    SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
    return TRUE;
}

// --- The backend table.

void w32_initialize() {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
}

intptr_t w32_run_modal(CDialog *dialog, int template_id, WindowHandle owner_handle) {
    if (dialog == nullptr ||
        FindResourceW(program_instance(), MAKEINTRESOURCEW(template_id), MAKEINTRESOURCEW(5)) == nullptr)
        return -1; // 5: RT_DIALOG, spelt out because <windows.h> makes RT_DIALOG narrow or wide by mode
    HWND owner = win32_hwnd(owner_handle);
    const bool owner_was_enabled = owner != nullptr && IsWindowEnabled(owner);
    if (owner_was_enabled)
        EnableWindow(owner, FALSE);

    ModalRun run{dialog};
    HWND window = CreateDialogParamW(program_instance(), MAKEINTRESOURCEW(template_id), owner,
                                     dialog_procedure, reinterpret_cast<LPARAM>(&run));
    if (window == nullptr) {
        if (owner_was_enabled)
            EnableWindow(owner, TRUE);
        return -1;
    }
    if (!run.end_requested)
        ShowWindow(window, SW_SHOWNORMAL);

    // Our own loop rather than DialogBox's, so that each dialog's PreTranslateMessage sees every queued
    // message first. Sent messages are handled inside GetMessageW; posted ones and timers come out of it.
    MSG msg;
    while (!run.end_requested) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == -1)
            break;
        if (got == 0) {
            // WM_QUIT ends the dialog and is left for the loop outside, as DialogBox does.
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (ModalRun *target = owning_run(msg.hwnd)) {
            Msg portable = {win32_window(msg.hwnd), msg.message, msg.wParam, msg.lParam,
                            static_cast<uint32_t>(msg.time)};
            if (run_guarded("pre-translation", FALSE,
                            [&] { return target->dialog->PreTranslateMessage(&portable); }))
                continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }

    // The owner is enabled before the dialog goes: a window that is destroyed while its owner is still
    // disabled hands the activation to some other program's window.
    if (owner_was_enabled)
        EnableWindow(owner, TRUE);
    if (run.window != nullptr)
        DestroyWindow(run.window);
    return run.result;
}

void w32_end_dialog(WindowHandle dialog, intptr_t result) {
    HWND window = win32_hwnd(dialog);
    ModalRun *run = modal_run_of(window);
    if (run == nullptr)
        return;
    run->end_requested = true;
    run->result = result;
    // Wakes the loop when the call came from a handler that runs inside GetMessageW (a message sent
    // from another thread), where nothing else would make it return.
    PostMessageW(window, WM_NULL, 0, 0);
}

bool w32_is_dialog_message(WindowHandle dialog, const Msg *msg) {
    HWND window = win32_hwnd(dialog);
    HWND target = win32_hwnd(msg->hwnd);
    if (msg->message < WM_KEYFIRST || msg->message > WM_KEYLAST || window == nullptr)
        return false;
    if (target != window && !IsChild(window, target))
        return false;
    MSG native = {target, msg->message, msg->wParam, msg->lParam, static_cast<DWORD>(msg->time), {0, 0}};
    return IsDialogMessageW(window, &native) != FALSE;
}

LRESULT w32_send_message(WindowHandle window, UINT message, WPARAM wParam, LPARAM lParam) {
    return SendMessageW(win32_hwnd(window), message, wParam, lParam);
}

bool w32_post_message(WindowHandle window, UINT message, WPARAM wParam, LPARAM lParam) {
    return PostMessageW(win32_hwnd(window), message, wParam, lParam) != FALSE;
}

WindowHandle w32_get_dlg_item(WindowHandle dialog, int id) {
    return win32_window(GetDlgItem(win32_hwnd(dialog), id));
}

void w32_set_window_text(WindowHandle window, const char *text) {
    SetWindowTextW(win32_hwnd(window), win32_widen(text).c_str());
}

std::string w32_get_window_text(WindowHandle window) {
    HWND hwnd = win32_hwnd(window);
    const int length = GetWindowTextLengthW(hwnd);
    if (length <= 0)
        return std::string();
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(hwnd, text.data(), length + 1);
    text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
    return win32_narrow(text.c_str());
}

bool w32_enable_window(WindowHandle window, bool enable) {
    return EnableWindow(win32_hwnd(window), enable ? TRUE : FALSE) != FALSE;
}

bool w32_is_window_enabled(WindowHandle window) {
    return IsWindowEnabled(win32_hwnd(window)) != FALSE;
}

bool w32_is_iconic(WindowHandle window) {
    return IsIconic(win32_hwnd(window)) != FALSE;
}

void w32_get_client_rect(WindowHandle window, Rect *rect) {
    RECT client = {0, 0, 0, 0};
    GetClientRect(win32_hwnd(window), &client);
    *rect = {client.left, client.top, client.right, client.bottom};
}

uintptr_t w32_set_timer(WindowHandle window, uintptr_t id, uint32_t period_ms, TimerCallback callback) {
    HWND hwnd = win32_hwnd(window);
    if (hwnd == nullptr || callback == nullptr || !IsWindow(hwnd))
        return 0;
    {
        std::lock_guard<std::mutex> lock(timers().mutex);
        timers().callbacks[{hwnd, id}] = callback;
    }
    if (SetTimer(hwnd, id, period_ms, timer_trampoline) == 0) {
        std::lock_guard<std::mutex> lock(timers().mutex);
        timers().callbacks.erase({hwnd, id});
        return 0;
    }
    return id;
}

bool w32_kill_timer(WindowHandle window, uintptr_t id) {
    HWND hwnd = win32_hwnd(window);
    {
        std::lock_guard<std::mutex> lock(timers().mutex);
        timers().callbacks.erase({hwnd, id});
    }
    return KillTimer(hwnd, id) != FALSE;
}

MenuHandle w32_get_system_menu(WindowHandle window) {
    return reinterpret_cast<MenuHandle>(GetSystemMenu(win32_hwnd(window), FALSE));
}

bool w32_append_menu(MenuHandle menu, UINT flags, uintptr_t id, const char *text) {
    HMENU hmenu = reinterpret_cast<HMENU>(menu);
    if ((flags & MF_SEPARATOR) != 0)
        return AppendMenuW(hmenu, flags, 0, nullptr) != FALSE;
    return AppendMenuW(hmenu, flags, id, win32_widen(text).c_str()) != FALSE;
}

// LoadIcon hands out one shared icon per resource for the program's life, which is what the contract
// asks: nothing to cache, nothing to free.
IconHandle w32_load_icon(int id) {
    if (id <= 0)
        return nullptr;
    return reinterpret_cast<IconHandle>(LoadIconW(program_instance(), MAKEINTRESOURCEW(id)));
}

bool w32_load_string(int id, std::string *text) {
    // With a zero length LoadStringW hands out a pointer to the resource text itself, which has no
    // terminator of its own, and returns its length.
    const wchar_t *resource = nullptr;
    const int length =
        LoadStringW(program_instance(), static_cast<UINT>(id), reinterpret_cast<wchar_t *>(&resource), 0);
    if (length <= 0 || resource == nullptr)
        return false;
    *text = win32_narrow(std::wstring(resource, static_cast<size_t>(length)).c_str());
    return true;
}

// BeginPaint's PAINTSTRUCT must reach EndPaint, but the portable code carries only the device context
// (which it also hands to WM_ICONERASEBKGND, so it must be the real HDC): the paints in progress on a
// thread are kept here.
struct Paint {
    HWND window;
    PAINTSTRUCT paint;
};

std::vector<Paint> &paints_in_progress() {
    thread_local std::vector<Paint> paints;
    return paints;
}

DeviceContext w32_begin_paint(WindowHandle window) {
    Paint paint = {win32_hwnd(window), {}};
    HDC dc = BeginPaint(paint.window, &paint.paint);
    if (dc == nullptr)
        return nullptr;
    paints_in_progress().push_back(paint);
    return reinterpret_cast<DeviceContext>(dc);
}

void w32_end_paint(WindowHandle window, DeviceContext dc) {
    std::vector<Paint> &paints = paints_in_progress();
    for (auto it = paints.rbegin(); it != paints.rend(); ++it) {
        if (it->window == win32_hwnd(window) && it->paint.hdc == reinterpret_cast<HDC>(dc)) {
            EndPaint(it->window, &it->paint);
            paints.erase(std::next(it).base());
            return;
        }
    }
}

void w32_draw_icon(DeviceContext dc, int x, int y, IconHandle icon) {
    DrawIcon(reinterpret_cast<HDC>(dc), x, y, win32_hicon(icon));
}

int w32_system_metric(int index) {
    return GetSystemMetrics(index);
}

int w32_message_box(WindowHandle owner, const char *text, const char *caption, UINT type) {
    return MessageBoxW(win32_hwnd(owner), win32_widen(text).c_str(), win32_widen(caption).c_str(), type);
}

bool w32_module_name(std::string *name) {
    // The wide call: a program may sit in a folder, or carry a name, outside the ANSI code page.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return false;
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        if (path.size() >= 32768)
            return false;
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of(L"\\/");
    const size_t start = slash == std::wstring::npos ? 0 : slash + 1;
    const size_t dot = path.find_last_of(L'.');
    const size_t end = dot != std::wstring::npos && dot > start ? dot : path.size();
    *name = win32_narrow(path.substr(start, end - start).c_str());
    return true;
}

} // namespace

std::wstring win32_widen(const char *text) {
    if (text == nullptr || *text == '\0')
        return std::wstring();
    const int needed = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (needed <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(needed), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), needed);
    wide.resize(static_cast<size_t>(needed) - 1);
    return wide;
}

std::string win32_narrow(const wchar_t *text) {
    if (text == nullptr || *text == L'\0')
        return std::string();
    const int needed = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return std::string();
    std::string narrow(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), needed, nullptr, nullptr);
    narrow.resize(static_cast<size_t>(needed) - 1);
    return narrow;
}

FrameworkBackend g_FrameworkBackend = {
    w32_initialize,        w32_run_modal,    w32_end_dialog,      w32_is_dialog_message, w32_send_message,
    w32_post_message,      w32_get_dlg_item, w32_set_window_text, w32_get_window_text,   w32_enable_window,
    w32_is_window_enabled, w32_is_iconic,    w32_get_client_rect, w32_set_timer,         w32_kill_timer,
    w32_get_system_menu,   w32_append_menu,  w32_load_icon,       w32_load_string,       w32_begin_paint,
    w32_end_paint,         w32_draw_icon,    w32_system_metric,   w32_message_box,       w32_module_name,
};

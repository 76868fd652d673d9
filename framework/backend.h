// The dialog framework's window-system backend: everything the portable classes (framework/window.h,
// framework/dialog.h, framework/win_app.h) need from a window system, as one table of functions.
//
// Exactly one backend is linked into a program and defines g_FrameworkBackend: framework/headless/
// (controls in memory and a message loop of its own, for tests and console use) or framework/win32/
// (real windows). Every function is a thin shim over one window-system call; the table's comments are
// the contract both keep.
//
// Threads: a window belongs to the thread that created it (the one that called run_modal). Functions
// marked "window thread" must be called there; send_message and post_message may be called from any
// thread. Handles are the backend's own and opaque: the portable code stores and passes them, never
// looks inside. A handle of a window that no longer exists is harmless everywhere: calls on it fail or
// do nothing.
//
// Text: UTF-8 in every direction. The Win32 backend converts it for the wide-character calls, so that
// resource texts in other scripts show correctly whatever the system's code page.
#pragma once

#include "framework/main_window.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Opaque handles. Only the backend knows what lies behind them (an HWND, an HICON, a serial number).
struct FrameworkWindow;
struct FrameworkIcon;
struct FrameworkMenu;
struct FrameworkDeviceContext;
using WindowHandle = FrameworkWindow *;
using IconHandle = FrameworkIcon *;
using MenuHandle = FrameworkMenu *;
using DeviceContext = FrameworkDeviceContext *;

// The Win32 boolean, the same type <windows.h> declares.
typedef int BOOL;
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// A message as the loop takes it from the queue (the layout of MSG without the cursor position).
struct Msg {
    WindowHandle hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    uint32_t time;
};

// A rectangle in pixels (the layout of RECT).
struct Rect {
    int32_t left, top, right, bottom;
};

// A timer's callback (the shape of TIMERPROC): called on the window's thread, from its message loop,
// with message WM_TIMER, the timer's id and the system's tick count in milliseconds.
using TimerCallback = void (*)(WindowHandle window, UINT message, uintptr_t id, uint32_t time);

class CDialog;

struct FrameworkBackend {
    // --- Start and dialogs.

    // Prepares the window system for dialogs: registers the common control classes the templates use
    // (the progress bar). Main thread, once, before the first dialog. Cannot fail in a way that matters:
    // a dialog whose controls cannot be made fails in run_modal.
    void (*initialize)();

    // Runs `dialog` modally from its dialog template `template_id` on the calling thread, which becomes
    // the window's thread: creates the window and its controls (hidden), disables `owner` (may be null),
    // delivers WM_INITDIALOG through dialog->OnMessage with the handle attached (CWnd::Attach) before
    // anything else, shows the window unless end_dialog was called meanwhile, and runs the message loop:
    // sent messages first, then posted ones, then due timers; every posted message and timer goes
    // through dialog->PreTranslateMessage (or that of the dialog it belongs to) before it is dispatched.
    // When end_dialog has been called and the current message is handled, the window gets WM_DESTROY,
    // is destroyed, the owner is enabled again, and the value given to end_dialog is returned.
    // Returns -1 when the template is unknown or the window cannot be created (nothing was delivered).
    intptr_t (*run_modal)(CDialog *dialog, int template_id, WindowHandle owner);

    // Asks the modal loop running `dialog` to end with `result` once the current message is handled.
    // Window thread; does not block. A second call replaces the result.
    void (*end_dialog)(WindowHandle dialog, intptr_t result);

    // The standard keyboard handling of a dialog (IsDialogMessage): Enter clicks the default push button
    // when it is enabled, Escape sends WM_COMMAND IDCANCEL, Tab moves the focus. True when `msg` was a
    // key message for `dialog` or one of its controls and has been handled. Window thread.
    bool (*is_dialog_message)(WindowHandle dialog, const Msg *msg);

    // --- Messages.

    // Delivers the message to the window's procedure and returns its result. From the window's own
    // thread it is a direct call. From any other thread it is queued, handled by the window thread's
    // message loop (also inside a nested modal loop or a message box), and the caller blocks until the
    // handler has returned. 0 without a call when the window does not exist or is destroyed while the
    // message waits.
    LRESULT (*send_message)(WindowHandle window, UINT message, WPARAM wParam, LPARAM lParam);

    // Queues the message for the window's thread and returns at once. Any thread. False when the window
    // does not exist.
    bool (*post_message)(WindowHandle window, UINT message, WPARAM wParam, LPARAM lParam);

    // --- Windows and controls. Window thread, except where said.

    // The control with `id` in `dialog`, or null.
    WindowHandle (*get_dlg_item)(WindowHandle dialog, int id);

    void (*set_window_text)(WindowHandle window, const char *text);
    std::string (*get_window_text)(WindowHandle window);

    // Enables or disables input to the window; returns whether it was disabled before.
    bool (*enable_window)(WindowHandle window, bool enable);
    bool (*is_window_enabled)(WindowHandle window);

    // True while the window is minimised.
    bool (*is_iconic)(WindowHandle window);

    void (*get_client_rect)(WindowHandle window, Rect *rect);

    // --- Timers: fired from the window thread's message loop, never while a handler runs.

    // Starts (or restarts) timer `id` of the window with a period of `period_ms`; `callback` is called
    // at each expiry. Returns `id`, or 0 on failure.
    uintptr_t (*set_timer)(WindowHandle window, uintptr_t id, uint32_t period_ms, TimerCallback callback);
    bool (*kill_timer)(WindowHandle window, uintptr_t id);

    // --- The system menu.

    // The window's system menu, or null when it has none; the handle belongs to the window.
    MenuHandle (*get_system_menu)(WindowHandle window);

    // Appends an item: MF_SEPARATOR, or MF_STRING with `id` and `text`. False on failure.
    bool (*append_menu)(MenuHandle menu, UINT flags, uintptr_t id, const char *text);

    // --- Resources, from the program's own resources.

    // The icon with resource `id`, loaded once and kept for the program's life (never freed); null when
    // there is none. Any thread.
    IconHandle (*load_icon)(int id);

    // String resource `id`; false when there is none. Any thread.
    bool (*load_string)(int id, std::string *text);

    // --- Painting, inside a WM_PAINT handler.

    // Begins painting the window and returns the device context to draw on; end_paint must follow.
    DeviceContext (*begin_paint)(WindowHandle window);
    void (*end_paint)(WindowHandle window, DeviceContext dc);

    // Draws the icon with its top left corner at (x, y) of the window's client area.
    void (*draw_icon)(DeviceContext dc, int x, int y, IconHandle icon);

    // A system metric (SM_CXICON, SM_CYICON); 0 for one the backend does not know. Any thread.
    int (*system_metric)(int index);

    // --- Message boxes.

    // Shows a modal message box owned by `owner` (may be null) and returns the button chosen (IDOK).
    // `type` holds MB_* flags. The calling thread's message loop keeps running meanwhile: sent messages
    // and timers are handled. Any thread that may own windows.
    int (*message_box)(WindowHandle owner, const char *text, const char *caption, UINT type);

    // --- The program.

    // The file name of the program's executable without folder and extension ("tarnex"): the caption of
    // the application's message boxes. Any thread. False when the system cannot tell.
    bool (*module_name)(std::string *name);
};

// The backend of this program, defined by the backend library linked in. Tests may overwrite single
// entries to inject faults, and put them back afterwards.
extern FrameworkBackend g_FrameworkBackend;

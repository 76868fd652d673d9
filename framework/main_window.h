// The application's main window as the core sees it: something that takes a message synchronously.
//
// The worker thread reaches the window only through send_to_main_window: the call runs the window's
// handler on the window thread and returns its result, the worker waiting meanwhile. The dialog
// framework's window class implements MainWindowTarget; tests install a recording one.
#pragma once

#include <cstdint>

// Win32-width message types. They are the very types <windows.h> declares, so both headers can meet in
// one translation unit of the Win32 backend: LONG_PTR is long on 32-bit Windows, where intptr_t is int.
typedef unsigned int UINT;
typedef std::uintptr_t WPARAM;
#if defined(_WIN32) && !defined(_WIN64)
typedef long LPARAM;
typedef long LRESULT;
#else
typedef std::intptr_t LPARAM;
typedef std::intptr_t LRESULT;
#endif

class MainWindowTarget {
public:
    // Handles `message` on the window's own thread and returns the handler's result; blocks the
    // calling thread until then. Called from any thread.
    virtual LRESULT SendMessageSync(UINT message, WPARAM wParam, LPARAM lParam) = 0;

    virtual ~MainWindowTarget() = default;
};

// Installs (or, with null, removes) the application's main window. Window thread. The window must stay
// installed until no thread can send to it any more, and be removed before it goes away.
void set_main_window(MainWindowTarget *window);

// The installed main window, or null. Any thread.
MainWindowTarget *get_main_window();

// Sends `message` synchronously to the main window and returns its result; returns 0 and does nothing
// when there is no main window (a console run, a test without a window). Any thread.
LRESULT send_to_main_window(UINT message, WPARAM wParam, LPARAM lParam);

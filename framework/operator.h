// The operator: a person in front of a dialog program, as tests, the demos and the console flasher play
// one. It finds the program's window, reads what its controls show, clicks buttons, presses keys,
// chooses from the system menu, and reads and answers message boxes.
//
// One interface, one implementation per front end: the headless backend in process
// (framework/headless/headless_operator.h), real windows of another process through the window system
// (rigs/remote/remote_operator.h). Scenarios written against it run on every front end alike.
//
// An operator works one window at a time: the dialog found by the last successful wait_window. Input
// goes through the program's message loop as a person's would; a click a person could not make (a
// disabled or hidden button, a disabled dialog) is refused. Every call may be made from any thread
// that does not run the program's window, and none blocks longer than its time-out (reads wait for the
// window thread a few seconds at most).
#pragma once

#include "framework/main_window.h"

#include <cstdint>
#include <functional>
#include <string>

struct OperatorMessageBox {
    std::string caption;
    std::string text;
    bool ok_only = false;  // its only button is OK
    bool has_icon = false; // it shows an icon (the exclamation mark, for the program's own)
};

struct OperatorProgress {
    int position = -1; // -1: the bar cannot be read
    int low = 0, high = 0;
};

class Operator {
public:
    virtual ~Operator() = default;

    // Waits until a dialog made from template `template_id` is shown and works that one from now on
    // (the newest, if several). False after `timeout_ms`; the window worked so far stays.
    virtual bool wait_window(int template_id, int timeout_ms) = 0;

    // Whether the window still exists, and whether it takes input (no modal child above it).
    virtual bool window_exists() = 0;
    virtual bool window_enabled() = 0;

    // The window's caption.
    virtual std::string caption() = 0;

    // What control `id` of the window shows: its text (empty when it cannot be read), whether it takes
    // clicks, its check state (BST_CHECKED, BST_UNCHECKED; -1 unreadable) and, for a progress bar, its
    // range and position.
    virtual std::string text(int id) = 0;
    virtual bool enabled(int id) = 0;
    virtual int check(int id) = 0;
    virtual OperatorProgress progress(int id) = 0;

    // What a static control shows as its icon, as a value that only compares: equal values are the same
    // picture. 0 for none.
    virtual uintptr_t picture(int id) = 0;

    // Clicks button `id` with the mouse. False when a person could not have clicked it.
    virtual bool click(int id) = 0;

    // Presses `key` (VK_RETURN, VK_ESCAPE ...) where the window's keyboard focus is.
    virtual bool key(WPARAM key) = 0;

    // Chooses `command` from the window's system menu (SC_CLOSE is the title bar's close button; the ids
    // of items the program added are passed on as they are).
    virtual bool system_command(WPARAM command) = 0;

    // Waits until one of the program's message boxes is open and describes it; false after `timeout_ms`.
    virtual bool wait_message_box(OperatorMessageBox *box, int timeout_ms) = 0;

    // Closes the open message box with `button` (IDOK ...). False when none is open.
    virtual bool answer_message_box(int button) = 0;

    // Waits until `condition` holds, checking it again whenever the screen may have changed and at least
    // every 10 ms; false after `timeout_ms`. The condition runs on the calling thread.
    virtual bool wait_until(const std::function<bool()> &condition, int timeout_ms) = 0;
};

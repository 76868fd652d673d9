// The headless backend's remote control: what a test (or the console demo) uses to play the operator.
// It finds dialogs, reads their controls and clicks them, presses keys, and reads and answers message
// boxes, from any thread other than the window thread, the way a person in front of the screen would:
// input is posted to the window thread and goes through its message loop and pre-translation.
//
// Windows of this backend have no pixels. A dialog is created from its template in res/, with its
// controls in tab order; a control keeps what the real one would show (text, enabled state, icon, check
// state, progress range and position). One dialog unit is two pixels; icons are 32 by 32.
#pragma once

#include "framework/backend.h"

#include <functional>
#include <string>
#include <vector>

struct HeadlessMenuItem {
    UINT flags; // MF_STRING or MF_SEPARATOR
    uintptr_t id;
    std::string text;
};

// What a window shows, copied in one go.
struct HeadlessWindowState {
    bool exists = false;
    bool visible = false;
    bool enabled = false; // the window itself; a control can also be blocked by its disabled dialog
    std::string text;     // caption or control text
    int icon = 0;         // static control: resource id of its icon (0: none)
    int check = 0;        // check box: BST_CHECKED or BST_UNCHECKED
    int position = 0;     // progress bar
    int range_low = 0, range_high = 0;
    // Dialogs only.
    int template_id = 0;
    bool iconic = false;
    int big_icon = 0, small_icon = 0; // resource ids of the window's icons (WM_SETICON)
    std::vector<HeadlessMenuItem> system_menu;
    int paints = 0;       // WM_PAINTs that began painting
    int painted_icon = 0; // the last icon drawn, and where
    int painted_x = 0, painted_y = 0;
};

struct HeadlessMessageBox {
    std::string text;
    std::string caption;
    UINT type = 0;
};

// Waits until a dialog made from `template_id` is visible (initialised and shown) and returns the newest
// such, or null after `timeout_ms`.
WindowHandle headless_wait_dialog(int template_id, int timeout_ms);

// The control `id` of `dialog`, or null.
WindowHandle headless_item(WindowHandle dialog, int id);

HeadlessWindowState headless_state(WindowHandle window);

// The resource id of an icon handle of this backend (0 for null).
int headless_icon_id(IconHandle icon);

// Clicks the control with the mouse: a button that is enabled, in a dialog that is enabled, sends
// BN_CLICKED to its dialog (an automatic check box toggles first); anything else ignores the click.
// Returns once the window thread has handled the click (true), or after `timeout_ms` (false: the click
// is still queued, or its handler is still running, e.g. a nested modal loop). A negative `timeout_ms`
// does not wait: true once the click is queued.
bool headless_click(WindowHandle control, int timeout_ms = 10000);

// Presses `key` (VK_RETURN, VK_ESCAPE ...) while `window` has the focus; returns like headless_click.
bool headless_key(WindowHandle window, WPARAM key, int timeout_ms = 10000);

// Chooses `command` from the window's system menu (SC_CLOSE is the title bar's close button);
// returns like headless_click. IDs of items the program appended are passed on as they are.
bool headless_system_command(WindowHandle window, WPARAM command, int timeout_ms = 10000);

// Minimises or restores the window and makes it repaint.
bool headless_set_iconic(WindowHandle window, bool iconic, int timeout_ms = 10000);

// Waits until a message box is open and describes the oldest one; false after `timeout_ms`.
bool headless_wait_message_box(HeadlessMessageBox *box, int timeout_ms);

// Closes the oldest open message box with `button` (IDOK ...). False when none is open.
bool headless_answer_message_box(int button);

// Every message box shown since the last clear, oldest first; and clearing that list.
std::vector<HeadlessMessageBox> headless_message_box_history();
void headless_clear_message_box_history();

// When on, a message box is not shown: its caption and text go to standard error as one line and it
// returns at once with its affirmative button, IDYES for MB_YESNO and IDOK for any other (console use
// without an operator: the command that led to the question was the answer). Off by default.
void headless_set_message_box_echo(bool on);

// Waits until `condition` holds, re-checking after every change of any window and at least every 10 ms;
// false after `timeout_ms`. The condition runs on the calling thread, without any lock of the backend.
bool headless_wait_until(const std::function<bool()> &condition, int timeout_ms);

// Calls `read` (on the calling thread) at a moment when every window thread is between messages, and
// makes sure that nothing changed while it ran: what it reads of the windows is then the whole outcome of
// each message handled so far and nothing of a message half handled. (A state is shown one control after
// the other; read half-way, the status line and the percentage would show no state at all.) A handler
// that waits in a message box or a modal dialog of its own counts as between messages. `read` may run
// more than once and must only read. False, without a complete read, after `timeout_ms` (0: only now).
// Any thread but a window thread.
bool headless_read_settled(const std::function<void()> &read, int timeout_ms);

// A counter that grows with every change of any window, control or message box: for a console that
// prints what changes.
uint64_t headless_generation();

// Waits until the counter differs from `seen` (true) or `timeout_ms` passed (false).
bool headless_wait_change(uint64_t seen, int timeout_ms);

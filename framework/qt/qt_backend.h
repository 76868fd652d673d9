// The Qt backend (qt_backend.cpp): the framework's windows as Qt 6 Widgets, for the Linux flasher.
//
// The window thread is the thread that made the QApplication: the process's main thread in every
// program and test here (Qt wants it so). The backend makes the QApplication itself, in initialize()
// or at the first dialog, and keeps it for the rest of the process.
//
// Besides the backend table, what the operator (qt_operator.h), the test harnesses and the demo need:
// running code on the window thread, finding dialogs and message boxes, and pictures of them.
#pragma once

#include "framework/backend.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QWidget;

// Runs `job` on the window thread and waits until it has run, at most `timeout_ms`. From the window
// thread itself it runs at once. False when there is no window thread yet, or when the job had not
// started when the time was up (it then never runs); a job that has started is always waited for, so
// it may use the caller's variables. The job must not block: it must not open a dialog or a menu.
bool qt_call(const std::function<void()> &job, int timeout_ms);

// Queues `job` for the window thread and returns at once (input that may open a nested loop: a click
// that opens a dialog). The job runs later and must own what it uses. False without a window thread.
bool qt_post(std::function<void()> job);

// The widget behind a handle: the dialog's window or a control. Window thread; null for a handle that
// is gone.
QWidget *qt_widget(WindowHandle window);

// What a window shows as its text: a dialog's title, a label's, edit's or button's text, a group box's
// title; empty for other widgets and for null. Window thread.
std::string qt_widget_text(QWidget *widget);

// The id a message box answers with for one of its standard buttons (a QMessageBox::StandardButton):
// IDOK, IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO; IDCANCEL for any other. Any thread.
int qt_button_id(int standard_button);

// The newest shown dialog made from `template_id`, or null. Any thread.
WindowHandle qt_find_dialog(int template_id);

// Whether the handle stands for a window that still exists. Any thread.
bool qt_window_exists(WindowHandle window);

// The message boxes open now, oldest first (QMessageBox widgets). Any thread; the widgets themselves
// are for the window thread only.
std::vector<QWidget *> qt_message_boxes();

// How many message boxes are open now. Any thread.
int qt_message_box_count();

// A counter that grows with every change the backend makes or sees (texts, states, windows, boxes),
// and a wait for it to move past `seen` (true) or for `timeout_ms` to pass (false). Any thread.
uint64_t qt_generation();
bool qt_wait_change(uint64_t seen, int timeout_ms);

// Saves a picture of what is on top, the newest message box or else `window` (may be null: then the
// newest dialog), as a PNG file at `path`. Window thread. False when there is nothing to picture or the
// file cannot be written.
bool qt_save_screenshot(WindowHandle window, const std::string &path);

// Ends the QApplication, after the last dialog has gone: the program's entry calls it before it
// returns, so that Qt's threads and connections end before the process's static destructors run.
// Main thread.
void qt_shutdown();

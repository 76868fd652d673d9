// The operator on the Qt backend, in the program's own process: it reads the widgets themselves and
// works them with the mouse and the keyboard the way Qt's own test tools do (mouse presses and key
// presses delivered to the widget), from any thread but the window thread.
//
// Reads are run on the window thread and wait for it a few seconds at most; input is queued for the
// window thread and not waited for, since a click may open a nested loop (the About box).
#pragma once

#include "framework/operator.h"
#include "framework/qt/qt_backend.h"

class QtOperator : public Operator {
public:
    bool wait_window(int template_id, int timeout_ms) override;
    bool window_exists() override;
    bool window_enabled() override;
    std::string caption() override;
    std::string text(int id) override;
    bool enabled(int id) override;
    int check(int id) override;
    OperatorProgress progress(int id) override;
    uintptr_t picture(int id) override;
    bool click(int id) override;
    bool key(WPARAM key) override;
    bool system_command(WPARAM command) override;
    bool wait_message_box(OperatorMessageBox *box, int timeout_ms) override;
    bool answer_message_box(int button) override;
    bool wait_until(const std::function<bool()> &condition, int timeout_ms) override;

    // The window worked (null before the first wait_window).
    WindowHandle window() const { return m_window; }

    // Saves a picture of what is on top (the newest message box, else the window worked) as a PNG.
    bool screenshot(const std::string &path);

private:
    WindowHandle m_window = nullptr;
};

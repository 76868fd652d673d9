// The operator on the headless backend, in the program's own process: it works the windows through the
// backend's remote control (framework/headless/headless.h), from any thread but the window thread.
#pragma once

#include "framework/headless/headless.h"
#include "framework/operator.h"

class HeadlessOperator : public Operator {
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

    // The window worked, for the backend's own calls (null before the first wait_window).
    WindowHandle window() const { return m_window; }

private:
    HeadlessWindowState control(int id) const { return headless_state(headless_item(m_window, id)); }

    WindowHandle m_window = nullptr;
};

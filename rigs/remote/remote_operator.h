// The operator over real windows of another process (or another thread of this one), through the window
// system only: what the Windows end-to-end tests, the backend's tests and the demo's operator use. A
// dialog is found by its template's caption among the visible dialogs of the process given.
#pragma once

#include "framework/operator.h"
#include "rigs/remote/remote_control.h"

class RemoteOperator : public Operator {
public:
    // Works the windows of process `process_id` (0: of any process).
    explicit RemoteOperator(DWORD process_id = 0) : m_process(process_id) {}

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

    // The window worked (null before the first wait_window), for screenshots and the window system's
    // own questions.
    HWND window() const { return m_window; }

private:
    DWORD m_process;
    HWND m_window = nullptr;
};

#include "framework/headless/headless_operator.h"

#include "framework/messages.h"

bool HeadlessOperator::wait_window(int template_id, int timeout_ms) {
    WindowHandle found = headless_wait_dialog(template_id, timeout_ms);
    if (found == nullptr)
        return false;
    m_window = found;
    return true;
}

bool HeadlessOperator::window_exists() {
    return headless_state(m_window).exists;
}

bool HeadlessOperator::window_enabled() {
    return headless_state(m_window).enabled;
}

std::string HeadlessOperator::caption() {
    return headless_state(m_window).text;
}

std::string HeadlessOperator::text(int id) {
    return control(id).text;
}

bool HeadlessOperator::enabled(int id) {
    // What a person can click: the control and its dialog both take input.
    return control(id).enabled && headless_state(m_window).enabled;
}

int HeadlessOperator::check(int id) {
    HeadlessWindowState state = control(id);
    return state.exists ? state.check : -1;
}

OperatorProgress HeadlessOperator::progress(int id) {
    HeadlessWindowState state = control(id);
    if (!state.exists)
        return {};
    return {state.position, state.range_low, state.range_high};
}

uintptr_t HeadlessOperator::picture(int id) {
    return static_cast<uintptr_t>(control(id).icon);
}

// Input is queued as a person's would be and not waited for: its handler may open a modal loop of
// its own (the About box) and not return for a long time.
bool HeadlessOperator::click(int id) {
    WindowHandle item = headless_item(m_window, id);
    return item != nullptr && enabled(id) && control(id).visible && headless_click(item, -1);
}

bool HeadlessOperator::key(WPARAM key) {
    return headless_key(m_window, key, -1);
}

bool HeadlessOperator::system_command(WPARAM command) {
    return headless_system_command(m_window, command, -1);
}

bool HeadlessOperator::wait_message_box(OperatorMessageBox *box, int timeout_ms) {
    HeadlessMessageBox open;
    if (!headless_wait_message_box(&open, timeout_ms))
        return false;
    box->caption = open.caption;
    box->text = open.text;
    box->ok_only = (open.type & 0x0F) == MB_OK;
    box->has_icon = (open.type & 0xF0) != 0;
    return true;
}

bool HeadlessOperator::answer_message_box(int button) {
    return headless_answer_message_box(button);
}

bool HeadlessOperator::wait_until(const std::function<bool()> &condition, int timeout_ms) {
    return headless_wait_until(condition, timeout_ms);
}

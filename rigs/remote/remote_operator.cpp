#include "rigs/remote/remote_operator.h"

#include "res/resource_tables.h"

bool RemoteOperator::wait_window(int template_id, int timeout_ms) {
    const DialogResource *resource = find_dialog_resource(template_id);
    if (resource == nullptr)
        return false;
    HWND found = remote::wait_dialog(m_process, resource->caption, timeout_ms);
    if (found == nullptr)
        return false;
    m_window = found;
    return true;
}

bool RemoteOperator::window_exists() {
    return m_window != nullptr && IsWindow(m_window);
}

bool RemoteOperator::window_enabled() {
    return window_exists() && IsWindowEnabled(m_window);
}

std::string RemoteOperator::caption() {
    return remote::text(m_window);
}

std::string RemoteOperator::text(int id) {
    return remote::item_text(m_window, id);
}

bool RemoteOperator::enabled(int id) {
    return remote::item_enabled(m_window, id);
}

int RemoteOperator::check(int id) {
    return remote::item_check(m_window, id);
}

OperatorProgress RemoteOperator::progress(int id) {
    OperatorProgress result;
    if (!remote::progress_range(m_window, id, &result.low, &result.high))
        return {};
    result.position = remote::progress_position(m_window, id);
    return result;
}

uintptr_t RemoteOperator::picture(int id) {
    return reinterpret_cast<uintptr_t>(remote::item_icon(m_window, id));
}

bool RemoteOperator::click(int id) {
    return remote::click(m_window, id);
}

bool RemoteOperator::key(WPARAM key) {
    return remote::press_key(m_window, key);
}

bool RemoteOperator::system_command(WPARAM command) {
    return remote::system_command(m_window, command);
}

bool RemoteOperator::wait_message_box(OperatorMessageBox *box, int timeout_ms) {
    // A box can be visible before its thread answers messages (a slow machine, a process still starting):
    // its caption, never empty once the box has been set up, says that it was read, not just found.
    remote::MessageBoxContent content;
    const bool read = remote::wait_until(
        [&] {
            HWND found = remote::wait_message_box(m_process, 0, 0);
            return found != nullptr && remote::read_message_box(found, &content) && !content.caption.empty();
        },
        timeout_ms);
    if (!read)
        return false;
    box->caption = content.caption;
    box->text = content.text;
    box->ok_only = content.buttons == std::vector<int>{IDOK};
    box->has_icon = content.icon != nullptr;
    return true;
}

bool RemoteOperator::answer_message_box(int button) {
    HWND found = remote::wait_message_box(m_process, 0, 0);
    return found != nullptr && remote::click(found, button);
}

bool RemoteOperator::wait_until(const std::function<bool()> &condition, int timeout_ms) {
    return remote::wait_until(condition, timeout_ms);
}

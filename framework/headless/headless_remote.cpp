// The headless backend's remote control: what a test, the demo or the console uses to play the
// operator (framework/headless/headless.h). Input is posted to the window thread like a person's and
// goes through its message loop and pre-translation.
#include "framework/headless/headless.h"
#include "framework/headless/headless_internal.h"

#include "framework/styles.h"

#include <algorithm>

using namespace headless_detail;

namespace {

// Posts input for a window and waits until it has been dispatched.
bool post_input(uintptr_t handle, UINT message, WPARAM wParam, LPARAM lParam, int timeout_ms) {
    State &s = state();
    auto done = std::make_shared<bool>(false);
    Lock lock(s.mutex);
    if (!post_locked(handle, message, wParam, lParam, done))
        return false;
    if (timeout_ms < 0)
        return true;
    return s.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return *done; });
}

} // namespace

WindowHandle headless_wait_dialog(int template_id, int timeout_ms) {
    State &s = state();
    Lock lock(s.mutex);
    uintptr_t found = 0;
    s.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        for (auto &[handle, window] : s.windows)
            if (window->dialog != nullptr && window->template_id == template_id && window->visible)
                found = handle; // handles grow: the last is the newest
        return found != 0;
    });
    return handle_of(found);
}

WindowHandle headless_item(WindowHandle dialog, int id) {
    return g_FrameworkBackend.get_dlg_item(dialog, id);
}

int headless_icon_id(IconHandle icon) {
    return static_cast<int>(reinterpret_cast<uintptr_t>(icon));
}

HeadlessWindowState headless_state(WindowHandle handle) {
    Lock lock(state().mutex);
    HeadlessWindowState result;
    Window *window = find_locked(raw(handle));
    if (window == nullptr)
        return result;
    result.exists = true;
    result.visible = window->visible;
    result.enabled = window->enabled;
    result.text = window->text;
    result.icon = headless_icon_id(window->icon);
    result.check = window->check;
    result.position = window->position;
    result.range_low = window->range_low;
    result.range_high = window->range_high;
    result.template_id = window->template_id;
    result.iconic = window->iconic;
    result.big_icon = headless_icon_id(window->big_icon);
    result.small_icon = headless_icon_id(window->small_icon);
    result.system_menu = window->system_menu;
    result.paints = window->paints;
    result.painted_icon = headless_icon_id(window->painted_icon);
    result.painted_x = window->painted_x;
    result.painted_y = window->painted_y;
    return result;
}

bool headless_click(WindowHandle control, int timeout_ms) {
    return post_input(raw(control), WM_LBUTTONUP_INPUT, 0, 0, timeout_ms);
}

bool headless_key(WindowHandle window, WPARAM key, int timeout_ms) {
    return post_input(raw(window), WM_KEYDOWN, key, 0, timeout_ms);
}

bool headless_system_command(WindowHandle window, WPARAM command, int timeout_ms) {
    return post_input(raw(window), WM_SYSCOMMAND, command, 0, timeout_ms);
}

bool headless_set_iconic(WindowHandle window, bool iconic, int timeout_ms) {
    return headless_system_command(window, iconic ? SC_MINIMIZE : SC_RESTORE, timeout_ms);
}

bool headless_wait_message_box(HeadlessMessageBox *box, int timeout_ms) {
    State &s = state();
    Lock lock(s.mutex);
    bool open = s.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        return std::any_of(s.open_boxes.begin(), s.open_boxes.end(),
                           [](const Box &b) { return !b.answered; });
    });
    if (!open)
        return false;
    for (const Box &b : s.open_boxes)
        if (!b.answered) {
            *box = b.content;
            break;
        }
    return true;
}

bool headless_answer_message_box(int button) {
    Lock lock(state().mutex);
    for (Box &box : state().open_boxes)
        if (!box.answered) {
            box.answered = true;
            box.answer = button;
            changed_locked();
            return true;
        }
    return false;
}

std::vector<HeadlessMessageBox> headless_message_box_history() {
    Lock lock(state().mutex);
    return state().box_history;
}

void headless_clear_message_box_history() {
    Lock lock(state().mutex);
    state().box_history.clear();
}

void headless_set_message_box_echo(bool on) {
    Lock lock(state().mutex);
    state().echo_boxes = on;
}

uint64_t headless_generation() {
    Lock lock(state().mutex);
    return state().generation;
}

bool headless_wait_change(uint64_t seen, int timeout_ms) {
    State &s = state();
    Lock lock(s.mutex);
    return s.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [&] { return s.generation != seen; });
}

bool headless_read_settled(const std::function<void()> &read, int timeout_ms) {
    State &s = state();
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        uint64_t seen;
        {
            Lock lock(s.mutex);
            if (!s.changed.wait_until(lock, deadline, [&] { return s.handling == 0; }))
                return false;
            seen = s.generation;
        }
        read();
        // A handler that began meanwhile has changed nothing yet, or the generation shows it.
        Lock lock(s.mutex);
        if (s.generation == seen)
            return true;
    }
}

bool headless_wait_until(const std::function<bool()> &condition, int timeout_ms) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        uint64_t seen = headless_generation();
        if (condition())
            return true;
        const Clock::time_point now = Clock::now();
        if (now >= deadline)
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        headless_wait_change(seen, static_cast<int>(std::min<long long>(left.count() + 1, 10)));
    }
}

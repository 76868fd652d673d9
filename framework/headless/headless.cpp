// The headless backend: windows and controls in memory, a real message loop on the window thread,
// timers, sent and posted messages between threads, message boxes that wait for an answer.
//
// One lock guards everything here; it is never held while a window procedure, a timer callback or a
// pre-translation runs, so handlers can call back into the backend freely. Handles are serial numbers,
// never reused in a process: a message for a window that is gone finds nothing instead of a newer window
// that happens to sit at the same address.
//
// The state is created once and never destroyed: a worker thread may still send a report while the
// process ends and static destructors run.
#include "framework/headless/headless.h"
#include "framework/headless/headless_internal.h"

#include "framework/dialog.h"
#include "framework/handler_guard.h"
#include "framework/styles.h"
#include "os/os_api.h"
#include "res/resource_tables.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

// --- State shared with the remote control (headless_internal.h).

namespace headless_detail {

State &state() {
    static State *instance = new State;
    return *instance;
}

// Everything below whose name ends in _locked expects the lock held.
Window *find_locked(uintptr_t handle) {
    auto it = state().windows.find(handle);
    return it != state().windows.end() ? it->second.get() : nullptr;
}

void changed_locked() {
    ++state().generation;
    state().changed.notify_all();
}

bool post_locked(uintptr_t handle, UINT message, WPARAM wParam, LPARAM lParam, std::shared_ptr<bool> done) {
    Window *target = find_locked(handle);
    if (target == nullptr)
        return false;
    state().posted.push_back(
        {{handle_of(handle), message, wParam, lParam, tick_count()}, target->thread, done});
    changed_locked();
    return true;
}

uint32_t tick_count() {
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - state().started).count());
}

} // namespace headless_detail

namespace {

using namespace headless_detail;

// The dialog a window belongs to: itself, or a control's parent.
Window *dialog_of_locked(Window *window) {
    if (window != nullptr && window->dialog == nullptr)
        window = find_locked(window->parent);
    return window != nullptr && window->dialog != nullptr ? window : nullptr;
}

Window *child_locked(Window *dialog, int id) {
    for (uintptr_t child : dialog->children)
        if (Window *control = find_locked(child); control != nullptr && control->id == id)
            return control;
    return nullptr;
}

LRESULT call_window(uintptr_t handle, UINT message, WPARAM wParam, LPARAM lParam);

// --- Default handling of dialogs, and the controls' own procedures.

LRESULT default_dialog_procedure(uintptr_t handle, UINT message, WPARAM wParam, LPARAM lParam) {
    Lock lock(state().mutex);
    Window *dialog = find_locked(handle);
    if (dialog == nullptr)
        return 0;
    switch (message) {
    case WM_CLOSE: {
        // The close button is the Cancel command, unless the Cancel button is disabled.
        Window *cancel = child_locked(dialog, IDCANCEL);
        if (cancel != nullptr && !cancel->enabled)
            return 0;
        uintptr_t cancel_handle = cancel != nullptr ? cancel->handle : 0;
        lock.unlock();
        return call_window(handle, WM_COMMAND, make_wparam(IDCANCEL, BN_CLICKED),
                           static_cast<LPARAM>(cancel_handle));
    }
    case WM_SYSCOMMAND:
        switch (wParam & 0xFFF0) {
        case SC_CLOSE:
            lock.unlock();
            return call_window(handle, WM_CLOSE, 0, 0);
        case SC_MINIMIZE:
        case SC_RESTORE:
            dialog->iconic = (wParam & 0xFFF0) == SC_MINIMIZE;
            changed_locked();
            lock.unlock();
            call_window(handle, WM_PAINT, 0, 0);
            return 0;
        }
        return 0;
    case WM_SETICON: {
        IconHandle &slot = wParam == ICON_BIG ? dialog->big_icon : dialog->small_icon;
        IconHandle previous = slot;
        slot = reinterpret_cast<IconHandle>(lParam);
        changed_locked();
        return reinterpret_cast<LRESULT>(previous);
    }
    default:
        return 0;
    }
}

LRESULT control_procedure(uintptr_t handle, UINT message, WPARAM wParam, LPARAM lParam) {
    Lock lock(state().mutex);
    Window *control = find_locked(handle);
    if (control == nullptr)
        return 0;
    LRESULT result = 0;
    switch (message) {
    case STM_SETICON:
        result = reinterpret_cast<LRESULT>(control->icon);
        control->icon = reinterpret_cast<IconHandle>(wParam);
        break;
    case STM_GETICON:
        return reinterpret_cast<LRESULT>(control->icon);
    case BM_GETCHECK:
        return control->check;
    case BM_SETCHECK:
        control->check = static_cast<int>(wParam);
        break;
    case PBM_SETRANGE:
        result = static_cast<LRESULT>(make_wparam(control->range_low, control->range_high));
        control->range_low = static_cast<int>(low_word(static_cast<uintptr_t>(lParam)));
        control->range_high = static_cast<int>(high_word(static_cast<uintptr_t>(lParam)));
        control->position = std::clamp(control->position, control->range_low, control->range_high);
        break;
    case PBM_SETPOS:
        result = control->position;
        control->position = std::clamp(static_cast<int>(static_cast<intptr_t>(wParam)), control->range_low,
                                       control->range_high);
        break;
    case PBM_GETPOS:
        return control->position;
    case PBM_GETRANGE:
        return wParam != 0 ? control->range_low : control->range_high;
    case WM_LBUTTONUP_INPUT: {
        Window *dialog = dialog_of_locked(control);
        const bool clickable = control->class_name == "Button" && control->enabled && control->visible &&
                               dialog != nullptr && dialog->enabled;
        if (!clickable)
            return 0;
        if ((control->style & BS_TYPEMASK) == BS_AUTOCHECKBOX)
            control->check = control->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
        changed_locked();
        const uintptr_t parent = dialog->handle;
        const int id = control->id;
        lock.unlock();
        call_window(parent, WM_COMMAND, make_wparam(static_cast<UINT>(id), BN_CLICKED),
                    static_cast<LPARAM>(handle));
        return 0;
    }
    default:
        return 0;
    }
    changed_locked();
    return result;
}

LRESULT call_window(uintptr_t handle, UINT message, WPARAM wParam, LPARAM lParam) {
    CDialog *dialog = nullptr;
    {
        Lock lock(state().mutex);
        Window *window = find_locked(handle);
        if (window == nullptr)
            return 0;
        dialog = window->dialog;
    }
    if (dialog == nullptr)
        return control_procedure(handle, message, wParam, lParam);
    LRESULT result = 0;
    if (run_guarded("a window procedure", false,
                    [&] { return dialog->OnMessage(message, wParam, lParam, &result); }))
        return result;
    return default_dialog_procedure(handle, message, wParam, lParam);
}

// Handlers running on this thread, nested loops included.
thread_local int t_handlers = 0;

// One handler running on the window thread, for headless_read_settled: counted from construction to
// destruction. Constructed and destroyed with the lock held; the handler runs without it.
class Handling {
public:
    Handling() {
        ++state().handling;
        ++t_handlers;
    }
    ~Handling() {
        --t_handlers;
        --state().handling;
        changed_locked();
    }
};

// A handler that runs outside the message loop (a dialog's initialisation and destruction), counted like
// the loop's.
LRESULT call_counted(uintptr_t handle, UINT message) {
    Lock lock(state().mutex);
    Handling handling;
    lock.unlock();
    const LRESULT result = call_window(handle, message, 0, 0);
    lock.lock();
    return result;
}

// A message taken from the queue: pre-translated by the dialog it belongs to, then dispatched.
void dispatch(Msg msg, TimerCallback timer) {
    CDialog *dialog = nullptr;
    {
        Lock lock(state().mutex);
        if (Window *owner = dialog_of_locked(find_locked(raw(msg.hwnd))))
            dialog = owner->dialog;
    }
    if (dialog != nullptr &&
        run_guarded("pre-translation", FALSE, [&] { return dialog->PreTranslateMessage(&msg); }))
        return;
    if (timer != nullptr)
        run_guarded("a timer callback", 0, [&] {
            timer(msg.hwnd, WM_TIMER, msg.wParam, msg.time);
            return 0;
        });
    else
        call_window(raw(msg.hwnd), msg.message, msg.wParam, msg.lParam);
}

// The message loop of the calling thread: sent messages first, then posted ones, then due timers, until
// `done` (checked with the lock held) holds.
template <typename Done>
void run_loop(Done done) {
    State &s = state();
    const std::thread::id self = std::this_thread::get_id();
    Lock lock(s.mutex);
    // A loop run by a handler (a message box, a modal dialog) waits for messages like the outermost one:
    // that handler does not count as running while its loop waits.
    const bool nested = t_handlers > 0;
    if (nested) {
        --s.handling;
        s.changed.notify_all();
    }
    while (!done()) {
        auto sent = std::find_if(s.sent.begin(), s.sent.end(), [&](Sent *m) { return m->thread == self; });
        if (sent != s.sent.end()) {
            Sent *message = *sent;
            s.sent.erase(sent);
            Handling handling;
            lock.unlock();
            LRESULT result = call_window(message->window, message->message, message->wParam, message->lParam);
            lock.lock();
            message->result = result;
            message->done = true;
            continue;
        }
        auto posted =
            std::find_if(s.posted.begin(), s.posted.end(), [&](const Posted &p) { return p.thread == self; });
        if (posted != s.posted.end()) {
            Posted message = *posted;
            s.posted.erase(posted);
            Handling handling;
            lock.unlock();
            dispatch(message.msg, nullptr);
            lock.lock();
            if (message.done != nullptr)
                *message.done = true;
            continue;
        }
        const Clock::time_point now = Clock::now();
        Timer *next = nullptr;
        for (Timer &timer : s.timers)
            if (timer.thread == self && (next == nullptr || timer.due < next->due))
                next = &timer;
        if (next != nullptr && next->due <= now) {
            // Like WM_TIMER, an expiry is not queued up: a late timer fires once and starts a new period.
            next->due = now + std::chrono::milliseconds(next->period_ms);
            Msg msg = {handle_of(next->window), WM_TIMER, next->id, 0, tick_count()};
            TimerCallback callback = next->callback;
            Handling handling;
            lock.unlock();
            dispatch(msg, callback);
            lock.lock();
            continue;
        }
        if (next != nullptr)
            s.changed.wait_until(lock, next->due);
        else
            s.changed.wait(lock);
    }
    if (nested)
        ++s.handling;
}

// Removes a window and its controls; messages still waiting for them are answered with 0 or dropped.
void destroy_locked(uintptr_t handle) {
    State &s = state();
    Window *window = find_locked(handle);
    if (window == nullptr)
        return;
    std::vector<uintptr_t> gone = window->children;
    gone.push_back(handle);
    for (uintptr_t dead : gone) {
        s.windows.erase(dead);
        for (auto it = s.sent.begin(); it != s.sent.end();) {
            if ((*it)->window == dead) {
                (*it)->done = true;
                it = s.sent.erase(it);
            } else {
                ++it;
            }
        }
        for (auto it = s.posted.begin(); it != s.posted.end();) {
            if (raw(it->msg.hwnd) == dead) {
                if (it->done != nullptr)
                    *it->done = true;
                it = s.posted.erase(it);
            } else {
                ++it;
            }
        }
        std::erase_if(s.timers, [&](const Timer &timer) { return timer.window == dead; });
    }
    changed_locked();
}

uintptr_t create_dialog_locked(const DialogResource &resource, CDialog *dialog, uintptr_t owner) {
    State &s = state();
    auto window = std::make_unique<Window>();
    window->handle = s.next_handle++;
    window->owner = owner;
    window->thread = std::this_thread::get_id();
    window->dialog = dialog;
    window->template_id = resource.id;
    window->class_name = "#32770";
    window->style = resource.style;
    window->text = resource.caption;
    window->enabled = (resource.style & WS_DISABLED) == 0;
    window->width = resource.width * PIXELS_PER_DIALOG_UNIT;
    window->height = resource.height * PIXELS_PER_DIALOG_UNIT;
    if ((resource.style & WS_SYSMENU) != 0) {
        window->has_system_menu = true;
        window->system_menu = {
            {MF_STRING, 0xF010, "&Move"}, {MF_SEPARATOR, 0, ""}, {MF_STRING, SC_CLOSE, "&Close"}};
    }
    for (size_t i = 0; i < resource.item_count; ++i) {
        const DialogItemResource &item = resource.items[i];
        auto control = std::make_unique<Window>();
        control->handle = s.next_handle++;
        control->parent = window->handle;
        control->thread = window->thread;
        control->id = item.id;
        control->class_name = item.class_name;
        control->style = item.style;
        control->text = item.text;
        control->enabled = (item.style & WS_DISABLED) == 0;
        control->visible = (item.style & WS_VISIBLE) != 0;
        control->width = item.width * PIXELS_PER_DIALOG_UNIT;
        control->height = item.height * PIXELS_PER_DIALOG_UNIT;
        if (item.icon != 0)
            control->icon = g_FrameworkBackend.load_icon(item.icon);
        window->children.push_back(control->handle);
        s.windows.emplace(control->handle, std::move(control));
    }
    uintptr_t handle = window->handle;
    s.windows.emplace(handle, std::move(window));
    changed_locked();
    return handle;
}

// --- The backend table.

void hl_initialize() {}

intptr_t hl_run_modal(CDialog *dialog, int template_id, WindowHandle owner) {
    const DialogResource *resource = find_dialog_resource(template_id);
    if (resource == nullptr || dialog == nullptr)
        return -1;
    uintptr_t handle;
    bool owner_was_enabled = false;
    {
        Lock lock(state().mutex);
        handle = create_dialog_locked(*resource, dialog, raw(owner));
        if (Window *owner_window = find_locked(raw(owner))) {
            owner_was_enabled = owner_window->enabled;
            owner_window->enabled = false;
        }
    }
    dialog->Attach(handle_of(handle));
    call_counted(handle, WM_INITDIALOG);
    {
        Lock lock(state().mutex);
        if (Window *window = find_locked(handle); window != nullptr && !window->end_requested) {
            window->visible = true;
            changed_locked();
        }
    }
    run_loop([&] {
        Window *window = find_locked(handle);
        return window == nullptr || window->end_requested;
    });
    call_counted(handle, WM_DESTROY);
    Lock lock(state().mutex);
    intptr_t result = -1;
    if (Window *window = find_locked(handle))
        result = window->result;
    destroy_locked(handle);
    if (Window *owner_window = find_locked(raw(owner)); owner_window != nullptr && owner_was_enabled) {
        owner_window->enabled = true;
        changed_locked();
    }
    return result;
}

void hl_end_dialog(WindowHandle dialog, intptr_t result) {
    Lock lock(state().mutex);
    if (Window *window = find_locked(raw(dialog)); window != nullptr && window->dialog != nullptr) {
        window->end_requested = true;
        window->result = result;
        changed_locked();
    }
}

bool hl_is_dialog_message(WindowHandle dialog, const Msg *msg) {
    if (msg->message != WM_KEYDOWN)
        return false;
    uintptr_t target = 0;
    WPARAM command = 0;
    uintptr_t control = 0;
    {
        Lock lock(state().mutex);
        Window *window = find_locked(raw(dialog));
        if (window == nullptr || dialog_of_locked(find_locked(raw(msg->hwnd))) != window)
            return false;
        target = window->handle;
        if (msg->wParam == VK_RETURN) {
            for (uintptr_t child : window->children) {
                Window *button = find_locked(child);
                if (button != nullptr && button->class_name == "Button" &&
                    (button->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
                    if (button->enabled) {
                        command = make_wparam(static_cast<UINT>(button->id), BN_CLICKED);
                        control = child;
                    }
                    break;
                }
            }
        } else if (msg->wParam == VK_ESCAPE) {
            Window *cancel = child_locked(window, IDCANCEL);
            command = make_wparam(IDCANCEL, BN_CLICKED);
            control = cancel != nullptr ? cancel->handle : 0;
        }
    }
    if (command != 0 || control != 0)
        call_window(target, WM_COMMAND, command, static_cast<LPARAM>(control));
    return true;
}

LRESULT hl_send_message(WindowHandle window, UINT message, WPARAM wParam, LPARAM lParam) {
    State &s = state();
    Lock lock(s.mutex);
    Window *target = find_locked(raw(window));
    if (target == nullptr)
        return 0;
    if (target->thread == std::this_thread::get_id()) {
        lock.unlock();
        return call_window(raw(window), message, wParam, lParam);
    }
    Sent sent = {raw(window), message, wParam, lParam, target->thread};
    s.sent.push_back(&sent);
    changed_locked();
    s.changed.wait(lock, [&] { return sent.done; });
    return sent.result;
}

bool hl_post_message(WindowHandle window, UINT message, WPARAM wParam, LPARAM lParam) {
    Lock lock(state().mutex);
    return post_locked(raw(window), message, wParam, lParam, nullptr);
}

WindowHandle hl_get_dlg_item(WindowHandle dialog, int id) {
    Lock lock(state().mutex);
    Window *window = find_locked(raw(dialog));
    Window *control = window != nullptr ? child_locked(window, id) : nullptr;
    return control != nullptr ? handle_of(control->handle) : nullptr;
}

void hl_set_window_text(WindowHandle window, const char *text) {
    Lock lock(state().mutex);
    if (Window *target = find_locked(raw(window))) {
        target->text = text != nullptr ? text : "";
        changed_locked();
    }
}

std::string hl_get_window_text(WindowHandle window) {
    Lock lock(state().mutex);
    Window *target = find_locked(raw(window));
    return target != nullptr ? target->text : std::string();
}

bool hl_enable_window(WindowHandle window, bool enable) {
    Lock lock(state().mutex);
    Window *target = find_locked(raw(window));
    if (target == nullptr)
        return false;
    bool was_disabled = !target->enabled;
    target->enabled = enable;
    changed_locked();
    return was_disabled;
}

bool hl_is_window_enabled(WindowHandle window) {
    Lock lock(state().mutex);
    Window *target = find_locked(raw(window));
    return target != nullptr && target->enabled;
}

bool hl_is_iconic(WindowHandle window) {
    Lock lock(state().mutex);
    Window *target = find_locked(raw(window));
    return target != nullptr && target->iconic;
}

void hl_get_client_rect(WindowHandle window, Rect *rect) {
    Lock lock(state().mutex);
    Window *target = find_locked(raw(window));
    *rect = {0, 0, target != nullptr ? target->width : 0, target != nullptr ? target->height : 0};
}

uintptr_t hl_set_timer(WindowHandle window, uintptr_t id, uint32_t period_ms, TimerCallback callback) {
    Lock lock(state().mutex);
    Window *target = find_locked(raw(window));
    if (target == nullptr || callback == nullptr)
        return 0;
    std::erase_if(state().timers, [&](const Timer &t) { return t.window == raw(window) && t.id == id; });
    state().timers.push_back({raw(window), id, period_ms, callback, target->thread,
                              Clock::now() + std::chrono::milliseconds(period_ms)});
    changed_locked();
    return id;
}

bool hl_kill_timer(WindowHandle window, uintptr_t id) {
    Lock lock(state().mutex);
    return std::erase_if(state().timers,
                         [&](const Timer &t) { return t.window == raw(window) && t.id == id; }) > 0;
}

// A window's system menu has the window's handle.
MenuHandle hl_get_system_menu(WindowHandle window) {
    Lock lock(state().mutex);
    Window *target = find_locked(raw(window));
    return target != nullptr && target->has_system_menu ? reinterpret_cast<MenuHandle>(window) : nullptr;
}

bool hl_append_menu(MenuHandle menu, UINT flags, uintptr_t id, const char *text) {
    Lock lock(state().mutex);
    Window *target = find_locked(reinterpret_cast<uintptr_t>(menu));
    if (target == nullptr || !target->has_system_menu)
        return false;
    if ((flags & MF_SEPARATOR) != 0)
        target->system_menu.push_back({MF_SEPARATOR, 0, ""});
    else
        target->system_menu.push_back({MF_STRING, id, text != nullptr ? text : ""});
    changed_locked();
    return true;
}

// An icon handle is its resource id.
IconHandle hl_load_icon(int id) {
    return id > 0 && has_icon_resource(id) ? reinterpret_cast<IconHandle>(static_cast<uintptr_t>(id))
                                           : nullptr;
}

bool hl_load_string(int id, std::string *text) {
    const char *found = find_string_resource(id);
    if (found == nullptr)
        return false;
    *text = found;
    return true;
}

// A device context is the handle of the window being painted.
DeviceContext hl_begin_paint(WindowHandle window) {
    Lock lock(state().mutex);
    if (Window *target = find_locked(raw(window)))
        ++target->paints;
    changed_locked();
    return reinterpret_cast<DeviceContext>(window);
}

void hl_end_paint(WindowHandle, DeviceContext) {}

void hl_draw_icon(DeviceContext dc, int x, int y, IconHandle icon) {
    Lock lock(state().mutex);
    if (Window *target = find_locked(reinterpret_cast<uintptr_t>(dc))) {
        target->painted_icon = icon;
        target->painted_x = x;
        target->painted_y = y;
        changed_locked();
    }
}

int hl_system_metric(int index) {
    return index == SM_CXICON || index == SM_CYICON ? ICON_SIZE : 0;
}

int hl_message_box(WindowHandle owner, const char *text, const char *caption, UINT type) {
    State &s = state();
    Lock lock(s.mutex);
    s.box_history.push_back({text, caption, type});
    changed_locked();
    if (s.echo_boxes) {
        std::fprintf(stderr, "[%s] %s\n", caption, text);
        return (type & 0x0F) == MB_YESNO ? IDYES : IDOK;
    }
    Box &box = s.open_boxes.emplace_back(Box{{text, caption, type}});
    Window *owner_window = find_locked(raw(owner));
    bool owner_was_enabled = owner_window != nullptr && owner_window->enabled;
    if (owner_was_enabled)
        owner_window->enabled = false;
    lock.unlock();
    run_loop([&] { return box.answered; });
    lock.lock();
    int answer = box.answer;
    s.open_boxes.remove_if([&](const Box &b) { return &b == &box; });
    if (owner_window = find_locked(raw(owner)); owner_window != nullptr && owner_was_enabled)
        owner_window->enabled = true;
    changed_locked();
    return answer;
}

} // namespace

FrameworkBackend g_FrameworkBackend = {
    hl_initialize,        hl_run_modal,    hl_end_dialog,      hl_is_dialog_message, hl_send_message,
    hl_post_message,      hl_get_dlg_item, hl_set_window_text, hl_get_window_text,   hl_enable_window,
    hl_is_window_enabled, hl_is_iconic,    hl_get_client_rect, hl_set_timer,         hl_kill_timer,
    hl_get_system_menu,   hl_append_menu,  hl_load_icon,       hl_load_string,       hl_begin_paint,
    hl_end_paint,         hl_draw_icon,    hl_system_metric,   hl_message_box,       os_program_name,
};

// What the headless backend's window system (headless.cpp) and its remote control
// (headless_remote.cpp) share: the one state, its lock, and the few functions both use. Not for use
// outside framework/headless/.
#pragma once

#include "framework/headless/headless.h"
#include "framework/messages.h"
#include "framework/styles.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace headless_detail {

using Clock = std::chrono::steady_clock;

constexpr int PIXELS_PER_DIALOG_UNIT = 2;
constexpr int ICON_SIZE = 32;
constexpr UINT WM_LBUTTONUP_INPUT = 0x0202; // WM_LBUTTONUP: how a click reaches a button

struct Window {
    uintptr_t handle = 0;
    uintptr_t parent = 0; // a control's dialog
    uintptr_t owner = 0;  // a dialog's owner, disabled while it runs
    std::thread::id thread;
    CDialog *dialog = nullptr; // dialogs: where their messages go
    int template_id = 0;
    int id = 0;
    std::string class_name;
    uint32_t style = 0;
    std::string text;
    bool enabled = true, visible = false, iconic = false;
    int width = 0, height = 0; // pixels
    IconHandle icon = nullptr;
    IconHandle big_icon = nullptr, small_icon = nullptr;
    int check = BST_UNCHECKED;
    int range_low = 0, range_high = 100, position = 0;
    bool has_system_menu = false;
    std::vector<HeadlessMenuItem> system_menu;
    std::vector<uintptr_t> children; // tab order
    bool end_requested = false;
    intptr_t result = 0;
    int paints = 0;
    IconHandle painted_icon = nullptr;
    int painted_x = 0, painted_y = 0;
};

struct Posted {
    Msg msg;
    std::thread::id thread;
    std::shared_ptr<bool> done; // set once dispatched (or dropped); null when nobody waits
};

struct Sent {
    uintptr_t window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    std::thread::id thread;
    LRESULT result = 0;
    bool done = false;
};

struct Timer {
    uintptr_t window;
    uintptr_t id;
    uint32_t period_ms;
    TimerCallback callback;
    std::thread::id thread;
    Clock::time_point due;
};

struct Box {
    HeadlessMessageBox content;
    int answer = 0;
    bool answered = false;
};

struct State {
    std::mutex mutex;
    std::condition_variable changed;
    uint64_t generation = 0;
    uintptr_t next_handle = 0x1000;
    std::map<uintptr_t, std::unique_ptr<Window>> windows;
    std::deque<Posted> posted;
    std::deque<Sent *> sent;
    std::vector<Timer> timers;
    std::list<Box> open_boxes;
    std::vector<HeadlessMessageBox> box_history;
    bool echo_boxes = false;
    Clock::time_point started = Clock::now();
    // Handlers running on the window threads, not counting one that waits in a nested message loop (a
    // message box, a modal dialog): 0 when every window thread is between messages.
    int handling = 0;
};

// The one state: created once and never destroyed, so that a worker may still send a report while the
// process ends and static destructors run.
State &state();

using Lock = std::unique_lock<std::mutex>;

inline uintptr_t raw(WindowHandle window) {
    return reinterpret_cast<uintptr_t>(window);
}
inline WindowHandle handle_of(uintptr_t value) {
    return reinterpret_cast<WindowHandle>(value);
}

// Everything whose name ends in _locked expects the lock held.
Window *find_locked(uintptr_t handle);

// Milliseconds since the backend started, the time stamp of messages.
uint32_t tick_count();

// Records a change of any window, control or message box and wakes every waiter.
void changed_locked();

// Queues a message for the window's thread; `done` (may be null) is set once it has been dispatched or
// dropped. False when the window does not exist.
bool post_locked(uintptr_t handle, UINT message, WPARAM wParam, LPARAM lParam, std::shared_ptr<bool> done);

} // namespace headless_detail

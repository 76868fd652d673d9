// Remote control of a dialog program, the way a person in front of the screen would work it: find its
// window, read what its controls show, click buttons, press keys, read and answer message boxes, and
// take screenshots. It works on windows of another process (the end-to-end tests and the demo's
// operator drive the real tarnex.exe) and of another thread of the same process (the Win32 backend's
// tests) alike, through the window system only.
//
// Input goes through the target's message queue, as typed keys and mouse clicks do, so the target's
// message pre-translation sees it. A click is refused when a person could not make it (the button or
// its dialog is disabled or hidden). Reads are sent messages with a time-out: a target that hangs makes
// a read fail instead of the caller hang.
//
// Every call may be made from any thread of the calling process, which must not own the target window.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace remote {

// How long a read may wait for the target's window thread.
inline constexpr UINT READ_TIMEOUT_MS = 5000;

// The first visible top-level dialog (class "#32770") whose caption is `caption` (UTF-8) and that
// belongs to process `process_id` (0: any process); null after `timeout_ms`.
HWND wait_dialog(DWORD process_id, const char *caption, int timeout_ms);

// The first visible message box of the process (a dialog holding the text control 0xFFFF); null after
// `timeout_ms`. `thread_id`, when not 0, narrows the search to that thread's windows.
HWND wait_message_box(DWORD process_id, DWORD thread_id, int timeout_ms);

struct MessageBoxContent {
    std::string caption;
    std::string text;
    std::vector<int> buttons; // ids of its push buttons, in creation order (IDOK ...)
    HICON icon = nullptr;     // the icon it shows, or null
};

// What a message box shows. False when `box` is not one.
bool read_message_box(HWND box, MessageBoxContent *content);

// A window's text (caption of a dialog, text of a control), UTF-8. Empty when it cannot be read.
std::string text(HWND window);

// The text of control `id` of `dialog`.
std::string item_text(HWND dialog, int id);

// Whether control `id` of `dialog` accepts input (enabled, and its dialog enabled).
bool item_enabled(HWND dialog, int id);

// The position of progress bar `id`, or -1 when it cannot be read.
int progress_position(HWND dialog, int id);

// The range of progress bar `id`; false when it cannot be read.
bool progress_range(HWND dialog, int id, int *low, int *high);

// The icon a static control shows (STM_GETICON), or null.
HICON item_icon(HWND dialog, int id);

// The check state of check box `id` (BST_CHECKED ...), or -1.
int item_check(HWND dialog, int id);

// Clicks button `id` of `dialog` with the mouse (a press and a release at its centre, posted). False
// when the control is missing, hidden or disabled, or its dialog disabled: the click never happened.
bool click(HWND dialog, int id);

// Presses and releases `key` (VK_RETURN ...) on the control that has the dialog's keyboard focus (the
// dialog itself when none has).
bool press_key(HWND dialog, WPARAM key);

// Chooses `command` (SC_CLOSE, or an item the program added) from the window's system menu.
bool system_command(HWND window, WPARAM command);

// Waits until `condition` holds, checking every 10 ms; false after `timeout_ms`.
bool wait_until(const std::function<bool()> &condition, int timeout_ms);

// Saves what the window shows on the screen as an image at `unix_path` (PNG by its extension), with
// ImageMagick's import taking the window's rectangle from the X display. Works under Wine only, which
// can start Linux programs. False, with the reason in *error, when no image appeared in time.
bool screenshot(HWND window, const std::string &unix_path, std::string *error);

// The Linux path of a path on Wine's drive Z: ("Z:\work\x" -> "/work/x"); other paths unchanged.
std::string unix_path(const std::string &windows_path);

// The folder of the calling program's executable, without a trailing separator.
std::string program_folder();

// A process started by launch().
struct Process {
    HANDLE handle = nullptr;
    DWORD id = 0;
};

// Starts `command_line` (UTF-8) with the caller's environment plus `environment` ("NAME=value"
// entries, replacing variables of the same name), standard output and standard error going to the file
// `output_path` (appended; null: the caller's own, inherited). False with the reason in *error.
bool launch(const std::string &command_line, const std::vector<std::string> &environment,
            const char *output_path, Process *process, std::string *error);

// Waits for the process to end and gives its exit code; false after `timeout_ms` (it still runs).
bool wait_exit(const Process &process, int timeout_ms, DWORD *exit_code);

// Ends the process if it still runs, waits for it and closes the handle. Safe on an empty Process.
void end(Process *process);

} // namespace remote

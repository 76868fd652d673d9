#include "rigs/remote/remote_control.h"

#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace remote {

namespace {

std::wstring widen(const std::string &text) {
    if (text.empty())
        return std::wstring();
    const int needed =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(needed > 0 ? needed : 0), L'\0');
    if (needed > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), needed);
    return wide;
}

std::string narrow(const std::wstring &text) {
    if (text.empty())
        return std::string();
    const int needed = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string result(static_cast<size_t>(needed > 0 ? needed : 0), '\0');
    if (needed > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), needed,
                            nullptr, nullptr);
    return result;
}

std::wstring class_name(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

bool send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT *result) {
    DWORD_PTR value = 0;
    if (SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, READ_TIMEOUT_MS, &value) == 0)
        return false;
    *result = static_cast<LRESULT>(value);
    return true;
}

struct Search {
    DWORD process_id;
    DWORD thread_id;
    std::function<bool(HWND)> accept;
    HWND found = nullptr;
};

BOOL CALLBACK visit_window(HWND window, LPARAM context) {
    auto *search = reinterpret_cast<Search *>(context);
    DWORD process = 0;
    const DWORD thread = GetWindowThreadProcessId(window, &process);
    if ((search->process_id != 0 && process != search->process_id) ||
        (search->thread_id != 0 && thread != search->thread_id))
        return TRUE;
    if (!IsWindowVisible(window) || class_name(window) != L"#32770" || !search->accept(window))
        return TRUE;
    search->found = window;
    return FALSE;
}

HWND wait_window(DWORD process_id, DWORD thread_id, const std::function<bool(HWND)> &accept, int timeout_ms) {
    HWND found = nullptr;
    wait_until(
        [&] {
            Search search = {process_id, thread_id, accept};
            EnumWindows(visit_window, reinterpret_cast<LPARAM>(&search));
            found = search.found;
            return found != nullptr;
        },
        timeout_ms);
    return found;
}

// A message box keeps its text in the static control 0xFFFF.
constexpr int MESSAGE_BOX_TEXT_ID = 0xFFFF;

bool is_message_box(HWND window) {
    return class_name(window) == L"#32770" && GetDlgItem(window, MESSAGE_BOX_TEXT_ID) != nullptr;
}

std::string quote_for_shell(const std::string &text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

} // namespace

bool wait_until(const std::function<bool()> &condition, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

HWND wait_dialog(DWORD process_id, const char *caption, int timeout_ms) {
    const std::string wanted = caption != nullptr ? caption : "";
    return wait_window(
        process_id, 0, [&](HWND window) { return !is_message_box(window) && text(window) == wanted; },
        timeout_ms);
}

HWND wait_message_box(DWORD process_id, DWORD thread_id, int timeout_ms) {
    return wait_window(process_id, thread_id, is_message_box, timeout_ms);
}

bool read_message_box(HWND box, MessageBoxContent *content) {
    if (!IsWindow(box) || !is_message_box(box))
        return false;
    content->caption = text(box);
    content->text = item_text(box, MESSAGE_BOX_TEXT_ID);
    content->buttons.clear();
    content->icon = nullptr;
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        const LONG_PTR style = GetWindowLongPtrW(child, GWL_STYLE);
        const std::wstring kind = class_name(child);
        if (kind == L"Button" && IsWindowVisible(child)) {
            content->buttons.push_back(GetDlgCtrlID(child));
        } else if (kind == L"Static" && (style & SS_TYPEMASK) == SS_ICON) {
            LRESULT icon = 0;
            if (send(child, STM_GETICON, 0, 0, &icon) && icon != 0)
                content->icon = reinterpret_cast<HICON>(icon);
        }
    }
    return true;
}

std::string text(HWND window) {
    LRESULT length = 0;
    if (window == nullptr || !send(window, WM_GETTEXTLENGTH, 0, 0, &length) || length < 0)
        return std::string();
    // WM_GETTEXT is marshalled between processes by the system, up to the buffer's size. The text may
    // change between the two messages: a copy that fills the buffer may have been cut, so it is read
    // again with a larger one.
    for (size_t size = std::max<size_t>(static_cast<size_t>(length) + 1, 256); size <= 1 << 20; size *= 4) {
        std::wstring buffer(size, L'\0');
        LRESULT copied = 0;
        if (!send(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()), &copied))
            return std::string();
        if (copied < 0 || static_cast<size_t>(copied) + 1 < size) {
            buffer.resize(static_cast<size_t>(copied > 0 ? copied : 0));
            return narrow(buffer);
        }
    }
    return std::string();
}

std::string item_text(HWND dialog, int id) {
    return text(GetDlgItem(dialog, id));
}

bool item_enabled(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    return control != nullptr && IsWindowEnabled(control) && IsWindowEnabled(dialog);
}

int progress_position(HWND dialog, int id) {
    LRESULT position = 0;
    HWND control = GetDlgItem(dialog, id);
    if (control == nullptr || !send(control, PBM_GETPOS, 0, 0, &position))
        return -1;
    return static_cast<int>(position);
}

bool progress_range(HWND dialog, int id, int *low, int *high) {
    // Without a range record, PBM_GETRANGE answers the low end for TRUE and the high end for FALSE: no
    // pointer into this process has to cross to the target's.
    LRESULT low_value = 0, high_value = 0;
    HWND control = GetDlgItem(dialog, id);
    if (control == nullptr || !send(control, PBM_GETRANGE, TRUE, 0, &low_value) ||
        !send(control, PBM_GETRANGE, FALSE, 0, &high_value))
        return false;
    *low = static_cast<int>(low_value);
    *high = static_cast<int>(high_value);
    return true;
}

HICON item_icon(HWND dialog, int id) {
    LRESULT icon = 0;
    HWND control = GetDlgItem(dialog, id);
    if (control == nullptr || !send(control, STM_GETICON, 0, 0, &icon))
        return nullptr;
    return reinterpret_cast<HICON>(icon);
}

int item_check(HWND dialog, int id) {
    LRESULT check = 0;
    HWND control = GetDlgItem(dialog, id);
    if (control == nullptr || !send(control, BM_GETCHECK, 0, 0, &check))
        return -1;
    return static_cast<int>(check);
}

bool click(HWND dialog, int id) {
    HWND button = GetDlgItem(dialog, id);
    if (button == nullptr || !IsWindowVisible(button) || !IsWindowEnabled(button) || !IsWindowEnabled(dialog))
        return false;
    RECT client = {};
    GetClientRect(button, &client);
    const LPARAM centre = MAKELPARAM((client.right - client.left) / 2, (client.bottom - client.top) / 2);
    return PostMessageW(button, WM_LBUTTONDOWN, MK_LBUTTON, centre) &&
           PostMessageW(button, WM_LBUTTONUP, 0, centre);
}

bool press_key(HWND dialog, WPARAM key) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    HWND target = dialog;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info) && info.hwndFocus != nullptr &&
        (info.hwndFocus == dialog || IsChild(dialog, info.hwndFocus)))
        target = info.hwndFocus;
    const UINT scan = MapVirtualKeyW(static_cast<UINT>(key), MAPVK_VK_TO_VSC);
    const LPARAM down = 1 | static_cast<LPARAM>(scan) << 16;
    const LPARAM up = down | static_cast<LPARAM>(0xC0000000u);
    return PostMessageW(target, WM_KEYDOWN, key, down) && PostMessageW(target, WM_KEYUP, key, up);
}

bool system_command(HWND window, WPARAM command) {
    return PostMessageW(window, WM_SYSCOMMAND, command, 0) != FALSE;
}

std::string unix_path(const std::string &windows_path) {
    if (windows_path.size() < 2 || (windows_path[0] != 'Z' && windows_path[0] != 'z') ||
        windows_path[1] != ':')
        return windows_path;
    std::string path = windows_path.substr(2);
    for (char &c : path)
        if (c == '\\')
            c = '/';
    return path;
}

std::string program_folder() {
    wchar_t path[MAX_PATH * 4] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    std::wstring folder(path, n);
    const size_t slash = folder.find_last_of(L"\\/");
    return narrow(slash == std::wstring::npos ? std::wstring(L".") : folder.substr(0, slash));
}

bool screenshot(HWND window, const std::string &path, std::string *error) {
    RECT rect = {};
    if (!GetWindowRect(window, &rect)) {
        *error = "the window is gone";
        return false;
    }
    // Lets the window finish painting what it was just told to show.
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // Wine starts a Linux program like a Windows one but cannot wait for it: the picture is written
    // under a temporary name and renamed once complete, and its appearance is what we wait for.
    const std::string partial = path + ".partial.png";
    DeleteFileW(widen("Z:" + path).c_str());
    char geometry[64];
    std::snprintf(geometry, sizeof geometry, "%ldx%ld+%ld+%ld", rect.right - rect.left,
                  rect.bottom - rect.top, rect.left, rect.top);
    const std::string script = "/usr/bin/import -window root -crop " + std::string(geometry) + " +repage " +
                               quote_for_shell(partial) + " && mv " + quote_for_shell(partial) + " " +
                               quote_for_shell(path);
    const std::string command = "/bin/sh -c \"" + script + "\"";
    std::wstring wide = widen(command);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(nullptr, wide.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &started)) {
        *error = "cannot start /usr/bin/import (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    if (started.hProcess != nullptr)
        CloseHandle(started.hProcess);
    if (started.hThread != nullptr)
        CloseHandle(started.hThread);
    const std::wstring final_name = widen("Z:" + path);
    if (!wait_until([&] { return GetFileAttributesW(final_name.c_str()) != INVALID_FILE_ATTRIBUTES; },
                    15000)) {
        *error = "no picture appeared at " + path + " (is ImageMagick installed?)";
        return false;
    }
    return true;
}

bool launch(const std::string &command_line, const std::vector<std::string> &environment,
            const char *output_path, Process *process, std::string *error) {
    // The caller's environment with the given variables replaced or added, as one block of
    // NUL-terminated entries.
    std::vector<std::wstring> entries;
    if (wchar_t *block = GetEnvironmentStringsW()) {
        for (const wchar_t *entry = block; *entry != L'\0'; entry += wcslen(entry) + 1)
            entries.emplace_back(entry);
        FreeEnvironmentStringsW(block);
    }
    for (const std::string &variable : environment) {
        const std::wstring wide = widen(variable);
        const std::wstring name = wide.substr(0, wide.find(L'=') + 1);
        std::erase_if(entries, [&](const std::wstring &entry) {
            return entry.size() >= name.size() && _wcsnicmp(entry.c_str(), name.c_str(), name.size()) == 0;
        });
        entries.push_back(wide);
    }
    std::wstring block;
    for (const std::wstring &entry : entries)
        block += entry + L'\0';
    block += L'\0';

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    HANDLE output = INVALID_HANDLE_VALUE;
    if (output_path != nullptr) {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        output = CreateFileW(widen(output_path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (output == INVALID_HANDLE_VALUE) {
            *error =
                "cannot open " + std::string(output_path) + " (error " + std::to_string(GetLastError()) + ")";
            return false;
        }
        startup.hStdOutput = output;
        startup.hStdError = output;
    }
    std::wstring command = widen(command_line);
    PROCESS_INFORMATION started = {};
    BOOL ok = FALSE;
    DWORD code = 0;
    // Wine now and then refuses to start a program with an internal error (seen on a busy machine, one
    // start in some hundreds); a moment later the same start succeeds.
    for (int attempt = 0; attempt < 5; ++attempt) {
        ok = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                            block.data(), nullptr, &startup, &started);
        code = GetLastError();
        if (ok || code != ERROR_INTERNAL_ERROR)
            break;
        Sleep(200);
    }
    if (output != INVALID_HANDLE_VALUE)
        CloseHandle(output);
    if (!ok) {
        *error = "cannot start " + command_line + " (error " + std::to_string(code) + ")";
        return false;
    }
    CloseHandle(started.hThread);
    process->handle = started.hProcess;
    process->id = started.dwProcessId;
    return true;
}

bool wait_exit(const Process &process, int timeout_ms, DWORD *exit_code) {
    if (process.handle == nullptr ||
        WaitForSingleObject(process.handle, static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0)
        return false;
    return GetExitCodeProcess(process.handle, exit_code) != FALSE;
}

void end(Process *process) {
    if (process->handle == nullptr)
        return;
    if (WaitForSingleObject(process->handle, 0) != WAIT_OBJECT_0) {
        TerminateProcess(process->handle, 255);
        WaitForSingleObject(process->handle, 10000);
    }
    CloseHandle(process->handle);
    *process = Process{};
}

} // namespace remote

#include "fastboot/action_queue.h"

#include "fastboot/command_exchange.h"

#include <cstdarg>
#include <cstdio>
#include <new>

namespace {

// The stand-in for a record that could not be allocated. It is only ever read: nothing fills it,
// links anything behind it or frees it, so every queue of every worker may end in this one record.
FastbootAction g_OutOfMemory = {ACTION_UNSET, nullptr, {}, nullptr, 0, report_action_result, false};

const char OUT_OF_MEMORY_TEXT[] = "out of memory";
const char UNKNOWN_ACTION_TEXT[] = "unknown action";

// Kept without an allocation: a failure report must not fail for want of memory.
thread_local char t_LastFailure[256] = {};

// The one place records are created; free_actions is the one place they go. Null when out of memory.
FastbootAction *new_action() {
    return new (std::nothrow) FastbootAction{};
}

void fill_action(FastbootAction *action, uint32_t kind, const char *format, va_list arguments) {
    int length = std::vsnprintf(action->command, sizeof action->command, format, arguments);
    // A command cut short would be a different command: it is never sent.
    action->command_cut = length < 0 || static_cast<size_t>(length) >= sizeof action->command;
    if (action->command_cut)
        action->command[0] = '\0';
    action->kind = kind;
    action->on_complete = report_action_result;
}

} // namespace

ActionQueue create_action_queue() {
    FastbootAction *head = new_action();
    return head != nullptr ? head : &g_OutOfMemory;
}

FastbootAction *append_action(FastbootAction *head, uint32_t kind, const char *format, ...) {
    if (head == nullptr || head == &g_OutOfMemory)
        return nullptr;
    FastbootAction *action = head;
    if (head->kind != ACTION_UNSET) {
        FastbootAction *tail = head;
        while (tail->next != nullptr)
            tail = tail->next;
        if (tail == &g_OutOfMemory)
            return nullptr;
        action = new_action();
        if (action == nullptr) {
            tail->next = &g_OutOfMemory;
            return nullptr;
        }
        tail->next = action;
    }
    va_list arguments;
    va_start(arguments, format);
    fill_action(action, kind, format, arguments);
    va_end(arguments);
    return action;
}

void queue_flash(FastbootAction *head, const char *partition, const void *data, uint32_t size) {
    FastbootAction *download = append_action(head, ACTION_DOWNLOAD, "%s", "");
    if (download == nullptr)
        return; // the queue already ends in a failure; the flash behind it would never be sent
    download->data = static_cast<const uint8_t *>(data);
    download->size = size;
    append_action(head, ACTION_COMMAND, "flash:%s", partition);
}

void queue_erase(FastbootAction *head, const char *partition) {
    append_action(head, ACTION_COMMAND, "erase:%s", partition);
}

void queue_command(FastbootAction *head, const char *command) {
    append_action(head, ACTION_COMMAND, "%s", command);
}

int32_t run_next_action(ActionQueue *queue, UsbDeviceHandle *handle, uint32_t progress_tag) {
    if (queue == nullptr || *queue == nullptr)
        return -1;
    FastbootAction *action = *queue;

    int32_t status = -1;
    const char *failure = get_error_text();
    if (action == &g_OutOfMemory)
        failure = OUT_OF_MEMORY_TEXT;
    else if (action->kind == ACTION_DOWNLOAD)
        status = send_download(handle, progress_tag, action->data, action->size);
    else if (action->kind == ACTION_COMMAND && action->command_cut)
        failure = COMMAND_TOO_LARGE_TEXT;
    else if (action->kind == ACTION_COMMAND)
        status = send_command(handle, progress_tag, action->command);
    else
        failure = UNKNOWN_ACTION_TEXT;

    ActionCompletion complete = action->on_complete != nullptr ? action->on_complete : report_action_result;
    const int32_t result = complete(action, status, status != 0 ? failure : "");

    *queue = action->next;
    if (action != &g_OutOfMemory)
        delete action;
    return result;
}

int32_t report_action_result(FastbootAction *, int32_t status, const char *text) {
    if (status != 0) {
        std::snprintf(t_LastFailure, sizeof t_LastFailure, "%s", text != nullptr ? text : "");
        std::fprintf(stderr, "%sFAILED (%s)\n", diagnostic_prefix(), text != nullptr ? text : "");
    } else {
        std::fprintf(stderr, "%sOKAY\n", diagnostic_prefix());
    }
    return status;
}

const char *last_action_failure() {
    return t_LastFailure;
}

void free_actions(FastbootAction *head) {
    while (head != nullptr && head != &g_OutOfMemory) {
        FastbootAction *next = head->next;
        delete head;
        head = next;
    }
}

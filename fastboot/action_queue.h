// The action queue: the flash worker's steps (write an image to a partition, erase a partition, send a
// bare command) as a chain of protocol actions, each run once through the command exchange, reported
// on standard error as "OKAY\n" or "FAILED (%s)\n" and released at once.
//
// A queue lives on the flash worker thread only, built completely before its first action runs:
//
//     ActionQueue queue = create_action_queue();
//     queue_flash(queue, "boot", slot.Data, slot.Size);
//     while (queue != nullptr)
//         if (run_next_action(&queue, handle, 0) != 0)
//             break;                      // the rest of this step is not sent
//     free_actions(queue);                // whatever is left (nothing after a full run)
//
// Ownership: the chain owns every record in it and the worker owns the chain, from create_action_queue
// to the last run_next_action or free_actions. No record owns the image bytes it points at.
//
// Running out of memory never turns into a null dereference and never into a step that silently does
// less: a record that cannot be allocated is replaced by a shared stand-in at the tail of the chain,
// which nothing can be appended behind and which, when its turn comes, fails with "out of memory"
// without sending anything. Actions queued before it still run in order.
#pragma once

#include "usb/usb_device.h"

#include <cstddef>
#include <cstdint>

// Kinds of action. No other kind is ever queued.
inline constexpr uint32_t ACTION_UNSET = 0;    // created, not filled yet
inline constexpr uint32_t ACTION_DOWNLOAD = 1; // a download of `data` and `size`
inline constexpr uint32_t ACTION_COMMAND = 2;  // a command without data phase, its text in `command`

// Room for a command text: at most 63 characters and the terminator.
inline constexpr size_t ACTION_COMMAND_SIZE = 64;

struct FastbootAction;

// Called once after `action` has run, with its status (0 for success) and a NUL-terminated text (empty
// on success, the failure's description otherwise). Its result is what run_next_action returns.
using ActionCompletion = int32_t (*)(FastbootAction *action, int32_t status, const char *text);

// One queued action, a plain record created with every field zero.
struct FastbootAction {
    uint32_t kind;                     // ACTION_*
    FastbootAction *next;              // owned: the rest of the chain, null at the tail
    char command[ACTION_COMMAND_SIZE]; // the whole command of an ACTION_COMMAND; empty for a download
    const uint8_t *data;               // a download's first byte, inside the payload; null for a command
    uint32_t size;                     // a download's byte count; 0 for a command
    ActionCompletion on_complete;      // report_action_result for every action built here
    bool command_cut;                  // the text did not fit in `command` (left empty): running the
                                       // action fails with "command too large" and sends nothing
};

// The worker's pointer to the head record of its chain; null once every action has run.
using ActionQueue = FastbootAction *;

// A new queue: one zeroed record (ACTION_UNSET) that the first append fills in place. Never null:
// when no record can be allocated, the queue is the out-of-memory stand-in, and running it fails.
// Release it with free_actions, or by running it to its end.
ActionQueue create_action_queue();

// Formats the command text printf-style and returns the action that now holds it, with `kind` set and
// report_action_result as its completion. A head still ACTION_UNSET is filled in place (its data, size
// and next untouched); otherwise a new zeroed record is linked at the tail and filled. Returns null,
// doing nothing, for a null head or a chain that already ends in the out-of-memory stand-in; and when
// the new record cannot be allocated, after putting the stand-in at the tail.
//
// A text that does not fit ACTION_COMMAND_SIZE is not cut short (a shortened command could name
// another partition): the action gets an empty text, which the exchange refuses to send.
FastbootAction *append_action(FastbootAction *head, uint32_t kind, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Appends the pair that writes one image: the download of `size` bytes at `data`, then "flash:%s".
void queue_flash(FastbootAction *head, const char *partition, const void *data, uint32_t size);

// Appends "erase:%s".
void queue_erase(FastbootAction *head, const char *partition);

// Appends `command`, character for character, as a command without data phase.
void queue_command(FastbootAction *head, const char *command);

// Runs the head action of *queue through the exchange (send_download or send_command with
// `progress_tag`), calls its completion with the status and, on failure, the text of ErrorText,
// releases it and makes the next action the head, also after a failure. Returns the completion's
// result: 0 on success, -1 on failure with report_action_result. Worker thread; blocks for the whole
// exchange. An empty queue runs nothing and returns -1; an action of no known kind is not sent and
// fails as "unknown action".
int32_t run_next_action(ActionQueue *queue, UsbDeviceHandle *handle, uint32_t progress_tag);

// The completion of every action: writes "OKAY\n", or "FAILED (%s)\n" with `text`, to standard error,
// the stream that also carries the phone's INFO lines (each after the thread's diagnostic_prefix), and
// returns `status`.
int32_t report_action_result(FastbootAction *action, int32_t status, const char *text);

// The text of the last FAILED line written on the calling thread, "" when none: the reason a worker
// records for its phone.
const char *last_action_failure();

// Releases every record from `head` to the tail; null does nothing. Image bytes are not touched.
void free_actions(FastbootAction *head);

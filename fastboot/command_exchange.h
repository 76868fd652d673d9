// The fastboot command exchange: one command to the phone, its data phase when it has one, and the
// phone's status replies read and classified until the one that ends the step.
//
// Everything here runs on the flash worker thread, one exchange at a time, and reaches the phone only
// through bulk_write and bulk_read. Every failure is put into words in ErrorText and reported as -1.
// An exchange allocates nothing on the heap on its way to success: the command and each reply live in
// fixed buffers and the data phase goes out straight from the caller's bytes.
#pragma once

#include "usb/usb_device.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

// Longest command the phone takes, sent without a terminator.
inline constexpr size_t FASTBOOT_COMMAND_MAX = 64;
// Largest status reply: a 4-byte prefix ("INFO", "OKAY", "FAIL", "DATA") and up to 60 bytes of text.
inline constexpr size_t FASTBOOT_REPLY_MAX = 64;
inline constexpr size_t FASTBOOT_STATUS_PREFIX = 4;
// Room a `response` buffer needs: the longest reply text and its terminator.
inline constexpr size_t FASTBOOT_RESPONSE_SIZE = FASTBOOT_REPLY_MAX - FASTBOOT_STATUS_PREFIX + 1;
inline constexpr size_t ERROR_TEXT_SIZE = 128;

// The failure of a command longer than FASTBOOT_COMMAND_MAX, which is never sent; the action queue
// reports a command too long for its record with the same text.
inline constexpr char COMMAND_TOO_LARGE_TEXT[] = "command too large";

// The description of the most recent failed exchange, NUL-terminated 8-bit text, empty at start. Each
// failure overwrites it; success leaves it alone, so it always tells the last thing that went wrong.
// One per thread: every worker has its own, so that phones flashed at the same time never describe each
// other's failures. Written only by the functions below and read on the same thread through
// get_error_text.
extern thread_local char ErrorText[ERROR_TEXT_SIZE];

// The calling thread's ErrorText.
const char *get_error_text();

// Makes every data phase that the calling thread completes from now on (the phone's final OKAY read) add
// the size the phone asked for to *counter; null stops the counting. The counter is the worker's record of
// what the phone accepted, which another thread may read while the worker runs. Worker thread.
void count_accepted_bytes(std::atomic<uint64_t> *counter);

// Puts `prefix` (kept by the caller until it is replaced) before every line that the calling thread's
// exchanges and actions write to standard error: the phone's INFO lines and the OKAY and FAILED lines.
// Empty or null: no prefix, as in the one-phone flasher. Where several phones are flashed at once, the
// prefix tells whose line it is. Worker thread.
void set_diagnostic_prefix(const char *prefix);

// The calling thread's prefix ("" when none).
const char *diagnostic_prefix();

// Sends `command` (NUL-terminated, at most FASTBOOT_COMMAND_MAX bytes) and waits for the status that
// ends it. Worker thread; blocks for as long as the phone takes to answer.
//
// With `data` null the command has no data phase: returns 0 on OKAY, and when `response` is given
// (FASTBOOT_RESPONSE_SIZE bytes) it receives the OKAY's text; it is made empty first, whatever happens.
// With `data`, the phone names in a DATA reply how many bytes it takes (at most `size`; an OKAY instead
// counts as 0); exactly that many of `data` go out, `progress_tag` riding along with every progress
// report, and after the final OKAY the count is returned. -1 on any failure, described in ErrorText.
int32_t send_command(UsbDeviceHandle *handle, uint32_t progress_tag, const char *command, const void *data,
                     uint32_t size, char *response);

// A command without data phase whose reply text nobody needs: the action queue's plain commands.
int32_t send_command(UsbDeviceHandle *handle, uint32_t progress_tag, const char *command);

// Reads replies until one ends the step, echoing every INFO reply whole on standard error as "%s\n".
// Returns 0 for OKAY (its text copied into `response` when given), the announced size of a DATA reply
// when `expect_data` is set and the size is at most `bound`, and -1 otherwise, described in ErrorText.
int32_t read_status(UsbDeviceHandle *handle, uint32_t bound, bool expect_data, char *response);

// Downloads `size` bytes of `data` to the phone: "download:%08x" with `size` in eight lower-case hex
// digits, then the data phase. 0 on success, -1 on failure, described in ErrorText.
int32_t send_download(UsbDeviceHandle *handle, uint32_t progress_tag, const void *data, uint32_t size);

// The size in a DATA reply's text, read the way a C library strtoul with base 16 reads it where
// unsigned long is 32 bits: leading white space, an optional sign and "0x" prefix, hex digits up to
// the first other character; no digits give 0, a value beyond 32 bits gives 0xFFFFFFFF, and a minus
// sign negates the value modulo 2^32. Reads at most up to the text's terminator.
uint32_t parse_data_size(const char *text);

// Bulk transfer: moving bytes over the two endpoints of an open UsbDeviceHandle, for the fastboot
// command exchange. bulk_write sends a command or a data phase and, during a data phase, reports its
// progress to the main window; bulk_read takes one status reply.
//
// Both run on the worker thread only. Both leave the calling thread's C runtime error number equal to
// the last-error value after every driver call, whatever the outcome, so that the caller can describe
// a failure. Neither ever closes or frees the handle, even after a failure: the window thread owns it.
#pragma once

#include "usb/usb_device.h"

#include <cstdint>

// Most bytes handed to the driver in one call.
inline constexpr uint32_t BULK_CHUNK_LIMIT = 4096;

// Time-out of every driver call of a transfer of `length` bytes: 8 ms per byte plus 500 ms (64 bytes:
// 1012 ms; 10,000 bytes: 80,500 ms). Where that no longer fits in 32 bits (above 536,870,849 bytes) it
// is the largest value, not a wrapped-around short one. A negative length counts as 0.
uint32_t transfer_timeout_ms(int32_t length);

// Writes `length` bytes of `data` to the write endpoint, in chunks of at most BULK_CHUNK_LIMIT, each
// with the time-out of the whole transfer, straight from the caller's memory; a short write goes on
// where the driver stopped. Returns `length` once every byte is written, otherwise -1: a null or
// released handle (last-error OS_ERROR_INVALID_HANDLE, error number untouched), a length of 0 or less
// (no driver call), a failed driver call (its error), or a driver claiming to have written nothing or
// more than it was given (OS_ERROR_DEVICE_FAULT). Bytes already written stay written.
//
// With `is_command` zero (a data phase), each time the bytes written since the last report have grown
// past g_ImageTable.ProgressSlice, sends WM_DOWNLOAD_PROGRESS synchronously to the main window, wParam
// `progress_tag`, lParam that count, and starts counting again; the chunk that triggers a report is
// counted in none, and what is left at the end is reported nowhere. Commands never report.
int32_t bulk_write(UsbDeviceHandle *handle, uint32_t progress_tag, const void *data, int32_t length,
                   int is_command);

// Reads one transfer of at most `length` bytes (and at most BULK_CHUNK_LIMIT) from the read endpoint
// into `buffer` and returns how many arrived, possibly 0; a short reply is not topped up. A read that
// times out (OS_ERROR_TIMEOUT) is repeated, without limit, for as long as the device stays silent; a
// device that goes away ends it with another code. Returns -1 for a null or released handle (last-
// error OS_ERROR_INVALID_HANDLE, error number untouched), a negative length or null buffer
// (OS_ERROR_INVALID_PARAMETER, no driver call), any other driver error, or a driver claiming more bytes
// than were asked for (OS_ERROR_DEVICE_FAULT).
int32_t bulk_read(UsbDeviceHandle *handle, void *buffer, int32_t length);

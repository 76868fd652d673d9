// The process-wide state of the application that the window thread and the download worker share, and
// the seams through which tests run many start-ups in one process.
#pragma once

#include "app/held_device.h"

#include <atomic>
#include <cstdint>

struct UsbDeviceHandle;

// What the main window shows (lParam of WM_DOWNLOAD_STATE). Any other value is shown as STATE_NO_DEVICE.
enum DownloadState : int32_t {
    STATE_NO_DEVICE = 0,
    STATE_READY = 1,
    STATE_DOWNLOADING = 2,
    STATE_SUCCEEDED = 3,
    STATE_FAILED = 4,
};

// The device the window holds, or null. Only the window thread sets it and lets go of it; the worker is
// handed it when a download starts.
extern std::atomic<UsbDeviceHandle *> HeldDevice;

// 1 while a worker runs: set by the window thread before the worker starts, cleared by the worker as its
// very last act, after the outcome has been shown and after its last use of anything the window owns.
extern std::atomic<int32_t> DownloadRunning;

// 1 when the poll may scan for a new device; 0 while a device found by a scan is held.
extern std::atomic<int32_t> AwaitingDevice;

// --- What the window leaves to a running worker.
//
// "Exit" during a download ends the dialog without waiting for the worker, which may be blocked on a
// silent device for ever. What the worker still reads (the file buffer, the loaded driver library and
// the driver table) is not freed under it: it is handed over here, and the operating system reclaims it
// when the process ends.

void leave_file_buffer_to_worker(const uint8_t *buffer);
void leave_driver_library_to_worker(void *library);

// --- Seams for tests.

struct AppSeams {
    // Ends the process at once with `exit_code`: after a start-up failure, once its message box is
    // closed; and when the application ends while a worker still runs. In the product it flushes the
    // standard streams and ends through os_end_process: no static destructor, library finalizer or
    // library detach code runs, which would free what such a worker still uses or wait for a lock it
    // holds. When it returns (a test that records the code instead), start-up ends the dialog with
    // IDABORT, whose destruction gives back what the start-up took, and the application returns as
    // usual.
    void (*end_process)(int exit_code);

    // Period of the device poll in milliseconds: 500 in the product.
    uint32_t poll_period_ms;
};

extern AppSeams g_AppSeams;

// The values of g_AppSeams in the product.
const AppSeams &app_product_seams();

// Puts the process-wide state back to how a process starts: waits up to `timeout_ms` for a worker that
// still runs (a test ends it, for example, by unplugging the phone), then frees what was left to it,
// closes a held device, and empties g_ImageTable and g_DriverApi and the marks. Returns false, and frees
// nothing, when the worker has not ended in time. Tests only, with no window left.
bool reset_app_state(int timeout_ms);

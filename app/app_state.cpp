#include "app/app_state.h"

#include "app/download_dlg.h"
#include "app/driver_library.h"
#include "framework/win_app.h"
#include "os/os_api.h"
#include "package/image_table.h"
#include "usb/driver_api.h"
#include "usb/usb_device.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

std::atomic<UsbDeviceHandle *> HeldDevice{nullptr};
std::atomic<int32_t> DownloadRunning{0};
std::atomic<int32_t> AwaitingDevice{1};

namespace {

// The device lent to the current (or last) worker. Written by the window thread before the worker
// starts; the start of the thread publishes it to the worker.
UsbDeviceHandle *g_LentDevice = nullptr;

// Who still uses g_LentDevice. Each party clears its bit once; the one that clears the last bit closes
// the device. The atomic read-modify-write makes "last" unambiguous even when both finish at once.
constexpr unsigned WINDOW_USES = 1;
constexpr unsigned WORKER_USES = 2;
std::atomic<unsigned> g_LentUsers{0};

// Left behind by a window that ended while its worker ran.
struct LeftToWorker {
    const uint8_t *file_buffer;
    void *driver_library;
    CDownloadDlg *window;
};
LeftToWorker g_Left = {};

void end_process(int exit_code) {
    std::fflush(nullptr);
    std::_Exit(exit_code);
}

constexpr AppSeams PRODUCT_SEAMS = {end_process, 500};

} // namespace

AppSeams g_AppSeams = PRODUCT_SEAMS;

const AppSeams &app_product_seams() {
    return PRODUCT_SEAMS;
}

void lend_device_to_worker(UsbDeviceHandle *device) {
    g_LentDevice = device;
    g_LentUsers.store(WINDOW_USES | WORKER_USES, std::memory_order_release);
}

void worker_never_started() {
    g_LentUsers.fetch_and(~WORKER_USES, std::memory_order_acq_rel);
}

void worker_done_with_device() {
    UsbDeviceHandle *device = g_LentDevice;
    if (g_LentUsers.fetch_and(~WORKER_USES, std::memory_order_acq_rel) == WORKER_USES)
        free_device(device);
}

void release_held_device() {
    UsbDeviceHandle *device = HeldDevice.exchange(nullptr, std::memory_order_acq_rel);
    if (device == nullptr)
        return;
    if (device == g_LentDevice && (g_LentUsers.load(std::memory_order_acquire) & WINDOW_USES) != 0) {
        if (g_LentUsers.fetch_and(~WINDOW_USES, std::memory_order_acq_rel) == WINDOW_USES)
            free_device(device);
        return;
    }
    free_device(device);
}

void leave_file_buffer_to_worker(const uint8_t *buffer) {
    g_Left.file_buffer = buffer;
}

void leave_driver_library_to_worker(void *library) {
    g_Left.driver_library = library;
}

void leave_window_to_worker(CDownloadDlg *window) {
    g_Left.window = window;
}

bool reset_app_state(int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (DownloadRunning.load(std::memory_order_acquire) != 0) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // The worker has ended: whatever it was lent or left is free to go, in the order the window would
    // have released it (device, then buffer, then library).
    release_held_device();
    g_LentUsers.store(0);
    g_LentDevice = nullptr;
    if (CWinApp *app = AfxGetApp(); app != nullptr && app->m_pMainWnd.load() == g_Left.window)
        app->m_pMainWnd = nullptr;
    delete g_Left.window;
    free_file_buffer(g_Left.file_buffer);
    free_file_buffer(g_ImageTable.FileBuffer);
    g_ImageTable = ImageTable{};
    g_DriverApi = DriverApi{};
    if (g_Left.driver_library != nullptr)
        g_OsApi.library_unload(g_Left.driver_library);
    g_Left = LeftToWorker{};
    forget_driver_library_directory();
    AwaitingDevice.store(1);
    return true;
}

#include "app/app_state.h"

#include "app/driver_library.h"
#include "os/os_api.h"
#include "package/image_table.h"
#include "usb/driver_api.h"
#include "usb/usb_device.h"

#include <chrono>
#include <cstdio>
#include <thread>

std::atomic<UsbDeviceHandle *> HeldDevice{nullptr};
std::atomic<int32_t> DownloadRunning{0};
std::atomic<int32_t> AwaitingDevice{1};

namespace {

// Left behind by a window that ended while its worker ran.
struct LeftToWorker {
    const uint8_t *file_buffer;
    void *driver_library;
};
LeftToWorker g_Left = {};

void end_process(int exit_code) {
    std::fflush(nullptr);
    os_end_process(exit_code);
}

constexpr AppSeams PRODUCT_SEAMS = {end_process, 500};

} // namespace

AppSeams g_AppSeams = PRODUCT_SEAMS;

const AppSeams &app_product_seams() {
    return PRODUCT_SEAMS;
}

void leave_file_buffer_to_worker(const uint8_t *buffer) {
    g_Left.file_buffer = buffer;
}

void leave_driver_library_to_worker(void *library) {
    g_Left.driver_library = library;
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
    forget_loan(flasher_loan());
    free_file_buffer(g_Left.file_buffer);
    free_file_buffer(g_ImageTable.FileBuffer);
    g_ImageTable = ImageTable{};
    unload_driver_library(g_Left.driver_library);
    g_Left = LeftToWorker{};
    forget_driver_library_directory();
    AwaitingDevice.store(1);
    return true;
}

#include "app/held_device.h"

#include "app/app_state.h"
#include "usb/usb_device.h"

#include <atomic>

namespace {

// The device lent to the current (or last) worker. Written by the window thread before the worker
// starts; the start of the thread publishes it to the worker.
UsbDeviceHandle *g_LentDevice = nullptr;

// Who still uses g_LentDevice. Each party clears its bit once; the one that clears the last bit closes
// the device. The atomic read-modify-write makes "last" unambiguous even when both finish at once.
constexpr unsigned WINDOW_USES = 1;
constexpr unsigned WORKER_USES = 2;
std::atomic<unsigned> g_LentUsers{0};

} // namespace

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

void forget_lent_device() {
    g_LentUsers.store(0);
    g_LentDevice = nullptr;
}

#include "app/held_device.h"

#include "app/app_state.h"
#include "usb/usb_device.h"

namespace {

// Each party clears its bit once; the one that clears the last bit closes the device. The atomic
// read-modify-write makes "last" unambiguous even when both finish at once.
constexpr unsigned WINDOW_USES = 1;
constexpr unsigned WORKER_USES = 2;

DeviceLoan g_FlasherLoan;

} // namespace

void lend_device(DeviceLoan &loan, UsbDeviceHandle *device) {
    // The start of the worker's thread publishes the device to it.
    loan.device = device;
    loan.users.store(WINDOW_USES | WORKER_USES, std::memory_order_release);
}

void loan_never_started(DeviceLoan &loan) {
    loan.users.fetch_and(~WORKER_USES, std::memory_order_acq_rel);
}

void return_lent_device(DeviceLoan &loan) {
    UsbDeviceHandle *device = loan.device;
    if (loan.users.fetch_and(~WORKER_USES, std::memory_order_acq_rel) == WORKER_USES)
        free_device(device);
}

void let_go_of_device(DeviceLoan &loan, UsbDeviceHandle *device) {
    if (device == nullptr)
        return;
    if (device == loan.device && (loan.users.load(std::memory_order_acquire) & WINDOW_USES) != 0) {
        if (loan.users.fetch_and(~WINDOW_USES, std::memory_order_acq_rel) == WINDOW_USES)
            free_device(device);
        return;
    }
    free_device(device);
}

void forget_loan(DeviceLoan &loan) {
    loan.users.store(0);
    loan.device = nullptr;
}

DeviceLoan &flasher_loan() {
    return g_FlasherLoan;
}

void release_held_device() {
    let_go_of_device(g_FlasherLoan, HeldDevice.exchange(nullptr, std::memory_order_acq_rel));
}

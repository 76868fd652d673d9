// A device a window holds and lends to a download worker, and how the two let go of it.
#pragma once

#include <atomic>

struct UsbDeviceHandle;

// A download's device is used by two parties: the window, which holds it and may let go of it at any
// time (Exit, or the device no longer answering), and the worker, which uses it until it ends. The
// handle and its driver handles stay open until both are done with it, and are closed exactly once, by
// whichever is done last. One loan per worker: the one-phone flasher has one, the station one per row.
struct DeviceLoan {
    UsbDeviceHandle *device = nullptr; // written by the window before the worker starts
    std::atomic<unsigned> users{0};    // who still uses it (the window, the worker), one bit each
};

// The worker is about to start with `device`. Window thread, just before the start.
void lend_device(DeviceLoan &loan, UsbDeviceHandle *device);

// The worker could not be started after all: the window alone holds the device again. Window thread.
void loan_never_started(DeviceLoan &loan);

// The worker is done with the device it was lent: closes it if the window has let go of it meanwhile.
// Worker thread, after its last use of the device.
void return_lent_device(DeviceLoan &loan);

// The window lets go of `device`, which it held: closes it now, or leaves that to the worker when it is
// the device of `loan` and the worker still uses it. Nothing for null. Window thread.
void let_go_of_device(DeviceLoan &loan, UsbDeviceHandle *device);

// Forgets the lending once both parties are done (tests, between start-ups in one process).
void forget_loan(DeviceLoan &loan);

// --- The one-phone flasher's loan, of HeldDevice (app/app_state.h).

// The flasher's loan.
DeviceLoan &flasher_loan();

// The window lets go of HeldDevice (sets it to null): let_go_of_device with the flasher's loan.
void release_held_device();

// The device the window holds and lends to the download worker, and how the two let go of it.
#pragma once

struct UsbDeviceHandle;

// A download's device is used by two parties: the window, which holds it and may let go of it at any
// time (Exit, or the device no longer answering), and the worker, which uses it until it ends. The
// handle and its driver handles stay open until both are done with it, and are closed exactly once, by
// whichever is done last.

// The worker is about to start with `device` (HeldDevice). Window thread, just before the start.
void lend_device_to_worker(UsbDeviceHandle *device);

// The worker could not be started after all: the window alone holds the device again. Window thread.
void worker_never_started();

// The worker is done with the device it was lent: closes it if the window has let go of it meanwhile.
// Worker thread, after its last use of the device.
void worker_done_with_device();

// The window lets go of HeldDevice (sets it to null): closes it now, or leaves that to the worker when
// the worker still uses it. Nothing happens when no device is held. Window thread.
void release_held_device();

// Forgets the lending once both parties are done (tests, between start-ups in one process).
void forget_lent_device();

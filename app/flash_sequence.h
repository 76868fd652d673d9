// The download worker: one complete flash of the held device, on a thread of its own.
#pragma once

// The worker's thread procedure; `device` is the UsbDeviceHandle the window holds (and has lent to the
// worker). Writes every image the package carries to its partition in the fixed order, erases userdata
// and cache when the window's "UserData" was ticked, and reboots the phone; stops at the first failure.
// Tells the window STATE_DOWNLOADING first and STATE_SUCCEEDED or STATE_FAILED at the end (each sent
// synchronously), then gives the device back and clears DownloadRunning as its last act.
void FlashSequence(void *device);

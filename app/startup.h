// The flasher's start-up after its window has set itself up: the payload read and verified from the
// program's own file, the device list checked, the driver library written out, loaded and bound.
#pragma once

#include "os/os_api.h"

// Runs the steps in that order, stopping at the first that fails. Returns null when every step
// succeeded, with the loaded library in *library (g_ImageTable and g_DriverApi filled); otherwise the
// text of the message box to show, with *library null and nothing left loaded (a library file already
// written stays for the caller to discard). The reason a library did not load goes to standard error.
// Window thread, once, before the poll starts.
const char *start_up_flasher(OsLibrary *library);

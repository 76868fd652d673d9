// The main window's status line with its percentage, as one line of text: what the console flasher
// prints at every change, and what the demos report.
#pragma once

#include "framework/operator.h"

#include <string>

// "Ready 0%", "Downloading... 42%", "Download successfully! 100%"; "No device" for the empty status.
// Reads the window through `op`, so it may be called from any thread but the window's.
std::string status_line(Operator &op);

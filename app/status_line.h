// What the console programs print and the demos report, as lines of text: the one-phone window's status
// line with its percentage, and a station row's line.
#pragma once

#include "framework/operator.h"

#include <string>

// "Ready 0%", "Downloading... 42%", "Download successfully! 100%"; "No device" for the empty status.
// Reads the window through `op`, so it may be called from any thread but the window's.
std::string status_line(Operator &op);

// Row `row` of the station's window, prefixed with the row's name (where the phone is plugged) and its
// serial number in brackets when it has one: "usb:1-4.2:1 [A1B2C3]: Downloading... 42%",
// "usb:1-4.2:1 [A1B2C3]: Download failed! (remote: boot is locked)", "usb:1-4.2:1: No device". Empty for
// a row never used. Any thread but the window's.
std::string station_row_line(Operator &op, int row);

// The station's counters: "Succeeded 6, failed 2".
std::string station_counters_line(Operator &op);

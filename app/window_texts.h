// What the main window and its start-up say, defined once: the window sets these texts, and the tests,
// the demos and the console flasher recognise its states by them.
#pragma once

#include <string>

// The status line of each state (STATE_NO_DEVICE shows the empty text).
inline constexpr char STATUS_READY_TEXT[] = "Ready";
inline constexpr char STATUS_DOWNLOADING_TEXT[] = "Downloading...";
inline constexpr char STATUS_SUCCEEDED_TEXT[] = "Download successfully!";
inline constexpr char STATUS_FAILED_TEXT[] = "Download failed!";

// The port caption, which never shows a port number, and the software caption.
inline constexpr char PORT_CAPTION_TEXT[] = "USB PORT";
inline constexpr char SOFTWARE_CAPTION_TEXT[] = "Software";

// The message boxes of a failed start-up, beside the locator's two (package/image_table.h:
// IMAGE_OPEN_FAILED_TEXT "Open image failed", IMAGE_DESTROYED_TEXT "This file has been destroyed!").
inline constexpr char STARTUP_DEVICE_LIST_TEXT[] = "Init device list failed!";
inline constexpr char STARTUP_DEPLOY_TEXT[] = "AdbWinApi.dll not find";
inline constexpr char STARTUP_LOAD_TEXT[] = "Load AdbWinApi.dll failed";

// --- The station's window.

// The status of a row whose phone the device list does not name (started by hand only).
inline constexpr char STATUS_NOT_LISTED_TEXT[] = "Not in the device list";

// The message box of a station whose watcher thread cannot be started (a start-up failure).
inline constexpr char STATION_NO_WATCHER_TEXT[] = "Cannot watch the USB ports for phones";

// The question "Exit" asks while `running` phones download.
inline std::string station_exit_question(int running) {
    const bool one = running == 1;
    return std::to_string(running) + (one ? " phone is" : " phones are") +
           " still downloading. Exit anyway? " + (one ? "It" : "They") +
           " will not be finished: the record marks " + (one ? "it" : "them") + " aborted, and " +
           (one ? "it" : "they") + " must be flashed again.";
}

// The message box of a record that cannot be written, with the system's reason.
inline std::string station_record_failed_text(const std::string &why) {
    return "No phone can be started: the record of the units cannot be written (" + why +
           "). Phones already downloading finish. Close the station, make the record writable and start it "
           "again.";
}

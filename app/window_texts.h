// What the main window and its start-up say, defined once: the window sets these texts, and the tests,
// the demos and the console flasher recognise its states by them.
#pragma once

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

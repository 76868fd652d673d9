// The operator's part of one flash, as the demos play it, written once over the operator interface
// (framework/operator.h): the headless demo drives the window in its own process with it, the Windows
// demo's operator drives the real window of another process.
#pragma once

#include "app/status_line.h"
#include "framework/operator.h"

#include <functional>
#include <string>

enum class FlashOutcome {
    START_FAILED, // a start-up message box was shown (and answered)
    NO_WINDOW,    // neither window nor message box appeared
    NO_PHONE,     // the window never showed "Ready"
    NOT_STARTED,  // "Start" could not be pressed
    SUCCEEDED,    // "Download successfully!"
    FAILED,       // "Download failed!"
    PHONE_GONE,   // the window lost the phone without showing an outcome
    TIMED_OUT,    // no outcome within the time allowed
};

struct FlashPlay {
    bool userdata = false; // tick "UserData" before "Start"
    int start_ms = 60 * 1000;
    int device_ms = 60 * 1000;
    int download_ms = 30 * 60 * 1000;
    // Where the operator says what it sees and does, one line at a time.
    std::function<void(const std::string &line)> say;
    // Takes a picture of the window at a moment: "ready", "succeeded", "outcome". May be empty.
    std::function<void(const char *moment)> screenshot;
    // Called at every look at the window while waiting (the headless demo prints the phone's log from
    // it). May be empty.
    std::function<void()> follow;
};

// Waits for the main window, or for the message box of a failed start-up (answered with OK); waits for
// the phone; ticks "UserData" when asked; presses "Start"; reports the status line and the percentage in
// steps of five as they change; and returns as soon as the outcome shows, leaving the window open.
FlashOutcome play_flash(Operator &op, const FlashPlay &play);

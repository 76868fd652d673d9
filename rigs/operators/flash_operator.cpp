#include "rigs/operators/flash_operator.h"

#include "app/window_texts.h"
#include "framework/messages.h"
#include "framework/styles.h"
#include "res/resource.h"

#include <cstdlib>

namespace {

void say(const FlashPlay &play, const std::string &line) {
    if (play.say)
        play.say(line);
}

void screenshot(const FlashPlay &play, const char *moment) {
    if (play.screenshot)
        play.screenshot(moment);
}

// Waits until `done` holds, calling the play's follower at every look.
template <typename Done>
bool wait_following(Operator &op, const FlashPlay &play, int timeout_ms, Done done) {
    return op.wait_until(
        [&] {
            if (play.follow)
                play.follow();
            return done();
        },
        timeout_ms);
}

} // namespace

FlashOutcome play_flash(Operator &op, const FlashPlay &play) {
    // A failed start-up shows its message box before any window; its caption may be "Tarnex" too.
    OperatorMessageBox box;
    bool window = false, failed = false;
    op.wait_until(
        [&] {
            failed = op.wait_message_box(&box, 0);
            window = !failed && op.wait_window(IDD_TARNEX_DIALOG, 0);
            return failed || window;
        },
        play.start_ms);
    if (failed) {
        say(play, "the flasher failed to start: [" + box.caption + "] " + box.text);
        op.answer_message_box(IDOK);
        return FlashOutcome::START_FAILED;
    }
    if (!window) {
        say(play, "the flasher showed no window");
        return FlashOutcome::NO_WINDOW;
    }

    say(play, "the window \"" + op.caption() + "\" is up; waiting for the phone");
    if (!wait_following(op, play, play.device_ms, [&] { return op.text(IDC_STATUS) == STATUS_READY_TEXT; })) {
        say(play, "no phone was found");
        return FlashOutcome::NO_PHONE;
    }
    say(play, "status \"Ready\": a phone in fastboot mode is connected");
    if (play.userdata) {
        op.click(IDC_USERDATA);
        op.wait_until([&] { return op.check(IDC_USERDATA) == BST_CHECKED; }, play.device_ms);
        say(play, "ticked \"UserData\"");
    }
    screenshot(play, "ready");
    if (!op.click(IDOK)) {
        say(play, "\"Start\" cannot be pressed");
        return FlashOutcome::NOT_STARTED;
    }
    say(play, "pressed \"Start\"");

    std::string status = STATUS_READY_TEXT;
    int step = 0;
    std::string outcome;
    const bool ended = wait_following(op, play, play.download_ms, [&] {
        const std::string now = op.text(IDC_STATUS);
        const std::string percent = op.text(IDC_PERCENT_CAPTION);
        if (now != status)
            say(play, now.empty() ? "the phone is gone" : "status \"" + now + "\"");
        // Every state change, and the percentage in steps of five: every percent would flood the log.
        const int now_step = percent.empty() ? step : std::atoi(percent.c_str()) / 5;
        if (now_step != step)
            say(play, "progress " + percent);
        status = now;
        step = now_step;
        if (status == STATUS_SUCCEEDED_TEXT || status == STATUS_FAILED_TEXT || status.empty()) {
            outcome = status;
            return true;
        }
        return !op.window_exists();
    });
    screenshot(play, outcome == STATUS_SUCCEEDED_TEXT ? "succeeded" : "outcome");
    if (!ended)
        return FlashOutcome::TIMED_OUT;
    if (outcome == STATUS_SUCCEEDED_TEXT)
        return FlashOutcome::SUCCEEDED;
    if (outcome == STATUS_FAILED_TEXT)
        return FlashOutcome::FAILED;
    return FlashOutcome::PHONE_GONE;
}

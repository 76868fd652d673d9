// tarnex-operator FLASHER.exe [--userdata] [--screenshots DIR]
//
// Plays the operator of a flasher for the demo: starts it, waits for its window to find the phone,
// ticks "UserData" when asked, presses "Start", reports the status line and the percentage (in steps of
// five: every percent would flood the log) as they change, saves screenshots of the ready window and of the
// outcome (DIR is a Linux path; Wine only), presses "Exit" and waits for the flasher to end. The flasher
// inherits this program's environment and its standard output and error, so its protocol lines appear in
// between.
//
// Exits with 0 when the download succeeded and the flasher ended with code 0; 1 otherwise; 2 on a bad
// command line.
#include "res/resource.h"
#include "rigs/operators/flash_operator.h"
#include "rigs/remote/remote_operator.h"

#include <cstdio>
#include <string>

namespace {

void say(const std::string &line) {
    std::printf("operator: %s\n", line.c_str());
    std::fflush(stdout);
}

int run(const std::string &flasher, bool userdata, const std::string &screenshots) {
    remote::Process process;
    std::string error;
    if (!remote::launch("\"" + flasher + "\"", {}, nullptr, &process, &error)) {
        say(error);
        return 1;
    }
    RemoteOperator op(process.id);
    FlashPlay play;
    play.userdata = userdata;
    play.say = say;
    if (!screenshots.empty())
        play.screenshot = [&](const char *moment) {
            const std::string path = screenshots + "/" + moment + ".png";
            std::string reason;
            say(remote::screenshot(op.window(), path, &reason) ? "screenshot " + path
                                                               : "no screenshot: " + reason);
        };
    const FlashOutcome outcome = play_flash(op, play);

    DWORD code = 0;
    if (outcome == FlashOutcome::START_FAILED) {
        if (remote::wait_exit(process, 10000, &code))
            say("pressed \"OK\"; the flasher ended with code " + std::to_string(code));
        remote::end(&process);
        return 1;
    }
    if (outcome == FlashOutcome::NO_WINDOW || outcome == FlashOutcome::NO_PHONE ||
        outcome == FlashOutcome::NOT_STARTED) {
        remote::end(&process);
        return 1;
    }
    op.click(IDCANCEL);
    say("pressed \"Exit\"");
    if (!remote::wait_exit(process, 10000, &code)) {
        say("the flasher did not end");
        remote::end(&process);
        return 1;
    }
    remote::end(&process);
    say("the flasher ended with code " + std::to_string(code));
    return outcome == FlashOutcome::SUCCEEDED && code == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    std::string flasher, screenshots;
    bool userdata = false, usage = false;
    for (int i = 1; i < argc && !usage; ++i) {
        const std::string argument = argv[i];
        if (argument == "--userdata")
            userdata = true;
        else if (argument == "--screenshots" && i + 1 < argc)
            screenshots = argv[++i];
        else if (flasher.empty() && argument.rfind("--", 0) != 0)
            flasher = argument;
        else
            usage = true;
    }
    if (usage || flasher.empty()) {
        std::fprintf(stderr, "usage: tarnex-operator FLASHER.exe [--userdata] [--screenshots DIR]\n");
        return 2;
    }
    return run(flasher, userdata, screenshots);
}

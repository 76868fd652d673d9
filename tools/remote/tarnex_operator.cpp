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
#include "tools/remote/remote_control.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int START_MS = 60000;
constexpr int DEVICE_MS = 30000;
constexpr int DOWNLOAD_MS = 30 * 60 * 1000;

void say(const std::string &line) {
    std::printf("operator: %s\n", line.c_str());
    std::fflush(stdout);
}

void screenshot(HWND window, const std::string &folder, const char *name) {
    if (folder.empty())
        return;
    std::string error;
    const std::string path = folder + "/" + name + ".png";
    if (remote::screenshot(window, path, &error))
        say("screenshot " + path);
    else
        say("no screenshot: " + error);
}

int run(const std::string &flasher, bool userdata, const std::string &screenshots) {
    remote::Process process;
    std::string error;
    if (!remote::launch("\"" + flasher + "\"", {}, nullptr, &process, &error)) {
        say(error);
        return 1;
    }
    // The main window, or the message box of a failed start-up (looked for first: its caption is the
    // program's name, which may be "Tarnex" too).
    HWND window = nullptr, box = nullptr;
    remote::wait_until(
        [&] {
            box = remote::wait_message_box(process.id, 0, 0);
            window = box == nullptr ? remote::wait_dialog(process.id, "Tarnex", 0) : nullptr;
            return box != nullptr || window != nullptr;
        },
        START_MS);
    if (window == nullptr) {
        remote::MessageBoxContent content;
        DWORD code = 0;
        if (box != nullptr && remote::read_message_box(box, &content)) {
            say("the flasher failed to start: [" + content.caption + "] " + content.text);
            remote::click(box, IDOK);
            if (remote::wait_exit(process, 10000, &code))
                say("pressed \"OK\"; the flasher ended with code " + std::to_string(code));
        } else {
            say("the flasher showed no window");
        }
        remote::end(&process);
        return 1;
    }
    say("the window is up; waiting for the phone");
    if (!remote::wait_until([&] { return remote::item_text(window, IDC_STATUS) == "Ready"; }, DEVICE_MS)) {
        say("no phone was found");
        remote::end(&process);
        return 1;
    }
    say("status \"Ready\": a phone in fastboot mode is connected");
    if (userdata) {
        remote::click(window, IDC_USERDATA);
        remote::wait_until([&] { return remote::item_check(window, IDC_USERDATA) == BST_CHECKED; },
                           DEVICE_MS);
        say("ticked \"UserData\"");
    }
    screenshot(window, screenshots, "ready");
    if (!remote::click(window, IDOK)) {
        say("\"Start\" cannot be pressed");
        remote::end(&process);
        return 1;
    }
    say("pressed \"Start\"");

    // Reports what changes on screen, until the outcome is shown.
    std::string status = "Ready", outcome;
    int step = 0;
    remote::wait_until(
        [&] {
            const std::string now_status = remote::item_text(window, IDC_STATUS);
            const std::string now_percent = remote::item_text(window, IDC_PERCENT_CAPTION);
            if (now_status != status)
                say("status \"" + now_status + "\"");
            const int now_step = now_percent.empty() ? step : std::atoi(now_percent.c_str()) / 5;
            if (now_step != step)
                say("progress " + now_percent);
            status = now_status;
            step = now_step;
            if (status == "Download successfully!" || status == "Download failed!" || status.empty()) {
                outcome = status;
                return true;
            }
            return !IsWindow(window);
        },
        DOWNLOAD_MS);
    screenshot(window, screenshots, outcome == "Download successfully!" ? "succeeded" : "outcome");

    remote::click(window, IDCANCEL);
    say("pressed \"Exit\"");
    DWORD code = 0;
    if (!remote::wait_exit(process, 10000, &code)) {
        say("the flasher did not end");
        remote::end(&process);
        return 1;
    }
    remote::end(&process);
    say("the flasher ended with code " + std::to_string(code));
    return outcome == "Download successfully!" && code == 0 ? 0 : 1;
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

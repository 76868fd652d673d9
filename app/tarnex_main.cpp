// The flasher's program entry and its application object. They live here, outside the library that
// tests link, so that a test process can run many start-ups, each with an application object of its
// own.
//
// This is the build on the headless framework backend: a console program. It prints every change of the
// status line, shows message boxes as lines on standard error, and takes the operator's commands on
// standard input, one a line: "start", "userdata" (ticks or unticks the check box) and "exit" (also the
// end of the input).
#include "app/download_app.h"
#include "framework/headless/headless.h"
#include "res/resource.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

CDownloadApp theApp;

namespace {

void print_status_changes(WindowHandle window) {
    std::string shown;
    uint64_t seen = headless_generation();
    while (headless_state(window).exists) {
        std::string status = headless_state(headless_item(window, IDC_STATUS)).text;
        std::string percent = headless_state(headless_item(window, IDC_PERCENT_CAPTION)).text;
        std::string line = status.empty() ? "No device" : status + (percent.empty() ? "" : " " + percent);
        if (line != shown)
            std::printf("%s\n", line.c_str());
        shown = line;
        headless_wait_change(seen, 1000);
        seen = headless_generation();
    }
}

void console_operator() {
    WindowHandle window = headless_wait_dialog(IDD_TARNEX_DIALOG, 60 * 60 * 1000);
    if (window == nullptr)
        return;
    std::thread(print_status_changes, window).detach();
    std::string command;
    while (std::getline(std::cin, command) && command != "exit") {
        if (command == "start")
            headless_click(headless_item(window, IDOK));
        else if (command == "userdata")
            headless_click(headless_item(window, IDC_USERDATA));
        else
            std::fprintf(stderr, "commands: start, userdata, exit\n");
    }
    headless_system_command(window, SC_CLOSE);
}

} // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    headless_set_message_box_echo(true);
    std::thread(console_operator).detach();
    return AfxWinMain();
}

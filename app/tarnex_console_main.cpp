// The flasher's program entry and its application object. They live here, outside the library that
// tests link, so that a test process can run many start-ups, each with an application object of its
// own.
//
// This is tarnex-console, the flasher on the headless framework backend for stations without a display:
// a console program. It prints every change of the status line, shows message boxes as lines on standard
// error, and takes the operator's commands on standard input, one a line: "start", "userdata" (ticks or
// unticks the check box) and "exit" (also the end of the input).
#include "app/download_app.h"
#include "app/status_line.h"
#include "framework/headless/headless_operator.h"
#include "res/resource.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

CDownloadApp theApp;

namespace {

constexpr int HOUR_MS = 60 * 60 * 1000;

void print_status_changes(HeadlessOperator op) {
    std::string shown;
    while (op.window_exists()) {
        const std::string line = status_line(op);
        if (line != shown)
            std::printf("%s\n", line.c_str());
        shown = line;
        op.wait_until([&] { return !op.window_exists() || status_line(op) != shown; }, HOUR_MS);
    }
}

void console_operator() {
    HeadlessOperator op;
    if (!op.wait_window(IDD_TARNEX_DIALOG, HOUR_MS))
        return;
    std::thread(print_status_changes, op).detach();
    std::string command;
    while (std::getline(std::cin, command) && command != "exit") {
        if (command == "start")
            op.click(IDOK);
        else if (command == "userdata")
            op.click(IDC_USERDATA);
        else
            std::fprintf(stderr, "commands: start, userdata, exit\n");
    }
    op.system_command(SC_CLOSE);
}

} // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    headless_set_message_box_echo(true);
    std::thread(console_operator).detach();
    return AfxWinMain();
}

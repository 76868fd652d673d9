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

// The window sets a state one control after the other, the status line first: the line is read only
// once the window has handled the whole change ("Download successfully! 86%" would be no state at all).
void print_status_changes(HeadlessOperator op) {
    std::string shown;
    for (;;) {
        const uint64_t seen = headless_generation();
        bool exists = false;
        std::string line;
        const auto read = [&] {
            exists = op.window_exists();
            line = exists ? status_line(op) : "";
        };
        if (headless_read_settled(read, HOUR_MS)) {
            if (!exists)
                return;
            if (line != shown)
                std::printf("%s\n", line.c_str());
            shown = line;
        }
        headless_wait_change(seen, HOUR_MS);
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

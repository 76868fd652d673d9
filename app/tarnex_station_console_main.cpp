// The station's program entry for stations without a display: tarnex-station-console, the station on the
// headless framework backend, driven from the console. It prints the record file's path, then one line
// per change of a row (app/status_line.h: the row's name first) and of the counters; message boxes go to
// standard error as lines. Commands on standard input, one a line: "start" (every ready row), "start ROW"
// (ROW the row's number, 1 to 16, or its name), "userdata" and "auto" (tick or untick the check box),
// "exit" (also the end of the input; phones still downloading are recorded as aborted).
#include "app/station_app.h"
#include "app/status_line.h"
#include "framework/headless/headless_operator.h"
#include "res/resource.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

CStationApp theApp;

namespace {

constexpr int HOUR_MS = 60 * 60 * 1000;

struct Screen {
    std::vector<std::string> rows = std::vector<std::string>(STATION_ROW_COUNT);
    std::string counters;
    bool operator==(const Screen &) const = default;
};

Screen read_screen(HeadlessOperator &op) {
    Screen screen;
    for (int n = 0; n < STATION_ROW_COUNT; ++n)
        screen.rows[n] = station_row_line(op, n);
    screen.counters = station_counters_line(op);
    return screen;
}

// A row's state is set one control after the other: a screen is printed only when reading it again
// after the window has handled everything before (WM_NULL, sent) gives the same, so that no line shows
// half of a change.
void print_changes(HeadlessOperator op) {
    std::printf("Record: %s\n", op.text(IDC_RECORD_PATH).c_str());
    Screen shown;
    shown.counters = station_counters_line(op);
    while (op.window_exists()) {
        const uint64_t seen = headless_generation();
        Screen screen = read_screen(op);
        g_FrameworkBackend.send_message(op.window(), WM_NULL, 0, 0);
        if (screen == read_screen(op)) {
            for (int n = 0; n < STATION_ROW_COUNT; ++n)
                if (!screen.rows[n].empty() && screen.rows[n] != shown.rows[n])
                    std::printf("%s\n", screen.rows[n].c_str());
            if (screen.counters != shown.counters)
                std::printf("%s\n", screen.counters.c_str());
            shown = screen;
        }
        headless_wait_change(seen, HOUR_MS);
    }
}

// The row a "start ROW" names: its number (1 to 16) or its name; -1 for none.
int row_named(HeadlessOperator &op, const std::string &row) {
    for (int n = 0; n < STATION_ROW_COUNT; ++n)
        if (row == std::to_string(n + 1) || (!row.empty() && op.text(IDC_ROW_NAME + n) == row))
            return n;
    return -1;
}

void console_operator() {
    HeadlessOperator op;
    if (!op.wait_window(IDD_STATION_DIALOG, HOUR_MS))
        return;
    std::thread(print_changes, op).detach();
    std::string command;
    while (std::getline(std::cin, command) && command != "exit") {
        if (command == "start") {
            if (!op.click(IDOK))
                std::fprintf(stderr, "no phone is ready\n");
        } else if (command.rfind("start ", 0) == 0) {
            const std::string row = command.substr(6);
            const int n = row_named(op, row);
            if (n < 0)
                std::fprintf(stderr, "no row %s\n", row.c_str());
            else if (!op.click(IDC_ROW_START + n))
                std::fprintf(stderr, "%s cannot be started now\n", row.c_str());
        } else if (command == "userdata") {
            op.click(IDC_USERDATA);
        } else if (command == "auto") {
            op.click(IDC_AUTO_START);
        } else {
            std::fprintf(stderr, "commands: start, start ROW, userdata, auto, exit\n");
        }
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

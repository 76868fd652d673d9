// tarnex-station-operator STATION.exe PHONES [--screenshots DIR]
//
// Plays the operator of a station for the demo: starts it, waits until PHONES rows show their phone
// ready, presses "Start" (every ready row), reports each row's status as it changes (the percentage in
// steps of 25: every percent of eight phones would flood the log), saves screenshots of the ready rows,
// of the download under way and of the outcome (DIR is a Linux path; Wine only), presses "Exit" and waits
// for the station to end. The station inherits this program's environment and its standard streams.
//
// Exits with 0 when every phone succeeded and the station ended with code 0; 1 otherwise; 2 on a bad
// command line.
#include "app/status_line.h"
#include "app/window_texts.h"
#include "res/resource.h"
#include "rigs/remote/remote_operator.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int WAIT_MS = 120000;

void say(const std::string &line) {
    std::printf("operator: %s\n", line.c_str());
    std::fflush(stdout);
}

// A row's line with its percentage rounded down to a quarter, so that the log shows the steps.
std::string coarse(Operator &op, int row) {
    std::string line = station_row_line(op, row);
    const size_t percent = line.rfind('%');
    const size_t blank = line.rfind(' ', percent);
    if (percent == std::string::npos || blank == std::string::npos || percent != line.size() - 1)
        return line;
    const int value = std::atoi(line.substr(blank + 1).c_str());
    return line.substr(0, blank + 1) + std::to_string(value / 25 * 25) + "%";
}

int run(const std::string &station, int phones, const std::string &screenshots) {
    remote::Process process;
    std::string error;
    if (!remote::launch("\"" + station + "\"", {}, nullptr, &process, &error)) {
        say(error);
        return 1;
    }
    RemoteOperator op(process.id);
    auto shoot = [&](const char *moment) {
        if (screenshots.empty())
            return;
        const std::string path = screenshots + "/" + moment + ".png";
        std::string reason;
        say(remote::screenshot(op.window(), path, &reason) ? "screenshot " + path
                                                           : "no screenshot: " + reason);
    };
    auto count = [&](const char *status) {
        int n = 0;
        for (int row = 0; row < STATION_ROW_COUNT; ++row)
            n += op.text(IDC_ROW_STATUS + row) == status;
        return n;
    };
    if (!op.wait_window(IDD_STATION_DIALOG, WAIT_MS)) {
        say("no station window");
        remote::end(&process);
        return 1;
    }
    say("the station's window is open; its record: " + op.text(IDC_RECORD_PATH));
    if (!op.wait_until([&] { return count(STATUS_READY_TEXT) == phones; }, WAIT_MS)) {
        say("the phones did not all show up");
        remote::end(&process);
        return 1;
    }
    say(std::to_string(phones) + " phones ready");
    shoot("ready");
    op.click(IDOK);
    say("pressed \"Start\"");

    std::vector<std::string> shown(STATION_ROW_COUNT);
    bool shotDownloading = false;
    const std::string total = std::to_string(phones);
    op.wait_until(
        [&] {
            for (int row = 0; row < STATION_ROW_COUNT; ++row)
                if (const std::string line = coarse(op, row); !line.empty() && line != shown[row])
                    say(shown[row] = line);
            if (!shotDownloading && count(STATUS_DOWNLOADING_TEXT) == phones) {
                shotDownloading = true;
                shoot("downloading");
            }
            const int ended = std::atoi(op.text(IDC_SUCCEEDED_COUNT).c_str()) +
                              std::atoi(op.text(IDC_FAILED_COUNT).c_str());
            return ended == phones;
        },
        WAIT_MS);
    const std::string succeeded = op.text(IDC_SUCCEEDED_COUNT);
    say(station_counters_line(op));
    shoot("finished");
    op.click(IDCANCEL);
    say("pressed \"Exit\"");
    DWORD code = 0;
    const bool ended = remote::wait_exit(process, 10000, &code);
    remote::end(&process);
    if (!ended) {
        say("the station did not end");
        return 1;
    }
    say("the station ended with code " + std::to_string(code));
    return succeeded == total && code == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    std::string station, screenshots;
    int phones = 0;
    bool usage = argc < 3;
    for (int i = 1; i < argc && !usage; ++i) {
        const std::string argument = argv[i];
        if (argument == "--screenshots" && i + 1 < argc)
            screenshots = argv[++i];
        else if (station.empty())
            station = argument;
        else if (phones == 0)
            phones = std::atoi(argument.c_str());
        else
            usage = true;
    }
    if (usage || station.empty() || phones < 1 || phones > STATION_ROW_COUNT) {
        std::fprintf(stderr, "usage: tarnex-station-operator STATION.exe PHONES [--screenshots DIR]\n");
        return 2;
    }
    return run(station, phones, screenshots);
}

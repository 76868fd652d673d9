// tarnex-demo: the flasher on the headless window, with an operator of its own.
//
// Built as a base executable: append a package with tarnex-pack (the simulated phone as the driver
// library) and run the result. It starts the application from its own file exactly as the flasher does,
// and meanwhile plays the operator: waits for the phone, ticks "UserData", presses "Start", prints every
// state and percentage and the phone's protocol log as they happen, checks every flashed partition
// against the demo firmware byte for byte, and presses "Exit". Exit code 0 only when the phone holds
// exactly the firmware.
#include "app/download_app.h"
#include "app/driver_library.h"
#include "framework/headless/headless.h"
#include "package/image_table.h"
#include "res/resource.h"
#include "tests/support/sim_control.h"
#include "tools/demo_firmware.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

CDownloadApp theApp;

namespace {

constexpr int MINUTE_MS = 60 * 1000;

const char *const PARTITIONS[12] = {"qcsblhd", "qcsbl",      "oemsblhd", "oemsbl", "amsshd", "amss",
                                    "cefs",    "appsboothd", "appsboot", "boot",   "system", "recovery"};

class Operator {
public:
    int run() {
        if (!wait_for_window())
            return 1;
        std::string path;
        OsLibrary library =
            driver_library_path(&path) ? g_OsApi.library_load(path.c_str(), nullptr) : nullptr;
        if (library == nullptr || !m_sim.bind_control(library)) {
            std::printf("demo: the driver library is not the simulated phone\n");
            return leave(1);
        }
        std::printf("demo: window \"%s\" is up; waiting for the phone\n",
                    headless_state(m_window).text.c_str());
        if (!follow_until([&] { return status() == "Ready"; }, MINUTE_MS))
            return leave(1);

        std::printf("demo: ticking \"UserData\" and pressing \"Start\"\n");
        headless_click(item(IDC_USERDATA));
        headless_click(item(IDOK));
        follow_until([&] { return status() == "Download successfully!" || status() == "Download failed!"; },
                     10 * MINUTE_MS);
        const bool succeeded = status() == "Download successfully!";
        std::printf("demo: waiting for the phone to reboot and leave\n");
        follow_until([&] { return status().empty(); }, MINUTE_MS);

        const bool identical = succeeded && check_partitions();
        int result = identical ? 0 : 1;
        std::printf("demo: %s\n", identical ? "the phone holds exactly the firmware"
                                            : "the phone does NOT hold the firmware");
        result = leave(result);
        g_OsApi.library_unload(library);
        return result;
    }

private:
    bool wait_for_window() {
        HeadlessMessageBox box;
        headless_wait_until(
            [&] {
                m_window = headless_wait_dialog(IDD_TARNEX_DIALOG, 0);
                return m_window != nullptr || headless_wait_message_box(&box, 0);
            },
            MINUTE_MS);
        if (m_window != nullptr)
            return true;
        if (headless_wait_message_box(&box, 0)) {
            std::printf("demo: start-up failed: [%s] %s\n", box.caption.c_str(), box.text.c_str());
            headless_answer_message_box(IDOK);
        }
        return false;
    }

    WindowHandle item(int id) const { return headless_item(m_window, id); }
    std::string status() const { return headless_state(item(IDC_STATUS)).text; }

    // Prints what changes (state, percentage, new protocol lines) until `done` holds.
    template <typename Done>
    bool follow_until(Done done, int timeout_ms) {
        return headless_wait_until(
            [&] {
                print_changes();
                return done();
            },
            timeout_ms);
    }

    void print_changes() {
        std::string transcript = m_sim.transcript();
        if (transcript.size() > m_printed) {
            for (size_t at = m_printed; at < transcript.size();) {
                size_t end = transcript.find('\n', at);
                if (end == std::string::npos)
                    break;
                std::string line = transcript.substr(at, end - at);
                // The poll's presence check opens and closes a handle twice a second: not worth a line.
                if (line.rfind("open ", 0) != 0 && line.rfind("close ", 0) != 0)
                    std::printf("  phone | %s\n", line.c_str());
                at = end + 1;
                m_printed = at;
            }
        }
        std::string state = status();
        std::string percent = headless_state(item(IDC_PERCENT_CAPTION)).text;
        // Every change of state, and the percentage in steps of five (every percent would flood the log).
        const int step = percent.empty() ? -1 : std::atoi(percent.c_str()) / 5;
        if (state != m_state || step != m_step)
            std::printf("window | %s%s\n", state.empty() ? "(no device)" : state.c_str(),
                        percent.empty() ? "" : ("  " + percent).c_str());
        m_state = state;
        m_step = step;
    }

    bool check_partitions() {
        bool all = true;
        for (int slot = 0; slot < 12; ++slot) {
            const DemoImage &image = DEMO_IMAGES[slot];
            std::vector<uint8_t> expected = demo_image_contents(image.Name, image.Size);
            std::string flashed = m_sim.partition("phone", PARTITIONS[slot]);
            bool same = flashed.size() == expected.size() &&
                        std::equal(expected.begin(), expected.end(), flashed.begin(),
                                   [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
            std::printf("demo: partition %-10s %9zu bytes  %s %s\n", PARTITIONS[slot], flashed.size(),
                        same ? "identical to" : "DIFFERS from", image.Name);
            all = all && same;
        }
        std::string userdata = m_sim.partition("phone", "userdata");
        std::printf("demo: partition userdata   %9zu bytes  (erased)\n", userdata.size());
        return all && userdata.empty();
    }

    int leave(int result) {
        std::printf("demo: pressing \"Exit\"\n");
        headless_click(item(IDCANCEL));
        return result;
    }

    WindowHandle m_window = nullptr;
    SimControl m_sim;
    size_t m_printed = 0;
    std::string m_state = "-";
    int m_step = -2;
};

} // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int operated = 1;
    std::thread person([&] { operated = Operator().run(); });
    int exit_code = AfxWinMain();
    person.join();
    return exit_code != 0 ? exit_code : operated;
}

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
#include "drivers/sim/sim_binding.h"
#include "framework/headless/headless_operator.h"
#include "os/os_api.h"
#include "res/resource.h"
#include "rigs/demo/demo_firmware.h"
#include "rigs/operators/flash_operator.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>

CDownloadApp theApp;

namespace {

class Demo {
public:
    int run() {
        FlashPlay play;
        play.userdata = true;
        play.say = [](const std::string &line) { std::printf("demo: %s\n", line.c_str()); };
        // The phone is the product's own copy of the simulated phone, bound once the window has it.
        play.follow = [&] {
            if (m_library == nullptr && m_op.window() != nullptr)
                bind_phone();
            print_transcript();
        };
        const FlashOutcome outcome = play_flash(m_op, play);
        if (outcome == FlashOutcome::START_FAILED || outcome == FlashOutcome::NO_WINDOW)
            return 1;
        if (m_library == nullptr) {
            std::printf("demo: the driver library is not the simulated phone\n");
            return leave(1);
        }
        bool identical = false;
        if (outcome == FlashOutcome::SUCCEEDED) {
            std::printf("demo: waiting for the phone to reboot and leave\n");
            m_op.wait_until(
                [&] {
                    print_transcript();
                    return m_op.text(IDC_STATUS).empty();
                },
                60 * 1000);
            identical = check_partitions();
        }
        std::printf("demo: %s\n", identical ? "the phone holds exactly the firmware"
                                            : "the phone does NOT hold the firmware");
        return leave(identical ? 0 : 1);
    }

private:
    void bind_phone() {
        std::string path;
        m_library = driver_library_path(&path) ? g_OsApi.library_load(path.c_str(), nullptr) : nullptr;
        if (m_library != nullptr &&
            !m_sim.bind([&](const char *name) { return g_OsApi.library_symbol(m_library, name); })) {
            g_OsApi.library_unload(m_library);
            m_library = nullptr;
        }
    }

    // The phone's new protocol lines. The poll's presence check opens and closes a handle twice a
    // second: not worth a line.
    void print_transcript() {
        if (m_library == nullptr)
            return;
        const std::string transcript = m_sim.transcript();
        for (size_t end; (end = transcript.find('\n', m_printed)) != std::string::npos; m_printed = end + 1) {
            const std::string line = transcript.substr(m_printed, end - m_printed);
            if (line.rfind("open ", 0) != 0 && line.rfind("close ", 0) != 0)
                std::printf("  phone | %s\n", line.c_str());
        }
    }

    bool check_partitions() {
        bool all = true;
        for (int slot = 0; slot < 12; ++slot) {
            const DemoImage &image = DEMO_IMAGES[slot];
            std::vector<uint8_t> expected = demo_image_contents(image.Name, image.Size);
            std::string flashed = m_sim.partition("phone", DEMO_PARTITIONS[slot]);
            bool same = flashed.size() == expected.size() &&
                        std::equal(expected.begin(), expected.end(), flashed.begin(),
                                   [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
            std::printf("demo: partition %-10s %9zu bytes  %s %s\n", DEMO_PARTITIONS[slot], flashed.size(),
                        same ? "identical to" : "DIFFERS from", image.Name);
            all = all && same;
        }
        std::string userdata = m_sim.partition("phone", "userdata");
        std::printf("demo: partition userdata   %9zu bytes  (erased)\n", userdata.size());
        return all && userdata.empty();
    }

    int leave(int result) {
        std::printf("demo: pressing \"Exit\"\n");
        m_op.click(IDCANCEL);
        return result;
    }

    HeadlessOperator m_op;
    SimBinding m_sim;
    OsLibrary m_library = nullptr;
    size_t m_printed = 0;
};

} // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int operated = 1;
    std::thread person([&] { operated = Demo().run(); });
    int exit_code = AfxWinMain();
    person.join();
    return exit_code != 0 ? exit_code : operated;
}

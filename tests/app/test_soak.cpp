// Many downloads in a row while the cable is pulled and put back at random points (in a data phase,
// between actions, during the poll's presence check) and "Exit" is pressed in the middle of some: no
// crash, no handle left open, and every outcome the window is told agrees with what the phone saw.
#include "app_fixture.h"

#include <chrono>
#include <random>
#include <thread>

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr int DOWNLOADS = 30;
#elif defined(__SANITIZE_ADDRESS__)
constexpr int DOWNLOADS = 80;
#else
constexpr int DOWNLOADS = 200;
#endif

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(text.substr(at, end - at));
    return lines;
}

class Soak : public AppFixture {
protected:
    // Waits for "Ready"; a phone pulled and put back between two polls leaves the window on a dead
    // handle that still "answers" by name, so after a while the cable is pulled again, slowly.
    bool ReadyOrReplugged() {
        if (headless_wait_until([&] { return status() == STATUS_READY_TEXT; }, 300))
            return true;
        sim.unplug("phone");
        EXPECT_TRUE(headless_wait_until(
            [&] { return HeldDevice.load() == nullptr && picture() == IDI_NODEVICE; }, WAIT_MS));
        sim.plug("phone");
        return false;
    }

    // What the phone saw of one download against what the window was told.
    void CheckOutcome(const std::vector<LPARAM> &states, const std::string &transcript, int download) {
        std::vector<std::string> expected;
        for (int slot = 0; slot < 12; ++slot) {
            char command[32];
            std::snprintf(command, sizeof command, "download:%08x", 3000u + 517u * slot);
            expected.push_back(command);
            expected.push_back(std::string("flash:") + DEMO_PARTITIONS[slot]);
        }
        expected.push_back("reboot");

        std::vector<std::string> sent;
        bool reboot_answered = false, rebooted = false;
        for (const std::string &line : lines_of(transcript)) {
            if (line.rfind("out phone \"", 0) == 0)
                sent.push_back(line.substr(11, line.size() - 12));
            else if (line == "reboot phone")
                rebooted = true;
            else if (rebooted && line == "in phone \"OKAY\"")
                reboot_answered = true;
        }
        ASSERT_LE(sent.size(), expected.size()) << "download " << download << "\n" << transcript;
        EXPECT_TRUE(std::equal(sent.begin(), sent.end(), expected.begin()))
            << "commands out of order or after a failure, download " << download << "\n"
            << transcript;
        const bool completed = sent == expected && reboot_answered;
        ASSERT_EQ(states.size(), 2u) << "download " << download;
        EXPECT_EQ(states[0], STATE_DOWNLOADING);
        EXPECT_EQ(states[1], completed ? STATE_SUCCEEDED : STATE_FAILED) << "download " << download << "\n"
                                                                         << transcript;
        if (completed) {
            std::vector<PackBlob> blobs = images();
            for (int slot = 0; slot < 12; ++slot)
                EXPECT_EQ(sim.partition("phone", DEMO_PARTITIONS[slot]),
                          std::string(blobs[slot].Bytes.begin(), blobs[slot].Bytes.end()));
        }
    }
};

} // namespace

TEST_F(Soak, DownloadsWithTheCablePulledAtRandomPointsAndExitPressedInSome) {
    WritePayload(firmware());
    fe.poll_period_ms = 5;
    std::mt19937 random(20261209);
    auto between = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    int downloads = 0, succeeded = 0, failed = 0, exits = 0, sessions = 0;

    while (downloads < DOWNLOADS && !HasFailure()) {
        // One start-up; its phone also leaves on its own at a presence check and between two actions.
        std::string scenario = "device phone\nrate 4M\nafter-reboot back 5\non open#" +
                               std::to_string(between(2, 400)) + " unplug\non flash:*#" +
                               std::to_string(between(1, 120)) + " unplug\n";
        Start(scenario.c_str());
        ++sessions;

        bool exited = false;
        while (downloads < DOWNLOADS && !exited && !HasFailure()) {
            if (!ReadyOrReplugged())
                continue;
            sim.clear_transcript();
            m_states.take();
            ASSERT_TRUE(headless_click(item(IDOK)));
            if (DownloadRunning.load() == 0)
                continue; // the phone left just before the click, and "Start" was disabled
            ++downloads;
            const int action = between(0, 99);
            if (action < 4) {
                std::this_thread::sleep_for(std::chrono::milliseconds(between(0, 20)));
                ASSERT_TRUE(headless_click(item(IDCANCEL)));
                WaitEnd();
                exited = true;
                ++exits;
                break;
            }
            if (action < 45) {
                std::this_thread::sleep_for(std::chrono::microseconds(between(0, 25000)));
                sim.unplug("phone");
                std::this_thread::sleep_for(std::chrono::microseconds(between(0, 15000)));
                sim.plug("phone");
            }
            ASSERT_TRUE(WaitIdle());
            std::vector<LPARAM> states = m_states.take();
            CheckOutcome(states, sim.transcript(), downloads);
            (states.size() == 2 && states[1] == STATE_SUCCEEDED ? succeeded : failed)++;
        }
        EndRun(); // ends the worker of an "Exit", resets, and checks every handle was closed once
    }
    std::printf("soak: %d downloads in %d start-ups: %d succeeded, %d failed, %d ended by Exit\n", downloads,
                sessions, succeeded, failed, exits);
    EXPECT_GT(succeeded, 0);
    EXPECT_GT(failed, 0);
}

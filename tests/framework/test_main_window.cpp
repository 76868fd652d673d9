// The main-window accessor: what the worker's reports reach, with and without a window.
#include "framework/main_window.h"
#include "framework/messages.h"
#include "framework/styles.h"
#include "framework/win_app.h"
#include "res/resource.h"

#ifdef _WIN32
#include <windows.h> // after ours: the other order is in windows_header_first.cpp
#endif

#include <gtest/gtest.h>

#include <thread>
#include <vector>

static_assert(WM_POLL_DEVICE == 1044 && WM_DOWNLOAD_PROGRESS == 1045 && WM_DOWNLOAD_STATE == 1046);

namespace {

struct Message {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

class RecordingWindow : public MainWindowTarget {
public:
    LRESULT SendMessageSync(UINT message, WPARAM wParam, LPARAM lParam) override {
        received.push_back({message, wParam, lParam});
        return 7;
    }
    std::vector<Message> received;
};

class MainWindow : public ::testing::Test {
protected:
    void TearDown() override { set_main_window(nullptr); }
};

} // namespace

TEST_F(MainWindow, WithoutAWindowSendingDoesNothingAndGivesZero) {
    EXPECT_EQ(get_main_window(), nullptr);
    EXPECT_EQ(send_to_main_window(WM_DOWNLOAD_STATE, 0, 2), 0);
}

TEST_F(MainWindow, InstalledWindowGetsEveryMessageUntilRemoved) {
    RecordingWindow window;
    set_main_window(&window);
    EXPECT_EQ(get_main_window(), &window);
    // Full 64-bit parameters pass through unchanged where the platform has them.
    const LPARAM big = static_cast<LPARAM>(sizeof(LPARAM) == 8 ? 0x123456789LL : 0x12345678);
    EXPECT_EQ(send_to_main_window(WM_DOWNLOAD_PROGRESS, 0xFFFFFFFFu, big), 7);
    EXPECT_EQ(send_to_main_window(WM_DOWNLOAD_STATE, 0, 3), 7);
    set_main_window(nullptr);
    EXPECT_EQ(send_to_main_window(WM_DOWNLOAD_STATE, 0, 4), 0);

    ASSERT_EQ(window.received.size(), 2u);
    EXPECT_EQ(window.received[0].message, WM_DOWNLOAD_PROGRESS);
    EXPECT_EQ(window.received[0].wParam, 0xFFFFFFFFu);
    EXPECT_EQ(window.received[0].lParam, big);
    EXPECT_EQ(window.received[1].lParam, 3);
}

TEST_F(MainWindow, WorkerThreadReachesTheWindowInstalledBeforeItStarted) {
    RecordingWindow window;
    set_main_window(&window);
    std::thread worker([] { send_to_main_window(WM_DOWNLOAD_STATE, 0, 2); });
    worker.join();
    ASSERT_EQ(window.received.size(), 1u);
    EXPECT_EQ(window.received[0].lParam, 2);
}

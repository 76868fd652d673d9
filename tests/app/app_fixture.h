// The whole application in this test process on the headless window (tests/e2e/headless_front_end.h),
// for what only an in-process test can see or do: the backend's own view of the window, the product's
// copy of the phone (plugged and unplugged at will), the states the worker reports, and the product's
// process-wide state.
//
// The window runs on the main thread; the test drives it from its own. Every run ends with every handle
// the product opened on the phone closed exactly once (checked by the front end).
#pragma once

#include "app/app_state.h"
#include "app/window_texts.h"
#include "framework/main_window.h"
#include "framework/messages.h"
#include "package/image_table.h"
#include "res/resource.h"
#include "rigs/demo/demo_firmware.h"
#include "tests/e2e/headless_front_end.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

inline constexpr int WAIT_MS = 20000;

// Stands between the worker and the window: records every state the worker sends, then passes it on.
// The window may show a state only briefly (the poll takes a phone that left away within one period),
// so tests judge a download's outcome by what the worker reported.
class StateRecorder : public MainWindowTarget {
public:
    LRESULT SendMessageSync(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_DOWNLOAD_STATE) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_states.push_back(lParam);
        }
        return g_FrameworkBackend.send_message(window.load(), message, wParam, lParam);
    }
    std::vector<LPARAM> take() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::exchange(m_states, {});
    }
    std::atomic<WindowHandle> window{nullptr};

private:
    std::mutex m_mutex;
    std::vector<LPARAM> m_states;
};

// Every image of the table at a small size of its own (odd ones among them), with demo contents.
inline std::vector<PackBlob> images() {
    std::vector<PackBlob> blobs;
    for (int slot = 0; slot < IMAGE_COUNTED_SLOTS; ++slot) {
        uint32_t size = 3000 + 517 * static_cast<uint32_t>(slot);
        blobs.push_back({IMAGE_ENTRY_NAMES[slot], demo_image_contents(IMAGE_ENTRY_NAMES[slot], size)});
    }
    return blobs;
}

// The images with the device list and the simulated phone as the driver library.
inline std::vector<PackBlob> firmware(std::vector<PackBlob> blobs = images()) {
    blobs.push_back({"DeviceList.dat", demo_device_list()});
    blobs.push_back({"AdbWinApi.dll", HeadlessFrontEnd::library_bytes(TARNEX_SIM_FILE)});
    return blobs;
}

inline std::vector<PackBlob> without(std::vector<PackBlob> blobs, const std::string &name) {
    std::erase_if(blobs, [&](const PackBlob &blob) { return blob.Name == name; });
    return blobs;
}

class AppFixture : public ::testing::Test {
protected:
    void TearDown() override { EndRun(); }

    void WritePayload(const std::vector<PackBlob> &entries) {
        m_flasher = pack_flasher_bytes(fe.base(), entries);
    }

    // Starts the application with the phones of `scenario`.
    void Launch(const char *scenario = "device phone\n") { fe.launch({"flasher", m_flasher, scenario, {}}); }

    // Launch, then wait for the main window and take hold of the product's copy of the phone; the
    // worker reports through the recorder from then on.
    void Start(const char *scenario = "device phone\n") {
        Launch(scenario);
        ASSERT_TRUE(fe.op().wait_window(IDD_TARNEX_DIALOG, WAIT_MS)) << "no main window:\n" << fe.errors();
        window = fe.window();
        ASSERT_TRUE(fe.bind_phone(&sim)) << sim.error;
        m_states.take();
        m_states.window = window;
        set_main_window(&m_states);
    }

    // Waits for the run to end (after "Exit", or a start-up failure answered).
    void WaitEnd() {
        int code = 0;
        ASSERT_TRUE(fe.wait_exit(WAIT_MS, &code)) << "the window did not end";
    }

    // Ends the run whatever state it is in; the front end puts the process-wide state back.
    void EndRun() {
        fe.end();
        sim = SimBinding{};
        window = nullptr;
    }

    // Waits for the message box of a failed start-up, answers it, and waits for the run to end.
    OperatorMessageBox AnswerStartupFailure() {
        OperatorMessageBox box;
        EXPECT_TRUE(fe.op().wait_message_box(&box, WAIT_MS));
        fe.op().answer_message_box(IDOK);
        WaitEnd();
        return box;
    }

    // --- The window.

    WindowHandle item(int id) const { return headless_item(window, id); }
    HeadlessWindowState control(int id) const { return headless_state(item(id)); }
    std::string status() const { return control(IDC_STATUS).text; }
    std::string percent() const { return control(IDC_PERCENT_CAPTION).text; }
    int progress() const { return control(IDC_PROGRESS).position; }
    bool start_enabled() const { return control(IDOK).enabled; }
    int picture() const { return control(IDC_DEVICE_PICTURE).icon; }

    // Waits for the status line to read `text`, then for the handler that set it to have finished (the
    // other controls of a state are set after the status line).
    bool WaitStatus(const std::string &text) {
        if (!headless_wait_until([&] { return status() == text; }, WAIT_MS))
            return false;
        g_FrameworkBackend.send_message(window, 0, 0, 0); // WM_NULL: handled once the window is idle
        return true;
    }
    bool WaitIdle() {
        return headless_wait_until([] { return DownloadRunning.load() == 0; }, WAIT_MS);
    }
    // Waits for the worker to end and tells whether the last state it reported is `expected`.
    bool WaitOutcome(DownloadState expected) {
        if (!WaitIdle())
            return false;
        std::vector<LPARAM> states = m_states.take();
        return !states.empty() && states.back() == expected;
    }
    // Waits until the window has polled `polls` more times: each presence check opens the interface and
    // its two endpoints.
    void WaitPolls(uint32_t polls) {
        const uint32_t seen = sim.stats().opened;
        EXPECT_TRUE(headless_wait_until([&] { return sim.stats().opened >= seen + 3 * polls; }, WAIT_MS));
    }

    // The commands the phone received, in order.
    std::vector<std::string> commands() const {
        std::vector<std::string> result;
        std::string text = sim.transcript();
        const std::string marker = "out phone \"";
        for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
            size_t start = at + marker.size();
            result.push_back(text.substr(start, text.find('"', start) - start));
        }
        return result;
    }

    std::vector<std::string> TempNames() {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(fe.work() / "temp"))
            names.push_back(entry.path().filename().string());
        return names;
    }

    static std::string download_of(const PackBlob &blob) {
        char command[32];
        std::snprintf(command, sizeof command, "download:%08x", static_cast<unsigned>(blob.Bytes.size()));
        return command;
    }

    static std::string repeat(const char *line, size_t count) {
        std::string text;
        for (size_t i = 0; i < count; ++i)
            text += line;
        return text;
    }

    HeadlessFrontEnd fe;
    SimBinding sim;
    WindowHandle window = nullptr;
    StateRecorder m_states;
    std::vector<uint8_t> m_flasher;
};

// The whole application in one test process: a flasher payload made with the packer's code, start-up
// from it, the simulated phone deployed from the package the product's way, and the operator played on
// the headless window.
//
// Each test gets an application object of its own. Start-up runs on a window thread of its own; the test
// thread clicks and reads. The product's own process-wide state is put back after every test, and every
// handle the product opened on the phone must have been closed exactly once by then.
//
// TARNEX_SIM_FILE names the simulated phone's library next to the test program (set by the build).
#pragma once

#include "app/app_state.h"
#include "app/download_app.h"
#include "app/download_dlg.h"
#include "app/driver_library.h"
#include "framework/headless/headless.h"
#include "framework/main_window.h"
#include "framework/messages.h"
#include "package/image_table.h"
#include "res/resource.h"
#include "tests/support/sim_control.h"
#include "tests/support/test_files.h"
#include "tools/demo_firmware.h"
#include "tools/packer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
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

// Standard error captured into a file for the length of a run (the worker's lines go there).
class StderrCapture {
public:
    explicit StderrCapture(std::string path) : m_path(std::move(path)) {
        std::fflush(stderr);
        m_saved = dup(STDERR_FILENO);
        int file = open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(file, STDERR_FILENO);
        close(file);
    }
    ~StderrCapture() { stop(); }
    std::string stop() {
        if (m_saved >= 0) {
            std::fflush(stderr);
            dup2(m_saved, STDERR_FILENO);
            close(m_saved);
            m_saved = -1;
        }
        std::vector<uint8_t> bytes = read_file(m_path);
        return std::string(bytes.begin(), bytes.end());
    }

private:
    std::string m_path;
    int m_saved = -1;
};

// --- Payloads.

// Every image of the table at a small size of its own (odd ones among them), with demo contents.
inline std::vector<PackBlob> images() {
    std::vector<PackBlob> blobs;
    for (int slot = 0; slot < IMAGE_COUNTED_SLOTS; ++slot) {
        uint32_t size = 3000 + 517 * static_cast<uint32_t>(slot);
        blobs.push_back({IMAGE_ENTRY_NAMES[slot], demo_image_contents(IMAGE_ENTRY_NAMES[slot], size)});
    }
    return blobs;
}

// A library built next to the test program.
inline std::vector<uint8_t> library_bytes(const char *file) {
    std::string self;
    os_platform_api().executable_path(&self);
    return read_file(os_join_path(self.substr(0, self.find_last_of("/\\")), file));
}

// The images with the device list and the simulated phone as the driver library.
inline std::vector<PackBlob> firmware(std::vector<PackBlob> blobs = images()) {
    blobs.push_back({"DeviceList.dat", demo_device_list()});
    blobs.push_back({"AdbWinApi.dll", library_bytes(TARNEX_SIM_FILE)});
    return blobs;
}

inline std::vector<PackBlob> without(std::vector<PackBlob> blobs, const std::string &name) {
    std::erase_if(blobs, [&](const PackBlob &blob) { return blob.Name == name; });
    return blobs;
}

class AppFixture : public ::testing::Test {
protected:
    // Writes the flasher (a small base, then the package) that start-up reads as its own executable.
    void WritePayload(const std::vector<PackBlob> &entries) {
        write_file(s_payload, pack_flasher_bytes(bytes_of("MZ stand-in base executable"), entries));
    }

    static bool payload_path(std::string *path) {
        *path = s_payload;
        return true;
    }

    static void record_exit(int code) { s_exit_code = code; }

    void SetUp() override {
        s_payload = m_dir.Path("flasher.exe");
        s_exit_code = -1;
        g_AppSeams = {record_exit, 20};
        g_OsApi.executable_path = payload_path;
        // The library goes to a temporary directory of the test's own.
        m_temp = m_dir.Path("temp");
        std::filesystem::create_directories(m_temp);
        setenv("TEMP", m_temp.c_str(), 1);
        headless_clear_message_box_history();
    }

    void TearDown() override {
        EndRun();
        g_OsApi = os_platform_api();
        g_AppSeams = app_product_seams();
        unsetenv("TARNEX_SIM_SCENARIO");
        unsetenv("TEMP");
    }

    // Ends a run whatever state it is in, puts the process-wide state back, and checks that every handle
    // on the phone was closed exactly once.
    void EndRun() {
        Finish();
        if (DownloadRunning.load() != 0 && sim.unplug != nullptr)
            sim.unplug("phone"); // a worker still running is ended the way a cable would end it
        EXPECT_TRUE(reset_app_state(WAIT_MS)) << "the worker did not end";
        set_main_window(nullptr); // the recorder goes with the fixture
        if (m_library != nullptr) {
            TarnexSimHandleStats stats = sim.stats();
            EXPECT_EQ(stats.open_now, 0u) << sim.transcript();
            EXPECT_EQ(stats.bad_closes, 0u) << sim.transcript();
            EXPECT_EQ(stats.bad_handles, 0u) << sim.transcript();
            g_OsApi.library_unload(m_library);
            m_library = nullptr;
        }
        sim = SimControl{};
        window = nullptr;
    }

    // --- Start-up and shut-down.

    // Starts the application on its window thread, with the phones of `scenario` (default: one
    // healthy phone "phone").
    void Launch(const char *scenario = nullptr) {
        if (scenario != nullptr) {
            std::string file = m_dir.Path("scenario.txt");
            write_file(file, bytes_of(scenario));
            setenv("TARNEX_SIM_SCENARIO", file.c_str(), 1);
        }
        m_stderr = std::make_unique<StderrCapture>(m_dir.Path("stderr.txt"));
        m_ui = std::thread([this] { m_returned = AfxWinMain(); });
    }

    // Launch, then wait for the main window and take hold of the product's copy of the phone.
    void Start(const char *scenario = nullptr) {
        Launch(scenario);
        window = headless_wait_dialog(IDD_TARNEX_DIALOG, WAIT_MS);
        ASSERT_NE(window, nullptr) << "no main window";
        // A second reference to the library the window loaded: the same simulation, and it stays loaded
        // after the window unloads it, so that the handle counts can be read at the end.
        ASSERT_TRUE(driver_library_path(&m_libraryPath));
        m_library = g_OsApi.library_load(m_libraryPath.c_str(), nullptr);
        ASSERT_NE(m_library, nullptr);
        ASSERT_TRUE(sim.bind_control(m_library)) << sim.error;
        // Once the window exists, the worker reports through the recorder.
        m_states.take();
        m_states.window = window;
        set_main_window(&m_states);
    }

    // Ends the run if it still goes (Exit, or the message box answered), and collects its outcome.
    void Finish() {
        if (!m_ui.joinable()) {
            StopCapture();
            return;
        }
        if (headless_state(window).exists)
            headless_click(item(IDCANCEL));
        HeadlessMessageBox box;
        while (m_ui.joinable() && headless_wait_message_box(&box, 0))
            headless_answer_message_box(IDOK);
        m_ui.join();
        StopCapture();
    }

    void StopCapture() {
        if (m_stderr != nullptr) {
            m_stderrText = m_stderr->stop();
            m_stderr.reset();
        }
    }

    // Waits for the message box of a failed start-up, answers it, and waits for the run to end.
    HeadlessMessageBox AnswerStartupFailure() {
        HeadlessMessageBox box;
        EXPECT_TRUE(headless_wait_message_box(&box, WAIT_MS));
        headless_answer_message_box(IDOK);
        m_ui.join();
        StopCapture();
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
    // Waits until the window has let go of its device and shows none. The poll may notice a phone that
    // leaves at the end of a download just before the worker reports the outcome, which then stays on
    // screen; the caller checks which status text it accepts.
    bool WaitNoDevice() {
        if (!headless_wait_until([&] { return HeldDevice.load() == nullptr && picture() == IDI_NODEVICE; },
                                 WAIT_MS))
            return false;
        g_FrameworkBackend.send_message(window, 0, 0, 0); // WM_NULL: the state change is complete
        return true;
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

    static std::vector<std::string> names_in(const std::string &dir) {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(dir))
            names.push_back(entry.path().filename().string());
        return names;
    }

    static std::string download_of(const PackBlob &blob) {
        char command[32];
        std::snprintf(command, sizeof command, "download:%08x", static_cast<unsigned>(blob.Bytes.size()));
        return command;
    }

    TempDir m_dir;
    std::string m_temp;
    CDownloadApp m_app;
    SimControl sim;
    WindowHandle window = nullptr;
    StateRecorder m_states;
    std::thread m_ui;
    int m_returned = -1;
    std::string m_stderrText;
    std::string m_libraryPath;
    OsLibrary m_library = nullptr;
    std::unique_ptr<StderrCapture> m_stderr;

    static inline std::string s_payload;
    static inline int s_exit_code = -1;
};

#include "tests/e2e/in_process_front_end.h"

#include "app/app_state.h"
#include "app/download_app.h"
#include "app/station_app.h"
#include "framework/main_window.h"
#include "framework/messages.h"
#include "res/resource.h"
#include "tests/e2e/product.h"
#include "tests/e2e/window_thread.h"
#include "tests/support/handle_check.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

constexpr int WAIT_MS = 20000;

} // namespace

StderrCapture::StderrCapture(std::string path) : m_path(std::move(path)) {
    std::fflush(stderr);
    m_saved = dup(STDERR_FILENO);
    int file = open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(file, STDERR_FILENO);
    close(file);
}

void StderrCapture::stop() {
    if (m_saved < 0)
        return;
    std::fflush(stderr);
    dup2(m_saved, STDERR_FILENO);
    close(m_saved);
    m_saved = -1;
}

InProcessFrontEnd::InProcessFrontEnd() = default;

// The front end's own destructor has ended the run (see new_operator).
InProcessFrontEnd::~InProcessFrontEnd() = default;

std::vector<uint8_t> InProcessFrontEnd::library_bytes(const char *file) {
    std::string self;
    os_platform_api().executable_path(&self);
    return read_file(os_join_path(self.substr(0, self.find_last_of("/\\")), file));
}

std::vector<uint8_t> InProcessFrontEnd::base() {
    return bytes_of("MZ stand-in base executable");
}

std::vector<uint8_t> InProcessFrontEnd::sim_library() {
    return library_bytes(TARNEX_SIM_FILE);
}

std::vector<uint8_t> InProcessFrontEnd::partial_library() {
    return library_bytes(TARNEX_PARTIAL_DRIVER_FILE);
}

bool InProcessFrontEnd::launch(const FlasherRun &run) {
    end();
    std::filesystem::create_directories(work() / "temp");
    s_payload = (work() / (run.name + ".exe")).string();
    if (!run.file.empty())
        write_file(s_payload, run.file); // else no file at all
    write_file((work() / "scenario.txt").string(), bytes_of(run.scenario));

    // The product's own file, its exit and its poll, through its seams; and a second reference to the
    // driver library it loads.
    s_exit_code = -1;
    g_AppSeams = {[](int code) { s_exit_code = code; }, poll_period_ms};
    g_OsApi.executable_path = [](std::string *path) {
        *path = s_payload;
        return true;
    };
    g_OsApi.library_load = [](const char *path, std::string *error) {
        OsLibrary library = os_platform_api().library_load(path, error);
        if (library != nullptr && s_kept.load() == nullptr)
            s_kept = os_platform_api().library_load(path, nullptr);
        return library;
    };
    if (set_temp)
        setenv("TEMP", (run.temp.empty() ? work() / "temp" : run.temp).c_str(), 1);
    else
        unsetenv("TEMP");
    setenv("TARNEX_SIM_SCENARIO", (work() / "scenario.txt").c_str(), 1);
    setenv("TARNEX_SIM_TRANSCRIPT", (work() / "transcript.txt").c_str(), 1);
    setenv("TARNEX_SIM_PARTITION_DIR", (work() / "partitions").c_str(), 1);
    // A record that cannot be kept beside the program goes to the user's data folder: the run's own.
    m_variables = {"XDG_DATA_HOME"};
    setenv("XDG_DATA_HOME", (work() / "data").c_str(), 1);
    for (const auto &[name, value] : environment) {
        setenv(name.c_str(), value.c_str(), 1);
        m_variables.push_back(name);
    }
    m_labels.clear();
    std::istringstream lines(run.scenario);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("device ", 0) == 0)
            m_labels.push_back(line.substr(7));

    m_stderr = std::make_unique<StderrCapture>((work() / "stderr.txt").string());
    if (product_under_test().station)
        m_app = std::make_unique<CStationApp>();
    else
        m_app = std::make_unique<CDownloadApp>();
    m_returned = -1;
    m_running = true;
    run_on_main_thread([this] { m_returned = AfxWinMain(); });
    return true;
}

bool InProcessFrontEnd::wait_exit(int timeout_ms, int *exit_code) {
    if (!wait_main_thread(timeout_ms))
        return false;
    *exit_code = s_exit_code >= 0 ? s_exit_code.load() : m_returned.load();
    return true;
}

std::string InProcessFrontEnd::errors() {
    std::fflush(stderr);
    std::vector<uint8_t> bytes = read_file((work() / "stderr.txt").string());
    return std::string(bytes.begin(), bytes.end());
}

bool InProcessFrontEnd::bind_phone(SimBinding *phone) {
    OsLibrary kept = s_kept.load();
    return kept != nullptr &&
           phone->bind([&](const char *name) { return g_OsApi.library_symbol(kept, name); });
}

void InProcessFrontEnd::end() {
    if (!m_running)
        return;
    m_running = false;
    // The run ends the way an operator would end it: message boxes answered, the About box closed, then
    // "Exit".
    std::unique_ptr<Operator> someone = new_operator();
    Operator &person = *someone;
    for (int look = 0; look < WAIT_MS / 10 && !wait_main_thread(0); ++look) {
        OperatorMessageBox box;
        if (person.wait_message_box(&box, 0))
            person.answer_message_box(box.ok_only ? IDOK : IDYES); // "Exit" during downloads: yes
        else if (person.wait_window(IDD_ABOUTBOX, 0))
            person.click(IDOK);
        else if (person.wait_window(product_under_test().dialog, 0))
            person.click(IDCANCEL);
        wait_main_thread(10);
    }
    EXPECT_TRUE(wait_main_thread(0)) << "the window did not end";
    // A worker still running ("Exit" during a download) is ended the way a cable would end it. Then
    // every handle the product opened on the phone must have been closed exactly once.
    SimBinding phone;
    const bool bound = bind_phone(&phone);
    if ((DownloadRunning.load() != 0 || station_workers_running() != 0) && bound)
        for (const std::string &label : m_labels)
            phone.unplug(label.c_str());
    EXPECT_TRUE(product_under_test().station ? reset_station_state(WAIT_MS) : reset_app_state(WAIT_MS))
        << "the worker did not end";
    if (bound) {
        const std::string transcript = read_text(work() / "transcript.txt");
        EXPECT_EQ(handle_faults(transcript), "") << transcript;
        EXPECT_EQ(phone.stats().bad_handles, 0u) << transcript;
    }
    set_main_window(nullptr);
    if (OsLibrary kept = s_kept.exchange(nullptr))
        os_platform_api().library_unload(kept);
    g_OsApi = os_platform_api();
    g_AppSeams = app_product_seams();
    for (const char *name :
         {"TEMP", "TARNEX_SIM_SCENARIO", "TARNEX_SIM_TRANSCRIPT", "TARNEX_SIM_PARTITION_DIR"})
        unsetenv(name);
    for (const std::string &name : m_variables)
        unsetenv(name.c_str());
    m_app.reset();
    m_op.reset();
    if (m_stderr != nullptr) {
        m_stderr->stop();
        // What the run wrote is shown when the test failed: a sanitizer's report would go there too.
        if (::testing::Test::HasFailure())
            std::printf("--- the flasher's standard error:\n%s---\n", errors().c_str());
        m_stderr.reset();
    }
}

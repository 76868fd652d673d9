// The flasher in this test process: the whole application from a flasher file made with the packer's
// code, the simulated phone deployed from its package the product's way, the window on the main thread
// (window_thread.h), the operator on the test's thread. The window is the backend's the test program
// links: the headless one (headless_front_end.h) or Qt's (qt_front_end.cpp).
//
// The product's process-wide state is put back at the end of every run. What the run would take from the
// process (its exit, its own executable path, its poll period) goes through the product's seams. The
// in-process application tests (tests/app) use the same runner with the backend's own view of the window
// and the product's copy of the phone.
//
// TARNEX_SIM_FILE and TARNEX_PARTIAL_DRIVER_FILE name the libraries next to the test program.
#pragma once

#include "drivers/sim/sim_binding.h"
#include "os/os_api.h"
#include "tests/e2e/front_end.h"
#include "tests/support/test_files.h"

#include <atomic>
#include <memory>

class CWinApp;

// Standard error captured into a file for the length of a run (the worker's lines go there).
class StderrCapture {
public:
    explicit StderrCapture(std::string path);
    ~StderrCapture() { stop(); }
    // Puts standard error back; what was captured stays in the file.
    void stop();

private:
    std::string m_path;
    int m_saved = -1;
};

class InProcessFrontEnd : public FrontEnd {
public:
    InProcessFrontEnd();
    ~InProcessFrontEnd() override;

    std::vector<uint8_t> base() override;
    std::vector<uint8_t> sim_library() override;
    std::vector<uint8_t> partial_library() override;
    bool failed_library_stays() override { return false; }
    bool tries_next_temp() override { return true; }
    std::filesystem::path work() override { return m_dir.Path(); }
    bool launch(const FlasherRun &run) override;
    Operator &op() override {
        if (m_op == nullptr)
            m_op = new_operator();
        return *m_op;
    }
    bool wait_exit(int timeout_ms, int *exit_code) override;
    std::string errors() override;
    void end() override;
    int start_ms() override { return 20000; }
    void screenshot(const char *) override {}

    // --- For the in-process tests.

    // The poll period of the next launch, in milliseconds.
    uint32_t poll_period_ms = 20;
    // False: the next launch runs with TEMP unset.
    bool set_temp = true;

    // The product's own copy of the simulated phone, bound once the product has loaded it; false before.
    bool bind_phone(SimBinding *phone);

    // The exit code the product asked for through its end-of-process seam, or -1.
    int requested_exit() const { return s_exit_code.load(); }

    // What AfxWinMain returned, once the run has ended.
    int returned() const { return m_returned.load(); }

    // A library file next to the test program.
    static std::vector<uint8_t> library_bytes(const char *file);

protected:
    // A new operator of this backend's windows. (A front end's destructor calls end() itself: the
    // base's cannot reach this any more.)
    virtual std::unique_ptr<Operator> new_operator() = 0;

    std::unique_ptr<Operator> m_op;

private:
    TempDir m_dir;
    std::unique_ptr<CWinApp> m_app;
    std::vector<std::string> m_labels;    // the phones of the run's scenario
    std::vector<std::string> m_variables; // set for the run, unset at its end
    std::unique_ptr<StderrCapture> m_stderr;
    bool m_running = false;
    std::atomic<int> m_returned{-1};

    static inline std::string s_payload;
    static inline std::atomic<int> s_exit_code{-1};
    // A second reference to the driver library the product loaded: the phone's counts can still be read
    // after the window unloads it, and a worker left behind by "Exit" can still be ended.
    static inline std::atomic<OsLibrary> s_kept{nullptr};
};

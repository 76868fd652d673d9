// The contract every framework backend keeps (framework/backend.h), as one suite (backend_contract.cpp)
// run against each: modal runs, messages between threads, timers, pre-translation and the keyboard,
// message boxes, clicks, the application's command table, and handlers that throw. A probe dialog on the
// About box's template runs on a window thread of its own; the test's thread works it through the
// operator interface (framework/operator.h) and sends it messages through the backend.
//
// Each test program links one backend and defines make_backend_harness() for it.
#pragma once

#include "framework/operator.h"
#include "framework/win_app.h"
#include "res/resource.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

inline constexpr UINT WM_PROBE = WM_USER + 100;
inline constexpr UINT WM_SLOW_PROBE = WM_USER + 101;
inline constexpr UINT WM_ARM_TIMER = WM_USER + 102;
inline constexpr UINT WM_ASK = WM_USER + 103;
inline constexpr UINT WM_ENABLE_OK = WM_USER + 104;
inline constexpr UINT WM_RUN = WM_USER + 105;
inline constexpr UINT WM_THROW = WM_USER + 106;
inline constexpr int CONTRACT_WAIT_MS = 10000;

// What differs between backends for the suite.
class BackendHarness {
public:
    virtual ~BackendHarness() = default;
    // An operator for dialogs of this process.
    virtual std::unique_ptr<Operator> make_operator() = 0;
    // The backend's handle of the window `op` works.
    virtual WindowHandle window_of(Operator &op) = 0;
    // Whether the window is visible on the screen now. Window thread.
    virtual bool is_visible(WindowHandle window) = 0;

    // Runs `job` on a window thread: a new thread here; the main thread where the window system wants
    // its windows there (Qt). join_window_thread waits until the job has returned.
    virtual void run_window_thread(std::function<void()> job) { m_thread = std::thread(std::move(job)); }
    virtual void join_window_thread() { m_thread.join(); }

private:
    std::thread m_thread;
};

// The window thread of a test: started once, joined once.
class WindowThread {
public:
    explicit WindowThread(BackendHarness *harness) : m_harness(harness) {}
    WindowThread &operator=(std::function<void()> job) {
        m_harness->run_window_thread(std::move(job));
        m_running = true;
        return *this;
    }
    bool joinable() const { return m_running; }
    void join() {
        if (!m_running)
            return;
        m_harness->join_window_thread();
        m_running = false;
    }

private:
    BackendHarness *m_harness;
    bool m_running = false;
};

std::unique_ptr<BackendHarness> make_backend_harness();

// A dialog with handlers of our own, on the About box's template (or another one). Values the test's
// thread reads while the window thread writes them are atomic.
class ProbeDialog : public CDialog {
public:
    explicit ProbeDialog(BackendHarness *harness, UINT templateId = IDD_ABOUTBOX, CWnd *parent = nullptr)
        : CDialog(templateId, parent), m_harness(harness) {}

    std::atomic<std::thread::id> probed_on{};
    std::atomic<int> ticks{0};
    std::atomic<int> timer_messages_seen{0};
    std::atomic<int> escapes_seen{0};
    std::atomic<bool> visible_during_init{true};
    bool end_during_init = false; // set before the run
    bool swallow_escape = false;  // set before the run
    std::atomic<bool> slow_probe_started{false};
    std::atomic<bool> release_slow_probe{false};
    std::atomic<int> paints_declined{0};

    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        visible_during_init = m_harness->is_visible(m_hWnd);
        if (end_during_init)
            EndDialog(IDABORT);
        return TRUE;
    }

    BOOL PreTranslateMessage(Msg *msg) override {
        if (msg->message == WM_TIMER)
            ++timer_messages_seen;
        if (msg->message == WM_KEYDOWN && msg->wParam == VK_ESCAPE) {
            ++escapes_seen;
            if (swallow_escape)
                return TRUE;
        }
        return CDialog::PreTranslateMessage(msg);
    }

    static void OnTimerTick(WindowHandle window, UINT message, uintptr_t id, uint32_t) {
        auto *self = static_cast<ProbeDialog *>(AfxGetMainWnd());
        if (self != nullptr && self->m_hWnd == window && message == WM_TIMER && id == 7 && ++self->ticks == 3)
            g_FrameworkBackend.kill_timer(window, 7);
    }

protected:
    LRESULT OnProbe(WPARAM wParam, LPARAM lParam) {
        probed_on = std::this_thread::get_id();
        return static_cast<LRESULT>(wParam) + lParam;
    }
    LRESULT OnSlowProbe(WPARAM, LPARAM) {
        slow_probe_started = true;
        while (!release_slow_probe)
            std::this_thread::yield();
        EndDialog(IDOK);
        return 1;
    }
    LRESULT OnArmTimer(WPARAM, LPARAM) { return static_cast<LRESULT>(SetTimer(7, 5, OnTimerTick)); }
    LRESULT OnAsk(WPARAM, LPARAM text) {
        return AfxMessageBox(reinterpret_cast<const char *>(text), MB_OK | MB_ICONEXCLAMATION);
    }
    LRESULT OnEnableOk(WPARAM enable, LPARAM) {
        CWnd(GetDlgItem(IDOK)).EnableWindow(static_cast<BOOL>(enable));
        return 0;
    }
    // Runs a test's code on the window thread, for the calls that must be made there.
    LRESULT OnRun(WPARAM, LPARAM code) {
        (*reinterpret_cast<std::function<void()> *>(code))();
        return 0;
    }
    LRESULT OnThrow(WPARAM, LPARAM) { throw std::runtime_error("probe fault"); }
    // Declines, so that the default handling still runs.
    bool OnPaint(WPARAM, LPARAM, LRESULT *) {
        ++paints_declined;
        return false;
    }

    const MessageMap *GetMessageMap() const override {
        static constexpr MessageMapEntry entries[] = {
            on_message<&ProbeDialog::OnProbe>(WM_PROBE),
            on_message<&ProbeDialog::OnSlowProbe>(WM_SLOW_PROBE),
            on_message<&ProbeDialog::OnArmTimer>(WM_ARM_TIMER),
            on_message<&ProbeDialog::OnAsk>(WM_ASK),
            on_message<&ProbeDialog::OnEnableOk>(WM_ENABLE_OK),
            on_message<&ProbeDialog::OnRun>(WM_RUN),
            on_message<&ProbeDialog::OnThrow>(WM_THROW),
            on_message<&ProbeDialog::OnPaint>(WM_PAINT),
        };
        static constexpr MessageMap map = {entries, std::size(entries)};
        return &map;
    }

private:
    BackendHarness *m_harness;
};

class ProbeApp : public CWinApp {
public:
    std::atomic<int> helps{0};
    void OnHelpCommand() { ++helps; }

protected:
    const MessageMap *GetCommandMap() const override {
        static constexpr MessageMapEntry entries[] = {on_command<&ProbeApp::OnHelpCommand>(ID_HELP, 0)};
        static constexpr MessageMap map = {entries, std::size(entries)};
        return &map;
    }
};

// Runs a ProbeDialog on a window thread of its own, as the application's main window.
class BackendContract : public ::testing::Test {
protected:
    // Names the application after the program and readies the backend, as a program's start does.
    void SetUp() override { ASSERT_EQ(AfxWinMain(), 0); }

    // A probe of the test's own kind or template, kept by the fixture. A dialog must outlive its window,
    // which only TearDown ends: a probe on the test's stack would be gone while the window thread still
    // dispatches to it.
    template <typename Probe, typename... Args>
    Probe &MakeProbe(Args &&...args) {
        auto probe = std::make_unique<Probe>(harness.get(), std::forward<Args>(args)...);
        Probe &made = *probe;
        probes.push_back(std::move(probe));
        return made;
    }

    // Runs `probe` (the test's dialog unless given; one of MakeProbe's) and waits until it shows.
    void Start(ProbeDialog *probe = nullptr, int template_id = IDD_ABOUTBOX) {
        ProbeDialog *shown = probe != nullptr ? probe : &dialog;
        app.m_pMainWnd = shown;
        ui = [this, shown] {
            ui_thread = std::this_thread::get_id();
            result = shown->DoModal();
        };
        ASSERT_TRUE(op->wait_window(template_id, CONTRACT_WAIT_MS));
        window = harness->window_of(*op);
    }

    // Runs `code` on the window thread and returns when it is done.
    void OnWindowThread(std::function<void()> code) {
        g_FrameworkBackend.send_message(window, WM_RUN, 0, reinterpret_cast<LPARAM>(&code));
    }

    void TearDown() override {
        if (!ui.joinable())
            return;
        // Whatever the test left open goes: message boxes first, then the dialogs.
        OperatorMessageBox box;
        while (op->wait_message_box(&box, 0))
            op->answer_message_box(IDOK);
        g_FrameworkBackend.post_message(window, WM_COMMAND, IDCANCEL, 0); // nothing when it is gone
        ui.join();
    }

    std::unique_ptr<BackendHarness> harness = make_backend_harness();
    std::unique_ptr<Operator> op = harness->make_operator();
    ProbeApp app;
    ProbeDialog dialog{harness.get()};
    std::vector<std::unique_ptr<ProbeDialog>> probes;
    WindowThread ui{harness.get()};
    std::atomic<std::thread::id> ui_thread{};
    WindowHandle window = nullptr;
    std::atomic<intptr_t> result{0};
};

#include "tests/e2e/window_thread.h"

#include "framework/backend.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

struct MainThread {
    std::mutex mutex;
    std::condition_variable changed;
    std::function<void()> job;
    bool busy = false; // a job was given and has not returned yet
    bool tests_done = false;
};

MainThread &main_thread() {
    static MainThread instance;
    return instance;
}

} // namespace

void run_on_main_thread(std::function<void()> job) {
    MainThread &m = main_thread();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.job = std::move(job);
    m.busy = true;
    m.changed.notify_all();
}

bool wait_main_thread(int timeout_ms) {
    MainThread &m = main_thread();
    std::unique_lock<std::mutex> lock(m.mutex);
    return m.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return !m.busy; });
}

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // The window system is readied here, on the thread its windows will live on (Qt makes its
    // application object there). Listing the tests needs none.
    if (!::testing::GTEST_FLAG(list_tests))
        g_FrameworkBackend.initialize();
    MainThread &m = main_thread();
    int result = 1;
    std::thread tests([&] {
        result = RUN_ALL_TESTS();
        std::lock_guard<std::mutex> lock(m.mutex);
        m.tests_done = true;
        m.changed.notify_all();
    });
    std::unique_lock<std::mutex> lock(m.mutex);
    for (;;) {
        m.changed.wait(lock, [&] { return m.tests_done || m.job != nullptr; });
        if (m.job == nullptr)
            break;
        std::function<void()> job = std::move(m.job);
        m.job = nullptr;
        lock.unlock();
        job();
        lock.lock();
        m.busy = false;
        m.changed.notify_all();
    }
    lock.unlock();
    tests.join();
    return result;
}

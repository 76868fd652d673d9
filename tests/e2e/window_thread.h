// In the in-process end-to-end test programs the process's main thread is the window thread, as it must
// be for a Qt window: main() (window_thread.cpp) readies the backend there, runs the tests on a second
// thread and runs on the main thread each flasher that a test starts. A test drives the window from its own
// thread meanwhile.
#pragma once

#include <functional>

// Runs `job` on the main thread and returns at once. The previous job must have returned.
void run_on_main_thread(std::function<void()> job);

// Waits until the job given last has returned (true), or `timeout_ms` has passed (false).
bool wait_main_thread(int timeout_ms);

#include "framework/main_window.h"

#include <atomic>

namespace {
// Written by the window thread, read by the worker: an atomic, so the worker sees either no window or
// a fully installed one.
std::atomic<MainWindowTarget *> g_MainWindow{nullptr};
} // namespace

void set_main_window(MainWindowTarget *window) {
    g_MainWindow.store(window, std::memory_order_release);
}

MainWindowTarget *get_main_window() {
    return g_MainWindow.load(std::memory_order_acquire);
}

LRESULT send_to_main_window(UINT message, WPARAM wParam, LPARAM lParam) {
    MainWindowTarget *window = get_main_window();
    return window != nullptr ? window->SendMessageSync(message, wParam, lParam) : 0;
}

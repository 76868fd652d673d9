// The backstop around every call from a backend's message loop into the program's handlers (window
// procedures, pre-translation, timer callbacks): no exception crosses the window system. One that
// escapes a handler ends that handler only: a line goes to standard error and the message gets its
// default result.
#pragma once

#include <cstdio>
#include <exception>

template <typename Result, typename Handler>
Result run_guarded(const char *what, Result fallback, Handler &&handler) noexcept {
    try {
        return handler();
    } catch (const std::exception &error) {
        std::fprintf(stderr, "%s ended by an exception: %s\n", what, error.what());
    } catch (...) {
        std::fprintf(stderr, "%s ended by an exception\n", what);
    }
    return fallback;
}

// Compiles the framework's headers after <windows.h>; test_main_window.cpp has them before it. Both
// orders must build in the Win32 backend.
#ifdef _WIN32
#include <windows.h>
#endif

#include "framework/main_window.h"
#include "framework/messages.h"

#include <type_traits>

static_assert(WM_DOWNLOAD_PROGRESS == 1045);
#ifdef _WIN32
static_assert(std::is_same_v<::WPARAM, UINT_PTR> && std::is_same_v<::LPARAM, LONG_PTR>);
static_assert(std::is_same_v<::LRESULT, LONG_PTR>);
#endif

// Compiles the framework's headers after <windows.h>; test_main_window.cpp has them before it. Both
// orders must build in the Win32 backend.
#ifdef _WIN32
#include <windows.h>
#endif

#include "framework/main_window.h"
#include "framework/messages.h"
#include "framework/styles.h"
#include "framework/win_app.h"
#include "res/resource.h"

#include <type_traits>

static_assert(WM_DOWNLOAD_PROGRESS == 1045);
static_assert(WM_COMMAND == 0x0111 && PBM_GETPOS == 0x0408 && MB_ICONEXCLAMATION == 0x30);
static_assert(WS_DISABLED == 0x08000000 && BS_AUTOCHECKBOX == 3 && IDOK == 1);

// With <windows.h> first, its macros rename the wrappers (SendMessage is SendMessageA here); the inline
// members simply exist under that name, and calls written in this translation unit reach them.
[[maybe_unused]] static LRESULT send_through_a_wrapper(CWnd &window) {
    return window.SendMessage(WM_COMMAND, 0, 0);
}
#ifdef _WIN32
static_assert(std::is_same_v<::WPARAM, UINT_PTR> && std::is_same_v<::LPARAM, LONG_PTR>);
static_assert(std::is_same_v<::LRESULT, LONG_PTR>);
#endif

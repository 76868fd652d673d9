// The Win32 backend of the dialog framework: real windows from the program's own dialog templates.
//
// A WindowHandle of this backend is the HWND itself, an IconHandle the HICON, a MenuHandle the HMENU and
// a DeviceContext the HDC, so that code which meets the window system directly (the Windows program's
// entry, tests that drive a window) converts with a cast and nothing else.
#pragma once

#include <windows.h>

#include "framework/backend.h"

inline HWND win32_hwnd(WindowHandle window) {
    return reinterpret_cast<HWND>(window);
}

inline WindowHandle win32_window(HWND window) {
    return reinterpret_cast<WindowHandle>(window);
}

inline HICON win32_hicon(IconHandle icon) {
    return reinterpret_cast<HICON>(icon);
}

// UTF-8 to UTF-16 and back, for the wide-character calls. Ill-formed input becomes U+FFFD; null is
// taken as the empty text.
std::wstring win32_widen(const char *text);
std::string win32_narrow(const wchar_t *text);

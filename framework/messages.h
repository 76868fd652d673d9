// The application's private window messages.
#pragma once

// The same spelling as <windows.h>, so that either header may come first.
#ifndef WM_USER
#define WM_USER 0x0400
#endif

// Posted by the poll timer every 500 ms: check the held device, or look for one.
inline constexpr unsigned int WM_POLL_DEVICE = WM_USER + 20;
// Sent by the bulk writer during a data phase: wParam the caller's progress tag, lParam the number of
// bytes written since the previous report.
inline constexpr unsigned int WM_DOWNLOAD_PROGRESS = WM_USER + 21;
// Sent by the worker: lParam the new download state.
inline constexpr unsigned int WM_DOWNLOAD_STATE = WM_USER + 22;

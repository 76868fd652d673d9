// Window message numbers and the constants that go with them.
//
// The standard ones carry their Win32 names and values, so that the application reads like any dialog
// program and the Win32 backend passes them through untouched. Each is declared only when <windows.h>
// has not already defined it, and as a C++ constant rather than a macro: when <windows.h> comes later
// in the same translation unit, its macros simply take over the names with the same values, and when it
// came earlier ours step aside. Either order compiles without a redefinition.
#pragma once

#include "framework/main_window.h"

// The same spelling as <windows.h>, so that either header may come first.
#ifndef WM_USER
#define WM_USER 0x0400
#endif

// --- The application's private messages.

// Posted by the poll timer every 500 ms: check the held device, or look for one.
inline constexpr unsigned int WM_POLL_DEVICE = WM_USER + 20;
// Sent by the bulk writer during a data phase: wParam the caller's progress tag, lParam the number of
// bytes written since the previous report.
inline constexpr unsigned int WM_DOWNLOAD_PROGRESS = WM_USER + 21;
// Sent by the worker: wParam its row (0 in the one-phone flasher), lParam the new download state.
inline constexpr unsigned int WM_DOWNLOAD_STATE = WM_USER + 22;
// Posted to the station's window by its watcher thread: phones arrived or left; take its events.
inline constexpr unsigned int WM_STATION_PHONES = WM_USER + 23;
// Posted by the station's window to itself: a record line could not be written; say so in a message box
// (never inside the handler of a worker's message, which would keep that worker waiting on the box).
inline constexpr unsigned int WM_STATION_RECORD_FAILED = WM_USER + 24;

// --- Standard messages the framework and the application handle or send.
#ifndef WM_NULL
inline constexpr UINT WM_NULL = 0x0000; // does nothing: sent, it returns once the queue before it is done
#endif
#ifndef WM_DESTROY
inline constexpr UINT WM_DESTROY = 0x0002;
#endif
#ifndef WM_PAINT
inline constexpr UINT WM_PAINT = 0x000F;
#endif
#ifndef WM_CLOSE
inline constexpr UINT WM_CLOSE = 0x0010;
#endif
#ifndef WM_ICONERASEBKGND
inline constexpr UINT WM_ICONERASEBKGND = 0x0027; // wParam: the device context being painted
#endif
#ifndef WM_QUERYDRAGICON
inline constexpr UINT WM_QUERYDRAGICON = 0x0037;
#endif
#ifndef WM_SETICON
inline constexpr UINT WM_SETICON = 0x0080; // wParam ICON_BIG or ICON_SMALL, lParam the icon
#endif
#ifndef WM_KEYDOWN
inline constexpr UINT WM_KEYDOWN = 0x0100; // wParam the virtual key
#endif
#ifndef WM_INITDIALOG
inline constexpr UINT WM_INITDIALOG = 0x0110;
#endif
#ifndef WM_COMMAND
inline constexpr UINT WM_COMMAND = 0x0111; // wParam: control id in the low word, notification in the high
#endif
#ifndef WM_SYSCOMMAND
inline constexpr UINT WM_SYSCOMMAND = 0x0112; // wParam: the command; its low four bits are the system's
#endif
#ifndef WM_TIMER
inline constexpr UINT WM_TIMER = 0x0113;
#endif

// --- Control messages (the controls' wrappers in framework/window.h send them).
#ifndef STM_SETICON
inline constexpr UINT STM_SETICON = 0x0170; // wParam the icon; returns the previous one
#endif
#ifndef STM_GETICON
inline constexpr UINT STM_GETICON = 0x0171;
#endif
#ifndef BM_GETCHECK
inline constexpr UINT BM_GETCHECK = 0x00F0;
#endif
#ifndef BM_SETCHECK
inline constexpr UINT BM_SETCHECK = 0x00F1;
#endif
#ifndef PBM_SETRANGE
inline constexpr UINT PBM_SETRANGE = WM_USER + 1; // lParam: low limit in the low word, high in the high
#endif
#ifndef PBM_SETPOS
inline constexpr UINT PBM_SETPOS = WM_USER + 2; // returns the previous position
#endif
#ifndef PBM_GETRANGE
inline constexpr UINT PBM_GETRANGE = WM_USER + 7; // wParam nonzero: returns the low limit, else the high
#endif
#ifndef PBM_GETPOS
inline constexpr UINT PBM_GETPOS = WM_USER + 8;
#endif

// --- Values carried by those messages.
#ifndef BN_CLICKED
inline constexpr UINT BN_CLICKED = 0;
#endif
#ifndef IDOK
inline constexpr int IDOK = 1;
#endif
#ifndef IDCANCEL
inline constexpr int IDCANCEL = 2;
#endif
#ifndef IDABORT
inline constexpr int IDABORT = 3;
#endif
#ifndef IDYES
inline constexpr int IDYES = 6;
#endif
#ifndef IDNO
inline constexpr int IDNO = 7;
#endif
#ifndef ICON_SMALL
inline constexpr WPARAM ICON_SMALL = 0;
#endif
#ifndef ICON_BIG
inline constexpr WPARAM ICON_BIG = 1;
#endif
#ifndef BST_UNCHECKED
inline constexpr int BST_UNCHECKED = 0;
#endif
#ifndef BST_CHECKED
inline constexpr int BST_CHECKED = 1;
#endif
#ifndef VK_RETURN
inline constexpr WPARAM VK_RETURN = 0x0D;
#endif
#ifndef VK_ESCAPE
inline constexpr WPARAM VK_ESCAPE = 0x1B;
#endif
#ifndef VK_TAB
inline constexpr WPARAM VK_TAB = 0x09;
#endif
#ifndef SC_MINIMIZE
inline constexpr WPARAM SC_MINIMIZE = 0xF020;
#endif
#ifndef SC_CLOSE
inline constexpr WPARAM SC_CLOSE = 0xF060;
#endif
#ifndef SC_RESTORE
inline constexpr WPARAM SC_RESTORE = 0xF120;
#endif
#ifndef SM_CXICON
inline constexpr int SM_CXICON = 11;
#endif
#ifndef SM_CYICON
inline constexpr int SM_CYICON = 12;
#endif
#ifndef MB_OK
inline constexpr UINT MB_OK = 0x00000000;
#endif
#ifndef MB_YESNO
inline constexpr UINT MB_YESNO = 0x00000004;
#endif
#ifndef MB_ICONQUESTION
inline constexpr UINT MB_ICONQUESTION = 0x00000020;
#endif
#ifndef MB_ICONEXCLAMATION
inline constexpr UINT MB_ICONEXCLAMATION = 0x00000030;
#endif
#ifndef MF_STRING
inline constexpr UINT MF_STRING = 0x00000000;
#endif
#ifndef MF_SEPARATOR
inline constexpr UINT MF_SEPARATOR = 0x00000800;
#endif

// The halves of a message parameter, as the Win32 macros of the same meaning split them.
inline constexpr UINT low_word(uintptr_t value) {
    return static_cast<UINT>(value & 0xFFFF);
}
inline constexpr UINT high_word(uintptr_t value) {
    return static_cast<UINT>((value >> 16) & 0xFFFF);
}
inline constexpr WPARAM make_wparam(UINT low, UINT high) {
    return static_cast<WPARAM>((low & 0xFFFF) | ((high & 0xFFFF) << 16));
}

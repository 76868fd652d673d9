// Window and control styles, under their Win32 names and values, for the dialog templates of res/ and
// the backends that interpret them. Declared the way framework/messages.h declares messages: only when
// <windows.h> has not defined them, as constants its macros can take over later.
#pragma once

#include <cstdint>

// Windows.
#ifndef WS_POPUP
inline constexpr uint32_t WS_POPUP = 0x80000000;
#endif
#ifndef WS_CHILD
inline constexpr uint32_t WS_CHILD = 0x40000000;
#endif
#ifndef WS_VISIBLE
inline constexpr uint32_t WS_VISIBLE = 0x10000000;
#endif
#ifndef WS_DISABLED
inline constexpr uint32_t WS_DISABLED = 0x08000000;
#endif
#ifndef WS_CAPTION
inline constexpr uint32_t WS_CAPTION = 0x00C00000;
#endif
#ifndef WS_BORDER
inline constexpr uint32_t WS_BORDER = 0x00800000;
#endif
#ifndef WS_SYSMENU
inline constexpr uint32_t WS_SYSMENU = 0x00080000;
#endif
#ifndef WS_GROUP
inline constexpr uint32_t WS_GROUP = 0x00020000;
#endif
#ifndef WS_TABSTOP
inline constexpr uint32_t WS_TABSTOP = 0x00010000;
#endif
#ifndef WS_EX_APPWINDOW
inline constexpr uint32_t WS_EX_APPWINDOW = 0x00040000;
#endif

// Dialogs.
#ifndef DS_MODALFRAME
inline constexpr uint32_t DS_MODALFRAME = 0x80;
#endif
#ifndef DS_SETFONT
inline constexpr uint32_t DS_SETFONT = 0x40;
#endif

// Buttons: the low four bits are the kind.
#ifndef BS_PUSHBUTTON
inline constexpr uint32_t BS_PUSHBUTTON = 0x0;
#endif
#ifndef BS_DEFPUSHBUTTON
inline constexpr uint32_t BS_DEFPUSHBUTTON = 0x1;
#endif
#ifndef BS_AUTOCHECKBOX
inline constexpr uint32_t BS_AUTOCHECKBOX = 0x3;
#endif
#ifndef BS_GROUPBOX
inline constexpr uint32_t BS_GROUPBOX = 0x7;
#endif
#ifndef BS_TYPEMASK
inline constexpr uint32_t BS_TYPEMASK = 0xF;
#endif

// Static controls: the low five bits are the kind.
#ifndef SS_LEFT
inline constexpr uint32_t SS_LEFT = 0x0;
#endif
#ifndef SS_RIGHT
inline constexpr uint32_t SS_RIGHT = 0x2;
#endif
#ifndef SS_ICON
inline constexpr uint32_t SS_ICON = 0x3;
#endif
#ifndef SS_TYPEMASK
inline constexpr uint32_t SS_TYPEMASK = 0x1F;
#endif
#ifndef SS_NOPREFIX
inline constexpr uint32_t SS_NOPREFIX = 0x80;
#endif
#ifndef SS_CENTERIMAGE
inline constexpr uint32_t SS_CENTERIMAGE = 0x200;
#endif

// Edit controls.
#ifndef ES_LEFT
inline constexpr uint32_t ES_LEFT = 0x0;
#endif
#ifndef ES_AUTOHSCROLL
inline constexpr uint32_t ES_AUTOHSCROLL = 0x80;
#endif
#ifndef ES_READONLY
inline constexpr uint32_t ES_READONLY = 0x800;
#endif

# Cross build for 32-bit Windows (x86) with MinGW-w64: see mingw-w64.cmake. The driver library ABI is
# __cdecl with undecorated export names on this architecture (usb/driver_abi.h).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TARNEX_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

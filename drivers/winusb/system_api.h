// The entry points of SetupAPI and WinUSB that the driver library calls, bound by name from the
// system directory and from nowhere else.
//
// The flasher writes this library into %TEMP% and loads it with that folder first in the search path, so
// a DLL this library imported statically would be looked for in %TEMP% first: anyone who can write
// there could plant a winusb.dll of their own. Both are therefore loaded at run time with
// LOAD_LIBRARY_SEARCH_SYSTEM32 (on a Windows 7 without that flag, by full path from the system directory,
// its dependencies again from there), the first time they are needed, and stay loaded until the process
// ends: a library must not unload others from DllMain.
#pragma once

#include <windows.h>

#include <setupapi.h>
#include <winusb.h>

namespace tarnex::winusb {

struct SetupApi {
    decltype(&::SetupDiGetClassDevsW) SetupDiGetClassDevsW;
    decltype(&::SetupDiEnumDeviceInterfaces) SetupDiEnumDeviceInterfaces;
    decltype(&::SetupDiGetDeviceInterfaceDetailW) SetupDiGetDeviceInterfaceDetailW;
    decltype(&::SetupDiDestroyDeviceInfoList) SetupDiDestroyDeviceInfoList;
};

struct WinUsbApi {
    decltype(&::WinUsb_Initialize) WinUsb_Initialize;
    decltype(&::WinUsb_Free) WinUsb_Free;
    decltype(&::WinUsb_GetDescriptor) WinUsb_GetDescriptor;
    decltype(&::WinUsb_QueryInterfaceSettings) WinUsb_QueryInterfaceSettings;
    decltype(&::WinUsb_QueryPipe) WinUsb_QueryPipe;
    decltype(&::WinUsb_ReadPipe) WinUsb_ReadPipe;
    decltype(&::WinUsb_WritePipe) WinUsb_WritePipe;
    decltype(&::WinUsb_AbortPipe) WinUsb_AbortPipe;
    decltype(&::WinUsb_GetOverlappedResult) WinUsb_GetOverlappedResult;
    decltype(&::WinUsb_SetPipePolicy) WinUsb_SetPipePolicy;
};

// The bound table, loading the DLL on the first call (any thread; later calls only read). Null when the
// DLL is not in the system directory or lacks one of the entry points; the last-error value then says
// why (ERROR_MOD_NOT_FOUND, ERROR_PROC_NOT_FOUND ...), on every call, not only the first.
const SetupApi *setup_api();
const WinUsbApi *winusb_api();

} // namespace tarnex::winusb

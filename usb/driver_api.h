// The driver operation table: the twelve operations of the driver library, bound by name from the
// library loaded at start-up.
#pragma once

#include "os/os_api.h"
#include "usb/driver_abi.h"

#include <string>

// The operations under their export names, in the order of the driver library's interface. Every
// call may block inside the driver; the two transfers block up to their time-out. Each returns null
// or false on failure and leaves the reason in the calling thread's last-error value: the time-out
// code when a read's time-out passed, another code once the device is gone.
//
// Enumeration, interface creation, names, serial numbers, descriptors, endpoint opening and closing
// are called on the window thread (discovery); the two transfers on the worker thread, which may
// overlap with the window thread opening and closing a second handle on the same interface. Drivers
// take no lock of ours and need none.
struct DriverApi {
    AdbEnumInterfacesFn AdbEnumInterfaces;
    AdbNextInterfaceFn AdbNextInterface;
    AdbCreateInterfaceByNameFn AdbCreateInterfaceByName;
    AdbGetInterfaceNameFn AdbGetInterfaceName;
    AdbGetSerialNumberFn AdbGetSerialNumber;
    AdbGetUsbDeviceDescriptorFn AdbGetUsbDeviceDescriptor;
    AdbGetUsbInterfaceDescriptorFn AdbGetUsbInterfaceDescriptor;
    AdbOpenDefaultBulkReadEndpointFn AdbOpenDefaultBulkReadEndpoint;
    AdbOpenDefaultBulkWriteEndpointFn AdbOpenDefaultBulkWriteEndpoint;
    AdbReadEndpointSyncFn AdbReadEndpointSync;
    AdbWriteEndpointSyncFn AdbWriteEndpointSync;
    AdbCloseHandleFn AdbCloseHandle;
};

// The process-wide table the transport calls through. All null until start-up binds it (window
// thread, before the first poll), read-only while the library is loaded, cleared again before the
// library is unloaded. Tests may fill it with functions of their own.
extern DriverApi g_DriverApi;

// Binds all twelve operations of `library` by export name into *api. Window thread.
// True when every export was found. Otherwise *api is left all null, so that no caller can reach a
// missing operation through a half-filled table, and *missing (when not null) names every absent
// export, comma-separated, for the start-up error message.
bool bind_driver_api(OsLibrary library, DriverApi *api, std::string *missing);

// True when every operation of `api` is set. The transport checks it before any driver call, so an
// unbound table fails like an absent device instead of crashing.
bool driver_api_complete(const DriverApi &api);

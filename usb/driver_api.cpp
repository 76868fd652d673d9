#include "usb/driver_api.h"

DriverApi g_DriverApi = {};

namespace {

// Looks up one export and stores it with its own function type; notes its name when it is absent.
template <typename Function>
void bind_one(OsLibrary library, const char *name, Function *slot, std::string *missing) {
    void *address = g_OsApi.library_symbol(library, name);
    *slot = reinterpret_cast<Function>(address);
    if (address == nullptr) {
        if (!missing->empty())
            *missing += ", ";
        *missing += name;
    }
}

} // namespace

bool bind_driver_api(OsLibrary library, DriverApi *api, std::string *missing) {
    DriverApi bound = {};
    std::string absent;
    bind_one(library, "AdbEnumInterfaces", &bound.AdbEnumInterfaces, &absent);
    bind_one(library, "AdbNextInterface", &bound.AdbNextInterface, &absent);
    bind_one(library, "AdbCreateInterfaceByName", &bound.AdbCreateInterfaceByName, &absent);
    bind_one(library, "AdbGetInterfaceName", &bound.AdbGetInterfaceName, &absent);
    bind_one(library, "AdbGetSerialNumber", &bound.AdbGetSerialNumber, &absent);
    bind_one(library, "AdbGetUsbDeviceDescriptor", &bound.AdbGetUsbDeviceDescriptor, &absent);
    bind_one(library, "AdbGetUsbInterfaceDescriptor", &bound.AdbGetUsbInterfaceDescriptor, &absent);
    bind_one(library, "AdbOpenDefaultBulkReadEndpoint", &bound.AdbOpenDefaultBulkReadEndpoint, &absent);
    bind_one(library, "AdbOpenDefaultBulkWriteEndpoint", &bound.AdbOpenDefaultBulkWriteEndpoint, &absent);
    bind_one(library, "AdbReadEndpointSync", &bound.AdbReadEndpointSync, &absent);
    bind_one(library, "AdbWriteEndpointSync", &bound.AdbWriteEndpointSync, &absent);
    bind_one(library, "AdbCloseHandle", &bound.AdbCloseHandle, &absent);

    if (missing != nullptr)
        *missing = absent;
    *api = absent.empty() ? bound : DriverApi{};
    return absent.empty();
}

bool driver_api_complete(const DriverApi &api) {
    return api.AdbEnumInterfaces != nullptr && api.AdbNextInterface != nullptr &&
           api.AdbCreateInterfaceByName != nullptr && api.AdbGetInterfaceName != nullptr &&
           api.AdbGetSerialNumber != nullptr && api.AdbGetUsbDeviceDescriptor != nullptr &&
           api.AdbGetUsbInterfaceDescriptor != nullptr && api.AdbOpenDefaultBulkReadEndpoint != nullptr &&
           api.AdbOpenDefaultBulkWriteEndpoint != nullptr && api.AdbReadEndpointSync != nullptr &&
           api.AdbWriteEndpointSync != nullptr && api.AdbCloseHandle != nullptr;
}

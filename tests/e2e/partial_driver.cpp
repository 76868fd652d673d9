// A driver library that exports eleven of the twelve operations (AdbCloseHandle is missing): what a
// wrong or damaged library in a package looks like to start-up. None of them is ever called.
#ifdef _WIN32
#define PARTIAL_EXPORT extern "C" __declspec(dllexport)
#else
#define PARTIAL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

PARTIAL_EXPORT void *AdbEnumInterfaces() {
    return nullptr;
}
PARTIAL_EXPORT bool AdbNextInterface() {
    return false;
}
PARTIAL_EXPORT void *AdbCreateInterfaceByName() {
    return nullptr;
}
PARTIAL_EXPORT bool AdbGetInterfaceName() {
    return false;
}
PARTIAL_EXPORT bool AdbGetSerialNumber() {
    return false;
}
PARTIAL_EXPORT bool AdbGetUsbDeviceDescriptor() {
    return false;
}
PARTIAL_EXPORT bool AdbGetUsbInterfaceDescriptor() {
    return false;
}
PARTIAL_EXPORT void *AdbOpenDefaultBulkReadEndpoint() {
    return nullptr;
}
PARTIAL_EXPORT void *AdbOpenDefaultBulkWriteEndpoint() {
    return nullptr;
}
PARTIAL_EXPORT bool AdbReadEndpointSync() {
    return false;
}
PARTIAL_EXPORT bool AdbWriteEndpointSync() {
    return false;
}

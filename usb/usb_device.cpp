#include "usb/usb_device.h"

#include "os/os_api.h"
#include "usb/driver_api.h"

#include <cerrno>
#include <cstring>
#include <new>

namespace {

// Leaves `code` in both the last-error value and the C runtime error number, the two places callers
// of this layer look.
void set_error(uint32_t code) {
    g_OsApi.set_last_error(code);
    errno = static_cast<int>(code);
}

// Undoes a half-done open and reports the failed step's error. The clean-up makes driver calls of its
// own, which may leave codes of their own; those must not hide why the open failed.
UsbDeviceHandle *fail_open(UsbDeviceHandle *handle) {
    uint32_t error = g_OsApi.get_last_error();
    free_device(handle);
    // A driver that failed without saying why still must not leave "success" behind.
    set_error(error != 0 ? error : OS_ERROR_DEVICE_FAULT);
    return nullptr;
}

} // namespace

UsbDeviceHandle *open_device_interface(const char16_t *name) {
    if (name == nullptr || !driver_api_complete(g_DriverApi)) {
        set_error(OS_ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto *handle = new (std::nothrow) UsbDeviceHandle{};
    if (handle == nullptr)
        return nullptr;

    handle->interface_handle = g_DriverApi.AdbCreateInterfaceByName(name);
    if (handle->interface_handle == nullptr)
        return fail_open(handle);
    // Access type 0 and sharing mode 0: read and write, shared, so that the poll can open the same
    // interface again while the worker transfers on this handle.
    handle->read_endpoint = g_DriverApi.AdbOpenDefaultBulkReadEndpoint(handle->interface_handle, 0, 0);
    if (handle->read_endpoint == nullptr)
        return fail_open(handle);
    handle->write_endpoint = g_DriverApi.AdbOpenDefaultBulkWriteEndpoint(handle->interface_handle, 0, 0);
    if (handle->write_endpoint == nullptr)
        return fail_open(handle);

    // The first call only asks for the size, NUL included; its result is meaningless.
    uint32_t size = 0;
    g_DriverApi.AdbGetInterfaceName(handle->interface_handle, nullptr, &size, true);
    if (size == 0)
        return fail_open(handle);
    handle->interface_name = new (std::nothrow) char[size];
    if (handle->interface_name == nullptr) {
        g_OsApi.set_last_error(OS_ERROR_OUT_OF_MEMORY);
        return fail_open(handle);
    }
    uint32_t filled = size;
    if (!g_DriverApi.AdbGetInterfaceName(handle->interface_handle, handle->interface_name, &filled, true))
        return fail_open(handle);
    // The name is later used as a C string; never trust the driver to have terminated it.
    handle->interface_name[size - 1] = '\0';
    return handle;
}

void release_device(UsbDeviceHandle *handle) {
    if (handle == nullptr)
        return;
    delete[] handle->interface_name;
    // Endpoints belong to their interface: close them first.
    if (handle->write_endpoint != nullptr)
        g_DriverApi.AdbCloseHandle(handle->write_endpoint);
    if (handle->read_endpoint != nullptr)
        g_DriverApi.AdbCloseHandle(handle->read_endpoint);
    if (handle->interface_handle != nullptr)
        g_DriverApi.AdbCloseHandle(handle->interface_handle);
    *handle = UsbDeviceHandle{};
}

int free_device(UsbDeviceHandle *handle) {
    if (handle == nullptr)
        return 0;
    release_device(handle);
    delete handle;
    return 0;
}

int probe_interface(UsbDeviceHandle *handle, InterfaceMatch match) {
    return probe_interface_info(handle, match, nullptr);
}

int probe_interface_info(UsbDeviceHandle *handle, InterfaceMatch match, UsbInterfaceInfo *judged) {
    if (handle == nullptr || handle->interface_handle == nullptr || match == nullptr ||
        !driver_api_complete(g_DriverApi))
        return 0;
    UsbDeviceDescriptor device = {};
    if (!g_DriverApi.AdbGetUsbDeviceDescriptor(handle->interface_handle, &device))
        return 0;
    UsbInterfaceDescriptor interface = {};
    if (!g_DriverApi.AdbGetUsbInterfaceDescriptor(handle->interface_handle, &interface))
        return 0;
    // Fastboot is one bulk-in and one bulk-out endpoint; anything else is another function of the
    // phone (or another phone's driver) sharing the class.
    if (interface.bNumEndpoints != 2)
        return 0;

    UsbInterfaceInfo info = {};
    info.vendor_id = device.idVendor;
    info.product_id = device.idProduct;
    info.device_class = device.bDeviceClass;
    info.device_subclass = device.bDeviceSubClass;
    info.device_protocol = device.bDeviceProtocol;
    info.interface_class = interface.bInterfaceClass;
    info.interface_subclass = interface.bInterfaceSubClass;
    info.interface_protocol = interface.bInterfaceProtocol;
    uint32_t size = sizeof info.serial_number;
    if (!g_DriverApi.AdbGetSerialNumber(handle->interface_handle, info.serial_number, &size, true))
        info.serial_number[0] = '\0';
    info.serial_number[sizeof info.serial_number - 1] = '\0';
    if (judged != nullptr)
        *judged = info;
    return match(&info) == 0 ? 1 : 0;
}

int32_t is_fastboot_interface(const UsbInterfaceInfo *info) {
    return info->interface_class == 0xFF && info->interface_subclass == 0x42 &&
                   info->interface_protocol == 0x03
               ? 0
               : -1;
}

bool list_interface_names(std::vector<std::u16string> *names) {
    names->clear();
    if (!driver_api_complete(g_DriverApi)) {
        set_error(OS_ERROR_INVALID_HANDLE);
        return false;
    }
    ADBAPIHANDLE enumeration = g_DriverApi.AdbEnumInterfaces(ANDROID_USB_CLASS_ID, true, true, true);
    if (enumeration == nullptr)
        return false;

    constexpr uint32_t ENTRY_SIZE = 2048;
    constexpr size_t NAME_UNITS = (ENTRY_SIZE - ADB_INTERFACE_NAME_OFFSET) / sizeof(char16_t);
    alignas(AdbInterfaceInfo) unsigned char entry[ENTRY_SIZE];
    for (;;) {
        std::memset(entry, 0, sizeof entry);
        uint32_t size = ENTRY_SIZE;
        if (!g_DriverApi.AdbNextInterface(enumeration, reinterpret_cast<AdbInterfaceInfo *>(entry), &size))
            break;
        // Copied out, and cut at the end of the entry in case the driver filled it without a terminator.
        char16_t name[NAME_UNITS + 1];
        std::memcpy(name, entry + ADB_INTERFACE_NAME_OFFSET, NAME_UNITS * sizeof(char16_t));
        name[NAME_UNITS] = u'\0';
        names->emplace_back(name);
    }
    g_DriverApi.AdbCloseHandle(enumeration);
    return true;
}

UsbDeviceHandle *scan_for_device(InterfaceMatch match) {
    std::vector<std::u16string> names;
    if (!list_interface_names(&names))
        return nullptr;
    UsbDeviceHandle *found = nullptr;
    for (const std::u16string &name : names) {
        UsbDeviceHandle *handle = open_device_interface(name.c_str());
        if (handle == nullptr)
            continue;
        // Two phones, or one phone offering two such interfaces: the first in the driver's order is the
        // one to watch and flash; no other handle of the walk may stay open.
        if (probe_interface(handle, match) == 0 || found != nullptr) {
            free_device(handle);
            continue;
        }
        found = handle;
    }
    return found;
}

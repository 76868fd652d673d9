// Device discovery and handles: finding the phone's fastboot interface among the interfaces the driver
// lists, opening it with its two bulk endpoints, and closing it again.
//
// Everything here runs on the window thread (the poll and "Exit"); the worker only uses the endpoints
// of a handle it was given (bulk_transfer.h). Failures are never shown to the operator: callers see
// null or 0 and try again on the next poll.
#pragma once

#include "usb/driver_abi.h"

#include <cstdint>
#include <string>
#include <vector>

// One open interface. A heap record: created by open_device_interface (or scan_for_device), owned by
// whoever holds it, ended only by free_device. Each field is set as soon as its resource is obtained,
// so a half-done open can be undone by releasing what is set.
struct UsbDeviceHandle {
    ADBAPIHANDLE interface_handle;
    ADBAPIHANDLE read_endpoint;  // default bulk-in endpoint, device to host
    ADBAPIHANDLE write_endpoint; // default bulk-out endpoint, host to device
    char *interface_name;        // 8-bit text as the driver gives it, NUL-terminated: the key to reopen
};

// What a match function judges about one interface. Lives only during probe_interface.
struct UsbInterfaceInfo {
    uint16_t vendor_id;
    uint16_t product_id;
    uint8_t device_class;
    uint8_t device_subclass;
    uint8_t device_protocol;
    uint8_t interface_class;
    uint8_t interface_subclass;
    uint8_t interface_protocol;
    char serial_number[256]; // NUL-terminated; empty when the driver gives none
};

// Judges an interface: 0 accepts it, any other value refuses it.
using InterfaceMatch = int32_t (*)(const UsbInterfaceInfo *info);

// Opens the interface with the NUL-terminated UTF-16 `name` and both its bulk endpoints. Returns a new
// record, or null. On failure whatever was obtained is released again, and the C runtime error number
// and the last-error value both hold the error of the step that failed (OS_ERROR_OUT_OF_MEMORY when
// the name buffer could not be allocated); when the record itself cannot be allocated neither is set.
UsbDeviceHandle *open_device_interface(const char16_t *name);

// Closes the endpoints, then the interface, frees the name and nulls all four fields; the record
// itself stays. A null handle, and fields already null, are ignored: releasing twice is harmless.
void release_device(UsbDeviceHandle *handle);

// release_device, then frees the record. A null handle is ignored. Returns 0.
int free_device(UsbDeviceHandle *handle);

// 1 when the interface has exactly two endpoints and `match` accepts its UsbInterfaceInfo, else 0 (a
// null or released handle, an unreadable descriptor, another endpoint count: `match` is then not
// called). An unreadable serial number is no failure: it is judged as the empty text.
int probe_interface(UsbDeviceHandle *handle, InterfaceMatch match);

// probe_interface, also handing out what was judged in *info (when not null) whenever `match` was
// called.
int probe_interface_info(UsbDeviceHandle *handle, InterfaceMatch match, UsbInterfaceInfo *info);

// The names of every interface the driver lists under ANDROID_USB_CLASS_ID, in the driver's order, each
// NUL-terminated by the string itself. False, with *names empty, when the driver gives no enumeration.
bool list_interface_names(std::vector<std::u16string> *names);

// The fastboot interface: class 0xFF, subclass 0x42, protocol 0x03, whatever the vendor, product,
// device class or serial number. 0 accepts, -1 refuses.
int32_t is_fastboot_interface(const UsbInterfaceInfo *info);

// Walks every interface the driver lists under ANDROID_USB_CLASS_ID and returns an open handle on the
// first one, in the driver's order, that probe_interface accepts with `match`; null when none does.
// Every other handle opened during the walk is freed, and the enumeration is always closed.
UsbDeviceHandle *scan_for_device(InterfaceMatch match);

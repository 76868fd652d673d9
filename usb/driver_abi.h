// The driver library ABI: the twelve operations that every USB driver library in a package exports
// (the simulated phone, a real back end, or the stock Windows driver library whose layout this is).
//
// This header is shared by the core, which binds the operations by name at start-up, and by the driver
// libraries we build, which export them. It is plain C layout on purpose: nothing here may depend on
// our compiler's C++ ABI.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define ADBAPI_CALL __cdecl
#else
#define ADBAPI_CALL
#endif

extern "C" {

// Opaque handle to an enumeration, an interface or an endpoint; null on failure.
typedef void *ADBAPIHANDLE;

// Windows GUID layout.
typedef struct {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} AdbGuid;

// One entry of an enumeration. The NUL-terminated UTF-16 interface name starts at byte 20; the entry
// buffer handed to AdbNextInterface is larger than this struct and the name runs on past it.
typedef struct {
    AdbGuid class_id;
    uint32_t flags;
    char16_t device_name[1];
} AdbInterfaceInfo;

#pragma pack(push, 1)
// USB standard device descriptor, 18 bytes, little-endian fields.
typedef struct {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t bcdUSB;
    uint8_t bDeviceClass;
    uint8_t bDeviceSubClass;
    uint8_t bDeviceProtocol;
    uint8_t bMaxPacketSize0;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    uint8_t iManufacturer;
    uint8_t iProduct;
    uint8_t iSerialNumber;
    uint8_t bNumConfigurations;
} UsbDeviceDescriptor;

// USB standard interface descriptor, 9 bytes.
typedef struct {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bInterfaceNumber;
    uint8_t bAlternateSetting;
    uint8_t bNumEndpoints;
    uint8_t bInterfaceClass;
    uint8_t bInterfaceSubClass;
    uint8_t bInterfaceProtocol;
    uint8_t iInterface;
} UsbInterfaceDescriptor;
#pragma pack(pop)

// The function types of the twelve exports, under the export names given in the comments.
typedef ADBAPIHANDLE(ADBAPI_CALL *AdbEnumInterfacesFn)(AdbGuid class_id, bool exclude_not_present,
                                                       bool exclude_removed, bool active_only);
typedef bool(ADBAPI_CALL *AdbNextInterfaceFn)(ADBAPIHANDLE enumeration, AdbInterfaceInfo *info,
                                              uint32_t *size);
typedef ADBAPIHANDLE(ADBAPI_CALL *AdbCreateInterfaceByNameFn)(const char16_t *name);
typedef bool(ADBAPI_CALL *AdbGetInterfaceNameFn)(ADBAPIHANDLE iface, void *buffer, uint32_t *size, bool ansi);
typedef bool(ADBAPI_CALL *AdbGetSerialNumberFn)(ADBAPIHANDLE iface, void *buffer, uint32_t *size, bool ansi);
typedef bool(ADBAPI_CALL *AdbGetUsbDeviceDescriptorFn)(ADBAPIHANDLE iface, UsbDeviceDescriptor *descriptor);
typedef bool(ADBAPI_CALL *AdbGetUsbInterfaceDescriptorFn)(ADBAPIHANDLE iface,
                                                          UsbInterfaceDescriptor *descriptor);
typedef ADBAPIHANDLE(ADBAPI_CALL *AdbOpenDefaultBulkReadEndpointFn)(ADBAPIHANDLE iface, int access_type,
                                                                    int sharing_mode);
typedef ADBAPIHANDLE(ADBAPI_CALL *AdbOpenDefaultBulkWriteEndpointFn)(ADBAPIHANDLE iface, int access_type,
                                                                     int sharing_mode);
typedef bool(ADBAPI_CALL *AdbReadEndpointSyncFn)(ADBAPIHANDLE endpoint, void *buffer, uint32_t bytes_to_read,
                                                 uint32_t *bytes_read, uint32_t timeout_ms);
typedef bool(ADBAPI_CALL *AdbWriteEndpointSyncFn)(ADBAPIHANDLE endpoint, void *buffer,
                                                  uint32_t bytes_to_write, uint32_t *bytes_written,
                                                  uint32_t timeout_ms);
typedef bool(ADBAPI_CALL *AdbCloseHandleFn)(ADBAPIHANDLE handle);

} // extern "C"

static_assert(sizeof(AdbGuid) == 16, "AdbGuid has the Windows GUID layout");
static_assert(sizeof(UsbDeviceDescriptor) == 18, "device descriptor is 18 bytes");
static_assert(sizeof(UsbInterfaceDescriptor) == 9, "interface descriptor is 9 bytes");
static_assert(sizeof(bool) == 1, "the ABI's bool is one byte");

// The interface class under which Android interfaces are enumerated:
// {F72FE0D4-CBCB-407D-8814-9ED673D0DD6B}.
inline constexpr AdbGuid ANDROID_USB_CLASS_ID = {
    0xF72FE0D4, 0xCBCB, 0x407D, {0x88, 0x14, 0x9E, 0xD6, 0x73, 0xD0, 0xDD, 0x6B}};

// Byte offset of the UTF-16 name inside an enumeration entry.
inline constexpr uint32_t ADB_INTERFACE_NAME_OFFSET = 20;
static_assert(offsetof(AdbInterfaceInfo, device_name) == ADB_INTERFACE_NAME_OFFSET);

// What the WinUSB driver library makes of bytes that come from outside: the string descriptors a device
// sends, and the device descriptor it reports.
// Pure functions over (pointer, length), portable, so that they are tested and fuzzed on every platform.
#pragma once

#include "usb/driver_abi.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarnex::winusb {

inline constexpr uint8_t DEVICE_DESCRIPTOR_TYPE = 1;
inline constexpr uint8_t STRING_DESCRIPTOR_TYPE = 3;
inline constexpr size_t DEVICE_DESCRIPTOR_SIZE = 18;
// A string descriptor is at most 255 bytes: its length field is one byte.
inline constexpr size_t STRING_DESCRIPTOR_MAX = 255;
// The language asked for when a device names none: English (United States), which nearly every device
// that has strings offers.
inline constexpr uint16_t DEFAULT_LANGUAGE = 0x0409;

// A device descriptor as it came back: true when `size` bytes hold one (length at least 18, type 1).
// Devices may report a larger bLength; the first 18 bytes are the standard descriptor either way.
bool is_device_descriptor(const uint8_t *data, size_t size);

// String descriptor 0: the first language the device offers. False when the bytes are no such
// descriptor or list no language.
bool first_language(const uint8_t *data, size_t size, uint16_t *language);

// A string descriptor's text, the UTF-16 code units after its two header bytes, as many as both its
// length field and `size` hold (a device that claims more than it sent is cut at what it sent; an odd
// trailing byte is dropped). Stops at an embedded NUL, which no C string could carry on. False when the
// bytes are no string descriptor.
bool string_descriptor_text(const uint8_t *data, size_t size, std::u16string *text);

// Whether an interface with these SetupAPI flags (SPINT_ACTIVE 1, SPINT_REMOVED 4) is listed.
inline constexpr uint32_t INTERFACE_ACTIVE = 0x1;
inline constexpr uint32_t INTERFACE_REMOVED = 0x4;
bool interface_listed(uint32_t flags, bool exclude_removed, bool active_only);

} // namespace tarnex::winusb

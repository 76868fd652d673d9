// Interface names of the libusb driver library: "usb:BUS-PORT[.PORT...]:INTERFACE", for example
// "usb:1-4.2:1" (bus 1, port 2 of the hub on port 4, interface 1). A name says where the interface is
// plugged, not which device it is, so that a phone replugged into the same port gets the same name; that
// is why opening by name must also check that the device it once named is still there.
//
// Pure functions over text, no libusb: the library uses them, and so do its tests and the emulation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnex::libusb_driver {

// The deepest tree USB allows: the root hub plus seven tiers.
inline constexpr size_t MAX_PORT_DEPTH = 7;

struct InterfaceLocation {
    uint8_t bus = 0;
    std::vector<uint8_t> ports; // from the root hub down; never empty for a device that has a name
    uint8_t interface_number = 0;

    bool operator==(const InterfaceLocation &) const = default;
};

// "usb:1-4.2:1". An empty text for a location without ports (a root hub) or deeper than USB allows.
std::string format_interface_name(const InterfaceLocation &location);

// The reverse; nullopt for anything format_interface_name does not produce (no leading zeros, no
// blanks, no port 0, decimal numbers of at most three digits that fit their field).
std::optional<InterfaceLocation> parse_interface_name(std::string_view name);

// The port path alone, "1-4.2", as the kernel names the device in sysfs.
std::string format_port_path(uint8_t bus, const std::vector<uint8_t> &ports);

// UTF-16 (a string descriptor's text) to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);

// UTF-8 to UTF-16; each ill-formed sequence becomes U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);

} // namespace tarnex::libusb_driver

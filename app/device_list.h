// The phones a package is made for: the hardware ids of "DeviceList.dat", which the station's "Auto
// start" goes by.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct HardwareId {
    uint16_t vendor;
    uint16_t product;
    bool operator==(const HardwareId &) const = default;
};

// The hardware ids of a device list (outside bytes: any content is taken, nothing is trusted). The text
// is lines ended by LF or CR LF; blank lines and lines whose first non-blank character is '#' are
// comments. A line names a phone when it holds "Vid_" and "Pid_" each followed by four hexadecimal
// digits, as in "USB\Vid_18d1&Pid_d00d&Rev_0100"; the markers and digits are read in any letter case,
// as Windows reads hardware ids. Other lines are skipped. In the order of the file, each id once.
std::vector<HardwareId> parse_device_list(const uint8_t *data, size_t size);

// Whether `list` names the phone with these ids.
bool device_list_names(const std::vector<HardwareId> &list, uint16_t vendor, uint16_t product);

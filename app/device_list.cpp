#include "app/device_list.h"

#include <algorithm>
#include <string_view>

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The four hex digits after the first `marker` ("vid_", "pid_", lower case) in `line`, in any case.
bool read_id(std::string_view line, std::string_view marker, uint16_t *value) {
    for (size_t at = 0; at + marker.size() + 4 <= line.size(); ++at) {
        bool found = true;
        for (size_t i = 0; i < marker.size() && found; ++i)
            found = lower(line[at + i]) == marker[i];
        if (!found)
            continue;
        uint32_t number = 0;
        for (size_t i = 0; i < 4; ++i) {
            const int digit = hex_value(line[at + marker.size() + i]);
            if (digit < 0)
                return false;
            number = number << 4 | static_cast<uint32_t>(digit);
        }
        *value = static_cast<uint16_t>(number);
        return true;
    }
    return false;
}

} // namespace

std::vector<HardwareId> parse_device_list(const uint8_t *data, size_t size) {
    std::vector<HardwareId> ids;
    if (data == nullptr)
        return ids;
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string_view::npos || line[first] == '#')
            continue;
        HardwareId id = {};
        if (read_id(line, "vid_", &id.vendor) && read_id(line, "pid_", &id.product) &&
            std::find(ids.begin(), ids.end(), id) == ids.end())
            ids.push_back(id);
    }
    return ids;
}

bool device_list_names(const std::vector<HardwareId> &list, uint16_t vendor, uint16_t product) {
    return std::find(list.begin(), list.end(), HardwareId{vendor, product}) != list.end();
}

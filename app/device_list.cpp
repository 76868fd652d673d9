#include "app/device_list.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string_view>

namespace {

// The four hex digits after the first `marker` ("vid_", "pid_", lower case) in `line`, in any case.
bool read_id(std::string_view line, std::string_view marker, uint16_t *value) {
    for (size_t at = 0; at + marker.size() + 4 <= line.size(); ++at) {
        bool found = true;
        for (size_t i = 0; i < marker.size() && found; ++i)
            found = std::tolower(static_cast<unsigned char>(line[at + i])) == marker[i];
        if (!found)
            continue;
        const char *digits = line.data() + at + marker.size();
        const std::from_chars_result read = std::from_chars(digits, digits + 4, *value, 16);
        return read.ec == std::errc() && read.ptr == digits + 4;
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

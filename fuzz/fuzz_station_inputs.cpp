// Outside bytes the station takes: a package's device list, and texts from phones (serial numbers,
// FAIL replies) on their way into the record. The parser must read only what it was given; a text must
// come out as well-formed UTF-8 and as one CSV field that reads back as that text.
#include "app/device_list.h"
#include "app/record_file.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void require(bool condition) {
    if (!condition)
        abort();
}

bool well_formed_utf8(const std::string &text) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<uint8_t>(text[i]);
        const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
        if (length == 0 || i + length > text.size())
            return false;
        for (size_t k = 1; k < length; ++k)
            if ((static_cast<uint8_t>(text[i + k]) & 0xC0) != 0x80)
                return false;
        i += length;
    }
    return true;
}

// The field's text as a CSV reader gets it back.
std::string unquote(const std::string &field) {
    if (field.empty() || field[0] != '"')
        return field;
    require(field.size() >= 2 && field.back() == '"');
    std::string text;
    for (size_t i = 1; i + 1 < field.size(); ++i) {
        text += field[i];
        if (field[i] == '"') {
            require(field[i + 1] == '"');
            ++i;
        }
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<HardwareId> ids = parse_device_list(data, size);
    // Each at most once, and never more than the text has lines.
    for (size_t i = 0; i < ids.size(); ++i)
        require(std::count(ids.begin(), ids.end(), ids[i]) == 1);
    require(ids.size() <= static_cast<size_t>(std::count(data, data + size, '\n')) + 1);

    const std::string text(reinterpret_cast<const char *>(data),
                           strnlen(reinterpret_cast<const char *>(data), size));
    const std::string utf8 = utf8_text(text);
    require(well_formed_utf8(utf8));
    const std::string field = csv_field(utf8);
    require(unquote(field) == utf8);
    require(field[0] == '"' || field.find_first_of(",\"\r\n") == std::string::npos);
    return 0;
}

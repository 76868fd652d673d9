#include "drivers/winusb/usb_descriptors.h"

namespace tarnex::winusb {

namespace {

uint16_t load_le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// The part of a string descriptor both its length field and the transfer vouch for, or 0 when the
// header itself is not there.
size_t string_descriptor_span(const uint8_t *data, size_t size) {
    if (data == nullptr || size < 2 || data[1] != STRING_DESCRIPTOR_TYPE || data[0] < 2)
        return 0;
    return data[0] < size ? data[0] : size;
}

} // namespace

bool is_device_descriptor(const uint8_t *data, size_t size) {
    return data != nullptr && size >= DEVICE_DESCRIPTOR_SIZE && data[0] >= DEVICE_DESCRIPTOR_SIZE &&
           data[1] == DEVICE_DESCRIPTOR_TYPE;
}

bool first_language(const uint8_t *data, size_t size, uint16_t *language) {
    size_t span = string_descriptor_span(data, size);
    if (span < 4)
        return false;
    *language = load_le16(data + 2);
    return true;
}

bool string_descriptor_text(const uint8_t *data, size_t size, std::u16string *text) {
    size_t span = string_descriptor_span(data, size);
    if (span == 0)
        return false;
    text->clear();
    for (size_t at = 2; at + 1 < span; at += 2) {
        char16_t unit = load_le16(data + at);
        if (unit == 0)
            break;
        text->push_back(unit);
    }
    return true;
}

bool interface_listed(uint32_t flags, bool exclude_removed, bool active_only) {
    if (exclude_removed && (flags & INTERFACE_REMOVED) != 0)
        return false;
    return !active_only || (flags & INTERFACE_ACTIVE) != 0;
}

} // namespace tarnex::winusb

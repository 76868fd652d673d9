#include "drivers/winusb/usb_descriptors.h"

namespace tarnex::winusb {

namespace {

uint16_t load_le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

void store_le16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void store_le32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
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

uint64_t interface_entry_size(size_t name_units) {
    return ADB_INTERFACE_NAME_OFFSET + 2 * (static_cast<uint64_t>(name_units) + 1);
}

void write_interface_entry(uint8_t *out, const AdbGuid &class_id, uint32_t flags, const char16_t *name,
                           size_t name_units) {
    store_le32(out, class_id.Data1);
    store_le16(out + 4, class_id.Data2);
    store_le16(out + 6, class_id.Data3);
    for (int i = 0; i < 8; ++i)
        out[8 + i] = class_id.Data4[i];
    store_le32(out + 16, flags);
    uint8_t *at = out + ADB_INTERFACE_NAME_OFFSET;
    for (size_t i = 0; i < name_units; ++i, at += 2)
        store_le16(at, static_cast<uint16_t>(name[i]));
    store_le16(at, 0);
}

} // namespace tarnex::winusb

// The enumeration entry of the driver ABI, as a driver library lays it out for AdbNextInterface: the
// class GUID in its Windows layout, the flags, then the UTF-16 name with its terminator from byte 20 on,
// all little-endian. Header only, so that the driver libraries use it without the transport.
#pragma once

#include "usb/driver_abi.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>

// Bytes an entry with a name of `name_units` UTF-16 units (terminator not counted) needs.
inline uint64_t adb_interface_entry_size(size_t name_units) {
    return ADB_INTERFACE_NAME_OFFSET + 2 * (static_cast<uint64_t>(name_units) + 1);
}

// Lays the entry out at `out`, which holds adb_interface_entry_size(name_units) bytes. The name is
// UTF-16 (char16_t) or ASCII (char, each byte one unit).
template <typename Unit>
void adb_write_interface_entry(uint8_t *out, const AdbGuid &class_id, uint32_t flags, const Unit *name,
                               size_t name_units) {
    auto le16 = [](uint8_t *p, uint16_t v) {
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
    };
    auto le32 = [](uint8_t *p, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            p[i] = static_cast<uint8_t>(v >> (8 * i));
    };
    le32(out, class_id.Data1);
    le16(out + 4, class_id.Data2);
    le16(out + 6, class_id.Data3);
    for (int i = 0; i < 8; ++i)
        out[8 + i] = class_id.Data4[i];
    le32(out + 16, flags);
    uint8_t *at = out + ADB_INTERFACE_NAME_OFFSET;
    for (size_t i = 0; i < name_units; ++i, at += 2)
        le16(at, static_cast<uint16_t>(static_cast<std::make_unsigned_t<Unit>>(name[i])));
    le16(at, 0);
}

#include "drivers/libusb/interface_name.h"

namespace tarnex::libusb_driver {

namespace {

// A decimal number of one to three digits without a leading zero, at most `limit`.
bool parse_number(std::string_view &text, unsigned limit, unsigned &value) {
    size_t n = 0;
    unsigned v = 0;
    while (n < text.size() && n < 4 && text[n] >= '0' && text[n] <= '9') {
        v = v * 10 + static_cast<unsigned>(text[n] - '0');
        ++n;
    }
    if (n == 0 || n > 3 || (n > 1 && text[0] == '0') || v > limit)
        return false;
    text.remove_prefix(n);
    value = v;
    return true;
}

bool take(std::string_view &text, char c) {
    if (text.empty() || text.front() != c)
        return false;
    text.remove_prefix(1);
    return true;
}

void append_utf8(std::string &out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void append_utf16(std::u16string &out, char32_t c) {
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 | (c >> 10));
        out += static_cast<char16_t>(0xDC00 | (c & 0x3FF));
    }
}

} // namespace

std::string format_port_path(uint8_t bus, const std::vector<uint8_t> &ports) {
    std::string text = std::to_string(bus);
    for (size_t i = 0; i < ports.size(); ++i) {
        text += i == 0 ? '-' : '.';
        text += std::to_string(ports[i]);
    }
    return text;
}

std::string format_interface_name(const InterfaceLocation &location) {
    if (location.ports.empty() || location.ports.size() > MAX_PORT_DEPTH)
        return {};
    for (uint8_t port : location.ports) {
        if (port == 0)
            return {};
    }
    return "usb:" + format_port_path(location.bus, location.ports) + ":" +
           std::to_string(location.interface_number);
}

std::optional<InterfaceLocation> parse_interface_name(std::string_view name) {
    InterfaceLocation location;
    unsigned v = 0;
    if (name.substr(0, 4) != "usb:")
        return std::nullopt;
    name.remove_prefix(4);
    if (!parse_number(name, 255, v))
        return std::nullopt;
    location.bus = static_cast<uint8_t>(v);
    if (!take(name, '-'))
        return std::nullopt;
    do {
        if (!parse_number(name, 255, v) || v == 0 || location.ports.size() == MAX_PORT_DEPTH)
            return std::nullopt;
        location.ports.push_back(static_cast<uint8_t>(v));
    } while (take(name, '.'));
    if (!take(name, ':') || !parse_number(name, 255, v) || !name.empty())
        return std::nullopt;
    location.interface_number = static_cast<uint8_t>(v);
    return location;
}

std::string utf16_to_utf8(std::u16string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        append_utf8(out, c);
    }
    return out;
}

std::u16string utf8_to_utf16(std::string_view text) {
    std::u16string out;
    size_t i = 0;
    while (i < text.size()) {
        auto b = static_cast<uint8_t>(text[i]);
        size_t len = b < 0x80             ? 1
                     : (b & 0xE0) == 0xC0 ? 2
                     : (b & 0xF0) == 0xE0 ? 3
                     : (b & 0xF8) == 0xF0 ? 4
                                          : 0;
        char32_t c = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
        bool ok = len != 0 && i + len <= text.size();
        for (size_t k = 1; ok && k < len; ++k) {
            auto cont = static_cast<uint8_t>(text[i + k]);
            ok = (cont & 0xC0) == 0x80;
            c = (c << 6) | (cont & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are ill-formed too.
        static constexpr char32_t SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};
        ok = ok && c >= SMALLEST[len] && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
        if (!ok) {
            out += u'\uFFFD';
            ++i; // resynchronise on the next byte
            continue;
        }
        append_utf16(out, c);
        i += len;
    }
    return out;
}

} // namespace tarnex::libusb_driver

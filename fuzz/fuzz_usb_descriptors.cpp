// Outside bytes into the WinUSB library: string and device descriptors as a device may send them. The
// parsers must read only what they were given and keep their promises about what they give back.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "drivers/winusb/usb_descriptors.h"

using namespace tarnex::winusb;

namespace {

void require(bool condition) {
    if (!condition)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::u16string text;
    if (string_descriptor_text(data, size, &text)) {
        // Never more units than the transfer held, and never a NUL inside.
        require(2 + 2 * text.size() <= size && 2 + 2 * text.size() <= data[0]);
        require(text.find(u'\0') == std::u16string::npos);
    }
    uint16_t language = 0;
    if (first_language(data, size, &language))
        require(size >= 4 && data[0] >= 4 && language == (data[2] | data[3] << 8));
    if (is_device_descriptor(data, size))
        require(size >= DEVICE_DESCRIPTOR_SIZE);
    return 0;
}

// Outside bytes into the packer's executable header reader: the start of a base executable or of a
// firmware's driver library, whatever it holds.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "tools/executable_format.h"

namespace {

void require(bool condition) {
    if (!condition)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // An exact copy, so that AddressSanitizer sees any read past the end.
    std::vector<uint8_t> bytes(data, data + size);
    ExecutableInfo info = read_executable_info(bytes.data(), bytes.size());
    if (info.Format == EXECUTABLE_UNKNOWN) {
        require(info.Machine == 0 && info.Bits == 0 && !info.Library);
        require(!executable_can_load(info, info));
    } else {
        require(info.Bits == 32 || info.Bits == 64);
        require(executable_can_load(info, info));
        // More bytes never change what the header fields say (a PE never looks past its header span,
        // an ELF's class and machine sit in its first 20 bytes).
        std::vector<uint8_t> longer = bytes;
        longer.resize(bytes.size() + 64, 0);
        ExecutableInfo again = read_executable_info(longer.data(), longer.size());
        require(again.Format == info.Format && again.Machine == info.Machine && again.Bits == info.Bits);
    }
    require(!executable_description(info).empty() && !executable_architecture(info).empty() &&
            !executable_format_name(info).empty());
    return 0;
}

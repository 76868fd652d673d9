// Device replies are outside input: whatever a phone (or something posing as one) answers, any bytes,
// any lengths, any number of INFO lines, failed and short transfers, the command exchange must end
// with a result it can stand behind, never a crash.
//
// The input scripts a driver table that the real transport calls:
//   byte 0     mode: bit 0 a data phase, bit 1 through send_download, bit 2 with a response buffer
//   bytes 1-2  the size offered for the data phase, little-endian
//   byte 3     the command's length L (modulo 80), then L bytes of command
//   the rest   one control byte per driver call, in the order the calls happen:
//              a read: below 0xE0 a reply of (byte % 65) bytes that follow; 0xE0-0xEF a reply that
//                      claims one byte more than was asked for; 0xF0-0xF7 a time-out; else a failure
//              a write: below 0xF0 all accepted; 0xF0-0xF7 a failure; 0xF8-0xFB half accepted;
//                      0xFC nothing accepted; else more than was given claimed
//              Once the input is spent, reads fail as for a departed phone and writes succeed.
//
// Checked besides crashes: -1 always comes with a terminated, non-empty ErrorText; success never
// claims more than was offered; the data phase sends exactly the bytes from the start of the data,
// as many as the result says; a response buffer is always terminated.

#include "fastboot/command_exchange.h"
#include "os/os_api.h"
#include "usb/driver_api.h"
#include "usb/usb_device.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

struct Script {
    const uint8_t *position;
    const uint8_t *end;
    const uint8_t *data; // the data phase's buffer
    uint32_t data_size;  // bytes offered
    uint32_t data_sent;  // bytes of it accepted so far, in order from its start
    const char *command; // the command as it should go out
    size_t command_sent; // bytes of it accepted so far
    bool out_of_order;   // a write that was neither the command's next bytes nor the data's
} g_Script;

uint8_t g_Data[65536];

constexpr uint32_t DEVICE_GONE = ENODEV;
constexpr uint32_t FAILURE_CODES[] = {DEVICE_GONE, OS_ERROR_INVALID_HANDLE, EIO, EPIPE, 0, 1167, 31, 9999};

bool take(uint8_t *byte) {
    if (g_Script.position >= g_Script.end)
        return false;
    *byte = *g_Script.position++;
    return true;
}

bool fail_with(uint32_t code) {
    g_OsApi.set_last_error(code);
    return false;
}

bool fuzz_read(ADBAPIHANDLE, void *buffer, uint32_t bytes_to_read, uint32_t *bytes_read, uint32_t) {
    uint8_t control;
    if (!take(&control))
        return fail_with(DEVICE_GONE);
    if (control >= 0xF8)
        return fail_with(FAILURE_CODES[control & 7]);
    if (control >= 0xF0)
        return fail_with(OS_ERROR_TIMEOUT);
    uint32_t length = control % 65;
    length = length < bytes_to_read ? length : bytes_to_read;
    size_t available = static_cast<size_t>(g_Script.end - g_Script.position);
    if (length > available)
        length = static_cast<uint32_t>(available);
    std::memcpy(buffer, g_Script.position, length);
    g_Script.position += length;
    *bytes_read = control >= 0xE0 ? bytes_to_read + 1 : length;
    g_OsApi.set_last_error(0);
    return true;
}

bool fuzz_write(ADBAPIHANDLE, void *buffer, uint32_t bytes_to_write, uint32_t *bytes_written, uint32_t) {
    uint8_t control = 0;
    take(&control);
    if (control >= 0xF0 && control <= 0xF7)
        return fail_with(FAILURE_CODES[control & 7]);
    uint32_t accepted = bytes_to_write;
    if (control >= 0xF8 && control <= 0xFB)
        accepted = bytes_to_write / 2;
    else if (control == 0xFC)
        accepted = 0;
    else if (control > 0xFC)
        accepted = bytes_to_write + 1;

    // Where the bytes come from: the rest of the command, or the data in order from its start.
    const auto *bytes = static_cast<const uint8_t *>(buffer);
    const uint32_t counted = accepted < bytes_to_write ? accepted : bytes_to_write;
    const size_t command_length = std::strlen(g_Script.command);
    if (g_Script.command_sent < command_length) {
        if (counted > command_length - g_Script.command_sent ||
            std::memcmp(bytes, g_Script.command + g_Script.command_sent, counted) != 0)
            g_Script.out_of_order = true;
        g_Script.command_sent += counted;
    } else {
        if (bytes != g_Script.data + g_Script.data_sent || counted > g_Script.data_size - g_Script.data_sent)
            g_Script.out_of_order = true;
        g_Script.data_sent += counted;
    }
    *bytes_written = accepted;
    g_OsApi.set_last_error(0);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The operations an exchange never calls: present, so that the table counts as bound, and failing.
    g_DriverApi = {[](AdbGuid, bool, bool, bool) -> ADBAPIHANDLE { return nullptr; },
                   [](ADBAPIHANDLE, AdbInterfaceInfo *, uint32_t *) { return false; },
                   [](const char16_t *) -> ADBAPIHANDLE { return nullptr; },
                   [](ADBAPIHANDLE, void *, uint32_t *, bool) { return false; },
                   [](ADBAPIHANDLE, void *, uint32_t *, bool) { return false; },
                   [](ADBAPIHANDLE, UsbDeviceDescriptor *) { return false; },
                   [](ADBAPIHANDLE, UsbInterfaceDescriptor *) { return false; },
                   [](ADBAPIHANDLE, int, int) -> ADBAPIHANDLE { return nullptr; },
                   [](ADBAPIHANDLE, int, int) -> ADBAPIHANDLE { return nullptr; },
                   fuzz_read,
                   fuzz_write,
                   [](ADBAPIHANDLE) { return true; }};
    for (size_t i = 0; i < sizeof g_Data; ++i)
        g_Data[i] = static_cast<uint8_t>(i * 131);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size) {
    if (size < 4)
        return 0;
    const uint8_t mode = input[0];
    const uint32_t offered = input[1] | static_cast<uint32_t>(input[2]) << 8;
    size_t command_length = input[3] % 80;
    if (command_length > size - 4)
        command_length = size - 4;
    char command[80] = {};
    std::memcpy(command, input + 4, command_length);

    const bool data_phase = (mode & 1) != 0;
    const bool download = (mode & 2) != 0;
    char download_command[32];
    std::snprintf(download_command, sizeof download_command, "download:%08x", offered);
    g_Script = {input + 4 + command_length,
                input + size,
                g_Data,
                offered,
                0,
                download ? download_command : command,
                0,
                false};
    // A command longer than the limit is never sent at all: a write of it would be out of order.
    if (!download && std::strlen(command) > FASTBOOT_COMMAND_MAX)
        g_Script.command = "";

    UsbDeviceHandle handle = {};
    int endpoints[2];
    handle.read_endpoint = &endpoints[0];
    handle.write_endpoint = &endpoints[1];

    ErrorText[0] = '\0';
    char response[FASTBOOT_RESPONSE_SIZE];
    std::memset(response, 'r', sizeof response);
    char *wanted_response = (mode & 4) != 0 && !download ? response : nullptr;
    int32_t result;
    if (download)
        result = send_download(&handle, 0, g_Data, offered);
    else if (data_phase)
        result = send_command(&handle, 0, command, g_Data, offered, wanted_response);
    else
        result = send_command(&handle, 0, command, nullptr, offered, wanted_response);

    if (result < -1 || g_Script.out_of_order || (!download && !data_phase && g_Script.data_sent != 0))
        __builtin_trap();
    if (std::memchr(ErrorText, '\0', sizeof ErrorText) == nullptr)
        __builtin_trap();
    if (result == -1 && ErrorText[0] == '\0')
        __builtin_trap();
    if (wanted_response != nullptr && std::memchr(response, '\0', sizeof response) == nullptr)
        __builtin_trap();
    if (result >= 0 && (download || data_phase)) {
        const uint32_t sent = g_Script.data_sent;
        if (download ? result != 0 : (static_cast<uint32_t>(result) != sent || sent > offered))
            __builtin_trap();
    }
    return 0;
}

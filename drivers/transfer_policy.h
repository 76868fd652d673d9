// What the driver libraries of real phones (libusb, WinUSB) decide alike about transfers: which writes
// stay in flight after their call returns, how many, and how much room a read takes.
//
// The flasher writes a data phase in chunks of at most 4096 bytes and waits for each call before the
// next. Waiting for the wire on every chunk leaves the link idle between transfers, so a driver copies a
// data chunk into a transfer of its own, submits it and returns; only when IN_FLIGHT_DEFAULT transfers are
// already in flight does a write first wait for the oldest. A command (at most 64 bytes) is written
// before its call returns, after every write before it.
#pragma once

#include <cstdint>

namespace tarnex::drivers {

// Data writes in flight per write endpoint handle: 32, 128 KiB of copies per handle. Measured with the
// console flasher on the kernel's own USB stack (dummy_hcd on an emulated processor, a busy machine;
// bench/kernel_usb_data_path.cpp): 8, 16 and 32 in flight moved the same within the noise (medians of
// seven 64 MiB data phases 25.5, 20.8 and 20.7 MB/s, one at a time 6.8), but against a plain libusb loop
// with as many in flight the flasher came out best with 32 (medians of the paired ratios 0.98, 0.82 and
// 1.05): more in flight leaves the wire busy longer while a host that is slow to reap catches up.
inline constexpr unsigned IN_FLIGHT_DEFAULT = 32;
inline constexpr unsigned IN_FLIGHT_MAX = 64;
// The environment variable that sets the number for measurements and as a fallback on a host that
// misbehaves: 1 writes one chunk at a time, as before; 2 to IN_FLIGHT_MAX that many. Read when a write
// endpoint is opened.
inline constexpr char IN_FLIGHT_VARIABLE[] = "TARNEX_USB_IN_FLIGHT";

// A write this short is a command: it goes out before its call returns.
inline constexpr uint32_t COMMAND_MAX_BYTES = 64;
// The largest write kept in flight: the flasher's data chunk. Anything longer is written at once.
inline constexpr uint32_t IN_FLIGHT_CHUNK_MAX = 4096;

// The limit that `value` (the variable's text, or null when it is not set) asks for: a decimal number
// clamped to 1 .. IN_FLIGHT_MAX (0 counts as 1); anything else gives the default.
inline unsigned in_flight_limit(const char *value) {
    if (value == nullptr || *value == '\0')
        return IN_FLIGHT_DEFAULT;
    unsigned n = 0;
    for (const char *p = value; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return IN_FLIGHT_DEFAULT;
        n = n * 10 + static_cast<unsigned>(*p - '0');
        if (n > IN_FLIGHT_MAX)
            n = IN_FLIGHT_MAX;
    }
    return n == 0 ? 1 : n;
}

// Whether a write of `length` bytes stays in flight under `limit`.
inline bool stays_in_flight(uint32_t length, unsigned limit) {
    return limit > 1 && length > COMMAND_MAX_BYTES && length <= IN_FLIGHT_CHUNK_MAX;
}

// A read takes at least this much room: newer boot loaders answer with up to 256 bytes where the flasher
// asks for 64. A reply longer than the transfer fails it (libusb: EOVERFLOW) or has its rest handed to
// the next read as that reply's start (WinUSB).
inline constexpr uint32_t REPLY_ROOM = 256;

// The room a read of `length` bytes takes: at least REPLY_ROOM, in whole packets of `packet` bytes (64 at
// full speed, 512 at high speed), so that a reply of that size ends the transfer without an overflow.
// The caller gets what it asked for; the rest of that one reply is dropped.
inline uint64_t reply_room(uint32_t length, uint32_t packet) {
    if (packet == 0)
        packet = 64;
    uint64_t wanted = length > REPLY_ROOM ? length : REPLY_ROOM;
    return (wanted + packet - 1) / packet * packet;
}

} // namespace tarnex::drivers

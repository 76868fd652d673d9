// The wire between the stand-in winusb.dll and the emulated device it talks to: what WinUSB would ask
// of the USB stack, as messages over the named pipe that the device path leads to.
//
// The stand-in sends requests, each a header and, for a write, its data; the device answers every
// request with a response, a header and the data read. Several requests may be outstanding: a read the
// device cannot serve yet stays pending (as a bulk IN transfer waits for the device) until data arrives
// or the host aborts the pipe. Responses carry the request's id and may come in any order, except that
// the response to ABORT comes after those of the transfers it ended. All fields are little-endian.
//
// A device that leaves the bus closes the pipe: every outstanding request fails with the device-gone
// code, and the path no longer opens.
#pragma once

#include <cstdint>

namespace wire {

enum Op : uint8_t {
    HELLO = 1,       // WinUsb_Initialize: succeeds, or fails when another file has the device open
    GET_DESCRIPTOR,  // type, index, language, length: the descriptor's bytes, at most `length`
    QUERY_INTERFACE, // index = alternate setting: the 9-byte interface descriptor
    QUERY_PIPE,      // index = pipe index in alternate setting 0: a PipeInfo
    READ,            // pipe, length: up to `length` bytes from a bulk IN pipe
    WRITE,           // pipe, length, data: the device takes some or all of it; `length` says how much
    ABORT,           // pipe: every pending transfer on it ends with ERROR_OPERATION_ABORTED
};

#pragma pack(push, 1)
struct Request {
    uint32_t id;
    uint8_t op;
    uint8_t pipe;
    uint8_t type;
    uint8_t index;
    uint16_t language;
    uint16_t reserved;
    uint32_t length;
};

struct Response {
    uint32_t id;
    uint32_t error;       // a Win32 error code; 0 for success
    uint32_t length;      // bytes of data that follow
    uint32_t transferred; // bytes the transfer moved: read (and following), or taken by a write
};

struct PipeInfo {
    uint8_t type; // USBD_PIPE_TYPE: 2 bulk, 3 interrupt
    uint8_t id;   // endpoint address
    uint16_t max_packet;
    uint8_t interval;
};
#pragma pack(pop)

static_assert(sizeof(Request) == 16 && sizeof(Response) == 16 && sizeof(PipeInfo) == 5);

// The most a request or response carries; more is a broken peer.
inline constexpr uint32_t MAX_DATA = 1 << 20;

} // namespace wire

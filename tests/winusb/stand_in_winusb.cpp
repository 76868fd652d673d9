// A stand-in for the system's winusb.dll, for tests only: the WinUSB calls the driver library makes,
// carried over the file it opened (a named pipe behind an NT symbolic link, served by the test process)
// as the messages of wire_protocol.h. Wine's own winusb.dll is a stub that ends the process in
// WinUsb_Initialize; the tests put this one into their prefix's system32 and choose it with
// WINEDLLOVERRIDES=winusb=n.
//
// Each WinUsb_Initialize starts a thread that reads the device's responses and completes the waiting
// calls: an OVERLAPPED is completed as the I/O manager would (its fields set, its event signalled) and
// WinUsb_GetOverlappedResult reads it back. Once the pipe breaks (the device left), every waiting and
// every later call fails with ERROR_DEVICE_NOT_CONNECTED.
#include "tests/winusb/wire_protocol.h"

#include <windows.h>

#include <winusb.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#define STAND_IN_EXPORT extern "C" __declspec(dllexport)

namespace {

// OVERLAPPED.Internal while a call waits; afterwards 0, or FAILED_BIT | the Win32 error.
constexpr ULONG_PTR PENDING = 0x103; // STATUS_PENDING
constexpr ULONG_PTR FAILED_BIT = 0xE0000000;

struct Waiting {
    OVERLAPPED *overlapped; // completed when the response arrives
    uint8_t *buffer;        // where read data goes; null for calls that return none
    uint32_t capacity;
};

struct Device {
    HANDLE file = INVALID_HANDLE_VALUE; // the caller's; not ours to close
    HANDLE reader = nullptr;
    std::mutex lock; // guards everything below
    std::map<uint32_t, Waiting> waiting;
    uint32_t next_id = 1;
    bool gone = false;
    bool stopping = false;
    OVERLAPPED reader_io = {};
    HANDLE stop = nullptr; // set by WinUsb_Free: the reader ends whatever it is doing
    std::mutex write_lock; // one request at a time on the pipe
    // PIPE_TRANSFER_TIMEOUT of the control pipe, in ms (WinUSB's default: 5 s); under `lock`.
    ULONG control_timeout = 5000;
};

std::mutex g_devices_lock;
std::set<Device *> g_devices;

Device *lookup(WINUSB_INTERFACE_HANDLE handle) {
    std::lock_guard<std::mutex> guard(g_devices_lock);
    auto *d = static_cast<Device *>(handle);
    if (g_devices.count(d) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return d;
}

void complete(const Waiting &w, DWORD error, ULONG bytes) {
    w.overlapped->InternalHigh = bytes;
    w.overlapped->Internal = error == 0 ? 0 : FAILED_BIT | error;
    SetEvent(w.overlapped->hEvent);
}

// Fails every waiting call; with `gone`, the device is gone for later ones too.
void fail_all(Device *d, DWORD error, bool gone) {
    std::lock_guard<std::mutex> guard(d->lock);
    if (gone)
        d->gone = true;
    for (auto &[id, w] : d->waiting)
        complete(w, error, 0);
    d->waiting.clear();
}

// Reads exactly `size` bytes from the pipe; false when it broke or the reader is being stopped.
bool read_exact(Device *d, void *data, DWORD size) {
    auto *at = static_cast<uint8_t *>(data);
    while (size > 0) {
        ResetEvent(d->reader_io.hEvent);
        DWORD got = 0;
        if (!ReadFile(d->file, at, size, nullptr, &d->reader_io) && GetLastError() != ERROR_IO_PENDING)
            return false;
        HANDLE events[] = {d->reader_io.hEvent, d->stop};
        if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
            // Stopping: the read must end before its OVERLAPPED goes.
            CancelIoEx(d->file, &d->reader_io);
            GetOverlappedResult(d->file, &d->reader_io, &got, TRUE);
            return false;
        }
        if (!GetOverlappedResult(d->file, &d->reader_io, &got, FALSE) || got == 0)
            return false;
        at += got;
        size -= got;
    }
    return true;
}

DWORD WINAPI reader_main(void *context) {
    auto *d = static_cast<Device *>(context);
    std::vector<uint8_t> data;
    for (;;) {
        wire::Response response;
        if (!read_exact(d, &response, sizeof response) || response.length > wire::MAX_DATA)
            break;
        data.resize(response.length);
        if (response.length > 0 && !read_exact(d, data.data(), response.length))
            break;
        std::lock_guard<std::mutex> guard(d->lock);
        auto it = d->waiting.find(response.id);
        if (it == d->waiting.end())
            continue; // a call that was already failed
        ULONG bytes = response.transferred;
        if (it->second.buffer != nullptr) {
            bytes = response.length < it->second.capacity ? response.length : it->second.capacity;
            std::memcpy(it->second.buffer, data.data(), bytes);
        }
        complete(it->second, response.error, bytes);
        d->waiting.erase(it);
    }
    bool stopping;
    {
        std::lock_guard<std::mutex> guard(d->lock);
        stopping = d->stopping;
    }
    fail_all(d, stopping ? ERROR_OPERATION_ABORTED : ERROR_DEVICE_NOT_CONNECTED, true);
    return 0;
}

// Sends a request whose response completes `overlapped`. False (nothing outstanding) when it could not
// be sent.
bool send(Device *d, wire::Request request, const void *data, uint8_t *buffer, uint32_t capacity,
          OVERLAPPED *overlapped) {
    overlapped->Internal = PENDING;
    overlapped->InternalHigh = 0;
    ResetEvent(overlapped->hEvent);
    {
        std::lock_guard<std::mutex> guard(d->lock);
        if (d->gone) {
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            return false;
        }
        request.id = d->next_id++;
        d->waiting[request.id] = {overlapped, buffer, capacity};
    }
    std::vector<uint8_t> message(sizeof request + (data != nullptr ? request.length : 0));
    std::memcpy(message.data(), &request, sizeof request);
    if (data != nullptr && request.length > 0)
        std::memcpy(message.data() + sizeof request, data, request.length);

    std::lock_guard<std::mutex> guard(d->write_lock);
    OVERLAPPED io = {};
    io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0;
    bool ok = (WriteFile(d->file, message.data(), static_cast<DWORD>(message.size()), nullptr, &io) ||
               GetLastError() == ERROR_IO_PENDING) &&
              GetOverlappedResult(d->file, &io, &written, TRUE) && written == message.size();
    CloseHandle(io.hEvent);
    if (!ok) {
        // The pipe broke under the request. The caller hears of it now, so the request must not be
        // completed later into an OVERLAPPED the caller has given up; the others fail with the reader.
        {
            std::lock_guard<std::mutex> state(d->lock);
            d->waiting.erase(request.id);
        }
        CancelIoEx(d->file, &d->reader_io);
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return false;
    }
    return true;
}

// A call that was sent and must not be completed any more: the caller gives up on it. False when the
// reader completed it meanwhile (its result stands).
bool withdraw(Device *d, OVERLAPPED *overlapped) {
    std::lock_guard<std::mutex> guard(d->lock);
    for (auto it = d->waiting.begin(); it != d->waiting.end(); ++it) {
        if (it->second.overlapped == overlapped) {
            d->waiting.erase(it);
            return true;
        }
    }
    return false;
}

bool result(OVERLAPPED *overlapped, ULONG *bytes, bool wait) {
    if (wait)
        WaitForSingleObject(overlapped->hEvent, INFINITE);
    if (overlapped->Internal == PENDING) {
        SetLastError(ERROR_IO_INCOMPLETE);
        return false;
    }
    if (bytes != nullptr)
        *bytes = static_cast<ULONG>(overlapped->InternalHigh);
    if (overlapped->Internal != 0) {
        SetLastError(static_cast<DWORD>(overlapped->Internal & 0xFFFF));
        return false;
    }
    return true;
}

// A call the caller waits for: sent, then waited for on an event of its own, up to `timeout_ms` (a
// control transfer's PIPE_TRANSFER_TIMEOUT; INFINITE for the rest), after which it fails with
// ERROR_SEM_TIMEOUT as WinUSB's own time-out does.
bool call(Device *d, wire::Request request, const void *data, uint8_t *buffer, uint32_t capacity,
          ULONG *bytes, DWORD timeout_ms = INFINITE) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool ok = send(d, request, data, buffer, capacity, &overlapped);
    if (ok && WaitForSingleObject(overlapped.hEvent, timeout_ms) == WAIT_TIMEOUT &&
        withdraw(d, &overlapped)) {
        ok = false;
        SetLastError(ERROR_SEM_TIMEOUT);
    } else if (ok) {
        ok = result(&overlapped, bytes, true);
    }
    DWORD error = GetLastError();
    CloseHandle(overlapped.hEvent);
    SetLastError(error);
    return ok;
}

// A transfer: with an OVERLAPPED it returns at once (FALSE, ERROR_IO_PENDING), without it waits.
BOOL transfer(WINUSB_INTERFACE_HANDLE handle, uint8_t op, UCHAR pipe, PUCHAR buffer, ULONG length,
              PULONG transferred, LPOVERLAPPED overlapped) {
    Device *d = lookup(handle);
    if (d == nullptr)
        return FALSE;
    wire::Request request = {};
    request.op = op;
    request.pipe = pipe;
    request.length = length;
    const void *data = op == wire::WRITE ? buffer : nullptr;
    uint8_t *into = op == wire::READ ? buffer : nullptr;
    if (overlapped == nullptr)
        return call(d, request, data, into, length, transferred) ? TRUE : FALSE;
    if (!send(d, request, data, into, length, overlapped))
        return FALSE;
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

} // namespace

// Tells a test that the winusb.dll the system directory gives out is this one, not Wine's stub.
STAND_IN_EXPORT int TarnexStandIn(void) {
    return 1;
}

STAND_IN_EXPORT BOOL WINAPI WinUsb_Initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE handle) {
    if (file == nullptr || file == INVALID_HANDLE_VALUE || handle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto d = std::make_unique<Device>();
    d->file = file;
    d->reader_io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    d->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    d->reader = CreateThread(nullptr, 0, reader_main, d.get(), 0, nullptr);
    if (d->reader == nullptr)
        return FALSE;
    Device *device = d.release();
    {
        std::lock_guard<std::mutex> guard(g_devices_lock);
        g_devices.insert(device);
    }
    wire::Request hello = {};
    hello.op = wire::HELLO;
    if (!call(device, hello, nullptr, nullptr, 0, nullptr)) {
        DWORD error = GetLastError();
        WinUsb_Free(device);
        SetLastError(error);
        return FALSE;
    }
    *handle = device;
    return TRUE;
}

STAND_IN_EXPORT BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE handle) {
    Device *d = lookup(handle);
    if (d == nullptr)
        return FALSE;
    {
        std::lock_guard<std::mutex> guard(g_devices_lock);
        g_devices.erase(d);
    }
    {
        std::lock_guard<std::mutex> guard(d->lock);
        d->stopping = true;
    }
    SetEvent(d->stop);
    WaitForSingleObject(d->reader, INFINITE);
    CloseHandle(d->reader);
    CloseHandle(d->reader_io.hEvent);
    CloseHandle(d->stop);
    delete d;
    return TRUE;
}

STAND_IN_EXPORT BOOL WINAPI WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE handle, UCHAR type, UCHAR index,
                                                 USHORT language, PUCHAR buffer, ULONG length,
                                                 PULONG transferred) {
    Device *d = lookup(handle);
    if (d == nullptr)
        return FALSE;
    wire::Request request = {};
    request.op = wire::GET_DESCRIPTOR;
    request.type = type;
    request.index = index;
    request.language = language;
    request.length = length;
    ULONG timeout = 0;
    {
        std::lock_guard<std::mutex> guard(d->lock);
        timeout = d->control_timeout;
    }
    return call(d, request, nullptr, buffer, length, transferred, timeout == 0 ? INFINITE : timeout) ? TRUE
                                                                                                     : FALSE;
}

// PIPE_TRANSFER_TIMEOUT of the control pipe is kept; every other policy is accepted and has no effect.
STAND_IN_EXPORT BOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, ULONG type,
                                                 ULONG length, PVOID value) {
    Device *d = lookup(handle);
    if (d == nullptr)
        return FALSE;
    if (value == nullptr || length == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (pipe == 0 && type == PIPE_TRANSFER_TIMEOUT && length == sizeof(ULONG)) {
        std::lock_guard<std::mutex> guard(d->lock);
        std::memcpy(&d->control_timeout, value, sizeof(ULONG));
    }
    return TRUE;
}

STAND_IN_EXPORT BOOL WINAPI WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate,
                                                          PUSB_INTERFACE_DESCRIPTOR descriptor) {
    Device *d = lookup(handle);
    if (d == nullptr)
        return FALSE;
    wire::Request request = {};
    request.op = wire::QUERY_INTERFACE;
    request.index = alternate;
    request.length = sizeof *descriptor;
    ULONG got = 0;
    if (!call(d, request, nullptr, reinterpret_cast<uint8_t *>(descriptor), sizeof *descriptor, &got))
        return FALSE;
    return TRUE;
}

STAND_IN_EXPORT BOOL WINAPI WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate, UCHAR index,
                                             PWINUSB_PIPE_INFORMATION information) {
    Device *d = lookup(handle);
    if (d == nullptr)
        return FALSE;
    wire::Request request = {};
    request.op = wire::QUERY_PIPE;
    request.type = alternate;
    request.index = index;
    request.length = sizeof(wire::PipeInfo);
    wire::PipeInfo pipe = {};
    ULONG got = 0;
    if (!call(d, request, nullptr, reinterpret_cast<uint8_t *>(&pipe), sizeof pipe, &got))
        return FALSE;
    information->PipeType = static_cast<USBD_PIPE_TYPE>(pipe.type);
    information->PipeId = pipe.id;
    information->MaximumPacketSize = pipe.max_packet;
    information->Interval = pipe.interval;
    return TRUE;
}

STAND_IN_EXPORT BOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer,
                                            ULONG length, PULONG transferred, LPOVERLAPPED overlapped) {
    return transfer(handle, wire::READ, pipe, buffer, length, transferred, overlapped);
}

STAND_IN_EXPORT BOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer,
                                             ULONG length, PULONG transferred, LPOVERLAPPED overlapped) {
    return transfer(handle, wire::WRITE, pipe, buffer, length, transferred, overlapped);
}

STAND_IN_EXPORT BOOL WINAPI WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe) {
    Device *d = lookup(handle);
    if (d == nullptr)
        return FALSE;
    wire::Request request = {};
    request.op = wire::ABORT;
    request.pipe = pipe;
    return call(d, request, nullptr, nullptr, 0, nullptr) ? TRUE : FALSE;
}

STAND_IN_EXPORT BOOL WINAPI WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE handle,
                                                       LPOVERLAPPED overlapped, LPDWORD transferred,
                                                       BOOL wait) {
    if (lookup(handle) == nullptr)
        return FALSE;
    if (overlapped == nullptr || overlapped->hEvent == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ULONG bytes = 0;
    bool ok = result(overlapped, &bytes, wait != FALSE);
    if (transferred != nullptr)
        *transferred = bytes;
    return ok ? TRUE : FALSE;
}

#include "drivers/winusb/winusb_session.h"

#include "drivers/transfer_policy.h"
#include "drivers/winusb/usb_descriptors.h"

#include <cstring>
#include <mutex>
#include <vector>

namespace tarnex::winusb {

namespace {

// Time-out of the session's control transfers (descriptor reads). WinUSB's default is 5 s, and the
// flasher's presence check reads a descriptor on the window thread twice a second: a phone busy with a
// long flash must not freeze the window, nor be taken for gone.
constexpr ULONG CONTROL_TIMEOUT_MS = 500;

// Open sessions by path. Weak references: a session ends with its last handle, not here.
struct SessionRegistry {
    std::mutex lock;
    std::vector<std::weak_ptr<Session>> sessions;
};

SessionRegistry &registry() {
    // Never destroyed: sessions still open when the library is unloaded must not be freed from DllMain.
    static SessionRegistry *r = new SessionRegistry;
    return *r;
}

bool same_path(const std::wstring &a, const wchar_t *b) {
    // Device paths are case-insensitive, and SetupAPI may list one in another case than a caller uses.
    return CompareStringOrdinal(a.c_str(), -1, b, -1, TRUE) == CSTR_EQUAL;
}

bool read_descriptor(const WinUsbApi *api, WINUSB_INTERFACE_HANDLE usb, UCHAR type, UCHAR index,
                     USHORT language, uint8_t *buffer, ULONG capacity, ULONG *length) {
    *length = 0;
    return api->WinUsb_GetDescriptor(usb, type, index, language, buffer, capacity, length) != FALSE;
}

// Opens `path` afresh: the file, the WinUSB handle, the pipes. Null with the last-error value set.
std::shared_ptr<Session> create_session(const WinUsbApi *api, const wchar_t *path) {
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    WINUSB_INTERFACE_HANDLE usb = nullptr;
    if (!api->WinUsb_Initialize(file, &usb)) {
        DWORD error = GetLastError();
        CloseHandle(file);
        SetLastError(error);
        return nullptr;
    }
    // The first bulk pipe of each direction in alternate setting 0. An interface without one still
    // opens, so that its descriptors can be read; opening the missing endpoint fails.
    UCHAR bulk_in = 0, bulk_out = 0;
    USHORT bulk_in_packet = 64;
    USB_INTERFACE_DESCRIPTOR settings = {};
    if (api->WinUsb_QueryInterfaceSettings(usb, 0, &settings)) {
        for (UCHAR i = 0; i < settings.bNumEndpoints; ++i) {
            WINUSB_PIPE_INFORMATION pipe = {};
            if (!api->WinUsb_QueryPipe(usb, 0, i, &pipe) || pipe.PipeType != UsbdPipeTypeBulk)
                continue;
            bool in = USB_ENDPOINT_DIRECTION_IN(pipe.PipeId);
            UCHAR &slot = in ? bulk_in : bulk_out;
            if (slot != 0)
                continue;
            slot = pipe.PipeId;
            if (in && (pipe.MaximumPacketSize & 0x7FF) != 0)
                bulk_in_packet = pipe.MaximumPacketSize & 0x7FF;
        }
    }
    // Pipe 0 is the control pipe. Without the policy, the default time-out stays: slower, still correct.
    ULONG timeout = CONTROL_TIMEOUT_MS;
    api->WinUsb_SetPipePolicy(usb, 0, PIPE_TRANSFER_TIMEOUT, sizeof timeout, &timeout);
    try {
        return std::make_shared<Session>(api, path, file, usb, bulk_in, bulk_in_packet, bulk_out);
    } catch (...) {
        api->WinUsb_Free(usb);
        CloseHandle(file);
        SetLastError(ERROR_OUTOFMEMORY);
        return nullptr;
    }
}

} // namespace

bool means_device_gone(DWORD error) {
    switch (error) {
    case ERROR_DEVICE_NOT_CONNECTED: // the usual code of a transfer on a device that was unplugged
    case ERROR_BAD_COMMAND:          // WinUSB's code for a request on a removed device's handle
    case ERROR_FILE_NOT_FOUND:       // the device interface is no longer there
    case ERROR_GEN_FAILURE:          // how WinUSB reports a removed device on the control pipe
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_INVALID_HANDLE: // the WinUSB handle itself is dead: nothing will ever go through it
        return true;
    default: // ERROR_SEM_TIMEOUT and the rest: slow, busy or refusing, but there
        return false;
    }
}

uint32_t Session::read_room(uint32_t length) const {
    const uint64_t room = drivers::reply_room(length, m_bulkInPacket);
    return room <= UINT32_MAX ? static_cast<uint32_t>(room) : length;
}

Session::~Session() {
    m_api->WinUsb_Free(m_usb);
    CloseHandle(m_file);
}

bool Session::device_descriptor(UsbDeviceDescriptor *descriptor) const {
    uint8_t bytes[DEVICE_DESCRIPTOR_SIZE];
    ULONG length = 0;
    if (!read_descriptor(m_api, m_usb, DEVICE_DESCRIPTOR_TYPE, 0, 0, bytes, sizeof bytes, &length))
        return false;
    if (!is_device_descriptor(bytes, length)) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    // The ABI's descriptor is the standard one byte for byte, little-endian as on the wire.
    std::memcpy(descriptor, bytes, sizeof bytes);
    return true;
}

bool Session::interface_descriptor(UsbInterfaceDescriptor *descriptor) const {
    USB_INTERFACE_DESCRIPTOR d = {};
    if (!m_api->WinUsb_QueryInterfaceSettings(m_usb, 0, &d))
        return false;
    descriptor->bLength = d.bLength;
    descriptor->bDescriptorType = d.bDescriptorType;
    descriptor->bInterfaceNumber = d.bInterfaceNumber;
    descriptor->bAlternateSetting = d.bAlternateSetting;
    descriptor->bNumEndpoints = d.bNumEndpoints;
    descriptor->bInterfaceClass = d.bInterfaceClass;
    descriptor->bInterfaceSubClass = d.bInterfaceSubClass;
    descriptor->bInterfaceProtocol = d.bInterfaceProtocol;
    descriptor->iInterface = d.iInterface;
    return true;
}

bool Session::serial_number(std::u16string *text) const {
    UsbDeviceDescriptor device = {};
    if (!device_descriptor(&device))
        return false;
    if (device.iSerialNumber == 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    uint8_t bytes[STRING_DESCRIPTOR_MAX];
    ULONG length = 0;
    // String descriptor 0 lists the languages; a device that fails it is asked in the usual one.
    uint16_t language = DEFAULT_LANGUAGE;
    if (read_descriptor(m_api, m_usb, STRING_DESCRIPTOR_TYPE, 0, 0, bytes, sizeof bytes, &length))
        first_language(bytes, length, &language);
    if (!read_descriptor(m_api, m_usb, STRING_DESCRIPTOR_TYPE, device.iSerialNumber, language, bytes,
                         sizeof bytes, &length))
        return false;
    if (!string_descriptor_text(bytes, length, text)) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    return true;
}

bool Session::transfer(UCHAR pipe, bool in, void *buffer, uint32_t length, uint32_t *done,
                       uint32_t timeout_ms, HANDLE event) const {
    *done = 0;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    ResetEvent(event);
    auto *bytes = static_cast<PUCHAR>(buffer);
    BOOL started = in ? m_api->WinUsb_ReadPipe(m_usb, pipe, bytes, length, nullptr, &overlapped)
                      : m_api->WinUsb_WritePipe(m_usb, pipe, bytes, length, nullptr, &overlapped);
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return false;

    DWORD waited = WaitForSingleObject(event, timeout_ms == 0 ? INFINITE : timeout_ms);
    DWORD wait_error = waited == WAIT_FAILED ? GetLastError() : ERROR_SUCCESS;
    ULONG moved = 0;
    if (waited == WAIT_OBJECT_0) {
        BOOL ok = m_api->WinUsb_GetOverlappedResult(m_usb, &overlapped, &moved, FALSE);
        *done = moved;
        return ok != FALSE;
    }
    // Still running: it must end before `overlapped` and `buffer` go out of the caller's hands. The abort
    // ends every transfer pending on the pipe; in the flasher only the worker transfers.
    if (!m_api->WinUsb_AbortPipe(m_usb, pipe))
        CancelIoEx(m_file, &overlapped);
    BOOL ok = m_api->WinUsb_GetOverlappedResult(m_usb, &overlapped, &moved, TRUE);
    *done = moved;
    if (ok || (in && moved > 0))
        return true; // it completed, or moved bytes, just before the abort: the data is real
    DWORD error = GetLastError();
    if (waited == WAIT_TIMEOUT && error == ERROR_OPERATION_ABORTED)
        error = ERROR_SEM_TIMEOUT; // our own abort; any other failure (the device left) stays what it is
    else if (waited == WAIT_FAILED && error == ERROR_OPERATION_ABORTED)
        error = wait_error;
    SetLastError(error);
    return false;
}

bool Session::start_write(UCHAR pipe, uint8_t *bytes, uint32_t length, OVERLAPPED *overlapped) const {
    return m_api->WinUsb_WritePipe(m_usb, pipe, bytes, length, nullptr, overlapped) ||
           GetLastError() == ERROR_IO_PENDING;
}

bool Session::overlapped_result(OVERLAPPED *overlapped, uint32_t *moved, bool wait) const {
    ULONG n = 0;
    BOOL ok = m_api->WinUsb_GetOverlappedResult(m_usb, overlapped, &n, wait ? TRUE : FALSE);
    *moved = n;
    return ok != FALSE;
}

void Session::abort_pipe(UCHAR pipe) const {
    m_api->WinUsb_AbortPipe(m_usb, pipe);
}

std::shared_ptr<Session> open_session(const wchar_t *path) {
    const WinUsbApi *api = winusb_api();
    if (api == nullptr)
        return nullptr;
    SessionRegistry &r = registry();
    std::shared_ptr<Session> open;
    {
        // Held across an open afresh: opens must not race each other for the one file WinUSB allows.
        // Transfers never take this lock.
        std::lock_guard<std::mutex> guard(r.lock);
        std::erase_if(r.sessions, [](const std::weak_ptr<Session> &s) { return s.expired(); });
        for (const auto &weak : r.sessions) {
            std::shared_ptr<Session> candidate = weak.lock();
            if (candidate && same_path(candidate->path(), path)) {
                open = std::move(candidate);
                break;
            }
        }
        if (open == nullptr) {
            std::shared_ptr<Session> created = create_session(api, path);
            if (created == nullptr)
                return nullptr;
            try {
                r.sessions.push_back(created);
            } catch (...) {
                created.reset();
                SetLastError(ERROR_OUTOFMEMORY);
                return nullptr;
            }
            return created;
        }
    }
    // The join's descriptor read, without the lock: a device slow to answer holds up no other open.
    UsbDeviceDescriptor probe;
    if (open->device_descriptor(&probe))
        return open;
    DWORD error = GetLastError();
    if (!means_device_gone(error))
        return open;
    {
        std::lock_guard<std::mutex> guard(r.lock);
        std::erase_if(r.sessions, [&](const std::weak_ptr<Session> &s) { return s.lock() == open; });
    }
    open.reset(); // may be the last reference: its clean-up must not overwrite the error
    SetLastError(error);
    return nullptr;
}

} // namespace tarnex::winusb

// One device interface opened through WinUSB, shared by every handle the library gives out on it.
//
// WinUSB lets one file at a time open a device, yet the flasher's presence check opens the interface a
// second time while the worker transfers on the first handle. So the library opens each device path
// once, as a Session, and every interface handle on that path, and every endpoint handle of those, holds
// a reference to it; the last one to go frees it. A second open joins the session only after a
// descriptor read through it has succeeded: a phone that has been unplugged, or unplugged and plugged in
// again (its old handle is dead), must make that open fail, because the presence check depends on it.
#pragma once

#include "drivers/winusb/system_api.h"
#include "usb/driver_abi.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace tarnex::winusb {

class Session {
public:
    Session(const WinUsbApi *api, std::wstring path, HANDLE file, WINUSB_INTERFACE_HANDLE usb, UCHAR bulk_in,
            USHORT bulk_in_packet, UCHAR bulk_out)
        : m_api(api), m_path(std::move(path)), m_file(file), m_usb(usb), m_bulkIn(bulk_in),
          m_bulkInPacket(bulk_in_packet), m_bulkOut(bulk_out) {}
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    // Frees the WinUSB handle and closes the file; runs on whichever thread drops the last reference,
    // never while a transfer on the session runs (each transfer holds a reference).
    ~Session();

    const std::wstring &path() const { return m_path; }
    // Endpoint addresses of the interface's first bulk IN and bulk OUT pipes; 0 when it has none.
    UCHAR bulk_in() const { return m_bulkIn; }
    UCHAR bulk_out() const { return m_bulkOut; }
    // The room a read of `length` bytes takes (drivers::reply_room): at least 256 bytes, in whole packets
    // of the IN pipe, so that WinUSB never hands the rest of a long reply to the next read as its start.
    uint32_t read_room(uint32_t length) const;

    // The device's descriptors, read from the device; false with the last-error value set. Any thread.
    bool device_descriptor(UsbDeviceDescriptor *descriptor) const;
    bool interface_descriptor(UsbInterfaceDescriptor *descriptor) const;
    // The serial number from the string descriptor the device descriptor names, in the device's first
    // language. False with ERROR_NOT_SUPPORTED when the device names none.
    bool serial_number(std::u16string *text) const;

    // One bulk transfer on `pipe`, waited for up to `timeout_ms` (0: no limit) with `event` (a manual-reset
    // event the caller owns and no other transfer uses meanwhile). A transfer still running at the
    // time-out is aborted and waited for, so that nothing writes to `buffer` after the return; it then
    // fails with ERROR_SEM_TIMEOUT, unless it completed just before the abort. `*done` gets the bytes
    // moved, also on failure. Any thread; takes no lock and allocates nothing.
    bool transfer(UCHAR pipe, bool in, void *buffer, uint32_t length, uint32_t *done, uint32_t timeout_ms,
                  HANDLE event) const;

    // The parts of an overlapped write left in flight (write_queue.h): its start, false with the
    // last-error value set when it did not start; its result, waited for with `wait`; and the abort of
    // every transfer pending on the pipe. Any thread; no lock.
    bool start_write(UCHAR pipe, uint8_t *bytes, uint32_t length, OVERLAPPED *overlapped) const;
    bool overlapped_result(OVERLAPPED *overlapped, uint32_t *moved, bool wait) const;
    void abort_pipe(UCHAR pipe) const;

private:
    const WinUsbApi *m_api;
    std::wstring m_path;
    HANDLE m_file;
    WINUSB_INTERFACE_HANDLE m_usb;
    UCHAR m_bulkIn;
    USHORT m_bulkInPacket; // largest packet of the IN pipe: 64 at full speed, 512 at high speed
    UCHAR m_bulkOut;
};

// Whether a failed WinUSB call means the device has left (as opposed to a device that is slow, busy or
// refused one request).
bool means_device_gone(DWORD error);

// The session of the interface at `path` (a device interface path as SetupAPI lists it): a new one, or
// the open one unless a descriptor read through it finds the device gone. Null with the last-error value
// set: the open's own failure, or the gone device's code, in which case the dead session is no longer
// offered to later opens (those open the path afresh) while its remaining users keep it until they close
// their handles. A descriptor read that merely fails (a time-out of the session's short control time-out)
// joins: failing the open would make the flasher's poll let go of a phone in the middle of a download.
// Window thread in the flasher; any thread may call it. Opens afresh are serialised; the descriptor read
// of a join holds no lock.
std::shared_ptr<Session> open_session(const wchar_t *path);

} // namespace tarnex::winusb

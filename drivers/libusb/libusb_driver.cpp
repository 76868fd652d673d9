// The Linux driver library: the twelve driver operations over libusb-1.0.
//
// What it lists: fastboot interfaces only (class 0xFF, subclass 0x42, protocol 0x03 in alternate setting
// 0), named by where they are plugged ("usb:1-4.2:1", interface_name.h). The flasher opens every
// interface it is given and both its endpoints, so anything else (a keyboard, a memory stick, a phone's
// debug interface that another program may be using) must never even be opened here: enumeration reads
// the descriptors libusb caches, which needs no open.
//
// Sharing: one libusb handle and one claim per interface, however many interface and endpoint handles the
// flasher holds on it (the window thread opens a second one on every poll while the worker transfers on
// the first). The interface is claimed when its first endpoint is opened and released when its last
// handle closes. A kernel driver is never detached: an interface that someone else holds is refused
// with EBUSY, and the flasher simply does not take it.
//
// Threads: one lock guards the handle table and the shared interfaces; transfers run outside it, holding
// the interface in use so that a close on another thread cannot free it under them. Handles are numbers
// looked up in the table, never pointers followed, so a stale or doubly closed handle fails with EBADF.
//
// Data writes stay in flight after their call (write_queue.h, drivers/transfer_policy.h). They belong to
// the write endpoint handle that submitted them: the next write on that handle and the next read on a
// read endpoint opened from the same interface handle wait for them first and report their failure. The
// poll's presence check opens its own interface handle, so it never waits for them, never sees their
// failure, and its close cancels nothing. Closing the submitting handle cancels and waits; until then the
// handle keeps the interface open.
//
// Errors: libusb's codes are translated to errno once, in errno_of; errno is the last-error value of the
// ABI. The library prints nothing. No exception leaves an export.

#include "drivers/libusb/interface_name.h"
#include "drivers/libusb/write_queue.h"
#include "drivers/transfer_policy.h"
#include "usb/driver_abi.h"
#include "usb/interface_entry.h"

#include <libusb.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#define LIBUSB_DRIVER_EXPORT extern "C" __attribute__((visibility("default")))

using namespace tarnex::libusb_driver;

namespace {

// Time-out of the control transfers that read a serial number.
constexpr unsigned STRING_TIMEOUT_MS = 1000;

// Room on the stack for the reads the flasher makes (at most 4096 bytes, rounded up to whole packets).
constexpr uint32_t STACK_READ = 4096 + 512;

int errno_of(int code) {
    switch (code) {
    case LIBUSB_ERROR_IO:
        return EIO;
    case LIBUSB_ERROR_INVALID_PARAM:
        return EINVAL;
    case LIBUSB_ERROR_ACCESS:
        return EACCES;
    case LIBUSB_ERROR_NO_DEVICE:
        return ENODEV;
    case LIBUSB_ERROR_NOT_FOUND:
        return ENOENT;
    case LIBUSB_ERROR_BUSY:
        return EBUSY;
    case LIBUSB_ERROR_TIMEOUT:
        return ETIMEDOUT;
    case LIBUSB_ERROR_OVERFLOW:
        return EOVERFLOW;
    case LIBUSB_ERROR_PIPE:
        return EPIPE;
    case LIBUSB_ERROR_INTERRUPTED:
        return EINTR;
    case LIBUSB_ERROR_NO_MEM:
        return ENOMEM;
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return ENOTSUP;
    default:
        return EIO;
    }
}

// What the driver knows of one interface, read from the cached descriptors when it is first opened.
struct InterfaceFacts {
    uint8_t device_descriptor[18] = {};
    uint8_t interface_descriptor[9] = {};
    uint8_t serial_index = 0;
    int in_endpoint = -1; // the first bulk endpoint of each direction, as the descriptors give them
    int out_endpoint = -1;
    uint32_t in_packet = 64; // the IN endpoint's largest packet: 64 at full speed, 512 at high speed
};

// One open interface, shared by every handle on it. Its fields are guarded by the driver's lock, except
// `handle` and `facts`, which are fixed from the open until the interface is destroyed.
struct SharedInterface {
    std::string name;
    InterfaceLocation location;
    libusb_device *device = nullptr; // referenced while the interface lives
    libusb_device_handle *handle = nullptr;
    InterfaceFacts facts;
    int handles = 0; // interface and endpoint handles of the flasher on it
    int in_use = 0;  // calls working on it outside the lock (transfers, string reads)
    bool claimed = false;
    bool gone = false; // a call on it found the device gone: never joined again
    bool serial_known = false;
    bool has_serial = false;
    std::u16string serial;
};

enum class Kind { ENUMERATION, INTERFACE, READ_ENDPOINT, WRITE_ENDPOINT };

struct HandleRecord {
    Kind kind = Kind::INTERFACE;
    SharedInterface *iface = nullptr; // not for enumerations
    AdbGuid class_id{};               // enumerations: echoed in every entry
    std::vector<std::string> entries; // enumerations: the names listed at creation
    size_t cursor = 0;
    // Interfaces: their own id; endpoints: the id of the interface handle they were opened from.
    uint64_t opening = 0;
    std::shared_ptr<WriteQueue> writes; // write endpoints: the writes in flight
};

struct Driver {
    std::mutex lock;
    libusb_context *context = nullptr;
    std::unordered_map<uint64_t, HandleRecord> handles;
    std::vector<std::unique_ptr<SharedInterface>> interfaces; // every interface with handles or calls
    uint64_t next_id = 1;                                     // never reused

    // The library is being unloaded: whatever the flasher left open is released, then the context ends.
    ~Driver() {
        // Writes still in flight end first: their interfaces are closed below.
        for (auto &[id, record] : handles) {
            if (record.writes != nullptr)
                record.writes->close();
        }
        handles.clear();
        for (auto &iface : interfaces) {
            if (iface->claimed)
                libusb_release_interface(iface->handle, iface->location.interface_number);
            libusb_close(iface->handle);
            libusb_unref_device(iface->device);
        }
        interfaces.clear();
        if (context != nullptr)
            libusb_exit(context);
    }
};

Driver &driver() {
    static Driver d;
    return d;
}

// The context, made on first use; a failed start is tried again on the next call. Lock held.
int ensure_context(Driver &d) {
    if (d.context != nullptr)
        return LIBUSB_SUCCESS;
    return libusb_init(&d.context);
}

ADBAPIHANDLE handle_value(uint64_t id) {
    return reinterpret_cast<ADBAPIHANDLE>(static_cast<uintptr_t>(id << 4));
}

uint64_t handle_id(ADBAPIHANDLE h) {
    auto v = reinterpret_cast<uintptr_t>(h);
    return (v & 0xF) != 0 ? 0 : static_cast<uint64_t>(v >> 4);
}

// The record of a live handle of kind `kind`; null with EBADF for anything else.
HandleRecord *find_handle(Driver &d, ADBAPIHANDLE h, Kind kind, int &error) {
    auto it = d.handles.find(handle_id(h));
    if (h == nullptr || it == d.handles.end() || it->second.kind != kind) {
        error = EBADF;
        return nullptr;
    }
    return &it->second;
}

ADBAPIHANDLE add_handle(Driver &d, HandleRecord record) {
    uint64_t id = d.next_id++;
    if (record.iface != nullptr)
        ++record.iface->handles;
    if (record.kind == Kind::INTERFACE)
        record.opening = id;
    d.handles.emplace(id, std::move(record));
    return handle_value(id);
}

// Ends an interface nobody holds or uses any more: the claim is released and the device closed. Lock held.
void retire_if_unused(Driver &d, SharedInterface *iface) {
    if (iface->handles > 0 || iface->in_use > 0)
        return;
    if (iface->claimed)
        libusb_release_interface(iface->handle, iface->location.interface_number);
    libusb_close(iface->handle);
    libusb_unref_device(iface->device);
    for (auto it = d.interfaces.begin(); it != d.interfaces.end(); ++it) {
        if (it->get() == iface) {
            d.interfaces.erase(it);
            break;
        }
    }
}

void put_le16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// Where a device is plugged; false for a root hub or a tree deeper than USB allows.
bool device_location(libusb_device *device, InterfaceLocation &location) {
    uint8_t ports[MAX_PORT_DEPTH];
    int n = libusb_get_port_numbers(device, ports, static_cast<int>(MAX_PORT_DEPTH));
    if (n <= 0)
        return false;
    location.bus = libusb_get_bus_number(device);
    location.ports.assign(ports, ports + n);
    return true;
}

bool is_fastboot(const libusb_interface_descriptor &alt) {
    return alt.bInterfaceClass == 0xFF && alt.bInterfaceSubClass == 0x42 && alt.bInterfaceProtocol == 0x03;
}

// The fastboot interfaces of a device, from the descriptors libusb caches (nothing is opened). Each
// interface counts by its alternate setting 0, the one in force after a claim.
template <typename Fn>
void for_each_fastboot_interface(libusb_device *device, Fn fn) {
    libusb_config_descriptor *config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS || config == nullptr)
        return;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface &iface = config->interface[i];
        if (iface.num_altsetting < 1)
            continue;
        const libusb_interface_descriptor &alt = iface.altsetting[0];
        if (alt.bAlternateSetting == 0 && is_fastboot(alt))
            fn(alt);
    }
    libusb_free_config_descriptor(config);
}

// The facts of one fastboot interface of a device; false when it has no fastboot interface by that number.
bool read_facts(libusb_device *device, uint8_t number, InterfaceFacts &facts) {
    libusb_device_descriptor dd{};
    if (libusb_get_device_descriptor(device, &dd) != LIBUSB_SUCCESS)
        return false;
    bool found = false;
    for_each_fastboot_interface(device, [&](const libusb_interface_descriptor &alt) {
        if (found || alt.bInterfaceNumber != number)
            return;
        found = true;
        uint8_t *i = facts.interface_descriptor;
        i[0] = 9;
        i[1] = LIBUSB_DT_INTERFACE;
        i[2] = alt.bInterfaceNumber;
        i[3] = alt.bAlternateSetting;
        i[4] = alt.bNumEndpoints;
        i[5] = alt.bInterfaceClass;
        i[6] = alt.bInterfaceSubClass;
        i[7] = alt.bInterfaceProtocol;
        i[8] = alt.iInterface;
        for (int e = 0; e < alt.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor &ep = alt.endpoint[e];
            if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK)
                continue;
            bool in = (ep.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
            int &slot = in ? facts.in_endpoint : facts.out_endpoint;
            if (slot >= 0)
                continue;
            slot = ep.bEndpointAddress;
            if (in && (ep.wMaxPacketSize & 0x7FF) != 0)
                facts.in_packet = ep.wMaxPacketSize & 0x7FF;
        }
    });
    if (!found)
        return false;
    uint8_t *d = facts.device_descriptor;
    d[0] = 18;
    d[1] = LIBUSB_DT_DEVICE;
    put_le16(d + 2, dd.bcdUSB);
    d[4] = dd.bDeviceClass;
    d[5] = dd.bDeviceSubClass;
    d[6] = dd.bDeviceProtocol;
    d[7] = dd.bMaxPacketSize0;
    put_le16(d + 8, dd.idVendor);
    put_le16(d + 10, dd.idProduct);
    put_le16(d + 12, dd.bcdDevice);
    d[14] = dd.iManufacturer;
    d[15] = dd.iProduct;
    d[16] = dd.iSerialNumber;
    d[17] = dd.bNumConfigurations;
    facts.serial_index = dd.iSerialNumber;
    return true;
}

// Whether `device` is still on the bus: libusb drops a device from its list once the kernel reports
// it gone. Lock held.
bool still_present(Driver &d, libusb_device *device) {
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(d.context, &list);
    bool found = false;
    for (ssize_t i = 0; i < n; ++i)
        found = found || list[i] == device;
    if (n >= 0)
        libusb_free_device_list(list, 1);
    return found;
}

// Copies a text out in the ABI's size protocol: a missing or small buffer gets the size needed and ERANGE.
bool copy_text_out(const std::string &utf8, const std::u16string &utf16, void *buffer, uint32_t *size,
                   bool ansi, int &error) {
    if (size == nullptr) {
        error = EINVAL;
        return false;
    }
    uint64_t needed = ansi ? utf8.size() + 1 : 2 * (utf16.size() + 1);
    if (buffer == nullptr || *size < needed) {
        *size = static_cast<uint32_t>(needed);
        error = ERANGE;
        return false;
    }
    if (ansi) {
        std::memcpy(buffer, utf8.c_str(), utf8.size() + 1);
    } else {
        auto *out = static_cast<uint8_t *>(buffer);
        for (size_t i = 0; i <= utf16.size(); ++i)
            put_le16(out + 2 * i, i < utf16.size() ? utf16[i] : 0);
    }
    *size = static_cast<uint32_t>(needed);
    return true;
}

// Runs an export's body; errno is set last, after every lock is released, so nothing overwrites it.
template <typename Result, typename Fn>
Result run(Result failed, Fn fn) noexcept {
    int error = 0;
    Result result = failed;
    try {
        result = fn(error);
    } catch (const std::bad_alloc &) {
        result = failed;
        error = ENOMEM;
    } catch (...) {
        result = failed;
        error = EIO;
    }
    if (result == failed)
        errno = error != 0 ? error : EIO;
    return result;
}

// Remembers that the device went away, before the bus has told libusb so: a later open by name must not
// join it.
void mark_gone(Driver &d, SharedInterface *iface) {
    std::lock_guard<std::mutex> guard(d.lock);
    iface->gone = true;
}

// An interface held in use for a call that runs outside the lock; released on every way out.
class InUse {
public:
    InUse(Driver &d, SharedInterface *iface) : m_driver(d), m_iface(iface) { ++m_iface->in_use; }
    ~InUse() {
        std::lock_guard<std::mutex> guard(m_driver.lock);
        --m_iface->in_use;
        retire_if_unused(m_driver, m_iface);
    }
    InUse(const InUse &) = delete;
    InUse &operator=(const InUse &) = delete;

private:
    Driver &m_driver;
    SharedInterface *m_iface;
};

// The serial number's text, read once per open interface from its string descriptor in the device's
// first language. False with `error` set when the device has none or it cannot be read.
bool read_serial(Driver &d, SharedInterface *iface, std::u16string &serial, int &error) {
    {
        std::lock_guard<std::mutex> guard(d.lock);
        if (iface->serial_known) {
            serial = iface->serial;
            error = ENOTSUP;
            return iface->has_serial;
        }
    }
    if (iface->facts.serial_index == 0) {
        error = ENOTSUP;
        return false;
    }
    unsigned char buffer[255];
    int n = libusb_get_string_descriptor(iface->handle, 0, 0, buffer, sizeof buffer);
    if (n < 0) {
        if (n == LIBUSB_ERROR_NO_DEVICE)
            mark_gone(d, iface);
        error = errno_of(n);
        return false;
    }
    uint16_t language = n >= 4 ? static_cast<uint16_t>(buffer[2] | buffer[3] << 8) : 0x0409;
    n = libusb_get_string_descriptor(iface->handle, iface->facts.serial_index, language, buffer,
                                     sizeof buffer);
    if (n < 0) {
        error = errno_of(n);
        return false;
    }
    // bLength, bDescriptorType 3, then UTF-16LE; a length that disagrees with what came is cut to it.
    if (n < 2 || buffer[1] != LIBUSB_DT_STRING) {
        error = EPROTO;
        return false;
    }
    size_t length = std::min<size_t>(buffer[0], static_cast<size_t>(n));
    std::u16string text;
    for (size_t i = 2; i + 1 < length; i += 2)
        text += static_cast<char16_t>(buffer[i] | buffer[i + 1] << 8);
    std::lock_guard<std::mutex> guard(d.lock);
    iface->serial = text;
    iface->has_serial = true;
    iface->serial_known = true;
    serial = text;
    return true;
}

// A failure that `error` reports: one meaning the device has gone is remembered for later opens.
bool failed_with(Driver &d, SharedInterface *iface, int error) {
    if (error == ENODEV)
        mark_gone(d, iface);
    return false;
}

// One bulk transfer on an endpoint handle of kind `kind`: a data chunk is submitted and left in flight;
// anything else first waits for the writes in flight it must come after, then goes out and is waited for.
bool transfer(ADBAPIHANDLE endpoint, Kind kind, void *buffer, uint32_t length, uint32_t *done,
              uint32_t timeout_ms, int &error) {
    Driver &d = driver();
    std::unique_lock<std::mutex> guard(d.lock);
    HandleRecord *r = find_handle(d, endpoint, kind, error);
    if (r == nullptr)
        return false;
    SharedInterface *iface = r->iface;
    // A data chunk goes behind the writes of its own handle. Anything else comes after the writes of its
    // own handle (a write) or of every write handle opened from the same interface handle and of no other,
    // not the poll's (a read).
    std::shared_ptr<WriteQueue> own = r->writes;
    const bool in_flight = own != nullptr && tarnex::drivers::stays_in_flight(length, own->limit());
    std::vector<std::shared_ptr<WriteQueue>> earlier;
    if (!in_flight) {
        for (auto &[id, h] : d.handles) {
            if (h.writes != nullptr && (kind == Kind::WRITE_ENDPOINT ? &h == r : h.opening == r->opening))
                earlier.push_back(h.writes);
        }
    }
    InUse use(d, iface); // ends after `guard` is released: it takes the lock itself
    guard.unlock();

    // libusb counts in int; a read's room is rounded up by less than a packet.
    if (done == nullptr || (buffer == nullptr && length > 0) || length > INT_MAX - 1024) {
        error = EINVAL;
        return false;
    }
    *done = 0;
    if (in_flight) {
        if (!own->submit(buffer, length, timeout_ms, error))
            return failed_with(d, iface, error);
        *done = length;
        return true;
    }
    for (auto &queue : earlier) {
        if (!queue->drain(error))
            return failed_with(d, iface, error);
    }

    int address = kind == Kind::READ_ENDPOINT ? iface->facts.in_endpoint : iface->facts.out_endpoint;
    // A read goes into whole packets of room (tarnex::drivers::reply_room): what the caller asked for is
    // given back and the rest of that one reply dropped, so that it never fails the read nor becomes the
    // start of the next reply.
    auto *into = static_cast<unsigned char *>(buffer);
    uint32_t room = length;
    unsigned char local[STACK_READ];
    std::vector<unsigned char> large;
    if (kind == Kind::READ_ENDPOINT) {
        room = static_cast<uint32_t>(tarnex::drivers::reply_room(length, iface->facts.in_packet));
        if (room != length)
            into = room <= sizeof local ? local : (large.resize(room), large.data());
    }
    int transferred = 0;
    // libusb takes 0 as "no time-out", as WinUSB does.
    int rc = libusb_bulk_transfer(iface->handle, static_cast<unsigned char>(address), into,
                                  static_cast<int>(room), &transferred, timeout_ms);
    transferred = std::clamp(transferred, 0, static_cast<int>(length));
    if (into != buffer && transferred > 0)
        std::memcpy(buffer, into, static_cast<size_t>(transferred));
    *done = static_cast<uint32_t>(transferred);
    if (rc == LIBUSB_ERROR_NO_DEVICE)
        mark_gone(d, iface);
    // A reply that lands while libusb cancels the read at its time-out comes back with the bytes and an
    // error (TIMEOUT, or IO for a transfer cancelled after it completed). The bytes are the reply: given
    // up, the caller would read again and wait for ever for what it has already consumed.
    if (rc != LIBUSB_SUCCESS && !(kind == Kind::READ_ENDPOINT && transferred > 0)) {
        error = errno_of(rc);
        return false;
    }
    return true;
}

// Copies one of the descriptors read when the interface was opened into the caller's structure, which
// has the descriptor's wire layout.
template <typename Descriptor, size_t N>
bool copy_descriptor(ADBAPIHANDLE iface_handle, Descriptor *out, uint8_t (InterfaceFacts::*which)[N],
                     int &error) {
    static_assert(sizeof(Descriptor) == N, "the structure has the descriptor's wire layout");
    Driver &d = driver();
    std::lock_guard<std::mutex> guard(d.lock);
    HandleRecord *r = find_handle(d, iface_handle, Kind::INTERFACE, error);
    if (r == nullptr)
        return false;
    if (out == nullptr) {
        error = EINVAL;
        return false;
    }
    std::memcpy(out, r->iface->facts.*which, N);
    return true;
}

ADBAPIHANDLE open_endpoint(ADBAPIHANDLE iface_handle, Kind kind, int &error) {
    Driver &d = driver();
    std::lock_guard<std::mutex> guard(d.lock);
    HandleRecord *r = find_handle(d, iface_handle, Kind::INTERFACE, error);
    if (r == nullptr)
        return nullptr;
    SharedInterface *iface = r->iface;
    int address = kind == Kind::READ_ENDPOINT ? iface->facts.in_endpoint : iface->facts.out_endpoint;
    if (address < 0) {
        error = ENOENT;
        return nullptr;
    }
    if (!iface->claimed) {
        int rc = libusb_claim_interface(iface->handle, iface->location.interface_number);
        if (rc != LIBUSB_SUCCESS) {
            error = errno_of(rc);
            return nullptr;
        }
        iface->claimed = true;
    }
    HandleRecord e;
    e.kind = kind;
    e.iface = iface;
    e.opening = r->opening;
    if (kind == Kind::WRITE_ENDPOINT) {
        const char *limit = std::getenv(tarnex::drivers::IN_FLIGHT_VARIABLE);
        e.writes = std::make_shared<WriteQueue>(d.context, iface->handle, static_cast<unsigned char>(address),
                                                tarnex::drivers::in_flight_limit(limit));
    }
    return add_handle(d, std::move(e));
}

} // namespace

// --- the twelve driver operations -----------------------------------------------------------------------

LIBUSB_DRIVER_EXPORT ADBAPIHANDLE ADBAPI_CALL AdbEnumInterfaces(AdbGuid class_id, bool exclude_not_present,
                                                                bool exclude_removed, bool active_only) {
    return run<ADBAPIHANDLE>(nullptr, [&](int &error) -> ADBAPIHANDLE {
        Driver &d = driver();
        std::lock_guard<std::mutex> guard(d.lock);
        int rc = ensure_context(d);
        if (rc != LIBUSB_SUCCESS) {
            error = errno_of(rc);
            return nullptr;
        }
        // libusb lists only devices on the bus, so the three flags hold whatever they say.
        libusb_device **list = nullptr;
        ssize_t n = libusb_get_device_list(d.context, &list);
        if (n < 0) {
            error = errno_of(static_cast<int>(n));
            return nullptr;
        }
        HandleRecord r;
        r.kind = Kind::ENUMERATION;
        r.class_id = class_id;
        std::vector<InterfaceLocation> found;
        try {
            for (ssize_t i = 0; i < n; ++i) {
                InterfaceLocation location;
                if (!device_location(list[i], location))
                    continue;
                for_each_fastboot_interface(list[i], [&](const libusb_interface_descriptor &alt) {
                    location.interface_number = alt.bInterfaceNumber;
                    found.push_back(location);
                });
            }
        } catch (...) {
            libusb_free_device_list(list, 1);
            throw;
        }
        libusb_free_device_list(list, 1);
        // In the order of the ports, not libusb's (which follows the order of arrival), so that the same
        // phones on the same ports are always listed alike.
        std::sort(found.begin(), found.end(), [](const InterfaceLocation &a, const InterfaceLocation &b) {
            return std::tie(a.bus, a.ports, a.interface_number) <
                   std::tie(b.bus, b.ports, b.interface_number);
        });
        for (const auto &location : found)
            r.entries.push_back(format_interface_name(location));
        return add_handle(d, std::move(r));
    });
}

LIBUSB_DRIVER_EXPORT bool ADBAPI_CALL AdbNextInterface(ADBAPIHANDLE enumeration, AdbInterfaceInfo *info,
                                                       uint32_t *size) {
    return run<bool>(false, [&](int &error) -> bool {
        Driver &d = driver();
        std::lock_guard<std::mutex> guard(d.lock);
        HandleRecord *r = find_handle(d, enumeration, Kind::ENUMERATION, error);
        if (r == nullptr)
            return false;
        if (size == nullptr) {
            error = EINVAL;
            return false;
        }
        if (r->cursor >= r->entries.size()) {
            error = ENODATA;
            return false;
        }
        const std::string &name = r->entries[r->cursor];
        uint64_t needed = adb_interface_entry_size(name.size());
        if (info == nullptr || *size < needed) {
            *size = static_cast<uint32_t>(needed);
            error = ERANGE;
            return false;
        }
        adb_write_interface_entry(reinterpret_cast<uint8_t *>(info), r->class_id, 1 /* active */, name.data(),
                                  name.size());
        *size = static_cast<uint32_t>(needed);
        ++r->cursor;
        return true;
    });
}

LIBUSB_DRIVER_EXPORT ADBAPIHANDLE ADBAPI_CALL AdbCreateInterfaceByName(const char16_t *name) {
    return run<ADBAPIHANDLE>(nullptr, [&](int &error) -> ADBAPIHANDLE {
        if (name == nullptr) {
            error = EINVAL;
            return nullptr;
        }
        // Our names are short ASCII; the bound keeps a name without a terminator from running on.
        std::string narrow;
        for (size_t i = 0; name[i] != 0; ++i) {
            if (i >= 64 || name[i] >= 0x80) {
                error = ENODEV;
                return nullptr;
            }
            narrow += static_cast<char>(name[i]);
        }
        std::optional<InterfaceLocation> location = parse_interface_name(narrow);
        if (!location) {
            error = ENODEV;
            return nullptr;
        }
        Driver &d = driver();
        std::lock_guard<std::mutex> guard(d.lock);
        int rc = ensure_context(d);
        if (rc != LIBUSB_SUCCESS) {
            error = errno_of(rc);
            return nullptr;
        }
        // Joining an interface that is open already: only while the device it was opened on is still on
        // the bus. The presence check of the flasher relies on a failing open, and a phone replugged into
        // the same port has the same name but is another device whose handles these are not.
        for (auto &shared : d.interfaces) {
            if (shared->name != narrow || shared->handles == 0)
                continue;
            if (shared->gone || !still_present(d, shared->device)) {
                error = ENODEV;
                return nullptr;
            }
            HandleRecord r;
            r.kind = Kind::INTERFACE;
            r.iface = shared.get();
            return add_handle(d, std::move(r));
        }

        libusb_device **list = nullptr;
        ssize_t n = libusb_get_device_list(d.context, &list);
        if (n < 0) {
            error = errno_of(static_cast<int>(n));
            return nullptr;
        }
        libusb_device *device = nullptr;
        InterfaceFacts facts;
        for (ssize_t i = 0; i < n && device == nullptr; ++i) {
            InterfaceLocation here;
            if (!device_location(list[i], here) || here.bus != location->bus || here.ports != location->ports)
                continue;
            if (read_facts(list[i], location->interface_number, facts))
                device = libusb_ref_device(list[i]);
        }
        libusb_free_device_list(list, 1);
        if (device == nullptr) {
            error = ENODEV; // nothing there, or nothing there that is a fastboot interface
            return nullptr;
        }
        libusb_device_handle *handle = nullptr;
        rc = libusb_open(device, &handle);
        if (rc != LIBUSB_SUCCESS) {
            libusb_unref_device(device);
            error = errno_of(rc);
            return nullptr;
        }
        auto shared = std::make_unique<SharedInterface>();
        shared->name = narrow;
        shared->location = *location;
        shared->device = device;
        shared->handle = handle;
        shared->facts = facts;
        SharedInterface *iface = shared.get();
        try {
            d.interfaces.push_back(std::move(shared));
        } catch (...) {
            libusb_close(handle);
            libusb_unref_device(device);
            throw;
        }
        HandleRecord r;
        r.kind = Kind::INTERFACE;
        r.iface = iface;
        return add_handle(d, std::move(r));
    });
}

LIBUSB_DRIVER_EXPORT bool ADBAPI_CALL AdbGetInterfaceName(ADBAPIHANDLE iface, void *buffer, uint32_t *size,
                                                          bool ansi) {
    return run<bool>(false, [&](int &error) -> bool {
        Driver &d = driver();
        std::lock_guard<std::mutex> guard(d.lock);
        HandleRecord *r = find_handle(d, iface, Kind::INTERFACE, error);
        if (r == nullptr)
            return false;
        const std::string &name = r->iface->name;
        return copy_text_out(name, std::u16string(name.begin(), name.end()), buffer, size, ansi, error);
    });
}

LIBUSB_DRIVER_EXPORT bool ADBAPI_CALL AdbGetSerialNumber(ADBAPIHANDLE iface, void *buffer, uint32_t *size,
                                                         bool ansi) {
    return run<bool>(false, [&](int &error) -> bool {
        Driver &d = driver();
        std::unique_lock<std::mutex> guard(d.lock);
        HandleRecord *r = find_handle(d, iface, Kind::INTERFACE, error);
        if (r == nullptr)
            return false;
        SharedInterface *shared = r->iface;
        InUse use(d, shared); // ends after `guard` is released: it takes the lock itself
        guard.unlock();
        std::u16string serial;
        if (!read_serial(d, shared, serial, error))
            return false;
        return copy_text_out(utf16_to_utf8(serial), serial, buffer, size, ansi, error);
    });
}

LIBUSB_DRIVER_EXPORT bool ADBAPI_CALL AdbGetUsbDeviceDescriptor(ADBAPIHANDLE iface,
                                                                UsbDeviceDescriptor *descriptor) {
    return run<bool>(false, [&](int &error) {
        return copy_descriptor(iface, descriptor, &InterfaceFacts::device_descriptor, error);
    });
}

LIBUSB_DRIVER_EXPORT bool ADBAPI_CALL AdbGetUsbInterfaceDescriptor(ADBAPIHANDLE iface,
                                                                   UsbInterfaceDescriptor *descriptor) {
    return run<bool>(false, [&](int &error) {
        return copy_descriptor(iface, descriptor, &InterfaceFacts::interface_descriptor, error);
    });
}

LIBUSB_DRIVER_EXPORT ADBAPIHANDLE ADBAPI_CALL AdbOpenDefaultBulkReadEndpoint(ADBAPIHANDLE iface,
                                                                             int access_type,
                                                                             int sharing_mode) {
    return run<ADBAPIHANDLE>(nullptr,
                             [&](int &error) { return open_endpoint(iface, Kind::READ_ENDPOINT, error); });
}

LIBUSB_DRIVER_EXPORT ADBAPIHANDLE ADBAPI_CALL AdbOpenDefaultBulkWriteEndpoint(ADBAPIHANDLE iface,
                                                                              int access_type,
                                                                              int sharing_mode) {
    return run<ADBAPIHANDLE>(nullptr,
                             [&](int &error) { return open_endpoint(iface, Kind::WRITE_ENDPOINT, error); });
}

LIBUSB_DRIVER_EXPORT bool ADBAPI_CALL AdbReadEndpointSync(ADBAPIHANDLE endpoint, void *buffer,
                                                          uint32_t bytes_to_read, uint32_t *bytes_read,
                                                          uint32_t timeout_ms) {
    return run<bool>(false, [&](int &error) {
        return transfer(endpoint, Kind::READ_ENDPOINT, buffer, bytes_to_read, bytes_read, timeout_ms, error);
    });
}

LIBUSB_DRIVER_EXPORT bool ADBAPI_CALL AdbWriteEndpointSync(ADBAPIHANDLE endpoint, void *buffer,
                                                           uint32_t bytes_to_write, uint32_t *bytes_written,
                                                           uint32_t timeout_ms) {
    return run<bool>(false, [&](int &error) {
        return transfer(endpoint, Kind::WRITE_ENDPOINT, buffer, bytes_to_write, bytes_written, timeout_ms,
                        error);
    });
}

LIBUSB_DRIVER_EXPORT bool ADBAPI_CALL AdbCloseHandle(ADBAPIHANDLE handle) {
    return run<bool>(false, [&](int &error) -> bool {
        Driver &d = driver();
        std::unique_lock<std::mutex> guard(d.lock);
        auto it = handle != nullptr ? d.handles.find(handle_id(handle)) : d.handles.end();
        if (it == d.handles.end()) {
            error = EBADF;
            return false;
        }
        // Writes in flight are cancelled and waited for without the lock (waiting handles libusb's
        // events), while the handle still holds its interface open under them.
        if (std::shared_ptr<WriteQueue> writes = it->second.writes) {
            guard.unlock();
            writes->close();
            guard.lock();
            it = d.handles.find(handle_id(handle));
            if (it == d.handles.end()) {
                error = EBADF; // closed by another thread meanwhile
                return false;
            }
        }
        SharedInterface *iface = it->second.iface;
        d.handles.erase(it);
        if (iface != nullptr) {
            --iface->handles;
            retire_if_unused(d, iface);
        }
        return true;
    });
}

// tarnex_winusb.dll: the twelve driver operations of usb/driver_abi.h over SetupAPI and WinUSB.
//
// Handles are numbers in a table, never pointers: an unknown, closed or wrong kind of handle is refused
// with ERROR_INVALID_HANDLE and nothing is followed through it. The table's lock guards only the
// lookup; a lookup hands out a reference to the object, so a transfer runs without any lock and an
// object closed meanwhile lives on until that transfer ends. Interface and endpoint handles each hold a
// reference to the session of their device path (winusb_session.h), so they may be closed in any order.
// No exception leaves an export.
//
// Data writes stay in flight after their call (write_queue.h, drivers/transfer_policy.h). They belong to
// the write endpoint handle that submitted them: the next write on that handle and the next read on a
// read endpoint opened from the same interface handle wait for them first and report their failure. The
// poll's presence check opens its own interface handle, so it never waits for them, never sees their
// failure, and its close aborts nothing. Closing the submitting handle aborts and waits.
#include "drivers/transfer_policy.h"
#include "drivers/winusb/system_api.h"
#include "drivers/winusb/usb_descriptors.h"
#include "drivers/winusb/winusb_session.h"
#include "drivers/winusb/write_queue.h"
#include "usb/driver_abi.h"
#include "usb/interface_entry.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#define WINUSB_EXPORT extern "C" __declspec(dllexport)

using namespace tarnex::winusb;

namespace {

enum class Kind { ENUMERATION, INTERFACE, READ_ENDPOINT, WRITE_ENDPOINT };

struct Object {
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    const Kind kind;
};

struct InterfaceEntry {
    AdbGuid class_id;
    uint32_t flags;
    std::u16string name;
};

// A snapshot of the interfaces listed when the enumeration was made; the walk reads it without SetupAPI.
struct Enumeration : Object {
    Enumeration() : Object(Kind::ENUMERATION) {}
    std::vector<InterfaceEntry> entries;
    size_t next = 0; // guarded by the table's lock
};

// Interface handles, each an opening of its own that its endpoints share (never 0, never reused).
std::atomic<uint64_t> g_NextOpening{1};

struct Interface : Object {
    Interface(std::shared_ptr<Session> s, std::u16string n)
        : Object(Kind::INTERFACE), session(std::move(s)), name(std::move(n)), opening(g_NextOpening++) {}
    const std::shared_ptr<Session> session;
    const std::u16string name; // as the caller opened it
    const uint64_t opening;
};

// What one transfer needs besides the caller's buffer: the event it waits on, for a read the room a
// reply may take beyond what the caller asked for (Session::read_room), and the write queues it waits
// for first. Kept with the endpoint, so that a transfer allocates nothing once they have their size.
struct TransferKit {
    HANDLE event = nullptr;
    std::vector<uint8_t> room;
    std::vector<std::shared_ptr<WriteQueue>> earlier;

    TransferKit() = default;
    TransferKit(const TransferKit &) = delete;
    TransferKit &operator=(const TransferKit &) = delete;
    ~TransferKit() {
        if (event != nullptr)
            CloseHandle(event);
    }

    // A kit with its event and `room` bytes; null with the last-error value set.
    static std::unique_ptr<TransferKit> make(uint32_t room) {
        auto kit = std::make_unique<TransferKit>();
        kit->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (kit->event == nullptr)
            return nullptr;
        kit->room.resize(room);
        return kit;
    }
};

struct Endpoint : Object {
    Endpoint(Kind k, std::shared_ptr<Session> s, UCHAR p, uint64_t o, std::unique_ptr<TransferKit> kit,
             std::shared_ptr<WriteQueue> w)
        : Object(k), session(std::move(s)), pipe(p), opening(o), writes(std::move(w)) {
        spare_kit.store(kit.release());
    }
    ~Endpoint() override { delete spare_kit.load(); }
    const std::shared_ptr<Session> session;
    const UCHAR pipe;
    const uint64_t opening;                   // of the interface handle it was opened from
    const std::shared_ptr<WriteQueue> writes; // write endpoints: the writes in flight
    // The kit a transfer uses, made with the endpoint so that a transfer makes none. A transfer takes it
    // out and puts it back; one that finds it taken (two threads on one endpoint) makes its own.
    std::atomic<TransferKit *> spare_kit{nullptr};
};

class HandleTable {
public:
    // Registers `object` and returns its handle, or null with ERROR_OUTOFMEMORY.
    ADBAPIHANDLE add(std::shared_ptr<Object> object) {
        std::lock_guard<std::mutex> guard(m_lock);
        uint64_t id = m_next++;
        m_objects.emplace(id, std::move(object));
        return to_handle(id);
    }

    // The object behind `handle` if it is of kind `a` or `b`; null with ERROR_INVALID_HANDLE otherwise.
    std::shared_ptr<Object> find(ADBAPIHANDLE handle, Kind a, Kind b) {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_objects.find(to_id(handle));
        if (it == m_objects.end() || (it->second->kind != a && it->second->kind != b)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        return it->second;
    }

    // Removes `handle` and gives its object to the caller, who lets it go outside the lock (the last
    // reference to a session frees it, which must not hold up lookups). Null with ERROR_INVALID_HANDLE.
    std::shared_ptr<Object> remove(ADBAPIHANDLE handle) {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_objects.find(to_id(handle));
        if (it == m_objects.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        std::shared_ptr<Object> object = std::move(it->second);
        m_objects.erase(it);
        return object;
    }

    // Runs `fn` with the table locked, for the short bookkeeping of an enumeration walk.
    template <typename Fn>
    auto locked(Fn fn) {
        std::lock_guard<std::mutex> guard(m_lock);
        return fn();
    }

    // The write queues of the write endpoints opened from interface handle `opening`, into `found`.
    void writes_of(uint64_t opening, std::vector<std::shared_ptr<WriteQueue>> &found);

private:
    // Handle values are id * 16: never null, and never mistaken for one another. Ids are not reused.
    static ADBAPIHANDLE to_handle(uint64_t id) {
        return reinterpret_cast<ADBAPIHANDLE>(static_cast<uintptr_t>(id << 4));
    }
    static uint64_t to_id(ADBAPIHANDLE handle) {
        auto value = reinterpret_cast<uintptr_t>(handle);
        return value == 0 || (value & 0xF) != 0 ? 0 : static_cast<uint64_t>(value >> 4);
    }

    std::mutex m_lock;
    std::unordered_map<uint64_t, std::shared_ptr<Object>> m_objects;
    uint64_t m_next = 1;
};

void HandleTable::writes_of(uint64_t opening, std::vector<std::shared_ptr<WriteQueue>> &found) {
    found.clear();
    std::lock_guard<std::mutex> guard(m_lock);
    for (const auto &[id, object] : m_objects) {
        if (object->kind != Kind::WRITE_ENDPOINT)
            continue;
        const auto &endpoint = static_cast<const Endpoint &>(*object);
        if (endpoint.opening == opening)
            found.push_back(endpoint.writes);
    }
}

HandleTable &handles() {
    // Never destroyed: objects still open when the library is unloaded (a caller that leaked them, or a
    // process ending during a transfer) must not be freed from DllMain, where WinUSB must not be called.
    static HandleTable *table = new HandleTable;
    return *table;
}

template <typename T>
std::shared_ptr<T> find(ADBAPIHANDLE handle, Kind a, Kind b) {
    return std::static_pointer_cast<T>(handles().find(handle, a, b));
}

template <typename T>
std::shared_ptr<T> find(ADBAPIHANDLE handle, Kind k) {
    return find<T>(handle, k, k);
}

// Runs an export's body; an exception becomes a failure with a last-error value, never a crash.
template <typename Fn>
auto guarded(Fn fn, decltype(fn()) failed) noexcept -> decltype(fn()) {
    try {
        return fn();
    } catch (const std::bad_alloc &) {
        SetLastError(ERROR_OUTOFMEMORY);
    } catch (...) {
        SetLastError(ERROR_GEN_FAILURE);
    }
    return failed;
}

// An export that reads from the session behind an interface handle into the caller's `out`: a handle
// that is not a live interface fails with ERROR_INVALID_HANDLE, a null `out` with
// ERROR_INVALID_PARAMETER; otherwise `read` answers.
template <typename Out, typename Read>
bool read_session(ADBAPIHANDLE iface, Out *out, Read read) noexcept {
    return guarded(
        [&]() -> bool {
            auto i = find<Interface>(iface, Kind::INTERFACE);
            if (i == nullptr)
                return false;
            if (out == nullptr) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return false;
            }
            return read(static_cast<const Session &>(*i->session));
        },
        false);
}

GUID to_guid(const AdbGuid &g) {
    GUID out;
    out.Data1 = g.Data1;
    out.Data2 = g.Data2;
    out.Data3 = g.Data3;
    std::memcpy(out.Data4, g.Data4, sizeof out.Data4);
    return out;
}

AdbGuid to_adb_guid(const GUID &g) {
    AdbGuid out;
    out.Data1 = g.Data1;
    out.Data2 = g.Data2;
    out.Data3 = g.Data3;
    std::memcpy(out.Data4, g.Data4, sizeof out.Data4);
    return out;
}

// Copies a text out in 8-bit ANSI or UTF-16 with the size protocol of the ABI: sizes in bytes, the
// terminator included; a missing or small buffer gets the size needed and ERROR_INSUFFICIENT_BUFFER.
bool copy_text_out(const std::u16string &text, void *buffer, uint32_t *size, bool ansi) {
    if (size == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const auto *wide = reinterpret_cast<const wchar_t *>(text.c_str());
    uint64_t needed;
    if (ansi) {
        int bytes = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
        if (bytes <= 0)
            return false;
        needed = static_cast<uint64_t>(bytes);
    } else {
        needed = (text.size() + 1) * sizeof(char16_t);
    }
    if (needed > UINT32_MAX) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    if (buffer == nullptr || *size < needed) {
        *size = static_cast<uint32_t>(needed);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    if (ansi) {
        if (WideCharToMultiByte(CP_ACP, 0, wide, -1, static_cast<char *>(buffer), static_cast<int>(needed),
                                nullptr, nullptr) <= 0)
            return false;
    } else {
        std::memcpy(buffer, text.c_str(), needed);
    }
    *size = static_cast<uint32_t>(needed);
    return true;
}

// The longest device path taken: far beyond any real one, and a bound for a name without terminator.
constexpr size_t MAX_NAME_UNITS = 32767;

bool list_interfaces(const AdbGuid &class_id, bool exclude_not_present, bool exclude_removed,
                     bool active_only, Enumeration *out) {
    const SetupApi *api = setup_api();
    if (api == nullptr)
        return false;
    GUID guid = to_guid(class_id);
    DWORD flags = DIGCF_DEVICEINTERFACE | (exclude_not_present ? DIGCF_PRESENT : 0);
    HDEVINFO set = api->SetupDiGetClassDevsW(&guid, nullptr, nullptr, flags);
    if (set == INVALID_HANDLE_VALUE)
        return false;
    struct Closer {
        const SetupApi *api;
        HDEVINFO set;
        ~Closer() {
            DWORD error = GetLastError();
            api->SetupDiDestroyDeviceInfoList(set);
            SetLastError(error);
        }
    } closer{api, set};

    std::vector<uint8_t> detail_bytes;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data = {};
        data.cbSize = sizeof data;
        if (!api->SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data))
            return GetLastError() == ERROR_NO_MORE_ITEMS;
        if (!interface_listed(data.Flags, exclude_removed, active_only))
            continue;
        DWORD needed = 0;
        api->SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &needed, nullptr);
        if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
            continue;                                     // gone between the two calls
        detail_bytes.assign(needed + sizeof(wchar_t), 0); // room for a terminator SetupAPI may not write
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(detail_bytes.data());
        detail->cbSize = sizeof *detail;
        if (!api->SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, nullptr, nullptr))
            continue;
        const wchar_t *path = detail->DevicePath;
        size_t units = (needed - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(wchar_t);
        size_t length = 0;
        while (length < units && path[length] != L'\0')
            ++length;
        if (length == 0 || length > MAX_NAME_UNITS)
            continue;
        out->entries.push_back({to_adb_guid(data.InterfaceClassGuid), data.Flags,
                                std::u16string(reinterpret_cast<const char16_t *>(path), length)});
    }
}

// The number of writes a write endpoint opened now keeps in flight (drivers::IN_FLIGHT_VARIABLE).
unsigned in_flight_limit() {
    char value[16];
    DWORD n = GetEnvironmentVariableA(tarnex::drivers::IN_FLIGHT_VARIABLE, value, sizeof value);
    // Unset, or too long to be a sensible number: the default.
    return tarnex::drivers::in_flight_limit(n > 0 && n < sizeof value ? value : nullptr);
}

ADBAPIHANDLE open_endpoint(ADBAPIHANDLE iface, bool read) {
    return guarded(
        [&]() -> ADBAPIHANDLE {
            auto i = find<Interface>(iface, Kind::INTERFACE);
            if (i == nullptr)
                return nullptr;
            UCHAR pipe = read ? i->session->bulk_in() : i->session->bulk_out();
            if (pipe == 0) {
                SetLastError(ERROR_NOT_FOUND);
                return nullptr;
            }
            // The flasher's reads ask for at most 4096 bytes.
            auto kit = TransferKit::make(read ? i->session->read_room(4096) : 0);
            if (kit == nullptr)
                return nullptr;
            std::shared_ptr<WriteQueue> writes;
            if (!read)
                writes = std::make_shared<WriteQueue>(i->session, pipe, in_flight_limit());
            auto endpoint =
                std::make_shared<Endpoint>(read ? Kind::READ_ENDPOINT : Kind::WRITE_ENDPOINT, i->session,
                                           pipe, i->opening, std::move(kit), std::move(writes));
            return handles().add(std::move(endpoint));
        },
        nullptr);
}

// The endpoint's kit, lent to one transfer and given back at its end; another thread's transfer on the
// same endpoint gets a kit of its own.
class KitLoan {
public:
    explicit KitLoan(Endpoint &endpoint) : m_endpoint(endpoint), m_kit(endpoint.spare_kit.exchange(nullptr)) {
        if (m_kit == nullptr) {
            m_own = TransferKit::make(0);
            m_kit = m_own.get();
        }
    }
    ~KitLoan() {
        if (m_own == nullptr)
            m_endpoint.spare_kit.store(m_kit);
    }
    KitLoan(const KitLoan &) = delete;
    KitLoan &operator=(const KitLoan &) = delete;
    TransferKit *get() const { return m_kit; } // null (last-error set) when none could be made

private:
    Endpoint &m_endpoint;
    TransferKit *m_kit;
    std::unique_ptr<TransferKit> m_own;
};

// Waits for the writes in flight that a transfer on `endpoint` must follow: a write those of its own
// handle, a read those of every write handle opened from the same interface handle (not the poll's).
// False with the last-error value of their failure.
bool wait_for_earlier_writes(const Endpoint &endpoint, TransferKit &kit) {
    if (endpoint.kind == Kind::WRITE_ENDPOINT)
        return endpoint.writes->drain();
    handles().writes_of(endpoint.opening, kit.earlier);
    bool ok = true;
    for (const auto &queue : kit.earlier)
        ok = ok && queue->drain();
    kit.earlier.clear();
    return ok;
}

bool transfer(ADBAPIHANDLE handle, Kind kind, void *buffer, uint32_t length, uint32_t *done,
              uint32_t timeout_ms) {
    return guarded(
        [&]() -> bool {
            auto endpoint = find<Endpoint>(handle, kind);
            if (endpoint == nullptr)
                return false;
            if (buffer == nullptr && length > 0) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return false;
            }
            const bool read = kind == Kind::READ_ENDPOINT;
            // A data chunk is left in flight.
            if (!read && tarnex::drivers::stays_in_flight(length, endpoint->writes->limit())) {
                if (!endpoint->writes->submit(buffer, length, timeout_ms))
                    return false;
                if (done != nullptr)
                    *done = length;
                return true;
            }
            KitLoan loan(*endpoint);
            TransferKit *kit = loan.get();
            if (kit == nullptr || !wait_for_earlier_writes(*endpoint, *kit))
                return false;
            // A read goes into whole packets of room: the caller gets what it asked for and the rest of
            // that one reply is dropped, never handed to the next read as its start.
            const Session &session = *endpoint->session;
            auto *into = static_cast<uint8_t *>(buffer);
            uint32_t room = read ? session.read_room(length) : length;
            if (room != length) {
                if (kit->room.size() < room)
                    kit->room.resize(room);
                into = kit->room.data();
            }
            uint32_t moved = 0;
            bool ok = session.transfer(endpoint->pipe, read, into, room, &moved, timeout_ms, kit->event);
            DWORD error = GetLastError();
            moved = std::min(moved, length);
            if (into != buffer && moved > 0)
                std::memcpy(buffer, into, moved);
            if (done != nullptr)
                *done = moved;
            SetLastError(error);
            return ok;
        },
        false);
}

} // namespace

// --- Enumeration.

WINUSB_EXPORT ADBAPIHANDLE ADBAPI_CALL AdbEnumInterfaces(AdbGuid class_id, bool exclude_not_present,
                                                         bool exclude_removed, bool active_only) {
    return guarded(
        [&]() -> ADBAPIHANDLE {
            auto enumeration = std::make_shared<Enumeration>();
            if (!list_interfaces(class_id, exclude_not_present, exclude_removed, active_only,
                                 enumeration.get()))
                return nullptr;
            return handles().add(std::move(enumeration));
        },
        nullptr);
}

WINUSB_EXPORT bool ADBAPI_CALL AdbNextInterface(ADBAPIHANDLE enumeration, AdbInterfaceInfo *info,
                                                uint32_t *size) {
    return guarded(
        [&]() -> bool {
            auto e = find<Enumeration>(enumeration, Kind::ENUMERATION);
            if (e == nullptr)
                return false;
            if (size == nullptr) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return false;
            }
            return handles().locked([&]() -> bool {
                if (e->next >= e->entries.size()) {
                    SetLastError(ERROR_NO_MORE_ITEMS);
                    return false;
                }
                const InterfaceEntry &entry = e->entries[e->next];
                uint64_t needed = adb_interface_entry_size(entry.name.size());
                if (info == nullptr || *size < needed) {
                    // The entry stays next: the caller may ask again with the size given.
                    *size = static_cast<uint32_t>(needed);
                    SetLastError(ERROR_INSUFFICIENT_BUFFER);
                    return false;
                }
                adb_write_interface_entry(reinterpret_cast<uint8_t *>(info), entry.class_id, entry.flags,
                                          entry.name.data(), entry.name.size());
                *size = static_cast<uint32_t>(needed);
                ++e->next;
                return true;
            });
        },
        false);
}

// --- Interfaces.

WINUSB_EXPORT ADBAPIHANDLE ADBAPI_CALL AdbCreateInterfaceByName(const char16_t *name) {
    return guarded(
        [&]() -> ADBAPIHANDLE {
            if (name == nullptr) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return nullptr;
            }
            size_t length = 0;
            while (name[length] != u'\0') {
                if (++length > MAX_NAME_UNITS) {
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return nullptr;
                }
            }
            if (length == 0) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return nullptr;
            }
            std::u16string text(name, length);
            std::shared_ptr<Session> session = open_session(reinterpret_cast<const wchar_t *>(text.c_str()));
            if (session == nullptr)
                return nullptr;
            return handles().add(std::make_shared<Interface>(std::move(session), std::move(text)));
        },
        nullptr);
}

WINUSB_EXPORT bool ADBAPI_CALL AdbGetInterfaceName(ADBAPIHANDLE iface, void *buffer, uint32_t *size,
                                                   bool ansi) {
    return guarded(
        [&]() -> bool {
            auto i = find<Interface>(iface, Kind::INTERFACE);
            return i != nullptr && copy_text_out(i->name, buffer, size, ansi);
        },
        false);
}

WINUSB_EXPORT bool ADBAPI_CALL AdbGetSerialNumber(ADBAPIHANDLE iface, void *buffer, uint32_t *size,
                                                  bool ansi) {
    return read_session(iface, size, [&](const Session &session) {
        std::u16string serial;
        return session.serial_number(&serial) && copy_text_out(serial, buffer, size, ansi);
    });
}

WINUSB_EXPORT bool ADBAPI_CALL AdbGetUsbDeviceDescriptor(ADBAPIHANDLE iface,
                                                         UsbDeviceDescriptor *descriptor) {
    return read_session(iface, descriptor,
                        [&](const Session &session) { return session.device_descriptor(descriptor); });
}

WINUSB_EXPORT bool ADBAPI_CALL AdbGetUsbInterfaceDescriptor(ADBAPIHANDLE iface,
                                                            UsbInterfaceDescriptor *descriptor) {
    return read_session(iface, descriptor,
                        [&](const Session &session) { return session.interface_descriptor(descriptor); });
}

// --- Endpoints. The access type and sharing mode are accepted and ignored: WinUSB pipes have neither,
// and every handle on a session shares its pipes.

WINUSB_EXPORT ADBAPIHANDLE ADBAPI_CALL AdbOpenDefaultBulkReadEndpoint(ADBAPIHANDLE iface, int access_type,
                                                                      int sharing_mode) {
    return open_endpoint(iface, true);
}

WINUSB_EXPORT ADBAPIHANDLE ADBAPI_CALL AdbOpenDefaultBulkWriteEndpoint(ADBAPIHANDLE iface, int access_type,
                                                                       int sharing_mode) {
    return open_endpoint(iface, false);
}

WINUSB_EXPORT bool ADBAPI_CALL AdbReadEndpointSync(ADBAPIHANDLE endpoint, void *buffer,
                                                   uint32_t bytes_to_read, uint32_t *bytes_read,
                                                   uint32_t timeout_ms) {
    return transfer(endpoint, Kind::READ_ENDPOINT, buffer, bytes_to_read, bytes_read, timeout_ms);
}

WINUSB_EXPORT bool ADBAPI_CALL AdbWriteEndpointSync(ADBAPIHANDLE endpoint, void *buffer,
                                                    uint32_t bytes_to_write, uint32_t *bytes_written,
                                                    uint32_t timeout_ms) {
    return transfer(endpoint, Kind::WRITE_ENDPOINT, buffer, bytes_to_write, bytes_written, timeout_ms);
}

// --- Closing.

WINUSB_EXPORT bool ADBAPI_CALL AdbCloseHandle(ADBAPIHANDLE handle) {
    return guarded(
        [&]() -> bool {
            std::shared_ptr<Object> object = handles().remove(handle);
            if (object == nullptr)
                return false;
            if (object->kind == Kind::WRITE_ENDPOINT)
                static_cast<Endpoint &>(*object).writes->close(); // its writes in flight end here
            object.reset(); // outside the table's lock; may end a session
            SetLastError(ERROR_SUCCESS);
            return true;
        },
        false);
}

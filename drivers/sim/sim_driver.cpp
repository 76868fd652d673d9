// The simulated phone library: the twelve driver operations and the control interface.
//
// Handles are opaque numbers, never pointers: a handle that was closed, or never existed, is looked up in
// the handle table and refused with the invalid-handle code; nothing is ever dereferenced through one.
// Every export takes one lock for its whole bookkeeping, so the window thread may open and close a second
// interface handle while the worker transfers on the first. Delays that pace a simulated link are slept
// outside the lock. No exception leaves an export.

#define TARNEX_SIM_BUILDING 1
#include "drivers/sim/sim_control.h"

#include "drivers/sim/phone.h"
#include "drivers/sim/scenario.h"
#include "drivers/sim/transcript.h"
#include "usb/driver_abi.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#define SIM_EXPORT extern "C" __declspec(dllexport)
#else
#define SIM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

using namespace tarnex::sim;

namespace {

// The reasons an operation fails, each translated once into the platform's own last-error value.
enum class Failure {
    TIMEOUT,
    INVALID_HANDLE,
    OUT_OF_MEMORY,
    DEVICE_GONE,
    NOT_FOUND,
    INSUFFICIENT_BUFFER,
    NO_MORE_ITEMS,
    NOT_SUPPORTED,
    INVALID_PARAMETER,
    IO_ERROR,
};

void set_failure(Failure f) {
#ifdef _WIN32
    DWORD code = ERROR_GEN_FAILURE;
    switch (f) {
    case Failure::TIMEOUT:
        code = ERROR_SEM_TIMEOUT; // 121
        break;
    case Failure::INVALID_HANDLE:
        code = ERROR_INVALID_HANDLE; // 6
        break;
    case Failure::OUT_OF_MEMORY:
        code = ERROR_OUTOFMEMORY; // 14
        break;
    case Failure::DEVICE_GONE:
        code = ERROR_DEVICE_NOT_CONNECTED; // 1167
        break;
    case Failure::NOT_FOUND:
        code = ERROR_FILE_NOT_FOUND;
        break;
    case Failure::INSUFFICIENT_BUFFER:
        code = ERROR_INSUFFICIENT_BUFFER;
        break;
    case Failure::NO_MORE_ITEMS:
        code = ERROR_NO_MORE_ITEMS;
        break;
    case Failure::NOT_SUPPORTED:
        code = ERROR_NOT_SUPPORTED;
        break;
    case Failure::INVALID_PARAMETER:
        code = ERROR_INVALID_PARAMETER;
        break;
    case Failure::IO_ERROR:
        code = ERROR_GEN_FAILURE;
        break;
    }
    SetLastError(code);
#else
    int code = EIO;
    switch (f) {
    case Failure::TIMEOUT:
        code = ETIMEDOUT;
        break;
    case Failure::INVALID_HANDLE:
        code = EBADF;
        break;
    case Failure::OUT_OF_MEMORY:
        code = ENOMEM;
        break;
    case Failure::DEVICE_GONE:
        code = ENODEV;
        break;
    case Failure::NOT_FOUND:
        code = ENOENT;
        break;
    case Failure::INSUFFICIENT_BUFFER:
        code = ERANGE;
        break;
    case Failure::NO_MORE_ITEMS:
        code = ENODATA;
        break;
    case Failure::NOT_SUPPORTED:
        code = ENOTSUP;
        break;
    case Failure::INVALID_PARAMETER:
        code = EINVAL;
        break;
    case Failure::IO_ERROR:
        code = EIO;
        break;
    }
    errno = code;
#endif
}

Failure failure_of(IoStatus s) {
    switch (s) {
    case IoStatus::TIMEOUT:
        return Failure::TIMEOUT;
    case IoStatus::GONE:
        return Failure::DEVICE_GONE;
    case IoStatus::OVERFLOW:
        return Failure::IO_ERROR;
    case IoStatus::NO_MEMORY:
        return Failure::OUT_OF_MEMORY;
    case IoStatus::OPEN_REFUSED:
    case IoStatus::OK:
        break;
    }
    return Failure::IO_ERROR;
}

enum class Kind { ENUMERATION, INTERFACE, READ_ENDPOINT, WRITE_ENDPOINT };

const char *kind_name(Kind k) {
    switch (k) {
    case Kind::ENUMERATION:
        return "enumeration";
    case Kind::INTERFACE:
        return "interface";
    case Kind::READ_ENDPOINT:
        return "read";
    case Kind::WRITE_ENDPOINT:
        return "write";
    }
    return "?";
}

struct HandleRecord {
    Kind kind = Kind::INTERFACE;
    size_t phone = 0;                 // not for enumerations
    uint32_t generation = 0;          // the phone's attachment this handle belongs to
    std::vector<std::string> entries; // enumerations: interface names as listed at creation
    size_t cursor = 0;
};

struct Simulation {
    std::mutex lock;
    bool started = false;
    Transcript transcript;
    std::vector<std::unique_ptr<Phone>> phones;
    std::unordered_map<uint64_t, HandleRecord> handles;
    // Never reset: a handle from an earlier configuration must stay unknown, not alias a new one.
    uint64_t next_id = 1;
    TarnexSimHandleStats stats{};
};

Simulation &simulation() {
    static Simulation s;
    return s;
}

// Handle values are id * 16: never null, never a valid object address, and easy to read in a log.
ADBAPIHANDLE handle_value(uint64_t id) {
    return reinterpret_cast<ADBAPIHANDLE>(static_cast<uintptr_t>(id << 4));
}

uint64_t handle_id(ADBAPIHANDLE h) {
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    return (v & 0xF) != 0 ? 0 : static_cast<uint64_t>(v >> 4);
}

std::string handle_text(ADBAPIHANDLE h) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(h)));
    return buf;
}

void copy_message(const std::string &message, char *error, size_t error_size) {
    if (error == nullptr || error_size == 0)
        return;
    size_t n = std::min(message.size(), error_size - 1);
    std::memcpy(error, message.data(), n);
    error[n] = '\0';
}

// --- configuration ------------------------------------------------------------------------------------

// Replaces the simulation with `scenario`. Relative paths are taken from `base` (empty: current folder).
// Fails, changing nothing, when the transcript file cannot be created.
bool install(Simulation &sim, Scenario scenario, const std::filesystem::path &base, std::string &error) {
    auto resolve = [&](const std::string &p) -> std::filesystem::path {
        if (p.empty())
            return {};
        std::filesystem::path path(p);
        return path.is_relative() && !base.empty() ? base / path : path;
    };
    std::filesystem::path transcript_path = resolve(scenario.transcript_file);
    std::FILE *file = nullptr;
    if (!transcript_path.empty()) {
        std::error_code ec;
        if (transcript_path.has_parent_path())
            std::filesystem::create_directories(transcript_path.parent_path(), ec);
        file = open_file(transcript_path, "wb");
        if (file == nullptr) {
            error = "cannot create the transcript file '" + scenario.transcript_file + "'";
            return false;
        }
    }
    std::filesystem::path partition_dir = resolve(scenario.partition_dir);
    std::vector<std::unique_ptr<Phone>> phones;
    for (auto &device : scenario.devices)
        phones.push_back(std::make_unique<Phone>(std::move(device), sim.transcript, partition_dir));
    sim.transcript.restart(file);
    sim.phones = std::move(phones);
    sim.handles.clear();
    sim.stats = {};
    sim.started = true;
    return true;
}

// "'PATH'", built by appending: GCC 12 warns falsely about `"'" + path.string()` (-Wrestrict).
std::string quoted_path(const std::filesystem::path &path) {
    std::string s = "'";
    s += path.string();
    s += "'";
    return s;
}

bool read_text_file(const std::filesystem::path &path, std::string &text, std::string &error) {
    std::FILE *f = open_file(path, "rb");
    if (f == nullptr) {
        error = "cannot open " + quoted_path(path);
        return false;
    }
    // A scenario is a few lines; anything this large is the wrong file.
    constexpr size_t LIMIT = 1 << 20;
    text.clear();
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        text.append(buf, n);
        if (text.size() > LIMIT) {
            std::fclose(f);
            error = quoted_path(path) + " is larger than 1 MiB; is it a scenario?";
            return false;
        }
    }
    bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        error = "cannot read " + quoted_path(path);
        return false;
    }
    return true;
}

bool configure_from_file(Simulation &sim, const std::filesystem::path &path, std::string &error,
                         const std::filesystem::path *transcript_override = nullptr,
                         const std::filesystem::path *partition_override = nullptr) {
    std::string text;
    if (!read_text_file(path, text, error))
        return false;
    Scenario scenario;
    if (!parse_scenario(text, scenario, error)) {
        error = path.string() + ": " + error;
        return false;
    }
    if (transcript_override != nullptr)
        scenario.transcript_file = transcript_override->string();
    if (partition_override != nullptr)
        scenario.partition_dir = partition_override->string();
    return install(sim, std::move(scenario), path.parent_path(), error);
}

bool environment_path(const char *name, std::filesystem::path &out) {
#ifdef _WIN32
    std::wstring wname(name, name + std::strlen(name));
    const wchar_t *v = _wgetenv(wname.c_str());
    if (v == nullptr || *v == L'\0')
        return false;
    out = std::filesystem::path(v);
#else
    const char *v = std::getenv(name);
    if (v == nullptr || *v == '\0')
        return false;
    out = std::filesystem::path(v);
#endif
    return true;
}

// The configuration chosen by the environment, made on the first call of any export.
void start(Simulation &sim) {
    std::filesystem::path scenario_path, transcript_path, partition_path;
    bool has_transcript = environment_path("TARNEX_SIM_TRANSCRIPT", transcript_path);
    bool has_partitions = environment_path("TARNEX_SIM_PARTITION_DIR", partition_path);
    std::string error;
    bool ok;
    if (environment_path("TARNEX_SIM_SCENARIO", scenario_path)) {
        ok = configure_from_file(sim, scenario_path, error, has_transcript ? &transcript_path : nullptr,
                                 has_partitions ? &partition_path : nullptr);
    } else {
        Scenario s = default_scenario();
        if (has_transcript)
            s.transcript_file = transcript_path.string();
        if (has_partitions)
            s.partition_dir = partition_path.string();
        ok = install(sim, std::move(s), {}, error);
    }
    if (ok)
        return;
    // Nothing attached rather than a phone that behaves unlike the scenario: a test then fails at once,
    // and the reason is where its author will look.
    std::fprintf(stderr, "tarnex-sim: scenario not loaded: %s\n", error.c_str());
    Scenario empty;
    if (has_transcript)
        empty.transcript_file = transcript_path.string();
    std::string ignored;
    if (!install(sim, empty, {}, ignored))
        install(sim, Scenario{}, {}, ignored);
    sim.transcript.add("error - " + quote("scenario not loaded: " + error));
}

// Locks the simulation, starting it on first use, and brings back phones whose reboot is over.
class Session {
public:
    Session() : m_sim(simulation()), m_guard(m_sim.lock) {
        if (!m_sim.started)
            start(m_sim);
        for (auto &p : m_sim.phones)
            p->tick();
    }
    Simulation &sim() { return m_sim; }
    void unlock() { m_guard.unlock(); }

private:
    Simulation &m_sim;
    std::unique_lock<std::mutex> m_guard;
};

// Looks a handle up for operation `op`; logs and counts a handle that is unknown or of the wrong kind.
HandleRecord *find_handle(Simulation &sim, ADBAPIHANDLE h, const char *op, Kind k1, Kind k2) {
    auto it = sim.handles.find(handle_id(h));
    if (h != nullptr && it != sim.handles.end() && (it->second.kind == k1 || it->second.kind == k2))
        return &it->second;
    ++sim.stats.bad_handles;
    sim.transcript.add(std::string("bad-handle - ") + op + " handle=" + handle_text(h));
    set_failure(Failure::INVALID_HANDLE);
    return nullptr;
}

HandleRecord *find_handle(Simulation &sim, ADBAPIHANDLE h, const char *op, Kind k) {
    return find_handle(sim, h, op, k, k);
}

// The phone a handle works on, while the attachment it was opened on lasts; null (device gone) after.
Phone *live_phone(Simulation &sim, const HandleRecord &r) {
    Phone *p = sim.phones[r.phone].get();
    if (!p->plugged() || p->generation() != r.generation) {
        set_failure(Failure::DEVICE_GONE);
        return nullptr;
    }
    return p;
}

ADBAPIHANDLE add_handle(Simulation &sim, HandleRecord record, const std::string &who) {
    uint64_t id = sim.next_id++;
    std::string line = "open " + who + " h=" + std::to_string(id) + " " + kind_name(record.kind);
    if (record.kind == Kind::ENUMERATION)
        line += " count=" + std::to_string(record.entries.size());
    sim.handles.emplace(id, std::move(record));
    ++sim.stats.opened;
    sim.transcript.add(line);
    return handle_value(id);
}

void count_open_kinds(Simulation &sim) {
    TarnexSimHandleStats &s = sim.stats;
    s.open_now = s.opened - s.closed;
    s.open_enumerations = s.open_interfaces = s.open_endpoints = 0;
    for (const auto &[id, r] : sim.handles) {
        if (r.kind == Kind::ENUMERATION)
            ++s.open_enumerations;
        else if (r.kind == Kind::INTERFACE)
            ++s.open_interfaces;
        else
            ++s.open_endpoints;
    }
}

// Copies a text out in the caller's choice of 8-bit or UTF-16, with the usual size protocol: a missing or
// small buffer gets the size needed and the insufficient-buffer code.
bool copy_name_out(const std::string &text, void *buffer, uint32_t *size, bool ansi) {
    if (size == nullptr) {
        set_failure(Failure::INVALID_PARAMETER);
        return false;
    }
    uint64_t needed = (text.size() + 1) * (ansi ? 1 : 2);
    if (buffer == nullptr || *size < needed) {
        *size = static_cast<uint32_t>(needed);
        set_failure(Failure::INSUFFICIENT_BUFFER);
        return false;
    }
    auto *out = static_cast<uint8_t *>(buffer);
    for (size_t i = 0; i <= text.size(); ++i) {
        uint8_t c = i < text.size() ? static_cast<uint8_t>(text[i]) : 0;
        if (ansi) {
            out[i] = c;
        } else {
            out[2 * i] = c; // UTF-16LE; our texts are ASCII
            out[2 * i + 1] = 0;
        }
    }
    *size = static_cast<uint32_t>(needed);
    return true;
}

void put_le16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put_le32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool same_guid(const AdbGuid &a, const AdbGuid &b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

// Waits until the simulated link has carried the transfer. Short debts are not slept off one by one:
// timers are coarse, and the link's own clock makes up for it over the next transfers.
void pace(std::chrono::steady_clock::time_point until) {
    if (until == std::chrono::steady_clock::time_point{})
        return;
    auto now = std::chrono::steady_clock::now();
    if (until - now > std::chrono::milliseconds(2))
        std::this_thread::sleep_until(until);
}

template <typename Fn>
auto guarded(Fn fn, decltype(fn()) failed) noexcept -> decltype(fn()) {
    try {
        return fn();
    } catch (const std::bad_alloc &) {
        set_failure(Failure::OUT_OF_MEMORY);
    } catch (...) {
        set_failure(Failure::IO_ERROR);
    }
    return failed;
}

} // namespace

// --- the twelve driver operations -----------------------------------------------------------------------

SIM_EXPORT ADBAPIHANDLE ADBAPI_CALL AdbEnumInterfaces(AdbGuid class_id, bool exclude_not_present,
                                                      bool exclude_removed, bool active_only) {
    return guarded(
        [&]() -> ADBAPIHANDLE {
            Session s;
            HandleRecord r;
            r.kind = Kind::ENUMERATION;
            // Only attached phones are listed, whatever the flags: a detached one has no interface.
            if (same_guid(class_id, ANDROID_USB_CLASS_ID)) {
                for (const auto &p : s.sim().phones) {
                    if (p->plugged())
                        r.entries.push_back(p->config().interface_name);
                }
            }
            return add_handle(s.sim(), std::move(r), "-");
        },
        nullptr);
}

SIM_EXPORT bool ADBAPI_CALL AdbNextInterface(ADBAPIHANDLE enumeration, AdbInterfaceInfo *info,
                                             uint32_t *size) {
    return guarded(
        [&]() -> bool {
            Session s;
            HandleRecord *r = find_handle(s.sim(), enumeration, "AdbNextInterface", Kind::ENUMERATION);
            if (r == nullptr)
                return false;
            if (size == nullptr) {
                set_failure(Failure::INVALID_PARAMETER);
                return false;
            }
            if (r->cursor >= r->entries.size()) {
                set_failure(Failure::NO_MORE_ITEMS);
                return false;
            }
            const std::string &name = r->entries[r->cursor];
            uint64_t needed = ADB_INTERFACE_NAME_OFFSET + 2 * (name.size() + 1);
            if (info == nullptr || *size < needed) {
                *size = static_cast<uint32_t>(needed);
                set_failure(Failure::INSUFFICIENT_BUFFER);
                return false;
            }
            auto *out = reinterpret_cast<uint8_t *>(info);
            put_le32(out, ANDROID_USB_CLASS_ID.Data1);
            put_le16(out + 4, ANDROID_USB_CLASS_ID.Data2);
            put_le16(out + 6, ANDROID_USB_CLASS_ID.Data3);
            std::memcpy(out + 8, ANDROID_USB_CLASS_ID.Data4, 8);
            put_le32(out + 16, 1); // active
            for (size_t i = 0; i <= name.size(); ++i)
                put_le16(out + ADB_INTERFACE_NAME_OFFSET + 2 * i,
                         i < name.size() ? static_cast<uint8_t>(name[i]) : 0);
            *size = static_cast<uint32_t>(needed);
            ++r->cursor;
            return true;
        },
        false);
}

SIM_EXPORT ADBAPIHANDLE ADBAPI_CALL AdbCreateInterfaceByName(const char16_t *name) {
    return guarded(
        [&]() -> ADBAPIHANDLE {
            Session s;
            Simulation &sim = s.sim();
            if (name == nullptr) {
                set_failure(Failure::INVALID_PARAMETER);
                return nullptr;
            }
            // Names are ASCII; anything else names no phone of ours. The length bound keeps a name
            // without terminator from running through memory for ever.
            std::string narrow;
            bool ascii = true;
            for (size_t i = 0; name[i] != 0; ++i) {
                if (i >= 32768) {
                    set_failure(Failure::INVALID_PARAMETER);
                    return nullptr;
                }
                ascii = ascii && name[i] < 0x80;
                narrow += static_cast<char>(name[i] & 0x7F);
            }
            for (size_t i = 0; ascii && i < sim.phones.size(); ++i) {
                Phone &p = *sim.phones[i];
                if (p.config().interface_name != narrow)
                    continue;
                IoStatus st = p.plugged() ? p.on_open() : IoStatus::GONE;
                if (st != IoStatus::OK) {
                    sim.transcript.add("open-failed " + p.label() +
                                       (st == IoStatus::GONE ? " gone" : " refused"));
                    set_failure(st == IoStatus::GONE ? Failure::DEVICE_GONE : Failure::IO_ERROR);
                    return nullptr;
                }
                HandleRecord r;
                r.kind = Kind::INTERFACE;
                r.phone = i;
                r.generation = p.generation();
                return add_handle(sim, std::move(r), p.label());
            }
            sim.transcript.add("open-failed - " + quote(narrow));
            set_failure(Failure::NOT_FOUND);
            return nullptr;
        },
        nullptr);
}

SIM_EXPORT bool ADBAPI_CALL AdbGetInterfaceName(ADBAPIHANDLE iface, void *buffer, uint32_t *size, bool ansi) {
    return guarded(
        [&]() -> bool {
            Session s;
            HandleRecord *r = find_handle(s.sim(), iface, "AdbGetInterfaceName", Kind::INTERFACE);
            Phone *p = r ? live_phone(s.sim(), *r) : nullptr;
            return p != nullptr && copy_name_out(p->config().interface_name, buffer, size, ansi);
        },
        false);
}

SIM_EXPORT bool ADBAPI_CALL AdbGetSerialNumber(ADBAPIHANDLE iface, void *buffer, uint32_t *size, bool ansi) {
    return guarded(
        [&]() -> bool {
            Session s;
            HandleRecord *r = find_handle(s.sim(), iface, "AdbGetSerialNumber", Kind::INTERFACE);
            Phone *p = r ? live_phone(s.sim(), *r) : nullptr;
            if (p == nullptr)
                return false;
            if (!p->config().has_serial) {
                set_failure(Failure::NOT_SUPPORTED);
                return false;
            }
            return copy_name_out(p->config().serial, buffer, size, ansi);
        },
        false);
}

SIM_EXPORT bool ADBAPI_CALL AdbGetUsbDeviceDescriptor(ADBAPIHANDLE iface, UsbDeviceDescriptor *descriptor) {
    return guarded(
        [&]() -> bool {
            Session s;
            HandleRecord *r = find_handle(s.sim(), iface, "AdbGetUsbDeviceDescriptor", Kind::INTERFACE);
            Phone *p = r ? live_phone(s.sim(), *r) : nullptr;
            if (p == nullptr)
                return false;
            if (descriptor == nullptr) {
                set_failure(Failure::INVALID_PARAMETER);
                return false;
            }
            const DeviceConfig &c = p->config();
            uint8_t d[18] = {18, 1};
            put_le16(d + 2, 0x0200); // USB 2.0
            d[4] = c.device_class[0];
            d[5] = c.device_class[1];
            d[6] = c.device_class[2];
            d[7] = 64;
            put_le16(d + 8, c.vendor_id);
            put_le16(d + 10, c.product_id);
            put_le16(d + 12, 0x0100);
            d[14] = 1;
            d[15] = 2;
            d[16] = c.has_serial ? 3 : 0;
            d[17] = 1;
            std::memcpy(descriptor, d, sizeof d);
            return true;
        },
        false);
}

SIM_EXPORT bool ADBAPI_CALL AdbGetUsbInterfaceDescriptor(ADBAPIHANDLE iface,
                                                         UsbInterfaceDescriptor *descriptor) {
    return guarded(
        [&]() -> bool {
            Session s;
            HandleRecord *r = find_handle(s.sim(), iface, "AdbGetUsbInterfaceDescriptor", Kind::INTERFACE);
            Phone *p = r ? live_phone(s.sim(), *r) : nullptr;
            if (p == nullptr)
                return false;
            if (descriptor == nullptr) {
                set_failure(Failure::INVALID_PARAMETER);
                return false;
            }
            const DeviceConfig &c = p->config();
            uint8_t d[9] = {
                9, 4, 0, 0, c.endpoints, c.interface_class[0], c.interface_class[1], c.interface_class[2], 0};
            std::memcpy(descriptor, d, sizeof d);
            return true;
        },
        false);
}

namespace {

ADBAPIHANDLE open_endpoint(ADBAPIHANDLE iface, Kind kind, const char *op) {
    return guarded(
        [&]() -> ADBAPIHANDLE {
            Session s;
            HandleRecord *r = find_handle(s.sim(), iface, op, Kind::INTERFACE);
            Phone *p = r ? live_phone(s.sim(), *r) : nullptr;
            if (p == nullptr)
                return nullptr;
            HandleRecord e;
            e.kind = kind;
            e.phone = r->phone;
            e.generation = r->generation;
            return add_handle(s.sim(), std::move(e), p->label());
        },
        nullptr);
}

} // namespace

SIM_EXPORT ADBAPIHANDLE ADBAPI_CALL AdbOpenDefaultBulkReadEndpoint(ADBAPIHANDLE iface, int access_type,
                                                                   int sharing_mode) {
    return open_endpoint(iface, Kind::READ_ENDPOINT, "AdbOpenDefaultBulkReadEndpoint");
}

SIM_EXPORT ADBAPIHANDLE ADBAPI_CALL AdbOpenDefaultBulkWriteEndpoint(ADBAPIHANDLE iface, int access_type,
                                                                    int sharing_mode) {
    return open_endpoint(iface, Kind::WRITE_ENDPOINT, "AdbOpenDefaultBulkWriteEndpoint");
}

SIM_EXPORT bool ADBAPI_CALL AdbReadEndpointSync(ADBAPIHANDLE endpoint, void *buffer, uint32_t bytes_to_read,
                                                uint32_t *bytes_read, uint32_t timeout_ms) {
    return guarded(
        [&]() -> bool {
            Session s;
            HandleRecord *r = find_handle(s.sim(), endpoint, "AdbReadEndpointSync", Kind::READ_ENDPOINT);
            Phone *p = r ? live_phone(s.sim(), *r) : nullptr;
            if (p == nullptr)
                return false;
            if (bytes_read == nullptr || (buffer == nullptr && bytes_to_read > 0)) {
                set_failure(Failure::INVALID_PARAMETER);
                return false;
            }
            uint32_t received = 0;
            IoStatus st = p->host_read(static_cast<uint8_t *>(buffer), bytes_to_read, received);
            *bytes_read = received;
            if (st != IoStatus::OK) {
                set_failure(failure_of(st));
                return false;
            }
            auto until = p->book_transfer(received);
            s.unlock();
            pace(until);
            return true;
        },
        false);
}

SIM_EXPORT bool ADBAPI_CALL AdbWriteEndpointSync(ADBAPIHANDLE endpoint, void *buffer, uint32_t bytes_to_write,
                                                 uint32_t *bytes_written, uint32_t timeout_ms) {
    return guarded(
        [&]() -> bool {
            Session s;
            HandleRecord *r = find_handle(s.sim(), endpoint, "AdbWriteEndpointSync", Kind::WRITE_ENDPOINT);
            Phone *p = r ? live_phone(s.sim(), *r) : nullptr;
            if (p == nullptr)
                return false;
            if (bytes_written == nullptr || (buffer == nullptr && bytes_to_write > 0)) {
                set_failure(Failure::INVALID_PARAMETER);
                return false;
            }
            uint32_t accepted = 0;
            IoStatus st = p->host_write(static_cast<const uint8_t *>(buffer), bytes_to_write, accepted);
            *bytes_written = accepted;
            if (st != IoStatus::OK) {
                set_failure(failure_of(st));
                return false;
            }
            auto until = p->book_transfer(accepted);
            s.unlock();
            pace(until);
            return true;
        },
        false);
}

SIM_EXPORT bool ADBAPI_CALL AdbCloseHandle(ADBAPIHANDLE handle) {
    return guarded(
        [&]() -> bool {
            Session s;
            Simulation &sim = s.sim();
            auto it = handle != nullptr ? sim.handles.find(handle_id(handle)) : sim.handles.end();
            if (it == sim.handles.end()) {
                ++sim.stats.bad_closes;
                sim.transcript.add("bad-close - handle=" + handle_text(handle));
                set_failure(Failure::INVALID_HANDLE);
                return false;
            }
            std::string who =
                it->second.kind == Kind::ENUMERATION ? "-" : sim.phones[it->second.phone]->label();
            sim.transcript.add("close " + who + " h=" + std::to_string(it->first) + " " +
                               kind_name(it->second.kind));
            sim.handles.erase(it);
            ++sim.stats.closed;
            return true;
        },
        false);
}

// --- control interface ----------------------------------------------------------------------------------

namespace {

Phone *find_phone(Simulation &sim, const char *label) {
    if (label == nullptr)
        return nullptr;
    for (auto &p : sim.phones) {
        if (p->label() == label)
            return p.get();
    }
    return nullptr;
}

} // namespace

extern "C" {

int tarnex_sim_configure(const char *text, char *error, size_t error_size) {
    return guarded(
        [&]() -> int {
            Scenario scenario;
            std::string message;
            if (text == nullptr) {
                copy_message("no scenario text given", error, error_size);
                return -1;
            }
            if (!parse_scenario(text, scenario, message)) {
                copy_message(message, error, error_size);
                return -1;
            }
            Session s;
            if (!install(s.sim(), std::move(scenario), {}, message)) {
                copy_message(message, error, error_size);
                return -1;
            }
            copy_message("", error, error_size);
            return 0;
        },
        -1);
}

int tarnex_sim_configure_file(const char *path, char *error, size_t error_size) {
    return guarded(
        [&]() -> int {
            if (path == nullptr) {
                copy_message("no scenario file given", error, error_size);
                return -1;
            }
            std::string message;
            Session s;
            if (!configure_from_file(s.sim(), std::filesystem::path(path), message)) {
                copy_message(message, error, error_size);
                return -1;
            }
            copy_message("", error, error_size);
            return 0;
        },
        -1);
}

void tarnex_sim_reset(void) {
    guarded(
        [&]() -> int {
            Session s;
            std::string ignored;
            install(s.sim(), default_scenario(), {}, ignored);
            return 0;
        },
        0);
}

int tarnex_sim_plug(const char *label) {
    return guarded(
        [&]() -> int {
            Session s;
            Phone *p = find_phone(s.sim(), label);
            if (p == nullptr)
                return -1;
            p->plug();
            return 0;
        },
        -1);
}

int tarnex_sim_unplug(const char *label) {
    return guarded(
        [&]() -> int {
            Session s;
            Phone *p = find_phone(s.sim(), label);
            if (p == nullptr)
                return -1;
            p->unplug("control");
            return 0;
        },
        -1);
}

int tarnex_sim_is_plugged(const char *label) {
    return guarded(
        [&]() -> int {
            Session s;
            Phone *p = find_phone(s.sim(), label);
            return p == nullptr ? -1 : p->plugged() ? 1 : 0;
        },
        -1);
}

void tarnex_sim_handle_stats(TarnexSimHandleStats *stats) {
    guarded(
        [&]() -> int {
            Session s;
            count_open_kinds(s.sim());
            if (stats != nullptr)
                *stats = s.sim().stats;
            return 0;
        },
        0);
}

size_t tarnex_sim_transcript(char *buffer, size_t size) {
    return guarded(
        [&]() -> size_t {
            Session s;
            const std::string &text = s.sim().transcript.text();
            if (buffer != nullptr && size > 0) {
                size_t n = std::min(text.size(), size - 1);
                std::memcpy(buffer, text.data(), n);
                buffer[n] = '\0';
            }
            return text.size();
        },
        0);
}

void tarnex_sim_clear_transcript(void) {
    guarded(
        [&]() -> int {
            Session s;
            s.sim().transcript.clear_memory();
            return 0;
        },
        0);
}

int64_t tarnex_sim_partition(const char *label, const char *partition, void *buffer, uint64_t size) {
    return guarded(
        [&]() -> int64_t {
            Session s;
            Phone *p = find_phone(s.sim(), label);
            if (p == nullptr)
                return -1;
            const Partition *part = partition ? p->find_partition(partition) : nullptr;
            if (part == nullptr)
                return -2;
            const Image &img = part->image;
            if (img.size > 0 && img.bytes == nullptr)
                return -3;
            if (buffer != nullptr && img.size > 0)
                std::memcpy(buffer, img.bytes->data(),
                            static_cast<size_t>(std::min<uint64_t>(size, img.size)));
            return static_cast<int64_t>(img.size);
        },
        -1);
}

int tarnex_sim_write_partitions(const char *dir) {
    return guarded(
        [&]() -> int {
            if (dir == nullptr)
                return -1;
            Session s;
            bool ok = true;
            for (const auto &p : s.sim().phones)
                ok = p->write_partitions(std::filesystem::path(dir)) && ok;
            return ok ? 0 : -1;
        },
        -1);
}

} // extern "C"

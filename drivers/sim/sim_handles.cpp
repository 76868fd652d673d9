// The simulated phone library's handle table, its failures in the platform's codes, and the small
// helpers of its exports.
#include "drivers/sim/sim_library.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

namespace tarnex::sim {

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

} // namespace tarnex::sim

// What the simulated phone library's files share (not for use outside drivers/sim/): the one
// simulation behind its lock, the handle table, and the translation of failures into the platform's
// last-error values. The library is made of
//
//   sim_handles.cpp          the handle table, failures, and the small helpers of the exports;
//   sim_config.cpp           the configuration: a scenario from the environment, a file or a text;
//   sim_driver.cpp           the twelve driver operations;
//   sim_control_exports.cpp  the control interface of sim_control.h.
//
// Handles are opaque numbers, never pointers: a handle that was closed, or never existed, is looked up in
// the handle table and refused with the invalid-handle code; nothing is ever dereferenced through one.
// Every export takes the one lock (a Session) for its whole bookkeeping, so the window thread may open
// and close a second interface handle while the worker transfers on the first. Delays that pace a
// simulated link are slept outside the lock. No exception leaves an export (guarded).
#pragma once

#define TARNEX_SIM_BUILDING 1
#include "drivers/sim/sim_control.h"

#include "drivers/sim/phone.h"
#include "drivers/sim/scenario.h"
#include "drivers/sim/transcript.h"
#include "usb/driver_abi.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#ifdef _WIN32
#define SIM_EXPORT extern "C" __declspec(dllexport)
#else
#define SIM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace tarnex::sim {

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

void set_failure(Failure f);
Failure failure_of(IoStatus s);

enum class Kind { ENUMERATION, INTERFACE, READ_ENDPOINT, WRITE_ENDPOINT };

const char *kind_name(Kind k);

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

Simulation &simulation();

// Handle values are id * 16: never null, never a valid object address, and easy to read in a log.
ADBAPIHANDLE handle_value(uint64_t id);
uint64_t handle_id(ADBAPIHANDLE h);
std::string handle_text(ADBAPIHANDLE h);

// Copies a message into the caller's buffer, truncated and terminated (nothing for a null buffer).
void copy_message(const std::string &message, char *error, size_t error_size);

// --- Configuration (sim_config.cpp).

// Replaces the simulation with `scenario`. Relative paths are taken from `base` (empty: current folder).
// Fails, changing nothing, when the transcript file cannot be created.
bool install(Simulation &sim, Scenario scenario, const std::filesystem::path &base, std::string &error);

// Replaces the simulation with the scenario file at `path` (its relative paths taken from its folder),
// the overrides, when given, in place of its transcript file and partition folder.
bool configure_from_file(Simulation &sim, const std::filesystem::path &path, std::string &error,
                         const std::filesystem::path *transcript_override = nullptr,
                         const std::filesystem::path *partition_override = nullptr);

// The configuration chosen by the environment, made on the first call of any export.
void start(Simulation &sim);

// Locks the simulation, starting it on first use, and brings back phones whose reboot is over.
class Session {
public:
    Session();
    Simulation &sim() { return m_sim; }
    void unlock() { m_guard.unlock(); }

private:
    Simulation &m_sim;
    std::unique_lock<std::mutex> m_guard;
};

// --- The handle table (sim_handles.cpp).

// Looks a handle up for operation `op`; logs and counts a handle that is unknown or of the wrong kind.
HandleRecord *find_handle(Simulation &sim, ADBAPIHANDLE h, const char *op, Kind k1, Kind k2);
HandleRecord *find_handle(Simulation &sim, ADBAPIHANDLE h, const char *op, Kind k);

// The phone a handle works on, while the attachment it was opened on lasts; null (device gone) after.
Phone *live_phone(Simulation &sim, const HandleRecord &r);

ADBAPIHANDLE add_handle(Simulation &sim, HandleRecord record, const std::string &who);
void count_open_kinds(Simulation &sim);

// Copies a text out in the caller's choice of 8-bit or UTF-16, with the usual size protocol: a missing or
// small buffer gets the size needed and the insufficient-buffer code.
bool copy_name_out(const std::string &text, void *buffer, uint32_t *size, bool ansi);

void put_le16(uint8_t *p, uint16_t v);
bool same_guid(const AdbGuid &a, const AdbGuid &b);

// Waits until the simulated link has carried the transfer.
void pace(std::chrono::steady_clock::time_point until);

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

} // namespace tarnex::sim

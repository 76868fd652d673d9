// Loads the simulated phone library by path, the way the product loads a driver library, and binds the
// twelve driver operations and the control interface by name. Shared by the simulator's own tests.
#pragma once

#include "drivers/sim/sim_control.h"
#include "usb/driver_abi.h"

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace sim_test {

#ifdef _WIN32
constexpr unsigned long CODE_TIMEOUT = 121;
constexpr unsigned long CODE_INVALID_HANDLE = 6;
constexpr unsigned long CODE_DEVICE_GONE = 1167;
inline unsigned long last_error() {
    return GetLastError();
}
inline void clear_last_error() {
    SetLastError(0);
}
#else
constexpr unsigned long CODE_TIMEOUT = ETIMEDOUT;
constexpr unsigned long CODE_INVALID_HANDLE = EBADF;
constexpr unsigned long CODE_DEVICE_GONE = ENODEV;
inline unsigned long last_error() {
    return static_cast<unsigned long>(errno);
}
inline void clear_last_error() {
    errno = 0;
}
#endif

// The folder of the running test program, where the build puts the library too.
inline std::filesystem::path program_dir() {
#ifdef _WIN32
    wchar_t buf[4096];
    DWORD n = GetModuleFileNameW(nullptr, buf, 4096);
    return std::filesystem::path(std::wstring(buf, n)).parent_path();
#else
    return std::filesystem::read_symlink("/proc/self/exe").parent_path();
#endif
}

inline std::filesystem::path library_path() {
    return program_dir() / TARNEX_SIM_FILE;
}

struct SimLibrary {
    void *module = nullptr;
    std::string missing; // the first name that could not be bound

    AdbEnumInterfacesFn AdbEnumInterfaces = nullptr;
    AdbNextInterfaceFn AdbNextInterface = nullptr;
    AdbCreateInterfaceByNameFn AdbCreateInterfaceByName = nullptr;
    AdbGetInterfaceNameFn AdbGetInterfaceName = nullptr;
    AdbGetSerialNumberFn AdbGetSerialNumber = nullptr;
    AdbGetUsbDeviceDescriptorFn AdbGetUsbDeviceDescriptor = nullptr;
    AdbGetUsbInterfaceDescriptorFn AdbGetUsbInterfaceDescriptor = nullptr;
    AdbOpenDefaultBulkReadEndpointFn AdbOpenDefaultBulkReadEndpoint = nullptr;
    AdbOpenDefaultBulkWriteEndpointFn AdbOpenDefaultBulkWriteEndpoint = nullptr;
    AdbReadEndpointSyncFn AdbReadEndpointSync = nullptr;
    AdbWriteEndpointSyncFn AdbWriteEndpointSync = nullptr;
    AdbCloseHandleFn AdbCloseHandle = nullptr;

    TarnexSimConfigureFn configure = nullptr;
    TarnexSimConfigureFileFn configure_file = nullptr;
    TarnexSimResetFn reset = nullptr;
    TarnexSimLabelFn plug = nullptr;
    TarnexSimLabelFn unplug = nullptr;
    TarnexSimLabelFn is_plugged = nullptr;
    TarnexSimHandleStatsFn handle_stats = nullptr;
    TarnexSimTranscriptFn transcript_fn = nullptr;
    TarnexSimClearTranscriptFn clear_transcript = nullptr;
    TarnexSimPartitionFn partition_fn = nullptr;
    TarnexSimWritePartitionsFn write_partitions = nullptr;

    bool load(const std::filesystem::path &path) {
#ifdef _WIN32
        module = reinterpret_cast<void *>(LoadLibraryW(path.c_str()));
#else
        module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
        if (module == nullptr) {
            missing = "the library itself";
            return false;
        }
        bind(AdbEnumInterfaces, "AdbEnumInterfaces");
        bind(AdbNextInterface, "AdbNextInterface");
        bind(AdbCreateInterfaceByName, "AdbCreateInterfaceByName");
        bind(AdbGetInterfaceName, "AdbGetInterfaceName");
        bind(AdbGetSerialNumber, "AdbGetSerialNumber");
        bind(AdbGetUsbDeviceDescriptor, "AdbGetUsbDeviceDescriptor");
        bind(AdbGetUsbInterfaceDescriptor, "AdbGetUsbInterfaceDescriptor");
        bind(AdbOpenDefaultBulkReadEndpoint, "AdbOpenDefaultBulkReadEndpoint");
        bind(AdbOpenDefaultBulkWriteEndpoint, "AdbOpenDefaultBulkWriteEndpoint");
        bind(AdbReadEndpointSync, "AdbReadEndpointSync");
        bind(AdbWriteEndpointSync, "AdbWriteEndpointSync");
        bind(AdbCloseHandle, "AdbCloseHandle");
        bind(configure, "tarnex_sim_configure");
        bind(configure_file, "tarnex_sim_configure_file");
        bind(reset, "tarnex_sim_reset");
        bind(plug, "tarnex_sim_plug");
        bind(unplug, "tarnex_sim_unplug");
        bind(is_plugged, "tarnex_sim_is_plugged");
        bind(handle_stats, "tarnex_sim_handle_stats");
        bind(transcript_fn, "tarnex_sim_transcript");
        bind(clear_transcript, "tarnex_sim_clear_transcript");
        bind(partition_fn, "tarnex_sim_partition");
        bind(write_partitions, "tarnex_sim_write_partitions");
        return missing.empty();
    }

    void unload() {
        if (module == nullptr)
            return;
#ifdef _WIN32
        FreeLibrary(reinterpret_cast<HMODULE>(module));
#else
        dlclose(module);
#endif
        module = nullptr;
    }

    std::string transcript() const {
        std::string buf(transcript_fn(nullptr, 0) + 1, '\0');
        buf.resize(transcript_fn(buf.data(), buf.size()));
        return buf;
    }

    TarnexSimHandleStats stats() const {
        TarnexSimHandleStats s{};
        handle_stats(&s);
        return s;
    }

    std::string partition(const char *label, const char *name) const {
        int64_t n = partition_fn(label, name, nullptr, 0);
        if (n <= 0)
            return {};
        std::string out(static_cast<size_t>(n), '\0');
        partition_fn(label, name, out.data(), out.size());
        return out;
    }

private:
    template <typename Fn>
    void bind(Fn &fn, const char *name) {
#ifdef _WIN32
        fn = reinterpret_cast<Fn>(
            reinterpret_cast<void *>(GetProcAddress(reinterpret_cast<HMODULE>(module), name)));
#else
        fn = reinterpret_cast<Fn>(dlsym(module, name));
#endif
        if (fn == nullptr && missing.empty())
            missing = name;
    }
};

} // namespace sim_test

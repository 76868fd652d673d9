// The simulated phone's exports, the twelve driver operations and the control interface, bound by name
// in one loaded copy of the library. Each loaded copy is a simulation of its own, so a test or a tool
// binds the copy the product under test uses: one it loaded itself, or the product's own (the demo and
// the in-process end-to-end tests take the library the window loaded).
//
// Header only and free of platform calls: the caller loads the library and hands in its symbol lookup.
#pragma once

#include "drivers/sim/sim_control.h"
#include "usb/driver_abi.h"

#include <string>

class SimBinding {
public:
    // Resolves every export through `lookup`, a callable taking a name and giving the export's address
    // (null when there is none). False with the first missing name in `error`.
    template <typename Lookup>
    bool bind(Lookup lookup) {
        error.clear();
        return bind_one(lookup, AdbEnumInterfaces, "AdbEnumInterfaces") &
               bind_one(lookup, AdbNextInterface, "AdbNextInterface") &
               bind_one(lookup, AdbCreateInterfaceByName, "AdbCreateInterfaceByName") &
               bind_one(lookup, AdbGetInterfaceName, "AdbGetInterfaceName") &
               bind_one(lookup, AdbGetSerialNumber, "AdbGetSerialNumber") &
               bind_one(lookup, AdbGetUsbDeviceDescriptor, "AdbGetUsbDeviceDescriptor") &
               bind_one(lookup, AdbGetUsbInterfaceDescriptor, "AdbGetUsbInterfaceDescriptor") &
               bind_one(lookup, AdbOpenDefaultBulkReadEndpoint, "AdbOpenDefaultBulkReadEndpoint") &
               bind_one(lookup, AdbOpenDefaultBulkWriteEndpoint, "AdbOpenDefaultBulkWriteEndpoint") &
               bind_one(lookup, AdbReadEndpointSync, "AdbReadEndpointSync") &
               bind_one(lookup, AdbWriteEndpointSync, "AdbWriteEndpointSync") &
               bind_one(lookup, AdbCloseHandle, "AdbCloseHandle") &
               bind_one(lookup, configure, "tarnex_sim_configure") &
               bind_one(lookup, configure_file, "tarnex_sim_configure_file") &
               bind_one(lookup, reset, "tarnex_sim_reset") & bind_one(lookup, plug, "tarnex_sim_plug") &
               bind_one(lookup, unplug, "tarnex_sim_unplug") &
               bind_one(lookup, is_plugged, "tarnex_sim_is_plugged") &
               bind_one(lookup, handle_stats, "tarnex_sim_handle_stats") &
               bind_one(lookup, transcript_fn, "tarnex_sim_transcript") &
               bind_one(lookup, clear_transcript, "tarnex_sim_clear_transcript") &
               bind_one(lookup, partition_fn, "tarnex_sim_partition") &
               bind_one(lookup, write_partitions, "tarnex_sim_write_partitions");
    }

    // Replaces the simulation with a scenario; false with the simulator's reason in `error`.
    bool scenario(const char *text) {
        char reason[256] = {};
        if (configure(text, reason, sizeof reason) == 0)
            return true;
        error = reason;
        return false;
    }

    TarnexSimHandleStats stats() const {
        TarnexSimHandleStats s = {};
        handle_stats(&s);
        return s;
    }

    std::string transcript() const {
        std::string text(transcript_fn(nullptr, 0) + 1, '\0');
        text.resize(transcript_fn(text.data(), text.size()));
        return text;
    }

    // The partition's bytes; empty when it was never flashed, was erased, or the phone keeps no bytes.
    std::string partition(const char *label, const char *name) const {
        int64_t size = partition_fn(label, name, nullptr, 0);
        if (size <= 0)
            return {};
        std::string content(static_cast<size_t>(size), '\0');
        partition_fn(label, name, content.data(), content.size());
        return content;
    }

    std::string error;

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

private:
    template <typename Lookup, typename Function>
    bool bind_one(Lookup &lookup, Function &function, const char *name) {
        function = reinterpret_cast<Function>(lookup(name));
        if (function == nullptr && error.empty())
            error = std::string("missing export ") + name;
        return function != nullptr;
    }
};

// The simulated phone's control interface (drivers/sim/sim_control.h), resolved by name in one loaded
// copy of the library. Each loaded copy is a simulation of its own, so a test binds the copy the product
// under test uses: the one it deployed and loaded itself (tests/usb/deployed_sim.h), or, for the whole
// application, the window's own (tests/app/app_fixture.h).
#pragma once

#include "drivers/sim/sim_control.h"
#include "os/os_api.h"

#include <string>

class SimControl {
public:
    // Resolves the control functions in `library`; false with the first missing name in `error`.
    bool bind_control(OsLibrary library) {
        return bind(configure, library, "tarnex_sim_configure") && bind(reset, library, "tarnex_sim_reset") &&
               bind(plug, library, "tarnex_sim_plug") && bind(unplug, library, "tarnex_sim_unplug") &&
               bind(is_plugged, library, "tarnex_sim_is_plugged") &&
               bind(handle_stats, library, "tarnex_sim_handle_stats") &&
               bind(transcript_fn, library, "tarnex_sim_transcript") &&
               bind(partition_fn, library, "tarnex_sim_partition") &&
               bind(clear_transcript, library, "tarnex_sim_clear_transcript");
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

    std::string partition(const char *label, const char *name) const {
        int64_t size = partition_fn(label, name, nullptr, 0);
        if (size <= 0)
            return {};
        std::string content(static_cast<size_t>(size), '\0');
        partition_fn(label, name, content.data(), content.size());
        return content;
    }

    std::string error;
    TarnexSimConfigureFn configure = nullptr;
    TarnexSimResetFn reset = nullptr;
    TarnexSimLabelFn plug = nullptr;
    TarnexSimLabelFn unplug = nullptr;
    TarnexSimLabelFn is_plugged = nullptr;
    TarnexSimHandleStatsFn handle_stats = nullptr;
    TarnexSimTranscriptFn transcript_fn = nullptr;
    TarnexSimPartitionFn partition_fn = nullptr;
    TarnexSimClearTranscriptFn clear_transcript = nullptr;

private:
    template <typename Function>
    bool bind(Function &function, OsLibrary library, const char *name) {
        function = reinterpret_cast<Function>(g_OsApi.library_symbol(library, name));
        if (function == nullptr)
            error = std::string("missing control export ") + name;
        return function != nullptr;
    }
};

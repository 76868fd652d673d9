// The simulated phone library's control interface (sim_control.h): configuration, the cable, handle
// counts, the transcript and the partitions, for tests and demos.
#include "drivers/sim/sim_library.h"

#include <cstring>

using namespace tarnex::sim;

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

// Runs `fn` on the phone labelled `label` with the simulation held; -1 when there is none (or `fn` throws).
template <typename Result, typename Fn>
Result with_phone(const char *label, Fn fn) {
    return guarded(
        [&]() -> Result {
            Session s;
            Phone *p = find_phone(s.sim(), label);
            return p == nullptr ? Result(-1) : fn(*p);
        },
        Result(-1));
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
    return with_phone<int>(label, [](Phone &p) {
        p.plug();
        return 0;
    });
}

int tarnex_sim_unplug(const char *label) {
    return with_phone<int>(label, [](Phone &p) {
        p.unplug("control");
        return 0;
    });
}

int tarnex_sim_is_plugged(const char *label) {
    return with_phone<int>(label, [](Phone &p) { return p.plugged() ? 1 : 0; });
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
    return with_phone<int64_t>(label, [&](Phone &p) -> int64_t {
        const Partition *part = partition ? p.find_partition(partition) : nullptr;
        if (part == nullptr)
            return -2;
        const Image &img = part->image;
        if (img.size > 0 && img.bytes == nullptr)
            return -3;
        if (buffer != nullptr && img.size > 0)
            std::memcpy(buffer, img.bytes->data(), static_cast<size_t>(std::min<uint64_t>(size, img.size)));
        return static_cast<int64_t>(img.size);
    });
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

// The simulated phone library's configuration: the scenario chosen by the environment at first use, or
// given later as a file or a text through the control interface.
#include "drivers/sim/sim_library.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarnex::sim {

namespace {

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

} // namespace

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

bool configure_from_file(Simulation &sim, const std::filesystem::path &path, std::string &error,
                         const std::filesystem::path *transcript_override,
                         const std::filesystem::path *partition_override) {
    Scenario scenario;
    if (!load_scenario_file(path, scenario, error))
        return false;
    if (transcript_override != nullptr)
        scenario.transcript_file = transcript_override->string();
    if (partition_override != nullptr)
        scenario.partition_dir = partition_override->string();
    return install(sim, std::move(scenario), path.parent_path(), error);
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

Session::Session() : m_sim(simulation()), m_guard(m_sim.lock) {
    if (!m_sim.started)
        start(m_sim);
    for (auto &p : m_sim.phones)
        p->tick();
}

} // namespace tarnex::sim

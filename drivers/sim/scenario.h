// The scenario: which simulated phones are attached and how each one behaves, parsed from the line-based
// text described in drivers/sim/README.md. Parsing is pure: text in, a Scenario or one error line out.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tarnex::sim {

// The longest raw reply a scenario may give: longer than the 64 bytes the flasher reads, as newer boot
// loaders answer with up to 256. A phone's side that hands replies on must take this many at once.
inline constexpr size_t SCENARIO_RAW_REPLY_MAX = 256;

// What a rule reacts to.
enum class TriggerKind {
    COMMAND_TEXT,  // a command whose text equals `pattern` (or starts with it when `prefix` is set)
    COMMAND_INDEX, // the `index`-th command the phone receives, whatever it is
    OPEN_INDEX,    // the `index`-th time the interface is opened by name
};

// What a rule does. The FINAL_ kinds act on the status that closes a data phase, the others on the
// command's first reply.
enum class ActionKind {
    FAIL,         // reply FAIL, with `text` when it is not empty; the command is not carried out
    INFO,         // one INFO line with `text` before the reply
    REPLY,        // reply with the raw bytes `text` instead; the command is not carried out
    DATA_SIZE,    // a download announces another size (`number`, absolute or relative) and expects it
    TIMEOUTS,     // `number` reads time out before the reply arrives
    UNPLUG,       // the phone leaves the bus as the command (or open) arrives
    UNPLUG_AFTER, // the phone leaves the bus after `number` bytes of this data phase
    SHORT_WRITE,  // each transfer of this data phase takes at most `number` bytes
    FINAL_FAIL,
    FINAL_INFO,
    FINAL_REPLY,
    FINAL_TIMEOUTS,
};

// How a DATA_SIZE number applies to the size the host asked for.
enum class SizeMode { ABSOLUTE, PLUS, MINUS };

struct Rule {
    TriggerKind trigger = TriggerKind::COMMAND_TEXT;
    std::string pattern;     // COMMAND_TEXT only
    bool prefix = false;     // the pattern ended in '*'
    uint32_t index = 0;      // COMMAND_INDEX, OPEN_INDEX: 1-based
    uint32_t occurrence = 0; // COMMAND_TEXT: only the n-th match (1-based); 0 = every match
    ActionKind action = ActionKind::FAIL;
    std::string text; // FAIL, INFO, REPLY and their FINAL_ forms, escapes already decoded
    uint64_t number = 0;
    SizeMode size_mode = SizeMode::ABSOLUTE;
    uint32_t line = 0; // scenario line, for messages
};

// What the phone does with the bytes of a data phase.
enum class DataMode {
    KEEP,    // keep them (a later flash stores them) and checksum them
    CRC,     // checksum them only; a flash records size and checksum
    DISCARD, // count them only: the cheapest path, for throughput measurements
};

struct PartitionConfig {
    std::string name;
    uint64_t limit = 0; // largest image the partition takes, in bytes
};

struct DeviceConfig {
    std::string label;          // short identifier used in the transcript and the control API
    std::string interface_name; // printable ASCII; derived from the other fields when not given
    bool has_serial = true;
    std::string serial;
    uint16_t vendor_id = 0x1209;
    uint16_t product_id = 0x7458;
    uint8_t device_class[3] = {0x00, 0x00, 0x00};    // class, subclass, protocol
    uint8_t interface_class[3] = {0xFF, 0x42, 0x03}; // the fastboot interface
    uint8_t endpoints = 2;
    std::vector<PartitionConfig> partitions;
    uint32_t max_download = 0x7FFFFFFF; // the largest image the product can send
    uint32_t delay_us = 0;              // real time each transfer costs, in microseconds
    uint64_t rate = 0;                  // bytes per second of the simulated link; 0 = unlimited
    DataMode data_mode = DataMode::KEEP;
    bool back_after_reboot = false; // reappear on the bus after a reboot ...
    uint32_t reboot_ms = 0;         // ... this many milliseconds after leaving it
    bool plugged = true;            // attached when the scenario starts ...
    uint32_t plug_after_ms = 0;     // ... or, when not and this is not 0, this many milliseconds later
    std::vector<Rule> rules;
};

struct Scenario {
    std::string transcript_file; // empty: the transcript stays in memory only
    std::string partition_dir;   // empty: partitions are not written out
    std::vector<DeviceConfig> devices;
};

// The partitions of a phone that names none: every partition the flasher writes or erases.
std::vector<PartitionConfig> default_partitions();

// The scenario used when none is chosen: one healthy phone with the default partitions.
Scenario default_scenario();

// Parses scenario text. On failure returns false and sets `error` to one line naming the line number and
// the problem ("line 4: unknown key 'vendr'"); `out` is then unspecified.
bool parse_scenario(std::string_view text, Scenario &out, std::string &error);

// What a program that serves phones (the umockdev emulator, the gadget phone) is told on its command
// line; what is not given comes from the environment, as the simulated phone's library takes it.
struct ScenarioChoice {
    std::string file; // --scenario; else $TARNEX_SIM_SCENARIO; else the default scenario
    std::string text; // --scenario-text, when `have_text`
    bool have_text = false;
    std::string transcript;    // --transcript; else $TARNEX_SIM_TRANSCRIPT; else the scenario's
    std::string partition_dir; // --partition-dir; else $TARNEX_SIM_PARTITION_DIR; else the scenario's
};

// The scenario so chosen, with the transcript and partition folder given made absolute from the current
// folder, and `base` the folder that the scenario's own relative paths are taken from. False with one
// line in `error`.
bool choose_scenario(ScenarioChoice choice, Scenario &out, std::filesystem::path &base, std::string &error);

// Reads and parses a scenario file. On failure returns false with one line in `error` that names the
// file: it cannot be read, it is far too large for a scenario, or "PATH: line N: reason".
bool load_scenario_file(const std::filesystem::path &path, Scenario &out, std::string &error);

} // namespace tarnex::sim

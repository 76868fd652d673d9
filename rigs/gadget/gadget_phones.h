// The simulated phones of a scenario (drivers/sim/phone.h) served as USB gadgets, one per device
// controller: phone K of the scenario on the K-th controller (dummy_hcd's dummy_udc.K-1), so that the
// kernel's USB stack on the same machine meets them as it would meet phones on cables.
//
// What a gadget sees is packets, not the host driver's calls, so the phone's model is fed differently
// from the other tiers: every OUT transfer that completes is one host_write (a command, or a piece of a
// data phase that never reads past the data phase's end), and every reply the model has is written to
// the IN endpoint, where it waits until the host reads it. Rules about the host's calls (counted
// time-outs, short writes, opens) cannot be served here and are refused when the phones start; what a
// device can do with packets can be ordered (order()): stop reading a data phase at a byte (the host's
// transfers wait, NAKed) or halt there (they end with a stall). When the model leaves the bus (a scripted
// unplug, a reboot once its OKAY has been read, a request) the gadget is unbound, and bound again when the
// model comes back; the host sees a disconnect and a new device on the same port.
//
// Threads: per phone one for its control endpoint's events, one for OUT transfers and one for the
// replies; one bus thread binds and unbinds. One lock guards the models (which are not thread-safe) and
// the bookkeeping; reads and writes of the endpoints happen outside it.
#pragma once

#include "drivers/sim/scenario.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

namespace tarnex::gadget {

struct GadgetOptions {
    std::filesystem::path mount_dir = "/run/tarnex-gadget"; // where the functions' file systems go
    std::filesystem::path base; // relative paths of the scenario are taken from here
    // Serial numbers beyond the scenario format's printable ASCII (UTF-8, label -> text).
    std::map<std::string, std::string> serials;
};

// What the phone measured of its data phases, from the moment the host had the DATA reply to the moment
// the phone had the last byte.
struct DataPhaseStats {
    uint64_t phases = 0;
    uint64_t bytes = 0;
    uint64_t microseconds = 0;
    bool stopped = false; // it holds, or has halted, at the byte of an order (GadgetPhones::order) now
};

// What a phone does with the bytes of data phases; commands it always reads.
enum class DataPhases {
    TAKEN,  // reads them
    HELD,   // reads none: the host's transfers wait, NAKed, as at a phone that is busy
    HALTED, // halts its bulk OUT endpoint: the host's transfer under way ends with a stall, after the
            // packets it has carried, and so does every later one
};

class GadgetPhones {
public:
    // Makes one gadget per phone and binds those the scenario has plugged. Null with a sentence in
    // `error` (no device controller for every phone, a rule a gadget cannot serve, configfs trouble).
    static std::unique_ptr<GadgetPhones> start(sim::Scenario scenario, const GadgetOptions &options,
                                               std::string &error);
    // Unbinds and removes every gadget.
    ~GadgetPhones();
    GadgetPhones(const GadgetPhones &) = delete;
    GadgetPhones &operator=(const GadgetPhones &) = delete;

    // The phone leaves the bus or comes back; returns once its gadget is unbound or bound (the host's
    // enumeration follows on its own). False with a sentence in `error`.
    bool unplug(const std::string &label, std::string &error);
    bool plug(const std::string &label, std::string &error);

    // The device controller of a phone ("dummy_udc.0"); empty for an unknown label.
    std::string controller(const std::string &label) const;

    bool data_phase_stats(const std::string &label, DataPhaseStats &stats) const;

    // From byte `at` of a data phase on (a multiple of the packet size; 0 for its first byte), phone LABEL
    // does `what` with the bytes of data phases; TAKEN reads them again where it stopped, and clears a
    // halt. The phone's next read obeys: a read of a command under way is withdrawn for it (a request of
    // one packet is given back empty or whole, never in part), one of a data phase is left to finish. So
    // give an order between the host's transfers: before the command that starts the data phase, or while
    // the phone holds. False with a sentence in `error`.
    bool order(const std::string &label, DataPhases what, uint32_t at, std::string &error);

    struct State;

private:
    explicit GadgetPhones(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

} // namespace tarnex::gadget

// One simulated phone in fastboot mode: its presence on the bus, the device side of the protocol, its
// partitions and the faults its scenario asks for. A Phone knows nothing of driver handles; the driver
// layer (sim_driver.cpp) calls it with the library's lock held, so nothing here locks.
#pragma once

#include "drivers/sim/scenario.h"
#include "drivers/sim/transcript.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tarnex::sim {

// The standard reflected CRC-32 (polynomial 0xEDB88320), continued from `crc` (0 to start).
uint32_t crc32_update(uint32_t crc, const uint8_t *data, size_t size);

// Outcome of one transfer as the driver layer turns it into a last-error value.
enum class IoStatus {
    OK,
    TIMEOUT,      // nothing to deliver yet (scripted, or the phone has nothing to say)
    GONE,         // the phone is not on the bus
    OVERFLOW,     // the reply is longer than the host's buffer; the reply is lost
    NO_MEMORY,    // the phone could not hold the data
    OPEN_REFUSED, // a scripted failure of an open
};

// A downloaded image as the phone holds it. The bytes are shared between the download buffer and every
// partition flashed from it, so flashing copies nothing.
struct Image {
    std::shared_ptr<const std::vector<uint8_t>> bytes; // null unless the data mode keeps bytes
    uint64_t size = 0;
    uint32_t crc = 0;
    bool has_crc = false;
};

struct Partition {
    std::string name;
    uint64_t limit = 0;
    bool touched = false; // flashed or erased since the scenario started
    Image image;          // empty after an erase
};

class Phone {
public:
    Phone(DeviceConfig config, Transcript &transcript, std::filesystem::path partition_dir);

    const DeviceConfig &config() const { return m_config; }
    const std::string &label() const { return m_config.label; }
    bool plugged() const { return m_plugged; }
    // The host has read a download's DATA reply and owes its bytes: a read now comes too early.
    bool awaiting_data() const { return m_in_data && m_replies.empty(); }
    // Changes whenever the phone leaves or joins the bus: handles remember it and die with it.
    uint32_t generation() const { return m_generation; }

    // Attaches or detaches the phone; `reason` goes to the transcript. Leaving loses the protocol state
    // and the download buffer, never the partitions.
    void plug();
    void unplug(const char *reason);

    // Brings a rebooting phone back once its reboot time has passed.
    void tick();

    // Bytes the current data phase still expects; 0 outside a data phase. A device that sees packets
    // rather than calls (a USB gadget) reads no further than this, so that a data phase never swallows
    // the command after it.
    uint32_t data_remaining() const { return m_in_data ? m_expected - m_received : 0; }
    // Bytes of the current data phase taken so far; 0 outside a data phase.
    uint32_t data_received() const { return m_in_data ? m_received : 0; }

    // Called for every open by name while the phone is attached; applies "open#N" rules.
    IoStatus on_open();

    // One host-to-device transfer: a command, or bytes of a data phase. `accepted` is what the phone took.
    IoStatus host_write(const uint8_t *data, uint32_t size, uint32_t &accepted);
    // One device-to-host transfer: the next reply, if any.
    IoStatus host_read(uint8_t *buffer, uint32_t capacity, uint32_t &received);

    // Books the bus time of a transfer of `bytes` and returns the moment the caller must wait for (the
    // epoch when the link costs nothing). Sleeping is left to the caller, outside the lock.
    std::chrono::steady_clock::time_point book_transfer(uint32_t bytes);

    const std::vector<Partition> &partitions() const { return m_partitions; }
    const Partition *find_partition(std::string_view name) const;

    // Writes every flashed or erased partition as DIR/LABEL/NAME.img. False when a file failed.
    bool write_partitions(const std::filesystem::path &dir) const;

private:
    struct Reply {
        std::string bytes;
        uint32_t timeouts_before = 0;
        bool leave_after = false; // the phone leaves the bus once the host has this reply
    };

    // What the rules asked of the reply that ends a data phase.
    struct FinalPlan {
        std::vector<std::string> infos;
        bool fail = false;
        std::string fail_text;
        bool raw = false;
        std::string raw_bytes;
        uint32_t timeouts = 0;
    };

    void handle_command(const std::string &command);
    void start_data_phase(uint32_t size);
    void finish_data_phase();
    void reset_protocol();
    void queue(std::string bytes);
    void queue_fail(const std::string &text);
    void log(const std::string &line);
    void store_partition_file(const Partition &p) const;

    DeviceConfig m_config;
    Transcript &m_transcript;
    std::filesystem::path m_partition_dir; // empty: partitions stay in memory

    bool m_plugged = false;
    uint32_t m_generation = 0;
    bool m_rejoin_pending = false;
    std::chrono::steady_clock::time_point m_rejoin_at{};
    std::chrono::steady_clock::time_point m_bus_free_at{};

    uint32_t m_commands = 0; // commands received since the scenario started, for "#N" rules
    uint32_t m_opens = 0;    // opens by name, for "open#N" rules
    std::vector<uint32_t> m_rule_matches;

    std::deque<Reply> m_replies;

    // Data phase.
    bool m_in_data = false;
    uint32_t m_expected = 0;
    uint32_t m_received = 0;
    uint32_t m_crc = 0;
    uint32_t m_transfers = 0;
    uint32_t m_largest = 0;
    uint64_t m_overrun = 0;
    uint32_t m_short_write = 0;      // 0: take whole transfers
    uint64_t m_unplug_after = ~0ULL; // leave the bus after this many data bytes
    std::vector<uint8_t> m_incoming;
    FinalPlan m_final;

    bool m_has_download = false;
    Image m_download;

    std::vector<Partition> m_partitions;
};

} // namespace tarnex::sim

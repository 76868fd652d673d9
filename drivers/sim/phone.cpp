#include "drivers/sim/phone.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <new>

namespace tarnex::sim {

namespace {

// Slice-by-8 tables: the phone checksums every data byte it keeps, and a byte-at-a-time CRC would be
// slower than the data path it sits on.
struct Crc32Tables {
    uint32_t t[8][256];
    Crc32Tables() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; ++i) {
            for (int s = 1; s < 8; ++s)
                t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
        }
    }
};

const Crc32Tables &crc_tables() {
    static const Crc32Tables tables;
    return tables;
}

uint32_t load_le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool starts_with(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

std::string hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

// The device's reading of "download:SIZE": one to eight hexadecimal digits and nothing else.
bool parse_download_size(std::string_view digits, uint32_t &size) {
    if (digits.empty() || digits.size() > 8)
        return false;
    uint32_t v = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * 16 + static_cast<uint32_t>(d);
    }
    size = v;
    return true;
}

// Largest command a fastboot device accepts.
constexpr size_t MAX_COMMAND = 64;

} // namespace

uint32_t crc32_update(uint32_t crc, const uint8_t *data, size_t size) {
    const auto &t = crc_tables().t;
    uint32_t c = ~crc;
    while (size >= 8) {
        uint32_t lo = load_le32(data) ^ c;
        uint32_t hi = load_le32(data + 4);
        c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
            t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
        data += 8;
        size -= 8;
    }
    while (size-- > 0)
        c = t[0][(c ^ *data++) & 0xFF] ^ (c >> 8);
    return ~c;
}

Phone::Phone(DeviceConfig config, Transcript &transcript, std::filesystem::path partition_dir)
    : m_config(std::move(config)), m_transcript(transcript), m_partition_dir(std::move(partition_dir)) {
    m_rule_matches.assign(m_config.rules.size(), 0);
    for (const auto &p : m_config.partitions)
        m_partitions.push_back({p.name, p.limit, false, {}});
    m_plugged = m_config.plugged;
    // A phone plugged in later joins the bus like one back from a reboot.
    if (!m_plugged && m_config.plug_after_ms != 0) {
        m_rejoin_pending = true;
        m_rejoin_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_config.plug_after_ms);
    }
}

void Phone::log(const std::string &line) {
    m_transcript.add(line);
}

void Phone::plug() {
    m_rejoin_pending = false;
    if (m_plugged)
        return;
    m_plugged = true;
    ++m_generation;
    m_bus_free_at = {};
    log("plug " + label());
}

void Phone::unplug(const char *reason) {
    if (!m_plugged)
        return;
    if (m_in_data)
        log("data-cut " + label() + " bytes=" + std::to_string(m_received) +
            " of=" + std::to_string(m_expected));
    reset_protocol();
    m_replies.clear();
    m_has_download = false;
    m_download = {};
    m_plugged = false;
    ++m_generation;
    m_rejoin_pending = false;
    log("unplug " + label() + " " + reason);
}

void Phone::tick() {
    if (m_rejoin_pending && !m_plugged && std::chrono::steady_clock::now() >= m_rejoin_at)
        plug();
}

IoStatus Phone::on_open() {
    ++m_opens;
    for (const auto &rule : m_config.rules) {
        if (rule.trigger != TriggerKind::OPEN_INDEX || rule.index != m_opens)
            continue;
        if (rule.action == ActionKind::UNPLUG) {
            unplug("open");
            return IoStatus::GONE;
        }
        return IoStatus::OPEN_REFUSED;
    }
    return IoStatus::OK;
}

void Phone::reset_protocol() {
    m_in_data = false;
    m_expected = m_received = m_crc = m_transfers = m_largest = 0;
    m_overrun = 0;
    m_short_write = 0;
    m_unplug_after = ~0ULL;
    m_incoming = {};
    m_final = {};
}

void Phone::queue(std::string bytes) {
    m_replies.push_back({std::move(bytes), 0, false});
}

void Phone::queue_fail(const std::string &text) {
    queue("FAIL" + text);
}

IoStatus Phone::host_write(const uint8_t *data, uint32_t size, uint32_t &accepted) {
    accepted = 0;
    if (!m_plugged)
        return IoStatus::GONE;

    if (!m_in_data) {
        std::string command(reinterpret_cast<const char *>(data), size);
        log("out " + label() + " " + quote(command));
        // A zero-length packet carries no command; a real device ignores it.
        if (size == 0)
            return IoStatus::OK;
        accepted = size;
        handle_command(command);
        return m_plugged ? IoStatus::OK : IoStatus::GONE;
    }

    uint32_t remaining = m_expected - m_received;
    uint32_t take = std::min(size, remaining);
    if (m_short_write != 0)
        take = std::min(take, m_short_write);
    bool cut = m_unplug_after != ~0ULL && m_received + static_cast<uint64_t>(take) >= m_unplug_after;
    if (cut)
        take = static_cast<uint32_t>(m_unplug_after - m_received);

    if (take > 0) {
        if (m_config.data_mode == DataMode::KEEP) {
            try {
                m_incoming.insert(m_incoming.end(), data, data + take);
            } catch (const std::bad_alloc &) {
                return IoStatus::NO_MEMORY;
            }
        }
        if (m_config.data_mode != DataMode::DISCARD)
            m_crc = crc32_update(m_crc, data, take);
        m_received += take;
    }
    ++m_transfers;
    m_largest = std::max(m_largest, size);
    accepted = take;

    if (cut) {
        unplug("data");
        return IoStatus::GONE;
    }
    // Bytes past the announced size: the bus takes them, the phone drops them and says so.
    if (m_short_write == 0 && size > remaining) {
        m_overrun += size - remaining;
        accepted = size;
    }
    if (m_received == m_expected)
        finish_data_phase();
    return IoStatus::OK;
}

IoStatus Phone::host_read(uint8_t *buffer, uint32_t capacity, uint32_t &received) {
    received = 0;
    if (!m_plugged)
        return IoStatus::GONE;
    if (m_replies.empty())
        return IoStatus::TIMEOUT;
    Reply &front = m_replies.front();
    if (front.timeouts_before > 0) {
        --front.timeouts_before;
        log("timeout " + label());
        return IoStatus::TIMEOUT;
    }
    Reply reply = std::move(front);
    m_replies.pop_front();
    if (reply.bytes.size() > capacity) {
        log("overflow " + label() + " " + quote(reply.bytes) + " capacity=" + std::to_string(capacity));
        return IoStatus::OVERFLOW;
    }
    if (!reply.bytes.empty())
        std::memcpy(buffer, reply.bytes.data(), reply.bytes.size());
    received = static_cast<uint32_t>(reply.bytes.size());
    log("in " + label() + " " + quote(reply.bytes));
    if (reply.leave_after) {
        unplug("reboot");
        if (m_config.back_after_reboot) {
            m_rejoin_pending = true;
            m_rejoin_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_config.reboot_ms);
        }
    }
    return IoStatus::OK;
}

void Phone::handle_command(const std::string &command) {
    ++m_commands;

    // Gather what the rules ask of this command; the first rule of a kind wins, INFO lines add up.
    std::vector<std::string> infos;
    const Rule *fail = nullptr;
    const Rule *raw = nullptr;
    const Rule *data_size = nullptr;
    const Rule *timeouts = nullptr;
    const Rule *unplug_after = nullptr;
    const Rule *short_write = nullptr;
    bool leave = false;
    FinalPlan final_plan;
    for (size_t i = 0; i < m_config.rules.size(); ++i) {
        const Rule &rule = m_config.rules[i];
        bool match = false;
        if (rule.trigger == TriggerKind::COMMAND_INDEX) {
            match = rule.index == m_commands;
        } else if (rule.trigger == TriggerKind::COMMAND_TEXT) {
            bool text_match = rule.prefix ? starts_with(command, rule.pattern) : command == rule.pattern;
            if (text_match) {
                ++m_rule_matches[i];
                match = rule.occurrence == 0 || rule.occurrence == m_rule_matches[i];
            }
        }
        if (!match)
            continue;
        switch (rule.action) {
        case ActionKind::FAIL:
            fail = fail ? fail : &rule;
            break;
        case ActionKind::INFO:
            infos.push_back(rule.text);
            break;
        case ActionKind::REPLY:
            raw = raw ? raw : &rule;
            break;
        case ActionKind::DATA_SIZE:
            data_size = data_size ? data_size : &rule;
            break;
        case ActionKind::TIMEOUTS:
            timeouts = timeouts ? timeouts : &rule;
            break;
        case ActionKind::UNPLUG:
            leave = true;
            break;
        case ActionKind::UNPLUG_AFTER:
            unplug_after = unplug_after ? unplug_after : &rule;
            break;
        case ActionKind::SHORT_WRITE:
            short_write = short_write ? short_write : &rule;
            break;
        case ActionKind::FINAL_FAIL:
            if (!final_plan.fail && !final_plan.raw) {
                final_plan.fail = true;
                final_plan.fail_text = rule.text;
            }
            break;
        case ActionKind::FINAL_INFO:
            final_plan.infos.push_back(rule.text);
            break;
        case ActionKind::FINAL_REPLY:
            if (!final_plan.fail && !final_plan.raw) {
                final_plan.raw = true;
                final_plan.raw_bytes = rule.text;
            }
            break;
        case ActionKind::FINAL_TIMEOUTS:
            final_plan.timeouts =
                final_plan.timeouts ? final_plan.timeouts : static_cast<uint32_t>(rule.number);
            break;
        }
    }

    if (leave) {
        unplug("command");
        return;
    }

    size_t first_reply = m_replies.size();
    for (auto &info : infos)
        queue("INFO" + info);

    if (raw != nullptr) {
        queue(raw->text);
    } else if (fail != nullptr) {
        queue_fail(fail->text);
    } else if (command.size() > MAX_COMMAND) {
        queue_fail("command too long");
    } else if (starts_with(command, "download:")) {
        uint32_t size = 0;
        if (!parse_download_size(std::string_view(command).substr(9), size)) {
            queue_fail("invalid download size");
        } else if (size > m_config.max_download) {
            queue_fail("download size too large");
        } else {
            uint32_t announce = size;
            if (data_size != nullptr) {
                uint64_t n = data_size->number;
                if (data_size->size_mode == SizeMode::ABSOLUTE)
                    announce = static_cast<uint32_t>(n);
                else if (data_size->size_mode == SizeMode::PLUS)
                    announce = static_cast<uint32_t>(std::min<uint64_t>(size + n, 0xFFFFFFFFu));
                else
                    announce = size > n ? static_cast<uint32_t>(size - n) : 0;
            }
            bool room = true;
            if (m_config.data_mode == DataMode::KEEP) {
                // Room for the start of the image now; a phone that cannot even hold that says so at
                // once. Reserving all of an announced size up front would also reserve for sizes the
                // host then refuses to send (the "larger" fault).
                try {
                    std::vector<uint8_t> buffer;
                    buffer.reserve(std::min<uint32_t>(announce, 64u << 20));
                    m_incoming = std::move(buffer);
                } catch (const std::bad_alloc &) {
                    room = false;
                } catch (const std::length_error &) {
                    room = false;
                }
            }
            if (!room) {
                queue_fail("not enough memory for the download");
            } else {
                // A new download replaces the old one even if its data phase never completes.
                m_has_download = false;
                m_download = {};
                queue("DATA" + hex32(announce));
                m_in_data = true;
                m_expected = announce;
                m_received = 0;
                m_crc = 0;
                m_transfers = m_largest = 0;
                m_overrun = 0;
                m_short_write = short_write ? static_cast<uint32_t>(short_write->number) : 0;
                m_unplug_after = unplug_after ? unplug_after->number : ~0ULL;
                m_final = std::move(final_plan);
                if (announce == 0)
                    finish_data_phase();
            }
        }
    } else if (starts_with(command, "flash:")) {
        std::string name = command.substr(6);
        auto it = std::find_if(m_partitions.begin(), m_partitions.end(),
                               [&](const Partition &p) { return p.name == name; });
        if (it == m_partitions.end()) {
            queue_fail("unknown partition");
        } else if (!m_has_download) {
            queue_fail("no image downloaded");
        } else if (m_download.size > it->limit) {
            queue_fail("image too large for partition");
        } else {
            it->image = m_download;
            it->touched = true;
            log("flash " + label() + " " + name + " bytes=" + std::to_string(m_download.size) +
                " crc32=" + (m_download.has_crc ? hex32(m_download.crc) : std::string("-")));
            store_partition_file(*it);
            queue("OKAY");
        }
    } else if (starts_with(command, "erase:")) {
        std::string name = command.substr(6);
        auto it = std::find_if(m_partitions.begin(), m_partitions.end(),
                               [&](const Partition &p) { return p.name == name; });
        if (it == m_partitions.end()) {
            queue_fail("unknown partition");
        } else {
            // An erased partition reads back as empty: nothing of the old image is left to compare.
            it->image = Image{std::make_shared<const std::vector<uint8_t>>(), 0, 0, true};
            it->touched = true;
            log("erase " + label() + " " + name);
            store_partition_file(*it);
            queue("OKAY");
        }
    } else if (command == "reboot") {
        log("reboot " + label());
        queue("OKAY");
        m_replies.back().leave_after = true;
    } else if (starts_with(command, "getvar:")) {
        std::string name = command.substr(7);
        if (name == "max-download-size")
            queue("OKAY0x" + hex32(m_config.max_download));
        else if (name == "serialno")
            queue("OKAY" + (m_config.has_serial ? m_config.serial.substr(0, 60) : std::string()));
        else if (name == "product")
            queue("OKAY" + label().substr(0, 60));
        else
            queue_fail("unknown variable");
    } else {
        queue_fail("unknown command");
    }

    if (timeouts != nullptr && first_reply < m_replies.size())
        m_replies[first_reply].timeouts_before = static_cast<uint32_t>(timeouts->number);
}

void Phone::finish_data_phase() {
    std::string line = "data " + label() + " bytes=" + std::to_string(m_received) + " crc32=" +
                       (m_config.data_mode == DataMode::DISCARD ? std::string("-") : hex32(m_crc)) +
                       " transfers=" + std::to_string(m_transfers) + " largest=" + std::to_string(m_largest);
    log(line);
    if (m_overrun > 0)
        log("overrun " + label() + " bytes=" + std::to_string(m_overrun));

    m_download = Image{};
    m_download.size = m_received;
    m_download.crc = m_crc;
    m_download.has_crc = m_config.data_mode != DataMode::DISCARD;
    if (m_config.data_mode == DataMode::KEEP)
        m_download.bytes = std::make_shared<const std::vector<uint8_t>>(std::move(m_incoming));
    m_has_download = true;

    FinalPlan plan = std::move(m_final);
    reset_protocol();
    size_t first_reply = m_replies.size();
    for (auto &info : plan.infos)
        queue("INFO" + info);
    if (plan.raw)
        queue(plan.raw_bytes);
    else if (plan.fail)
        queue_fail(plan.fail_text);
    else
        queue("OKAY");
    m_replies[first_reply].timeouts_before = plan.timeouts;
}

std::chrono::steady_clock::time_point Phone::book_transfer(uint32_t bytes) {
    using namespace std::chrono;
    if (m_config.delay_us == 0 && m_config.rate == 0)
        return {};
    nanoseconds cost = microseconds(m_config.delay_us);
    if (m_config.rate != 0)
        cost += nanoseconds(
            static_cast<int64_t>(static_cast<double>(bytes) * 1e9 / static_cast<double>(m_config.rate)));
    auto now = steady_clock::now();
    // The link keeps its own clock, so that a sleep that overshoots (coarse timers, a busy machine) is
    // made up by the next transfers instead of slowing the whole download. A link that stood idle
    // starts again from now: idle time is not credit.
    if (m_bus_free_at < now - milliseconds(50))
        m_bus_free_at = now;
    m_bus_free_at += cost;
    return m_bus_free_at;
}

const Partition *Phone::find_partition(std::string_view name) const {
    for (const auto &p : m_partitions) {
        if (p.name == name)
            return &p;
    }
    return nullptr;
}

void Phone::store_partition_file(const Partition &p) const {
    if (m_partition_dir.empty() || (p.image.bytes == nullptr && p.image.size != 0))
        return;
    const uint8_t *data = p.image.bytes ? p.image.bytes->data() : nullptr;
    if (!write_file_replacing(m_partition_dir / label() / (p.name + ".img"), data, p.image.size))
        m_transcript.add("error " + label() + " " + quote("cannot write partition file " + p.name + ".img"));
}

bool Phone::write_partitions(const std::filesystem::path &dir) const {
    bool ok = true;
    for (const auto &p : m_partitions) {
        if (!p.touched || (p.image.bytes == nullptr && p.image.size != 0))
            continue;
        const uint8_t *data = p.image.bytes ? p.image.bytes->data() : nullptr;
        ok = write_file_replacing(dir / label() / (p.name + ".img"), data, p.image.size) && ok;
    }
    return ok;
}

} // namespace tarnex::sim

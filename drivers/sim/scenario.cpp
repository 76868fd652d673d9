#include "drivers/sim/scenario.h"

#include "drivers/sim/transcript.h"

#include <cstdio>
#include <cstdlib>

namespace tarnex::sim {

namespace {

// Longest texts that still fit one 64-byte reply: four prefix bytes plus the text.
constexpr size_t MAX_REPLY_TEXT = 60;
// "flash:" plus the name must fit one 64-byte command.
constexpr size_t MAX_PARTITION_NAME = 58;
// The host reads the serial number into a 256-byte buffer, terminator included.
constexpr size_t MAX_SERIAL = 255;
constexpr size_t MAX_INTERFACE_NAME = 1000;

struct LineError {
    std::string message;
};

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_space(s.back()))
        s.remove_suffix(1);
    return s;
}

// Splits off the first whitespace-separated word.
std::string_view next_word(std::string_view &rest) {
    rest = trim(rest);
    size_t end = 0;
    while (end < rest.size() && !is_space(rest[end]))
        ++end;
    std::string_view word = rest.substr(0, end);
    rest = trim(rest.substr(end));
    return word;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes \\ \" \n \r \t \0 and \xHH, so that texts can carry any byte.
std::string decode_escapes(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out += s[i];
            continue;
        }
        if (++i == s.size())
            throw LineError{"a text ends in a lone backslash"};
        switch (s[i]) {
        case '\\':
            out += '\\';
            break;
        case '"':
            out += '"';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case '0':
            out += '\0';
            break;
        case 'x': {
            int hi = i + 1 < s.size() ? hex_value(s[i + 1]) : -1;
            int lo = i + 2 < s.size() ? hex_value(s[i + 2]) : -1;
            if (hi < 0 || lo < 0)
                throw LineError{"\\x must be followed by two hexadecimal digits"};
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
            break;
        }
        default:
            throw LineError{std::string("unknown escape '\\") + s[i] + "'"};
        }
    }
    return out;
}

// The rest of a line as one text: either bare (trimmed) or in double quotes, escapes decoded.
std::string text_argument(std::string_view rest) {
    rest = trim(rest);
    if (!rest.empty() && rest.front() == '"') {
        if (rest.size() < 2 || rest.back() != '"')
            throw LineError{"a quoted text has no closing quote"};
        rest = rest.substr(1, rest.size() - 2);
    }
    return decode_escapes(rest);
}

// The rest of a line taken literally (quotes around it removed): paths and interface names are full of
// backslashes that must not be read as escapes.
std::string raw_argument(std::string_view rest) {
    rest = trim(rest);
    if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"')
        rest = rest.substr(1, rest.size() - 2);
    return std::string(rest);
}

// Decimal (optionally with a K, M or G suffix, binary multiples) or hexadecimal with 0x.
uint64_t parse_number(std::string_view word, const char *what) {
    auto bad = [&] { return LineError{std::string(what) + " '" + std::string(word) + "' is not a number"}; };
    if (word.empty())
        throw LineError{std::string(what) + " is missing"};
    uint64_t value = 0;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        for (char c : word.substr(2)) {
            int d = hex_value(c);
            if (d < 0)
                throw bad();
            if (value > (UINT64_MAX >> 4))
                throw LineError{std::string(what) + " '" + std::string(word) + "' is too large"};
            value = value * 16 + static_cast<uint64_t>(d);
        }
        return value;
    }
    uint64_t multiplier = 1;
    switch (word.back()) {
    case 'K':
    case 'k':
        multiplier = 1ULL << 10;
        break;
    case 'M':
    case 'm':
        multiplier = 1ULL << 20;
        break;
    case 'G':
    case 'g':
        multiplier = 1ULL << 30;
        break;
    default:
        break;
    }
    if (multiplier != 1)
        word.remove_suffix(1);
    if (word.empty())
        throw bad();
    for (char c : word) {
        if (c < '0' || c > '9')
            throw bad();
        uint64_t d = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - d) / 10)
            throw LineError{std::string(what) + " is too large"};
        value = value * 10 + d;
    }
    if (value > UINT64_MAX / multiplier)
        throw LineError{std::string(what) + " is too large"};
    return value * multiplier;
}

uint64_t parse_bounded(std::string_view word, const char *what, uint64_t max) {
    uint64_t value = parse_number(word, what);
    if (value > max)
        throw LineError{std::string(what) + " " + std::string(word) + " is above the largest allowed, " +
                        std::to_string(max)};
    return value;
}

bool printable(std::string_view s, bool allow_space) {
    for (char c : s) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u > 0x7E || (!allow_space && u == ' '))
            return false;
    }
    return true;
}

bool valid_label(std::string_view s) {
    if (s.empty() || s.size() > 64)
        return false;
    for (char c : s) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                  c == '-' || c == '.';
        if (!ok)
            return false;
    }
    return true;
}

void expect_end(std::string_view rest, std::string_view key) {
    if (!trim(rest).empty())
        throw LineError{"'" + std::string(key) + "' takes fewer values; unexpected '" +
                        std::string(trim(rest)) + "'"};
}

// Three byte values: class, subclass, protocol.
void parse_class_triple(std::string_view rest, std::string_view key, uint8_t out[3]) {
    const char *names[3] = {"class", "subclass", "protocol"};
    for (int i = 0; i < 3; ++i) {
        std::string_view word = next_word(rest);
        if (word.empty())
            throw LineError{"'" + std::string(key) + "' needs a class, a subclass and a protocol"};
        out[i] = static_cast<uint8_t>(parse_bounded(word, names[i], 0xFF));
    }
    expect_end(rest, key);
}

uint32_t parse_index(std::string_view digits, const char *what) {
    uint64_t n = parse_bounded(digits, what, 0xFFFFFFFF);
    if (n == 0)
        throw LineError{std::string(what) + " counts from 1"};
    return static_cast<uint32_t>(n);
}

// "on TRIGGER ACTION [ARGUMENT]".
Rule parse_rule(std::string_view rest) {
    Rule rule;
    std::string_view trigger = next_word(rest);
    if (trigger.empty())
        throw LineError{"'on' needs a trigger and an action"};
    if (trigger.front() == '#') {
        rule.trigger = TriggerKind::COMMAND_INDEX;
        rule.index = parse_index(trigger.substr(1), "command number");
    } else if (trigger.substr(0, 5) == "open#") {
        rule.trigger = TriggerKind::OPEN_INDEX;
        rule.index = parse_index(trigger.substr(5), "open number");
    } else {
        rule.trigger = TriggerKind::COMMAND_TEXT;
        size_t hash = trigger.rfind('#');
        if (hash != std::string_view::npos && hash + 1 < trigger.size() &&
            trigger.find_first_not_of("0123456789", hash + 1) == std::string_view::npos) {
            rule.occurrence = parse_index(trigger.substr(hash + 1), "occurrence");
            trigger = trigger.substr(0, hash);
        }
        if (!trigger.empty() && trigger.back() == '*') {
            rule.prefix = true;
            trigger.remove_suffix(1);
        }
        rule.pattern = decode_escapes(trigger);
        if (rule.pattern.empty() && !rule.prefix)
            throw LineError{"a trigger needs a command text, '#N' or 'open#N'"};
    }

    std::string_view action = next_word(rest);
    if (action.empty())
        throw LineError{"'on " + std::string(trigger) + "' needs an action"};

    auto text_limit = [&](size_t limit) {
        rule.text = text_argument(rest);
        if (rule.text.size() > limit)
            throw LineError{"the text of '" + std::string(action) + "' is " +
                            std::to_string(rule.text.size()) + " bytes; a reply holds at most " +
                            std::to_string(limit)};
    };
    auto number = [&](const char *what, uint64_t max) {
        std::string_view word = next_word(rest);
        rule.number = parse_bounded(word, what, max);
        expect_end(rest, action);
    };

    if (action == "fail") {
        rule.action = ActionKind::FAIL;
        text_limit(MAX_REPLY_TEXT);
    } else if (action == "final-fail") {
        rule.action = ActionKind::FINAL_FAIL;
        text_limit(MAX_REPLY_TEXT);
    } else if (action == "info") {
        rule.action = ActionKind::INFO;
        text_limit(MAX_REPLY_TEXT);
    } else if (action == "final-info") {
        rule.action = ActionKind::FINAL_INFO;
        text_limit(MAX_REPLY_TEXT);
    } else if (action == "reply") {
        rule.action = ActionKind::REPLY;
        text_limit(SCENARIO_RAW_REPLY_MAX);
    } else if (action == "final-reply") {
        rule.action = ActionKind::FINAL_REPLY;
        text_limit(SCENARIO_RAW_REPLY_MAX);
    } else if (action == "timeouts") {
        rule.action = ActionKind::TIMEOUTS;
        number("time-out count", 0xFFFFFFFF);
    } else if (action == "final-timeouts") {
        rule.action = ActionKind::FINAL_TIMEOUTS;
        number("time-out count", 0xFFFFFFFF);
    } else if (action == "data-size") {
        rule.action = ActionKind::DATA_SIZE;
        std::string_view word = next_word(rest);
        if (!word.empty() && (word.front() == '+' || word.front() == '-')) {
            rule.size_mode = word.front() == '+' ? SizeMode::PLUS : SizeMode::MINUS;
            word.remove_prefix(1);
        }
        rule.number = parse_bounded(word, "data size", 0xFFFFFFFF);
        expect_end(rest, action);
    } else if (action == "unplug") {
        rule.action = ActionKind::UNPLUG;
        expect_end(rest, action);
    } else if (action == "unplug-after") {
        rule.action = ActionKind::UNPLUG_AFTER;
        number("byte count", 0xFFFFFFFF);
    } else if (action == "short-write") {
        rule.action = ActionKind::SHORT_WRITE;
        number("byte count", 0xFFFFFFFF);
        if (rule.number == 0)
            throw LineError{"'short-write' needs at least 1 byte per transfer"};
    } else {
        throw LineError{"unknown action '" + std::string(action) + "'"};
    }

    if (rule.trigger == TriggerKind::OPEN_INDEX && rule.action != ActionKind::UNPLUG &&
        rule.action != ActionKind::FAIL)
        throw LineError{"an 'open#N' trigger takes only 'unplug' or 'fail'"};
    return rule;
}

std::string default_interface_name(const DeviceConfig &d) {
    char head[64];
    std::snprintf(head, sizeof head, "\\\\?\\usb#vid_%04x&pid_%04x#", d.vendor_id, d.product_id);
    return std::string(head) + (d.has_serial ? d.serial : d.label) +
           "#{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}";
}

void apply_device_key(DeviceConfig &d, std::string_view key, std::string_view rest) {
    if (key == "name") {
        std::string name = raw_argument(rest);
        if (name.empty() || name.size() > MAX_INTERFACE_NAME || !printable(name, true))
            throw LineError{"an interface name is 1 to 1000 printable ASCII characters"};
        d.interface_name = name;
    } else if (key == "serial") {
        std::string serial = raw_argument(rest);
        if (serial == "none") {
            d.has_serial = false;
            d.serial.clear();
            return;
        }
        if (serial.empty() || serial.size() > MAX_SERIAL || !printable(serial, true))
            throw LineError{"a serial number is 1 to 255 printable ASCII characters, or 'none'"};
        d.has_serial = true;
        d.serial = serial;
    } else if (key == "vendor" || key == "product") {
        const char *what = key == "vendor" ? "vendor ID" : "product ID";
        uint16_t value = static_cast<uint16_t>(parse_bounded(next_word(rest), what, 0xFFFF));
        expect_end(rest, key);
        (key == "vendor" ? d.vendor_id : d.product_id) = value;
    } else if (key == "device-class") {
        parse_class_triple(rest, key, d.device_class);
    } else if (key == "interface-class") {
        parse_class_triple(rest, key, d.interface_class);
    } else if (key == "endpoints") {
        d.endpoints = static_cast<uint8_t>(parse_bounded(next_word(rest), "endpoint count", 0xFF));
        expect_end(rest, key);
    } else if (key == "partitions") {
        if (next_word(rest) != "none" || !rest.empty())
            throw LineError{"'partitions' takes only 'none' (then list each with 'partition')"};
        d.partitions.clear();
    } else if (key == "partition") {
        std::string name(next_word(rest));
        if (name.empty() || name.size() > MAX_PARTITION_NAME || !printable(name, false))
            throw LineError{"'partition' needs a name of 1 to 58 printable characters and a size"};
        uint64_t limit = parse_number(next_word(rest), "partition size");
        expect_end(rest, key);
        for (auto &p : d.partitions) {
            if (p.name == name) {
                p.limit = limit;
                return;
            }
        }
        d.partitions.push_back({name, limit});
    } else if (key == "max-download") {
        d.max_download = static_cast<uint32_t>(parse_bounded(next_word(rest), "download size", 0xFFFFFFFF));
        expect_end(rest, key);
    } else if (key == "delay-us") {
        d.delay_us = static_cast<uint32_t>(parse_bounded(next_word(rest), "delay", 10'000'000));
        expect_end(rest, key);
    } else if (key == "rate") {
        d.rate = parse_number(next_word(rest), "rate");
        expect_end(rest, key);
    } else if (key == "data") {
        std::string_view mode = next_word(rest);
        expect_end(rest, key);
        if (mode == "keep")
            d.data_mode = DataMode::KEEP;
        else if (mode == "crc")
            d.data_mode = DataMode::CRC;
        else if (mode == "discard")
            d.data_mode = DataMode::DISCARD;
        else
            throw LineError{"'data' is 'keep', 'crc' or 'discard'"};
    } else if (key == "after-reboot") {
        std::string_view what = next_word(rest);
        if (what == "gone") {
            expect_end(rest, key);
            d.back_after_reboot = false;
        } else if (what == "back") {
            d.back_after_reboot = true;
            d.reboot_ms = static_cast<uint32_t>(parse_bounded(next_word(rest), "reboot time", 600'000));
            expect_end(rest, key);
        } else {
            throw LineError{"'after-reboot' is 'gone' or 'back MILLISECONDS'"};
        }
    } else if (key == "plugged") {
        std::string_view what = next_word(rest);
        d.plug_after_ms = 0;
        if (what == "after")
            d.plug_after_ms = static_cast<uint32_t>(parse_bounded(next_word(rest), "plug time", 600'000));
        expect_end(rest, key);
        if (what != "yes" && what != "no" && what != "after")
            throw LineError{"'plugged' is 'yes', 'no' or 'after MILLISECONDS'"};
        d.plugged = what == "yes";
    } else if (key == "on") {
        d.rules.push_back(parse_rule(rest));
    } else {
        throw LineError{"unknown key '" + std::string(key) + "'"};
    }
}

DeviceConfig new_device(std::string label) {
    DeviceConfig d;
    d.label = std::move(label);
    d.serial = "SIM-" + d.label;
    d.partitions = default_partitions();
    return d;
}

} // namespace

std::vector<PartitionConfig> default_partitions() {
    // Every partition the flasher writes or erases, each able to take the largest image it can send.
    static const char *const names[] = {"qcsblhd", "qcsbl",    "oemsblhd",   "oemsbl",   "amsshd",
                                        "amss",    "cefs",     "appsboothd", "appsboot", "boot",
                                        "system",  "recovery", "userdata",   "cache"};
    std::vector<PartitionConfig> parts;
    for (const char *n : names)
        parts.push_back({n, 0x7FFFFFFF});
    return parts;
}

Scenario default_scenario() {
    Scenario s;
    s.devices.push_back(new_device("phone"));
    s.devices.back().interface_name = default_interface_name(s.devices.back());
    return s;
}

bool parse_scenario(std::string_view text, Scenario &out, std::string &error) {
    out = Scenario{};
    uint32_t line_no = 0;
    DeviceConfig *current = nullptr;
    try {
        while (!text.empty()) {
            ++line_no;
            size_t eol = text.find('\n');
            std::string_view line = text.substr(0, eol);
            text = eol == std::string_view::npos ? std::string_view{} : text.substr(eol + 1);
            if (line.find('\0') != std::string_view::npos)
                throw LineError{"the line holds a NUL byte"};
            std::string_view rest = trim(line);
            if (rest.empty() || rest.front() == '#')
                continue;
            std::string_view key = next_word(rest);
            if (key == "transcript-file") {
                out.transcript_file = raw_argument(rest);
            } else if (key == "partition-dir") {
                out.partition_dir = raw_argument(rest);
            } else if (key == "device") {
                std::string_view label = next_word(rest);
                expect_end(rest, key);
                if (!valid_label(label))
                    throw LineError{"a device label is 1 to 64 letters, digits, '_', '-' or '.'"};
                for (const auto &d : out.devices) {
                    if (d.label == label)
                        throw LineError{"device '" + std::string(label) + "' is defined twice"};
                }
                out.devices.push_back(new_device(std::string(label)));
                current = &out.devices.back();
            } else if (current == nullptr) {
                throw LineError{"'" + std::string(key) +
                                "' belongs in a device block; start one with 'device LABEL'"};
            } else {
                size_t before = current->rules.size();
                apply_device_key(*current, key, rest);
                if (current->rules.size() > before)
                    current->rules.back().line = line_no;
            }
        }
    } catch (const LineError &e) {
        error = "line " + std::to_string(line_no) + ": " + e.message;
        return false;
    }

    for (auto &d : out.devices) {
        if (d.interface_name.empty())
            d.interface_name = default_interface_name(d);
    }
    for (size_t i = 0; i < out.devices.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (out.devices[i].interface_name == out.devices[j].interface_name) {
                error = "devices '" + out.devices[j].label + "' and '" + out.devices[i].label +
                        "' have the same interface name; give one of them a 'name' or a 'serial'";
                return false;
            }
        }
    }
    return true;
}

namespace {

// "'PATH'", built by appending: GCC 12 warns falsely about `"'" + path.string()` (-Wrestrict).
std::string quoted_path(const std::filesystem::path &path) {
    std::string s = "'";
    s += path.string();
    s += "'";
    return s;
}

} // namespace

bool load_scenario_file(const std::filesystem::path &path, Scenario &out, std::string &error) {
    std::FILE *f = open_file(path, "rb");
    if (f == nullptr) {
        error = "cannot open " + quoted_path(path);
        return false;
    }
    // A scenario is a few lines; anything this large is the wrong file.
    constexpr size_t LIMIT = 1 << 20;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && text.size() <= LIMIT)
        text.append(buf, n);
    bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        error = "cannot read " + quoted_path(path);
        return false;
    }
    if (text.size() > LIMIT) {
        error = quoted_path(path) + " is larger than 1 MiB; is it a scenario?";
        return false;
    }
    if (!parse_scenario(text, out, error)) {
        error = path.string() + ": " + error;
        return false;
    }
    return true;
}

bool choose_scenario(ScenarioChoice choice, Scenario &out, std::filesystem::path &base, std::string &error) {
    auto from_environment = [](std::string &value, const char *name) {
        const char *v = std::getenv(name);
        if (value.empty() && v != nullptr && *v != '\0')
            value = v;
    };
    if (!choice.have_text)
        from_environment(choice.file, "TARNEX_SIM_SCENARIO");
    from_environment(choice.transcript, "TARNEX_SIM_TRANSCRIPT");
    from_environment(choice.partition_dir, "TARNEX_SIM_PARTITION_DIR");
    out = default_scenario();
    base.clear();
    if (!choice.file.empty()) {
        if (!load_scenario_file(choice.file, out, error))
            return false;
        base = std::filesystem::path(choice.file).parent_path();
    } else if (choice.have_text && !parse_scenario(choice.text, out, error)) {
        error = "scenario: " + error;
        return false;
    }
    // Paths given here are taken from the current folder, not the scenario's.
    if (!choice.transcript.empty())
        out.transcript_file = std::filesystem::absolute(choice.transcript).string();
    if (!choice.partition_dir.empty())
        out.partition_dir = std::filesystem::absolute(choice.partition_dir).string();
    return true;
}

} // namespace tarnex::sim

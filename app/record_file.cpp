#include "app/record_file.h"

#include "os/file_io.h"
#include "os/host.h"
#include "os/os_api.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

void append_utf8(std::string *out, uint32_t code) {
    if (code < 0x80) {
        *out += static_cast<char>(code);
    } else if (code < 0x800) {
        *out += static_cast<char>(0xC0 | code >> 6);
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        *out += static_cast<char>(0xE0 | code >> 12);
        *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | code >> 18);
        *out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

std::string system_error(const char *what, const std::string &path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

} // namespace

std::string utf8_text(const std::string &text) {
    std::u16string wide;
    if (!g_OsApi.ansi_to_utf16(text.c_str(), &wide))
        return std::string(text.size(), '?');
    std::string out;
    for (size_t i = 0; i < wide.size(); ++i) {
        uint32_t code = wide[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
            wide[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (wide[++i] - 0xDC00);
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD; // half a pair is no character
        }
        append_utf8(&out, code);
    }
    return out;
}

std::string csv_field(const std::string &utf8) {
    if (utf8.find_first_of(",\"\r\n") == std::string::npos)
        return utf8;
    std::string quoted = "\"";
    for (char c : utf8) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string iso8601_local(std::chrono::system_clock::time_point when) {
    const int64_t seconds = std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
    OsLocalTime local = {};
    if (!os_local_time(seconds, &local))
        return "";
    const int offset = local.utc_offset_minutes < 0 ? -local.utc_offset_minutes : local.utc_offset_minutes;
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", local.year, local.month,
                  local.day, local.hour, local.minute, local.second, local.utc_offset_minutes < 0 ? '-' : '+',
                  offset / 60, offset % 60);
    return text;
}

const char *result_word(RunResult result) {
    switch (result) {
    case RUN_SUCCEEDED:
        return "succeeded";
    case RUN_FAILED:
        return "failed";
    case RUN_ABORTED:
        return "aborted";
    default:
        return "";
    }
}

std::string format_unit_line(const UnitLine &unit) {
    char ids[16], crc[16], seconds[32];
    std::snprintf(ids, sizeof ids, "%04x,%04x", unit.vendor, unit.product);
    std::snprintf(crc, sizeof crc, "%08x", unit.package_crc);
    const double elapsed = std::chrono::duration<double>(unit.ended - unit.started).count();
    std::snprintf(seconds, sizeof seconds, "%.1f", elapsed > 0 ? elapsed : 0.0);
    std::string line;
    line += csv_field(iso8601_local(unit.started)) + ',';
    line += csv_field(iso8601_local(unit.ended)) + ',';
    line += csv_field(utf8_text(unit.host)) + ',';
    line += csv_field(utf8_text(unit.row)) + ',';
    line += csv_field(utf8_text(unit.serial)) + ',';
    line += std::string(ids) + ',';
    line += csv_field(utf8_text(unit.station)) + ',';
    line += std::string(crc) + ',';
    line += std::string(unit.user_data ? "yes" : "no") + ',';
    line += std::to_string(unit.bytes) + ',';
    line += std::string(seconds) + ',';
    line += std::string(result_word(unit.result)) + ',';
    line += csv_field(utf8_text(unit.reason));
    return line + "\r\n";
}

bool RecordFile::open(const std::string &folder, const std::string &file_name, const char *program,
                      std::string *why) {
    const std::string beside = os_join_path(folder, file_name.c_str());
    std::string data;
    const bool has_data = os_user_data_directory(program, &data);
    std::string chosen = beside;
    bool opened = write(beside, "", why);
    if (!opened && has_data) {
        std::string fallback_why;
        opened = write(os_join_path(data, file_name.c_str()), "", &fallback_why);
        chosen = opened ? os_join_path(data, file_name.c_str()) : beside;
        *why += "; " + fallback_why;
    } else if (!opened) {
        *why += "; and there is no user data folder to keep it in instead";
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_path = chosen;
    return opened;
}

std::string RecordFile::path() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_path;
}

bool RecordFile::append(const std::string &line, std::string *why) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // After a failed write the file may end in part of a line: the next line starts on a line of its own.
    if (!write(m_path, m_cut ? "\r\n" + line : line, why)) {
        m_cut = true;
        return false;
    }
    m_cut = false;
    return true;
}

// One open, write and close per line: the file may be moved, copied or opened by a spreadsheet between
// two phones, and every line is on the disk before the phone's outcome is shown.
bool RecordFile::write(const std::string &path, const std::string &line, std::string *why) {
    FILE *file = std::fopen(path.c_str(), "ab");
    if (file == nullptr) {
        *why = system_error("cannot open", path);
        return false;
    }
    const int64_t size = file_size64(file);
    std::string text = size == 0 ? std::string(RECORD_HEADER) + "\r\n" + line : line;
    bool written = text.empty() || std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (!written)
        *why = system_error("cannot write", path);
    if (written && !file_sync(file)) {
        *why = "cannot write " + path + ": " + file_error_text();
        written = false;
    }
    if (std::fclose(file) != 0 && written) {
        *why = system_error("cannot write", path);
        written = false;
    }
    return written;
}

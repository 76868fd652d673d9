// The station's record of every unit: a CSV file (RFC 4180, UTF-8) with one line per phone that ended,
// saying which unit got which firmware, where, when and how it ended.
#pragma once

#include "app/run_record.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

// The first line of a new record file: the columns.
inline constexpr char RECORD_HEADER[] =
    "start,end,host,row,serial,vendor,product,station,package_crc32,userdata,bytes,seconds,result,reason";

// One unit's line. Texts are in the system's 8-bit encoding, as the driver and the system give them;
// the line turns them into UTF-8.
struct UnitLine {
    std::chrono::system_clock::time_point started, ended;
    std::string host;    // the machine's name
    std::string row;     // the row's name: where the phone was plugged (the driver's interface name)
    std::string serial;  // empty when the phone gave none
    uint16_t vendor = 0; // USB ids
    uint16_t product = 0;
    std::string station;      // the station file's name
    uint32_t package_crc = 0; // the package's CRC-32, from its trailer
    bool user_data = false;
    uint64_t bytes = 0; // what the phone accepted in its data phases
    RunResult result = RUN_UNFINISHED;
    std::string reason;
};

// `text` (8-bit, the system's encoding) as well-formed UTF-8: on Windows converted from the ANSI code
// page, elsewhere taken as UTF-8, every byte that is not well-formed UTF-8 becoming U+FFFD.
std::string utf8_text(const std::string &text);

// One CSV field: as it is, or in double quotes with each quote doubled when it holds a comma, a quote,
// CR or LF.
std::string csv_field(const std::string &utf8);

// The moment in local time, ISO 8601 with seconds and the offset from UTC: "2026-12-10T05:37:10+01:00".
std::string iso8601_local(std::chrono::system_clock::time_point when);

// The word of a result in the record: "succeeded", "failed", "aborted" ("" for RUN_UNFINISHED).
const char *result_word(RunResult result);

// The CSV line of a unit, ended by CR LF.
std::string format_unit_line(const UnitLine &unit);

// The record file. One per station; its lines may come from any thread.
class RecordFile {
public:
    // Finds the record's place: `file_name` in `folder` (the station's own folder) when that can be
    // written, else in the user's data folder for `program`. The file is created with its header when it
    // is new. True with path() set; false with path() the place first tried and *why a sentence.
    // Window thread, at start-up.
    bool open(const std::string &folder, const std::string &file_name, const char *program, std::string *why);

    // Where the record is (or was looked for first).
    std::string path() const;

    // Appends `line` and puts it on disk before returning, the header first when the file has become
    // empty (a file deleted meanwhile is made again). False, with *why, when it could not be written
    // completely. Any thread; lines are written one after the other, whole.
    bool append(const std::string &line, std::string *why);

private:
    bool write(const std::string &path, const std::string &line, std::string *why);

    mutable std::mutex m_mutex;
    std::string m_path;
    bool m_cut = false; // the last write failed, perhaps half-way
};

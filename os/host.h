// What a record of work done on this machine needs from the system: the machine's name, a folder of the
// user's for files a program keeps, and the local time with its offset from UTC.
//
// Plain functions, safe on any thread. Text is in the system's 8-bit encoding (the ANSI code page on
// Windows, UTF-8 on POSIX).
#pragma once

#include <cstdint>
#include <string>

// The machine's name as the network knows it (Windows: the computer name; POSIX: gethostname). False
// when the system cannot tell.
bool os_host_name(std::string *name);

// The folder where programs keep a user's files, for `program` (a folder name) inside it, made when
// missing: Windows %LOCALAPPDATA%\PROGRAM (else %APPDATA%); POSIX $XDG_DATA_HOME/PROGRAM, else
// $HOME/.local/share/PROGRAM. False, with the last-error value set, when there is none or it cannot be
// made.
bool os_user_data_directory(const char *program, std::string *path);

// A moment as the local clock shows it, and how far that clock is ahead of UTC.
struct OsLocalTime {
    int year, month, day, hour, minute, second; // month 1..12, day 1..31
    int utc_offset_minutes;                     // east of Greenwich positive: +60 for CET
};

// `seconds` since 1970-01-01 UTC in the system's local time zone (daylight saving included). False when
// the system cannot convert it.
bool os_local_time(int64_t seconds, OsLocalTime *local);

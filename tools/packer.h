// The producer side of the payload package: package bodies and trailers in memory, package files, and
// finished flashers made of a base executable and a firmware folder.
//
// A flasher file is the base executable, then the package body, then the trailer (body length and
// crc32_update of the body from PACK_HASH_SEED, both u32 little-endian); load_image_table accepts exactly
// this. Everything written to disk goes through PackOutput: complete, or not there at all.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/executable_format.h"

// An entry given as bytes in memory.
struct PackBlob {
    std::string Name;
    std::vector<uint8_t> Bytes;
};

// An entry taken from a file.
struct PackSource {
    std::string Name;
    std::string Path;
};

// ---- In memory (tests and small tools; no size checks beyond the format's own) ----------------------

// The package body of ENTRIES, in the given order, ending with the terminator.
std::vector<uint8_t> pack_body(const std::vector<PackBlob> &entries);

// Appends the trailer for the body that runs from BODY_OFFSET to the end of FILE.
void pack_append_trailer(std::vector<uint8_t> *file, size_t body_offset);

// Body and trailer: a file that is nothing but a package.
std::vector<uint8_t> pack_payload(const std::vector<PackBlob> &entries);

// BASE followed by the body and trailer of ENTRIES: the bytes of a flasher.
std::vector<uint8_t> pack_flasher_bytes(const std::vector<uint8_t> &base,
                                        const std::vector<PackBlob> &entries);

// ---- Files -------------------------------------------------------------------------------------------

struct PackOptions {
    // build: make a flasher even without "DeviceList.dat" or "AdbWinApi.dll" (it cannot start then), or
    // with an empty "AdbWinApi.dll" or an empty image (skipped by the flasher like an absent one).
    bool AllowIncomplete = false;
    // build: make a flasher even when the base cannot load the driver library (another format or
    // architecture); for tests of the flasher's own load failure. The mismatch is still warned about.
    bool AnyDriver = false;
    // Called before each entry is written, with a line such as "boot.img (3145728 bytes)". Optional.
    std::function<void(const std::string &)> OnProgress;
    // Called for each warning as it is found, before anything is written. Optional.
    std::function<void(const std::string &)> OnWarning;
};

struct PackReport {
    std::vector<std::string> Warnings;
    std::string Error;       // a sentence when the call failed
    uint64_t OutputSize = 0; // bytes written, trailer included
    uint32_t BodyLength = 0; // L of the trailer
    uint32_t BodyCrc = 0;    // checksum of the trailer
    uint32_t EntryCount = 0; // records in the body
    // build: what the base and the driver library are (EXECUTABLE_UNKNOWN when not looked at).
    ExecutableInfo BaseInfo;
    ExecutableInfo DriverInfo;
};

// Writes OUT_PATH: the package of SOURCES in the given order, then the trailer. Refuses (returning false
// with REPORT->Error, and writing nothing) an entry of 2 GiB or more, an empty "DeviceList.dat", an output
// of 4 GiB or more, a missing or unreadable input, and an output that is one of the inputs.
bool pack_create(const char *out_path, const std::vector<PackSource> &sources, const PackOptions &options,
                 PackReport *report);

// Writes OUT_PATH: BASE_PATH's bytes, then the body of every known entry found in FIRMWARE_DIR in table
// order, then the trailer. Warns about files that are not known entries (names are case-sensitive) and
// leaves them out. Besides pack_create's refusals, refuses a folder without "DeviceList.dat" or
// "AdbWinApi.dll", an empty "AdbWinApi.dll" and an empty image unless OPTIONS.AllowIncomplete; a driver
// library that the base cannot load (another executable format, machine or word size) unless
// OPTIONS.AnyDriver; a flasher too large for the base's address space (pack_flasher_size_text); and an
// output that is the base itself. A base that is neither PE nor ELF gets a
// warning and no architecture check. The base executable is only read.
bool pack_build(const char *base_path, const char *firmware_dir, const char *out_path,
                const PackOptions &options, PackReport *report);

// pack_build with the entries listed instead of found in a folder; they are written in table order,
// unknown names after the known ones in the given order.
bool pack_build_sources(const char *base_path, const std::vector<PackSource> &sources, const char *out_path,
                        const PackOptions &options, PackReport *report);

// The sentence that says why the program BASE_NAME (PROGRAM) cannot load the driver library LIBRARY,
// naming both and the fix, e.g. "AdbWinApi.dll is a 32-bit (x86) library and tarnex.exe a 64-bit (x64)
// program, which cannot load it: build with the x86 base executable, or carry a 64-bit (x64) Windows
// driver library". For a pair that executable_can_load refuses.
std::string pack_driver_mismatch_text(const std::string &base_name, const ExecutableInfo &program,
                                      const ExecutableInfo &library);

// Why a flasher of SIZE bytes made from the base PROGRAM cannot start, or empty when it can: it holds
// its whole file in its address space, so a 32-bit one refuses a file of 1 GiB or more
// (flasher_file_size_limit). A phrase with the fix, "a 32-bit (x86) flasher of N bytes, which cannot
// start: ...", to follow "FILE is" or "the output would be".
std::string pack_flasher_size_text(const ExecutableInfo &program, uint64_t size);

// A flasher from a base file and entries in memory, written atomically: the few lines a test needs.
// Entries go in the given order; no completeness check. False with a sentence in ERROR on failure.
bool pack_build_blobs(const char *base_path, const std::vector<PackBlob> &entries, const char *out_path,
                      std::string *error);

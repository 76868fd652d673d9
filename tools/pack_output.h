// An output file that is either complete or absent.
//
// Bytes go to a temporary file next to the final path; Commit flushes them to the device and renames the
// file into place in one step. Every write, the flush, the sync and the close are checked, and any failure,
// or destruction before Commit, removes the temporary file: a failed run never leaves a partial file under
// the final name, and an existing file there stays as it was.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "package/pack_archive.h"

class PackOutput {
public:
    PackOutput() = default;
    PackOutput(const PackOutput &) = delete;
    PackOutput &operator=(const PackOutput &) = delete;
    ~PackOutput() { Abandon(); }

    // Creates the temporary file for PATH. EXECUTABLE marks it executable where the platform has such a
    // mode. On failure returns false with the reason in Error().
    bool Open(const char *path, bool executable);

    // Appends LENGTH bytes. After the first failure every call returns false and writes nothing.
    bool Write(const void *bytes, uint64_t length);

    // Sync, close, rename into place. False with the reason in Error(), and no file left, on failure.
    bool Commit();

    // Closes and removes the temporary file; nothing happens at the final path. Safe to call twice.
    void Abandon();

    bool Failed() const { return m_bFailed; }
    uint64_t Written() const { return m_nWritten; }
    const std::string &Error() const { return m_Error; }
    const std::string &Path() const { return m_Path; }

private:
    void Fail(const char *what, const char *reason);

    FILE *m_pFile = nullptr;
    std::string m_Path;
    std::string m_TempPath;
    uint64_t m_nWritten = 0;
    bool m_bFailed = false;
    std::string m_Error;
};

// A PackSinkFn over a PackOutput (USER), for the container's serialization: returns LENGTH when every byte
// was written and 0 otherwise; the failure stays recorded in the PackOutput.
uint32_t pack_output_sink(const void *bytes, uint32_t length, void *user);

// Writes SIZE bytes at DATA to PATH through a PackOutput. False with a sentence in ERROR on failure.
bool write_whole_file(const char *path, const void *data, uint64_t size, bool executable, std::string *error);

// Creates folder PATH and any missing parents. False with a sentence in ERROR on failure.
bool make_directories(const char *path, std::string *error);

// The transcript: one line per thing the host did to the simulated phones and per thing they answered,
// kept in memory and, when a file is named, appended to it line by line so that another process can
// follow along. The line format is documented in drivers/sim/README.md and is relied on by tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace tarnex::sim {

class Transcript {
public:
    Transcript() = default;
    Transcript(const Transcript &) = delete;
    Transcript &operator=(const Transcript &) = delete;
    ~Transcript();

    // Starts a new transcript: clears the memory copy and, with a path, truncates that file and appends
    // to it from now on. Returns false when the file cannot be created (the memory copy still works).
    bool restart(const std::filesystem::path &file);
    // The same with a file the caller has already created (null: memory only); takes ownership.
    void restart(std::FILE *file);

    // Adds one line (without its line feed).
    void add(std::string_view line);

    const std::string &text() const { return m_text; }
    void clear_memory() { m_text.clear(); }

private:
    std::string m_text;
    std::FILE *m_file = nullptr;
};

// Quotes bytes for a transcript line: printable ASCII as it is, '"' and '\' escaped, every other byte as
// \xHH, so that a line never breaks and every wire byte can be read back exactly.
std::string quote(std::string_view bytes);

// Opens a file with a path that may hold any character the platform allows.
std::FILE *open_file(const std::filesystem::path &path, const char *mode);

// Writes a whole file through a temporary name and a rename, so a reader never sees half of it.
bool write_file_replacing(const std::filesystem::path &path, const uint8_t *data, size_t size);

} // namespace tarnex::sim

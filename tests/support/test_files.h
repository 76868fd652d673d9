// Scratch folders and whole-file helpers for tests (not a test folder itself: no CMakeLists.txt here).
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

// A fresh folder under the system's temporary directory, removed with everything in it at destruction.
class TempDir {
public:
    TempDir() {
        static std::atomic<unsigned> counter{0};
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        m_Path = std::filesystem::temp_directory_path() /
                 ("tarnex-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(m_Path);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_Path, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    // NAME inside the folder, as 8-bit text for the C runtime.
    std::string Path(const std::string &name = "") const { return (m_Path / name).string(); }

    // The names of the files in the folder, sorted.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(m_Path))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::filesystem::path m_Path;
};

inline void write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
    FILE *file = fopen(path.c_str(), "wb");
    if (!file)
        throw std::runtime_error("cannot create " + path);
    bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = fclose(file) == 0 && ok;
    if (!ok)
        throw std::runtime_error("cannot write " + path);
}

inline std::vector<uint8_t> read_file(const std::string &path) {
    std::vector<uint8_t> bytes;
    FILE *file = fopen(path.c_str(), "rb");
    if (!file)
        return bytes;
    uint8_t piece[65536];
    while (size_t got = fread(piece, 1, sizeof piece, file))
        bytes.insert(bytes.end(), piece, piece + got);
    fclose(file);
    return bytes;
}

inline std::vector<uint8_t> bytes_of(const std::string &text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

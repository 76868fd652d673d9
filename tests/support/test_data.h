// Bytes for tests: the one reference CRC-32 and the one pattern generator every test folder shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The CRC-32 by its definition, one bit at a time (reflected, polynomial 0xEDB88320), continued from
// `value` (0 to start): independent of every table and constant of the code under test.
inline uint32_t reference_crc32(const void *data, size_t length, uint32_t value = 0) {
    const auto *bytes = static_cast<const uint8_t *>(data);
    uint32_t reg = ~value;
    for (size_t i = 0; i < length; i++) {
        reg ^= bytes[i];
        for (int bit = 0; bit < 8; bit++)
            reg = (reg & 1) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    }
    return ~reg;
}

inline uint32_t reference_crc32(const std::string &data) {
    return reference_crc32(data.data(), data.size());
}

// `size` bytes that differ from `seed` to seed and do not repeat with any short period, so that a block
// sent twice, dropped or put in the wrong place shows in a comparison.
inline std::vector<uint8_t> test_pattern(size_t size, uint32_t seed = 0) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

inline std::string test_pattern_text(size_t size, uint32_t seed = 0) {
    std::vector<uint8_t> bytes = test_pattern(size, seed);
    return std::string(bytes.begin(), bytes.end());
}

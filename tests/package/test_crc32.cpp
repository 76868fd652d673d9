#include "package/crc32.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

const Crc32Engine ENGINES[] = {CRC32_ENGINE_TABLE, CRC32_ENGINE_PCLMUL, CRC32_ENGINE_VPCLMUL256,
                               CRC32_ENGINE_VPCLMUL512};

// The definition, one bit at a time: independent of every table and constant under test.
uint32_t crc32_bitwise(const uint8_t *data, size_t length, uint32_t value) {
    uint32_t reg = ~value;
    for (size_t i = 0; i < length; i++) {
        reg ^= data[i];
        for (int bit = 0; bit < 8; bit++)
            reg = (reg & 1) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    }
    return ~reg;
}

std::vector<uint8_t> random_bytes(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(size);
    for (auto &b : bytes)
        b = static_cast<uint8_t>(rng());
    return bytes;
}

} // namespace

TEST(Crc32, StandardValuesAndConventions) {
    const char digits[] = "123456789";
    for (Crc32Engine engine : ENGINES)
        EXPECT_EQ(crc32_update_with(engine, digits, 9, 0), 0xCBF43926u) << crc32_engine_name(engine);
    EXPECT_EQ(crc32_update(digits, 9, 0), 0xCBF43926u);

    // The table behind the routine: with a zero register, one byte b leaves exactly table[b].
    const uint8_t one = 1, last = 255;
    EXPECT_EQ(~crc32_update_table(&one, 1, 0xFFFFFFFF), 0x77073096u);
    EXPECT_EQ(~crc32_update_table(&last, 1, 0xFFFFFFFF), 0x2D02EF8Du);

    EXPECT_EQ(crc32_update(digits, 0, 0x12345678), 0x12345678u);
    EXPECT_EQ(crc32_update(nullptr, 9, 0x12345678), 0u);
    EXPECT_EQ(crc32_update_table(nullptr, 0, 0xFFFFFFFF), 0u);
    for (Crc32Engine engine : ENGINES)
        EXPECT_EQ(crc32_update_with(engine, nullptr, 100, 7), 0u);
}

TEST(Crc32, TableMatchesTheBitwiseDefinition) {
    std::vector<uint8_t> data = random_bytes(1000, 1);
    for (size_t length : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 64u, 999u, 1000u})
        EXPECT_EQ(crc32_update_table(data.data(), static_cast<uint32_t>(length), 0xA5A5A5A5),
                  crc32_bitwise(data.data(), length, 0xA5A5A5A5))
            << length;
}

TEST(Crc32, ContinuesAcrossPieces) {
    std::vector<uint8_t> data = random_bytes(600, 2);
    for (Crc32Engine engine : ENGINES) {
        uint32_t whole = crc32_update_with(engine, data.data(), 600, 0x76543210u);
        for (uint32_t split = 0; split <= 600; split += 13) {
            uint32_t first = crc32_update_with(engine, data.data(), split, 0x76543210u);
            EXPECT_EQ(crc32_update_with(engine, data.data() + split, 600 - split, first), whole)
                << crc32_engine_name(engine) << " split at " << split;
        }
    }
}

// The folded engines against the table on every length up to well past their block sizes, at every
// alignment of a 16-byte load, and on lengths around the larger loop boundaries.
TEST(Crc32, FoldedEnginesGiveTheTableResult) {
    std::vector<uint8_t> data = random_bytes((1 << 20) + 64, 3);
    std::mt19937 rng(4);
    int tested = 0;
    for (Crc32Engine engine : {CRC32_ENGINE_PCLMUL, CRC32_ENGINE_VPCLMUL256, CRC32_ENGINE_VPCLMUL512}) {
        if (!crc32_engine_available(engine)) {
            std::printf("[  SKIPPED ] %s is not available on this processor or in this build\n",
                        crc32_engine_name(engine));
            continue;
        }
        tested++;
        for (uint32_t length = 0; length <= 1100; length++) {
            uint32_t offset = length % 16, value = rng();
            ASSERT_EQ(crc32_update_with(engine, data.data() + offset, length, value),
                      crc32_update_table(data.data() + offset, length, value))
                << crc32_engine_name(engine) << " length " << length << " offset " << offset;
        }
        for (uint32_t length : {4095u, 4096u, 4097u, 65535u, 65536u + 255u, 1u << 20})
            for (uint32_t offset : {0u, 1u, 15u, 33u, 63u}) {
                ASSERT_EQ(crc32_update_with(engine, data.data() + offset, length, 0x76543210),
                          crc32_update_table(data.data() + offset, length, 0x76543210))
                    << crc32_engine_name(engine) << " length " << length << " offset " << offset;
            }
    }
    if (tested == 0)
        GTEST_SKIP() << "no folded engine on this processor";
    EXPECT_EQ(crc32_update(data.data(), 1 << 20, 0), crc32_update_table(data.data(), 1 << 20, 0));
}

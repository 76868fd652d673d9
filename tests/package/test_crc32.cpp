#include "package/crc32.h"
#include "tests/support/test_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

namespace {

const Crc32Engine ENGINES[] = {CRC32_ENGINE_TABLE, CRC32_ENGINE_PCLMUL, CRC32_ENGINE_VPCLMUL256,
                               CRC32_ENGINE_VPCLMUL512};

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
    std::vector<uint8_t> data = test_pattern(1000, 1);
    for (size_t length : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 64u, 999u, 1000u})
        EXPECT_EQ(crc32_update_table(data.data(), static_cast<uint32_t>(length), 0xA5A5A5A5),
                  reference_crc32(data.data(), length, 0xA5A5A5A5))
            << length;
}

TEST(Crc32, ContinuesAcrossPieces) {
    std::vector<uint8_t> data = test_pattern(600, 2);
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
    std::vector<uint8_t> data = test_pattern((1 << 20) + 64, 3);
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

// --- The engines' folding constants, checked without running any engine.

namespace {

// Carry-less product of two 64-bit values: what PCLMULQDQ computes, bit i of a value standing for x^i.
struct Clmul128 {
    uint64_t Low, High;
};
Clmul128 clmul64(uint64_t a, uint64_t b) {
    Clmul128 r{0, 0};
    for (int i = 0; i < 64; i++)
        if ((b >> i) & 1) {
            r.Low ^= a << i;
            if (i != 0)
                r.High ^= a >> (64 - i);
        }
    return r;
}

// x^e mod P, P = x^32 + 0x04C11DB7, by squaring and multiplying (independent of the engines' code, which
// holds its constants as plain numbers).
uint32_t mulmod(uint32_t a, uint32_t b) {
    Clmul128 p = clmul64(a, b); // degree below 63
    uint64_t v = p.Low;
    for (int bit = 62; bit >= 32; bit--)
        if ((v >> bit) & 1)
            v ^= uint64_t(0x104C11DB7) << (bit - 32);
    return static_cast<uint32_t>(v);
}
uint32_t xpow_mod(unsigned e) {
    uint32_t result = 1, base = 2; // x^0, x^1
    for (; e != 0; e >>= 1) {
        if (e & 1)
            result = mulmod(result, base);
        base = mulmod(base, base);
    }
    return result;
}
uint32_t reflect32(uint32_t v) {
    uint32_t r = 0;
    for (int i = 0; i < 32; i++)
        r |= ((v >> i) & 1) << (31 - i);
    return r;
}

// The register walk from a zero register: the remainder that folding preserves.
uint32_t raw_crc(const std::vector<uint8_t> &bytes) {
    return ~crc32_update_table(bytes.data(), static_cast<uint32_t>(bytes.size()), 0xFFFFFFFF);
}

} // namespace

TEST(Crc32, EveryFoldingConstantIsDerivedFromThePolynomial) {
    EXPECT_EQ(xpow_mod(32), 0x04C11DB7u); // the polynomial itself, as a check of the derivation
    std::mt19937_64 rng(5);
    for (Crc32Engine engine : {CRC32_ENGINE_PCLMUL, CRC32_ENGINE_VPCLMUL256, CRC32_ENGINE_VPCLMUL512}) {
        size_t count = 0;
        const Crc32FoldConstant *constants = crc32_fold_constants(engine, &count);
        ASSERT_GE(count, 2u) << crc32_engine_name(engine);
        for (size_t i = 0; i < count; i++) {
            const Crc32FoldConstant &k = constants[i];
            SCOPED_TRACE(std::string(crc32_engine_name(engine)) + " distance " +
                         std::to_string(k.DistanceBits));
            ASSERT_EQ(k.DistanceBits % 128, 0u);
            EXPECT_EQ(k.Low, uint64_t(reflect32(xpow_mod(k.DistanceBits + 32))) << 1);
            EXPECT_EQ(k.High, uint64_t(reflect32(xpow_mod(k.DistanceBits - 32))) << 1);

            // And in the role the engines give it: a 16-byte lane multiplied by the pair, as PCLMULQDQ
            // does, leaves the remainder it had DistanceBits earlier in the message.
            for (int trial = 0; trial < 8; trial++) {
                std::vector<uint8_t> lane(16), moved(16);
                uint64_t lo = rng(), hi = rng();
                for (int b = 0; b < 8; b++) {
                    lane[b] = static_cast<uint8_t>(lo >> (8 * b));
                    lane[8 + b] = static_cast<uint8_t>(hi >> (8 * b));
                }
                Clmul128 a = clmul64(lo, k.Low), c = clmul64(hi, k.High);
                for (int b = 0; b < 8; b++) {
                    moved[b] = static_cast<uint8_t>((a.Low ^ c.Low) >> (8 * b));
                    moved[8 + b] = static_cast<uint8_t>((a.High ^ c.High) >> (8 * b));
                }
                std::vector<uint8_t> before = lane;
                before.resize(16 + k.DistanceBits / 8, 0);
                EXPECT_EQ(raw_crc(before), raw_crc(moved));
            }
        }
    }
    size_t none = 1;
    EXPECT_EQ(crc32_fold_constants(CRC32_ENGINE_TABLE, &none), nullptr);
    EXPECT_EQ(none, 0u);
}

// --- The self-test, and what happens to an engine that fails it.

namespace {

const Crc32Engine FOLDED_BY_PREFERENCE[] = {CRC32_ENGINE_VPCLMUL512, CRC32_ENGINE_VPCLMUL256,
                                            CRC32_ENGINE_PCLMUL};

// The engine crc32_update should choose when every available engine works but those in FAILED.
Crc32Engine widest_available(std::initializer_list<Crc32Engine> failed = {}) {
    for (Crc32Engine engine : FOLDED_BY_PREFERENCE)
        if (crc32_engine_available(engine) && std::find(failed.begin(), failed.end(), engine) == failed.end())
            return engine;
    return CRC32_ENGINE_TABLE;
}

std::string failure_line(Crc32Engine engine) {
    return std::string("crc32: the ") + crc32_engine_name(engine) +
           " engine failed its self-test and is not used\n";
}

// Takes the fault out again, whatever a test did.
class Crc32Fault : public testing::Test {
protected:
    ~Crc32Fault() override { crc32_inject_fault(CRC32_ENGINE_TABLE, 0, 0); }
};

} // namespace

TEST(Crc32, EveryAvailableEnginePassesItsSelfTestAndTheWidestIsChosen) {
    for (Crc32Engine engine :
         {CRC32_ENGINE_TABLE, CRC32_ENGINE_PCLMUL, CRC32_ENGINE_VPCLMUL256, CRC32_ENGINE_VPCLMUL512}) {
        std::printf("%s: %s\n", crc32_engine_name(engine),
                    crc32_engine_available(engine) ? "available"
                                                   : "not available on this processor or in this build");
        EXPECT_EQ(crc32_self_test(engine), crc32_engine_available(engine)) << crc32_engine_name(engine);
    }
    EXPECT_EQ(crc32_selected_engine(), widest_available());
}

TEST_F(Crc32Fault, AnEngineFailingOnAnyOneCodePathIsNeverChosen) {
    const Crc32Engine best = widest_available();
    if (best == CRC32_ENGINE_TABLE)
        GTEST_SKIP() << "no folded engine on this processor or in this build: nothing can fail";
    // Faults confined to one stretch of lengths, each with a length inside it: everywhere, the short-data
    // path, the narrower engine a wide one hands medium data to, the entry of the wide loop with its
    // tails, and the long fold loop ending without a tail and with every tail.
    struct Fault {
        uint32_t From, To, Probe;
    };
    const Fault faults[] = {
        {0, 0xFFFFFFFF, 9}, {1, 63, 63},           {64, 255, 100},
        {256, 600, 300},    {65543, 65543, 65543}, {65791, 65791, 65791},
    };
    const char digits[] = "123456789";
    std::vector<uint8_t> data = test_pattern(70000, 6);
    for (const Fault &fault : faults) {
        SCOPED_TRACE(std::to_string(fault.From) + "-" + std::to_string(fault.To));
        crc32_inject_fault(best, fault.From, fault.To);
        ASSERT_NE(crc32_update_with(best, data.data(), fault.Probe, 0),
                  crc32_update_table(data.data(), fault.Probe, 0))
            << "the fault is in place";

        testing::internal::CaptureStderr();
        EXPECT_EQ(crc32_update(digits, 9, 0), 0xCBF43926u);
        EXPECT_EQ(crc32_update(data.data(), fault.Probe, 7), crc32_update_table(data.data(), fault.Probe, 7));
        EXPECT_EQ(crc32_selected_engine(), widest_available({best}));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), failure_line(best));
        crc32_inject_fault(CRC32_ENGINE_TABLE, 0, 0);
    }

    // Sound again: chosen again, and nothing said.
    testing::internal::CaptureStderr();
    EXPECT_EQ(crc32_selected_engine(), best);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(Crc32Fault, WithEveryFoldedEngineFailingTheTableIsUsed) {
    std::string expected;
    for (Crc32Engine engine : FOLDED_BY_PREFERENCE) {
        if (!crc32_engine_available(engine))
            continue;
        crc32_inject_fault(engine, 0, 0xFFFFFFFF);
        expected += failure_line(engine);
    }
    if (expected.empty())
        GTEST_SKIP() << "no folded engine on this processor or in this build: the table is the only one";
    testing::internal::CaptureStderr();
    EXPECT_EQ(crc32_selected_engine(), CRC32_ENGINE_TABLE);
    EXPECT_EQ(crc32_update("123456789", 9, 0), 0xCBF43926u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
}

// The Windows stack is aligned to 16 bytes only: the engines must work at each of the four positions a
// 16-byte aligned stack can have within 64 bytes (a 32- or 64-byte aligned spill faults at some of them).
namespace {
__attribute__((noinline)) uint32_t crc_with_stack_shifted(unsigned shift, Crc32Engine engine,
                                                          const uint8_t *data, uint32_t length) {
    volatile uint8_t *pad = static_cast<uint8_t *>(__builtin_alloca(16 * shift + 1));
    pad[0] = 0;
    return crc32_update_with(engine, data, length, 0x76543210) + pad[0];
}
} // namespace

TEST(Crc32, EnginesWorkAtEveryStackAlignment) {
    std::vector<uint8_t> data = test_pattern(65536 + 7, 8);
    const uint32_t expected = crc32_update_table(data.data(), 65536 + 7, 0x76543210);
    for (Crc32Engine engine : FOLDED_BY_PREFERENCE) {
        if (!crc32_engine_available(engine))
            continue;
        for (unsigned shift = 0; shift < 4; shift++)
            EXPECT_EQ(crc_with_stack_shifted(shift, engine, data.data(), 65536 + 7), expected)
                << crc32_engine_name(engine) << " with the stack moved by " << 16 * shift << " bytes";
    }
}

// CRC-32 of the package: the standard reflected CRC-32 (polynomial 0xEDB88320), continued from a running
// value, so a checksum can be computed in pieces.
//
// The running value is inverted before the first byte and the register again after the last, so with
// value 0 the result is the common CRC-32 of the data, and crc(a then b, v) == crc(b, crc(a, v)).
// A length of 0 returns the value unchanged; a null data pointer returns 0 whatever the length and value.
#pragma once

#include <cstddef>
#include <cstdint>

// The checksum of every start-up: uses the fastest engine this processor has that passed its self-test
// (chosen once, on first use). Any thread; pure.
uint32_t crc32_update(const void *data, uint32_t length, uint32_t value);

// The portable routine and the reference for the others: table-driven, 8 bytes per loop pass.
uint32_t crc32_update_table(const void *data, uint32_t length, uint32_t value);

// The engines behind crc32_update. The folded ones multiply without carries and give bit-identical
// results to the table: PCLMULQDQ on 128-bit registers, VPCLMULQDQ on 256-bit registers (AVX2) and on
// 512-bit registers (AVX-512F).
enum Crc32Engine {
    CRC32_ENGINE_TABLE,
    CRC32_ENGINE_PCLMUL,
    CRC32_ENGINE_VPCLMUL256,
    CRC32_ENGINE_VPCLMUL512,
};
inline constexpr int CRC32_ENGINE_COUNT = 4;

// Whether ENGINE runs on this processor and in this build (its instructions, and the system's consent
// to the registers they use).
bool crc32_engine_available(Crc32Engine engine);

// The engine crc32_update uses for long data: the widest available one that passes crc32_self_test.
// The first call chooses (about a millisecond per engine tried); every engine that fails is reported by
// one line on standard error and never used. Any thread.
Crc32Engine crc32_selected_engine();

// "table", "pclmul", "vpclmul256" or "vpclmul512".
const char *crc32_engine_name(Crc32Engine engine);

// crc32_update through one given engine, for tests and benchmarks, without the self-test. An engine
// that is not available falls back to the table, so the result is always right on a sound processor.
uint32_t crc32_update_with(Crc32Engine engine, const void *data, uint32_t length, uint32_t value);

// The known-answer test that an engine passes before crc32_update uses it: its results against the
// table's over every length from 0 to 600 and over 64 KiB + 7 and 64 KiB + 255 bytes, each at the 16
// offsets of a 16-byte load, with running values that differ per offset. The lengths take every folded
// engine down each of its paths: the hand-off of short data, the main fold loop run not at all, once and
// many times, and every iteration count of the loops that take up what is left, down to the byte tail.
// False for an engine that is not available. Any thread; takes about a millisecond.
bool crc32_self_test(Crc32Engine engine);

// One pair of folding multipliers: the factors that move a 128-bit lane DistanceBits further on in the
// message, for its low half (the earlier 8 bytes) and its high half. Each is (x^e mod P) bit-reflected
// and shifted left by one bit, with e = DistanceBits + 32 for the low half and DistanceBits - 32 for the
// high half.
struct Crc32FoldConstant {
    uint32_t DistanceBits;
    uint64_t Low;
    uint64_t High;
};

// The multipliers ENGINE folds with, exactly as its code uses them; *COUNT receives their number (0 for
// the table). For the test that derives each from the polynomial: no processor here need run an engine
// for its constants to be checked.
const Crc32FoldConstant *crc32_fold_constants(Crc32Engine engine, size_t *count);

// Tests only: from now on ENGINE returns a result with one bit flipped for every length from MIN_LENGTH
// to MAX_LENGTH, as a faulty processor or a wrong constant would (several engines may be faulty at once),
// and the choice of crc32_update is forgotten, so that the next call chooses (and self-tests) again.
// CRC32_ENGINE_TABLE removes every fault.
void crc32_inject_fault(Crc32Engine engine, uint32_t min_length, uint32_t max_length);

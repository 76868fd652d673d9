// CRC-32 of the package: the standard reflected CRC-32 (polynomial 0xEDB88320), continued from a running
// value, so a checksum can be computed in pieces.
//
// The running value is inverted before the first byte and the register again after the last, so with
// value 0 the result is the common CRC-32 of the data, and crc(a then b, v) == crc(b, crc(a, v)).
// A length of 0 returns the value unchanged; a null data pointer returns 0 whatever the length and value.
#pragma once

#include <cstdint>

// The checksum of every start-up: uses the fastest engine this processor has (chosen once, on first use).
// Any thread; pure.
uint32_t crc32_update(const void *data, uint32_t length, uint32_t value);

// The portable routine and the reference for the others: table-driven, 8 bytes per loop pass.
uint32_t crc32_update_table(const void *data, uint32_t length, uint32_t value);

// The engines behind crc32_update. The folded ones multiply without carries (PCLMULQDQ on 128-bit lanes,
// VPCLMULQDQ on 512-bit registers) and give bit-identical results to the table.
enum Crc32Engine {
    CRC32_ENGINE_TABLE,
    CRC32_ENGINE_PCLMUL,
    CRC32_ENGINE_VPCLMUL,
};

// Whether ENGINE runs on this processor and in this build.
bool crc32_engine_available(Crc32Engine engine);

// The engine crc32_update uses for long data.
Crc32Engine crc32_selected_engine();

// "table", "pclmul" or "vpclmul".
const char *crc32_engine_name(Crc32Engine engine);

// crc32_update through one given engine, for tests and benchmarks. An engine that is not available falls
// back to the table, so the result is always right.
uint32_t crc32_update_with(Crc32Engine engine, const void *data, uint32_t length, uint32_t value);

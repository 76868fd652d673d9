// CRC-32: the slice-by-8 table routine, and carry-less-multiply folding for processors that have it.
//
// Folding in short: the message is a polynomial over GF(2) and only its remainder modulo P matters, so a
// 128-bit block may be replaced by its product with x^D mod P, which lands D bits further on, and XORed
// into the block found there. Several lanes fold independently until the end of the data; the one 128-bit
// lane left is congruent to everything before it, and its CRC (from a zero register) is the CRC of all
// the folded data. That last 16-byte step and any tail go through the table routine, which keeps the
// folded paths short and leaves one reduction to get right instead of two.
#include "package/crc32.h"

#include <array>
#include <cstddef>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TARNEX_CRC32_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

// MinGW-w64's GCC does not realign the stack for 64-byte vector spills (the Windows ABI only promises 16
// bytes), so 512-bit code can fault there. The Windows build keeps to 128-bit folding, which is already
// faster than memory.
#if defined(TARNEX_CRC32_X86) && !defined(_WIN32)
#define TARNEX_CRC32_VPCLMUL 1
#endif

namespace {

constexpr uint32_t CRC32_POLY_REFLECTED = 0xEDB88320;

using Crc32Tables = std::array<std::array<uint32_t, 256>, 8>;

// Table s gives the register contribution of a byte followed by s zero bytes, which lets one pass take
// 8 bytes with 8 independent lookups.
constexpr Crc32Tables make_tables() {
    Crc32Tables t{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? (c >> 1) ^ CRC32_POLY_REFLECTED : c >> 1;
        t[0][i] = c;
    }
    for (size_t s = 1; s < 8; s++)
        for (size_t i = 0; i < 256; i++)
            t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    return t;
}

constexpr Crc32Tables CRC32_TABLES = make_tables();
static_assert(CRC32_TABLES[0][1] == 0x77073096 && CRC32_TABLES[0][255] == 0x2D02EF8D);

inline uint32_t load_le32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The register walk without the inversions: REG in, REG out.
uint32_t crc32_table_raw(const uint8_t *p, uint32_t length, uint32_t reg) {
    const auto &t = CRC32_TABLES;
    while (length >= 8) {
        uint32_t lo = load_le32(p) ^ reg;
        uint32_t hi = load_le32(p + 4);
        reg = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
              t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
        p += 8;
        length -= 8;
    }
    while (length--)
        reg = t[0][(reg ^ *p++) & 0xFF] ^ (reg >> 8);
    return reg;
}

using Crc32RawFn = uint32_t (*)(const uint8_t *, uint32_t, uint32_t);

#ifdef TARNEX_CRC32_X86

// x^e mod P with P = x^32 + 0x04C11DB7 in the usual (unreflected) bit order.
constexpr uint32_t xpow_mod(unsigned e) {
    uint32_t r = 1;
    for (unsigned i = 0; i < e; i++)
        r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
    return r;
}

constexpr uint32_t reflect32(uint32_t v) {
    uint32_t r = 0;
    for (int i = 0; i < 32; i++, v >>= 1)
        r = (r << 1) | (v & 1);
    return r;
}

// The multiplier for a lane half in reflected order: (x^e mod P) reflected, times x to make up for the
// product of two reflected 64-bit values coming out one bit short. Moving a 128-bit lane D bits forward
// takes e = D + 32 for its low half (the earlier bytes) and e = D - 32 for its high half.
constexpr uint64_t fold_constant(unsigned e) {
    return uint64_t(reflect32(xpow_mod(e))) << 1;
}

static_assert(fold_constant(544) == 0x154442bd4 && fold_constant(480) == 0x1c6e41596,
              "the 512-bit fold constants are the well-known ones");

constexpr uint64_t K128_LO = fold_constant(128 + 32), K128_HI = fold_constant(128 - 32);
constexpr uint64_t K256_LO = fold_constant(256 + 32), K256_HI = fold_constant(256 - 32);
constexpr uint64_t K384_LO = fold_constant(384 + 32), K384_HI = fold_constant(384 - 32);
constexpr uint64_t K512_LO = fold_constant(512 + 32), K512_HI = fold_constant(512 - 32);
constexpr uint64_t K2048_LO = fold_constant(2048 + 32), K2048_HI = fold_constant(2048 - 32);

#define TARNEX_TARGET_PCLMUL __attribute__((target("sse2,pclmul")))
#define TARNEX_TARGET_VPCLMUL __attribute__((target("sse2,pclmul,avx512f,vpclmulqdq")))

TARNEX_TARGET_PCLMUL inline __m128i load128(const uint8_t *p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

TARNEX_TARGET_PCLMUL inline __m128i constants128(uint64_t lo, uint64_t hi) {
    return _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
}

// X moved forward by the distance K was made for.
TARNEX_TARGET_PCLMUL inline __m128i shift128(__m128i x, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

TARNEX_TARGET_PCLMUL inline __m128i fold128(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(shift128(x, k), next);
}

// The one lane left after folding, then the tail, through the table.
TARNEX_TARGET_PCLMUL inline uint32_t finish128(__m128i x, const uint8_t *tail, uint32_t length) {
    alignas(16) uint8_t lane[16];
    _mm_store_si128(reinterpret_cast<__m128i *>(lane), x);
    return crc32_table_raw(tail, length, crc32_table_raw(lane, 16, 0));
}

// Four 128-bit lanes, 64 bytes per pass: four independent multiply chains hide the multiplier's latency.
TARNEX_TARGET_PCLMUL uint32_t crc32_pclmul_raw(const uint8_t *p, uint32_t length, uint32_t reg) {
    if (length < 64)
        return crc32_table_raw(p, length, reg);
    __m128i x0 = _mm_xor_si128(load128(p), _mm_cvtsi32_si128(static_cast<int>(reg)));
    __m128i x1 = load128(p + 16), x2 = load128(p + 32), x3 = load128(p + 48);
    p += 64;
    length -= 64;
    const __m128i k512 = constants128(K512_LO, K512_HI);
    while (length >= 64) {
        x0 = fold128(x0, k512, load128(p));
        x1 = fold128(x1, k512, load128(p + 16));
        x2 = fold128(x2, k512, load128(p + 32));
        x3 = fold128(x3, k512, load128(p + 48));
        p += 64;
        length -= 64;
    }
    const __m128i k128 = constants128(K128_LO, K128_HI);
    x0 = fold128(fold128(fold128(x0, k128, x1), k128, x2), k128, x3);
    while (length >= 16) {
        x0 = fold128(x0, k128, load128(p));
        p += 16;
        length -= 16;
    }
    return finish128(x0, p, length);
}

#ifdef TARNEX_CRC32_VPCLMUL

TARNEX_TARGET_VPCLMUL inline __m512i constants512(uint64_t lo, uint64_t hi) {
    const auto h = static_cast<long long>(hi), l = static_cast<long long>(lo);
    return _mm512_set_epi64(h, l, h, l, h, l, h, l);
}

// Lane I of Z (0 holds the earliest bytes). The zero-masked form avoids GCC 12's spurious
// maybe-uninitialized warning on the plain one.
TARNEX_TARGET_VPCLMUL inline __m128i lane(__m512i z, int i) {
    switch (i) {
    case 0:
        return _mm512_maskz_extracti32x4_epi32(0xF, z, 0);
    case 1:
        return _mm512_maskz_extracti32x4_epi32(0xF, z, 1);
    case 2:
        return _mm512_maskz_extracti32x4_epi32(0xF, z, 2);
    default:
        return _mm512_maskz_extracti32x4_epi32(0xF, z, 3);
    }
}

TARNEX_TARGET_VPCLMUL inline __m512i fold512(__m512i x, __m512i k, __m512i next) {
    // 0x96: three-way XOR.
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x, k, 0x00),
                                     _mm512_clmulepi64_epi128(x, k, 0x11), next, 0x96);
}

// Four 512-bit registers, 256 bytes per pass; then the registers fold into one, its four lanes into the
// last, and the rest goes as in the 128-bit path.
TARNEX_TARGET_VPCLMUL uint32_t crc32_vpclmul_raw(const uint8_t *p, uint32_t length, uint32_t reg) {
    if (length < 256)
        return crc32_pclmul_raw(p, length, reg);
    __m512i z0 = _mm512_xor_si512(_mm512_loadu_si512(p),
                                  _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(reg))));
    __m512i z1 = _mm512_loadu_si512(p + 64), z2 = _mm512_loadu_si512(p + 128),
            z3 = _mm512_loadu_si512(p + 192);
    p += 256;
    length -= 256;
    const __m512i k2048 = constants512(K2048_LO, K2048_HI);
    while (length >= 256) {
        z0 = fold512(z0, k2048, _mm512_loadu_si512(p));
        z1 = fold512(z1, k2048, _mm512_loadu_si512(p + 64));
        z2 = fold512(z2, k2048, _mm512_loadu_si512(p + 128));
        z3 = fold512(z3, k2048, _mm512_loadu_si512(p + 192));
        p += 256;
        length -= 256;
    }
    const __m512i k512 = constants512(K512_LO, K512_HI);
    z0 = fold512(fold512(fold512(z0, k512, z1), k512, z2), k512, z3);
    while (length >= 64) {
        z0 = fold512(z0, k512, _mm512_loadu_si512(p));
        p += 64;
        length -= 64;
    }
    __m128i x = _mm_xor_si128(shift128(lane(z0, 0), constants128(K384_LO, K384_HI)),
                              shift128(lane(z0, 1), constants128(K256_LO, K256_HI)));
    x = _mm_xor_si128(x, shift128(lane(z0, 2), constants128(K128_LO, K128_HI)));
    x = _mm_xor_si128(x, lane(z0, 3));
    const __m128i k128 = constants128(K128_LO, K128_HI);
    while (length >= 16) {
        x = fold128(x, k128, load128(p));
        p += 16;
        length -= 16;
    }
    return finish128(x, p, length);
}

#endif // TARNEX_CRC32_VPCLMUL

struct CpuFeatures {
    bool Pclmul;
    bool Vpclmul;
};

CpuFeatures detect_cpu() {
    CpuFeatures features{};
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return features;
    features.Pclmul = (c & (1u << 1)) != 0;
    // 512-bit registers need the processor's support and the system's consent: the OS must save the
    // opmask and upper ZMM state on a context switch (XCR0 bits 1, 2, 5, 6 and 7).
    bool osxsave = (c & (1u << 27)) != 0;
    bool zmm_state = false;
    if (osxsave) {
        unsigned lo, hi;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        zmm_state = (lo & 0xE6) == 0xE6;
    }
    if (zmm_state && __get_cpuid_count(7, 0, &a, &b, &c, &d)) {
        bool avx512f = (b & (1u << 16)) != 0;
        bool vpclmulqdq = (c & (1u << 10)) != 0;
        features.Vpclmul = features.Pclmul && avx512f && vpclmulqdq;
    }
    return features;
}

const CpuFeatures &cpu_features() {
    static const CpuFeatures features = detect_cpu();
    return features;
}

#endif // TARNEX_CRC32_X86

Crc32RawFn raw_function(Crc32Engine engine) {
    if (!crc32_engine_available(engine))
        return crc32_table_raw;
    switch (engine) {
#ifdef TARNEX_CRC32_X86
    case CRC32_ENGINE_PCLMUL:
        return crc32_pclmul_raw;
#endif
#ifdef TARNEX_CRC32_VPCLMUL
    case CRC32_ENGINE_VPCLMUL:
        return crc32_vpclmul_raw;
#endif
    default:
        return crc32_table_raw;
    }
}

} // namespace

uint32_t crc32_update_table(const void *data, uint32_t length, uint32_t value) {
    if (!data)
        return 0;
    return ~crc32_table_raw(static_cast<const uint8_t *>(data), length, ~value);
}

bool crc32_engine_available(Crc32Engine engine) {
    switch (engine) {
    case CRC32_ENGINE_TABLE:
        return true;
#ifdef TARNEX_CRC32_X86
    case CRC32_ENGINE_PCLMUL:
        return cpu_features().Pclmul;
#endif
#ifdef TARNEX_CRC32_VPCLMUL
    case CRC32_ENGINE_VPCLMUL:
        return cpu_features().Vpclmul;
#endif
    default:
        return false;
    }
}

Crc32Engine crc32_selected_engine() {
    if (crc32_engine_available(CRC32_ENGINE_VPCLMUL))
        return CRC32_ENGINE_VPCLMUL;
    if (crc32_engine_available(CRC32_ENGINE_PCLMUL))
        return CRC32_ENGINE_PCLMUL;
    return CRC32_ENGINE_TABLE;
}

const char *crc32_engine_name(Crc32Engine engine) {
    switch (engine) {
    case CRC32_ENGINE_PCLMUL:
        return "pclmul";
    case CRC32_ENGINE_VPCLMUL:
        return "vpclmul";
    default:
        return "table";
    }
}

uint32_t crc32_update_with(Crc32Engine engine, const void *data, uint32_t length, uint32_t value) {
    if (!data)
        return 0;
    return ~raw_function(engine)(static_cast<const uint8_t *>(data), length, ~value);
}

uint32_t crc32_update(const void *data, uint32_t length, uint32_t value) {
    if (!data)
        return 0;
    static const Crc32RawFn selected = raw_function(crc32_selected_engine());
    return ~selected(static_cast<const uint8_t *>(data), length, ~value);
}

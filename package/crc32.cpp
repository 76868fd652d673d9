// CRC-32: the slice-by-8 table routine, and carry-less-multiply folding for processors that have it.
//
// Folding in short: the message is a polynomial over GF(2) and only its remainder modulo P matters, so a
// 128-bit block may be replaced by its product with x^D mod P, which lands D bits further on, and XORed
// into the block found there. Several lanes fold independently until the end of the data; the one 128-bit
// lane left is congruent to everything before it, and its CRC (from a zero register) is the CRC of all
// the folded data. That last 16-byte step and any tail go through the table routine, which keeps the
// folded paths short and leaves one reduction to get right instead of two.
//
// A folded engine is used only after it has given the table's results in a known-answer test, so a
// processor that mis-executes it, or a wrong constant, costs speed and never a good package refused.
#include "package/crc32.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TARNEX_CRC32_X86 1
#include <cpuid.h>
#include <immintrin.h>
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

// The folding multipliers, written out as numbers rather than computed here, so that the test that
// derives them from the polynomial checks the values the engines actually use.
constexpr Crc32FoldConstant FOLD_128 = {128, 0x1751997d0, 0x0ccaa009e};
constexpr Crc32FoldConstant FOLD_256 = {256, 0x0f1da05aa, 0x15a546366};
constexpr Crc32FoldConstant FOLD_384 = {384, 0x03db1ecdc, 0x174359406};
constexpr Crc32FoldConstant FOLD_512 = {512, 0x154442bd4, 0x1c6e41596};
constexpr Crc32FoldConstant FOLD_1024 = {1024, 0x1e88ef372, 0x14a7fe880};
constexpr Crc32FoldConstant FOLD_2048 = {2048, 0x11542778a, 0x1322d1430};

// Each engine's list names every multiplier its code uses, its own and those of the narrower engine it
// hands short data to.
constexpr Crc32FoldConstant PCLMUL_FOLDS[] = {FOLD_512, FOLD_128};
constexpr Crc32FoldConstant VPCLMUL256_FOLDS[] = {FOLD_2048, FOLD_1024, FOLD_512, FOLD_256, FOLD_128};
constexpr Crc32FoldConstant VPCLMUL512_FOLDS[] = {FOLD_2048, FOLD_512, FOLD_384, FOLD_256, FOLD_128};

#ifdef TARNEX_CRC32_X86

// On Windows the stack is only 16-byte aligned and MinGW's GCC cannot realign it, so a 256- or 512-bit
// value spilled to the stack with an aligned move would fault. The wide engines are written so that
// none is spilled: every helper is inlined, no vector is passed by value to a call or kept in an array,
// and the registers in use stay well below the sixteen (AVX2) or thirty-two (AVX-512) the processor has.
// The Windows build checks its object code for aligned 32- and 64-byte stack moves
// (scripts/check-stack-alignment.sh), so a compiler that spills anyway fails the build's tests.
#define TARNEX_TARGET_PCLMUL __attribute__((target("sse2,pclmul")))
#define TARNEX_TARGET_VPCLMUL256 __attribute__((target("avx2,pclmul,vpclmulqdq")))
#define TARNEX_TARGET_VPCLMUL512 __attribute__((target("avx512f,pclmul,vpclmulqdq")))
#define TARNEX_INLINE inline __attribute__((always_inline))

TARNEX_TARGET_PCLMUL TARNEX_INLINE __m128i load128(const uint8_t *p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

TARNEX_TARGET_PCLMUL TARNEX_INLINE __m128i constants128(const Crc32FoldConstant &k) {
    return _mm_set_epi64x(static_cast<long long>(k.High), static_cast<long long>(k.Low));
}

// X moved forward by the distance K was made for.
TARNEX_TARGET_PCLMUL TARNEX_INLINE __m128i shift128(__m128i x, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

TARNEX_TARGET_PCLMUL TARNEX_INLINE __m128i fold128(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(shift128(x, k), next);
}

// The one lane left after folding, then the tail, through the table.
TARNEX_TARGET_PCLMUL TARNEX_INLINE uint32_t finish128(__m128i x, const uint8_t *tail, uint32_t length) {
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
    const __m128i k512 = constants128(FOLD_512);
    while (length >= 64) {
        x0 = fold128(x0, k512, load128(p));
        x1 = fold128(x1, k512, load128(p + 16));
        x2 = fold128(x2, k512, load128(p + 32));
        x3 = fold128(x3, k512, load128(p + 48));
        p += 64;
        length -= 64;
    }
    const __m128i k128 = constants128(FOLD_128);
    x0 = fold128(fold128(fold128(x0, k128, x1), k128, x2), k128, x3);
    while (length >= 16) {
        x0 = fold128(x0, k128, load128(p));
        p += 16;
        length -= 16;
    }
    return finish128(x0, p, length);
}

TARNEX_TARGET_VPCLMUL256 TARNEX_INLINE __m256i load256(const uint8_t *p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}

TARNEX_TARGET_VPCLMUL256 TARNEX_INLINE __m256i constants256(const Crc32FoldConstant &k) {
    const auto h = static_cast<long long>(k.High), l = static_cast<long long>(k.Low);
    return _mm256_set_epi64x(h, l, h, l);
}

TARNEX_TARGET_VPCLMUL256 TARNEX_INLINE __m256i fold256(__m256i x, __m256i k, __m256i next) {
    return _mm256_xor_si256(
        _mm256_xor_si256(_mm256_clmulepi64_epi128(x, k, 0x00), _mm256_clmulepi64_epi128(x, k, 0x11)), next);
}

// Eight 256-bit registers, 256 bytes per pass (two lanes each, sixteen multiply chains); then the
// registers fold pairwise into one, its two lanes into the last, and the rest goes as in the 128-bit path.
TARNEX_TARGET_VPCLMUL256 uint32_t crc32_vpclmul256_raw(const uint8_t *p, uint32_t length, uint32_t reg) {
    if (length < 256)
        return crc32_pclmul_raw(p, length, reg);
    __m256i y0 =
        _mm256_xor_si256(load256(p), _mm256_zextsi128_si256(_mm_cvtsi32_si128(static_cast<int>(reg))));
    __m256i y1 = load256(p + 32), y2 = load256(p + 64), y3 = load256(p + 96);
    __m256i y4 = load256(p + 128), y5 = load256(p + 160), y6 = load256(p + 192), y7 = load256(p + 224);
    p += 256;
    length -= 256;
    const __m256i k2048 = constants256(FOLD_2048);
    while (length >= 256) {
        y0 = fold256(y0, k2048, load256(p));
        y1 = fold256(y1, k2048, load256(p + 32));
        y2 = fold256(y2, k2048, load256(p + 64));
        y3 = fold256(y3, k2048, load256(p + 96));
        y4 = fold256(y4, k2048, load256(p + 128));
        y5 = fold256(y5, k2048, load256(p + 160));
        y6 = fold256(y6, k2048, load256(p + 192));
        y7 = fold256(y7, k2048, load256(p + 224));
        p += 256;
        length -= 256;
    }
    // Register i holds bytes [32 i, 32 i + 32) of the last pass: 128 bytes apart, then 64, then 32.
    const __m256i k1024 = constants256(FOLD_1024), k512 = constants256(FOLD_512),
                  k256 = constants256(FOLD_256);
    y4 = fold256(y0, k1024, y4);
    y5 = fold256(y1, k1024, y5);
    y6 = fold256(y2, k1024, y6);
    y7 = fold256(y3, k1024, y7);
    y6 = fold256(y4, k512, y6);
    y7 = fold256(y5, k512, y7);
    y7 = fold256(y6, k256, y7);
    while (length >= 32) {
        y7 = fold256(y7, k256, load256(p));
        p += 32;
        length -= 32;
    }
    const __m128i k128 = constants128(FOLD_128);
    __m128i x = fold128(_mm256_castsi256_si128(y7), k128, _mm256_extracti128_si256(y7, 1));
    // GCC leaves the upper halves dirty in a function made wide by its target attribute, and legacy SSE
    // code after it would pay for that on many Intel processors.
    _mm256_zeroupper();
    if (length >= 16) {
        x = fold128(x, k128, load128(p));
        p += 16;
        length -= 16;
    }
    return finish128(x, p, length);
}

TARNEX_TARGET_VPCLMUL512 TARNEX_INLINE __m512i constants512(const Crc32FoldConstant &k) {
    const auto h = static_cast<long long>(k.High), l = static_cast<long long>(k.Low);
    return _mm512_set_epi64(h, l, h, l, h, l, h, l);
}

// Lane I of Z (0 holds the earliest bytes). The zero-masked form avoids GCC 12's spurious
// maybe-uninitialized warning on the plain one.
TARNEX_TARGET_VPCLMUL512 TARNEX_INLINE __m128i lane(__m512i z, int i) {
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

TARNEX_TARGET_VPCLMUL512 TARNEX_INLINE __m512i fold512(__m512i x, __m512i k, __m512i next) {
    // 0x96: three-way XOR.
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x, k, 0x00),
                                     _mm512_clmulepi64_epi128(x, k, 0x11), next, 0x96);
}

// Four 512-bit registers, 256 bytes per pass; then the registers fold into one, its four lanes into the
// last, and the rest goes as in the 128-bit path.
TARNEX_TARGET_VPCLMUL512 uint32_t crc32_vpclmul512_raw(const uint8_t *p, uint32_t length, uint32_t reg) {
    if (length < 256)
        return crc32_pclmul_raw(p, length, reg);
    __m512i z0 = _mm512_xor_si512(_mm512_loadu_si512(p),
                                  _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(reg))));
    __m512i z1 = _mm512_loadu_si512(p + 64), z2 = _mm512_loadu_si512(p + 128),
            z3 = _mm512_loadu_si512(p + 192);
    p += 256;
    length -= 256;
    const __m512i k2048 = constants512(FOLD_2048);
    while (length >= 256) {
        z0 = fold512(z0, k2048, _mm512_loadu_si512(p));
        z1 = fold512(z1, k2048, _mm512_loadu_si512(p + 64));
        z2 = fold512(z2, k2048, _mm512_loadu_si512(p + 128));
        z3 = fold512(z3, k2048, _mm512_loadu_si512(p + 192));
        p += 256;
        length -= 256;
    }
    const __m512i k512 = constants512(FOLD_512);
    z0 = fold512(fold512(fold512(z0, k512, z1), k512, z2), k512, z3);
    while (length >= 64) {
        z0 = fold512(z0, k512, _mm512_loadu_si512(p));
        p += 64;
        length -= 64;
    }
    __m128i x = _mm_xor_si128(shift128(lane(z0, 0), constants128(FOLD_384)),
                              shift128(lane(z0, 1), constants128(FOLD_256)));
    x = _mm_xor_si128(x, shift128(lane(z0, 2), constants128(FOLD_128)));
    x = _mm_xor_si128(x, lane(z0, 3));
    _mm256_zeroupper(); // as in the 256-bit engine
    const __m128i k128 = constants128(FOLD_128);
    while (length >= 16) {
        x = fold128(x, k128, load128(p));
        p += 16;
        length -= 16;
    }
    return finish128(x, p, length);
}

struct CpuFeatures {
    bool Pclmul;
    bool Vpclmul256;
    bool Vpclmul512;
};

CpuFeatures detect_cpu() {
    CpuFeatures features{};
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return features;
    features.Pclmul = (c & (1u << 1)) != 0;
    const bool avx = (c & (1u << 28)) != 0;
    // Wide registers need the processor's support and the system's consent: the system must save their
    // state on a context switch, which it says in XCR0 (bits 1 and 2 for 256 bits; also 5, 6 and 7, the
    // opmask and upper ZMM state, for 512 bits).
    unsigned xcr0 = 0;
    if ((c & (1u << 27)) != 0) { // OSXSAVE
        unsigned hi;
        __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(hi) : "c"(0));
    }
    const bool ymm_state = (xcr0 & 0x06) == 0x06;
    const bool zmm_state = (xcr0 & 0xE6) == 0xE6;
    if (ymm_state && __get_cpuid_count(7, 0, &a, &b, &c, &d)) {
        const bool avx2 = (b & (1u << 5)) != 0;
        const bool avx512f = (b & (1u << 16)) != 0;
        const bool vpclmulqdq = (c & (1u << 10)) != 0;
        features.Vpclmul256 = features.Pclmul && avx && avx2 && vpclmulqdq;
        features.Vpclmul512 = features.Pclmul && avx512f && vpclmulqdq && zmm_state;
    }
    return features;
}

const CpuFeatures &cpu_features() {
    static const CpuFeatures features = detect_cpu();
    return features;
}

#endif // TARNEX_CRC32_X86

Crc32RawFn engine_function(Crc32Engine engine) {
    switch (engine) {
#ifdef TARNEX_CRC32_X86
    case CRC32_ENGINE_PCLMUL:
        return crc32_pclmul_raw;
    case CRC32_ENGINE_VPCLMUL256:
        return crc32_vpclmul256_raw;
    case CRC32_ENGINE_VPCLMUL512:
        return crc32_vpclmul512_raw;
#endif
    default:
        return crc32_table_raw;
    }
}

// --- Faults put in by a test (crc32_inject_fault).

struct InjectedFault {
    std::atomic<bool> Active{false};
    std::atomic<uint32_t> MinLength{0}, MaxLength{0};
};
InjectedFault g_Faults[CRC32_ENGINE_COUNT];

template <Crc32Engine ENGINE>
uint32_t faulty_raw(const uint8_t *p, uint32_t length, uint32_t reg) {
    uint32_t result = engine_function(ENGINE)(p, length, reg);
    const InjectedFault &fault = g_Faults[ENGINE];
    if (length >= fault.MinLength.load(std::memory_order_relaxed) &&
        length <= fault.MaxLength.load(std::memory_order_relaxed))
        result ^= 0x00010000;
    return result;
}

Crc32RawFn raw_function(Crc32Engine engine) {
    if (!crc32_engine_available(engine))
        return crc32_table_raw;
    if (g_Faults[engine].Active.load(std::memory_order_acquire)) {
        switch (engine) {
        case CRC32_ENGINE_PCLMUL:
            return faulty_raw<CRC32_ENGINE_PCLMUL>;
        case CRC32_ENGINE_VPCLMUL256:
            return faulty_raw<CRC32_ENGINE_VPCLMUL256>;
        case CRC32_ENGINE_VPCLMUL512:
            return faulty_raw<CRC32_ENGINE_VPCLMUL512>;
        default:
            break;
        }
    }
    return engine_function(engine);
}

// --- The known-answer test.

constexpr uint32_t KAT_SHORT_MAX = 600;
constexpr uint32_t KAT_LONG[] = {65536 + 7, 65536 + 255};
constexpr uint32_t KAT_OFFSETS = 16;
constexpr uint32_t KAT_DATA_SIZE = 65536 + 255 + KAT_OFFSETS;

// The data, and the table's answer for every case, computed once: the answers for one offset come from
// one pass over the data, since every case at an offset starts there with the same value. About 100 KB;
// made with make_known_answers.
class KnownAnswers {
public:
    KnownAnswers() {
        uint64_t x = 0x2545F4914F6CDD1Dull;
        for (uint8_t &byte : m_Data) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            byte = static_cast<uint8_t>(x >> 24);
        }
        for (uint32_t offset = 0; offset < KAT_OFFSETS; offset++) {
            const uint8_t *p = m_Data + offset;
            uint32_t reg = ~Value(offset), done = 0;
            for (; done <= KAT_SHORT_MAX; done++) {
                m_Short[offset][done] = ~reg;
                reg = crc32_table_raw(p + done, 1, reg);
            }
            for (size_t i = 0; i < std::size(KAT_LONG); i++) {
                reg = crc32_table_raw(p + done, KAT_LONG[i] - done, reg);
                done = KAT_LONG[i];
                m_Long[offset][i] = ~reg;
            }
        }
    }

    bool Passes(Crc32RawFn engine) const {
        for (uint32_t offset = 0; offset < KAT_OFFSETS; offset++) {
            const uint8_t *p = m_Data + offset;
            const uint32_t value = Value(offset);
            for (uint32_t length = 0; length <= KAT_SHORT_MAX; length++)
                if (~engine(p, length, ~value) != m_Short[offset][length])
                    return false;
            for (size_t i = 0; i < std::size(KAT_LONG); i++)
                if (~engine(p, KAT_LONG[i], ~value) != m_Long[offset][i])
                    return false;
        }
        return true;
    }

private:
    static uint32_t Value(uint32_t offset) { return 0x76543210u ^ (offset * 0x9E3779B9u); }

    uint8_t m_Data[KAT_DATA_SIZE];
    uint32_t m_Short[KAT_OFFSETS][KAT_SHORT_MAX + 1];
    uint32_t m_Long[KAT_OFFSETS][std::size(KAT_LONG)];
};

// Null when the memory cannot be had: crc32_update runs inside window procedures, where no exception may
// pass, and an engine that cannot be tested is not used.
std::unique_ptr<KnownAnswers> make_known_answers() {
    return std::unique_ptr<KnownAnswers>(new (std::nothrow) KnownAnswers);
}

// --- The choice of crc32_update.

constexpr Crc32Engine PREFERENCE[] = {CRC32_ENGINE_VPCLMUL512, CRC32_ENGINE_VPCLMUL256, CRC32_ENGINE_PCLMUL};

std::mutex g_ChoiceMutex;
std::atomic<Crc32RawFn> g_Chosen{nullptr};
std::atomic<int> g_ChosenEngine{CRC32_ENGINE_TABLE};

Crc32RawFn chosen_function() {
    if (Crc32RawFn chosen = g_Chosen.load(std::memory_order_acquire))
        return chosen;
    std::lock_guard<std::mutex> lock(g_ChoiceMutex);
    if (Crc32RawFn chosen = g_Chosen.load(std::memory_order_acquire))
        return chosen;
    Crc32Engine engine = CRC32_ENGINE_TABLE;
    bool any = false;
    for (Crc32Engine candidate : PREFERENCE)
        any = any || crc32_engine_available(candidate);
    const auto answers = any ? make_known_answers() : nullptr;
    if (answers) {
        for (Crc32Engine candidate : PREFERENCE) {
            if (!crc32_engine_available(candidate))
                continue;
            if (answers->Passes(raw_function(candidate))) {
                engine = candidate;
                break;
            }
            std::fprintf(stderr, "crc32: the %s engine failed its self-test and is not used\n",
                         crc32_engine_name(candidate));
        }
    }
    Crc32RawFn chosen = raw_function(engine);
    g_ChosenEngine.store(engine, std::memory_order_relaxed);
    g_Chosen.store(chosen, std::memory_order_release);
    return chosen;
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
    case CRC32_ENGINE_VPCLMUL256:
        return cpu_features().Vpclmul256;
    case CRC32_ENGINE_VPCLMUL512:
        return cpu_features().Vpclmul512;
#endif
    default:
        return false;
    }
}

Crc32Engine crc32_selected_engine() {
    chosen_function();
    return static_cast<Crc32Engine>(g_ChosenEngine.load(std::memory_order_relaxed));
}

const char *crc32_engine_name(Crc32Engine engine) {
    switch (engine) {
    case CRC32_ENGINE_PCLMUL:
        return "pclmul";
    case CRC32_ENGINE_VPCLMUL256:
        return "vpclmul256";
    case CRC32_ENGINE_VPCLMUL512:
        return "vpclmul512";
    default:
        return "table";
    }
}

uint32_t crc32_update_with(Crc32Engine engine, const void *data, uint32_t length, uint32_t value) {
    if (!data)
        return 0;
    return ~raw_function(engine)(static_cast<const uint8_t *>(data), length, ~value);
}

bool crc32_self_test(Crc32Engine engine) {
    if (!crc32_engine_available(engine))
        return false;
    const auto answers = make_known_answers();
    return answers && answers->Passes(raw_function(engine));
}

const Crc32FoldConstant *crc32_fold_constants(Crc32Engine engine, size_t *count) {
    switch (engine) {
    case CRC32_ENGINE_PCLMUL:
        *count = std::size(PCLMUL_FOLDS);
        return PCLMUL_FOLDS;
    case CRC32_ENGINE_VPCLMUL256:
        *count = std::size(VPCLMUL256_FOLDS);
        return VPCLMUL256_FOLDS;
    case CRC32_ENGINE_VPCLMUL512:
        *count = std::size(VPCLMUL512_FOLDS);
        return VPCLMUL512_FOLDS;
    default:
        *count = 0;
        return nullptr;
    }
}

void crc32_inject_fault(Crc32Engine engine, uint32_t min_length, uint32_t max_length) {
    std::lock_guard<std::mutex> lock(g_ChoiceMutex);
    if (engine == CRC32_ENGINE_TABLE) {
        for (InjectedFault &fault : g_Faults)
            fault.Active.store(false, std::memory_order_release);
    } else if (static_cast<int>(engine) > CRC32_ENGINE_TABLE &&
               static_cast<int>(engine) < CRC32_ENGINE_COUNT) {
        g_Faults[engine].MinLength.store(min_length, std::memory_order_relaxed);
        g_Faults[engine].MaxLength.store(max_length, std::memory_order_relaxed);
        g_Faults[engine].Active.store(true, std::memory_order_release);
    }
    g_Chosen.store(nullptr, std::memory_order_release);
}

uint32_t crc32_update(const void *data, uint32_t length, uint32_t value) {
    if (!data)
        return 0;
    return ~chosen_function()(static_cast<const uint8_t *>(data), length, ~value);
}

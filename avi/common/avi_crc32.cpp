// CRC-32 (see avi_crc32.h) by two methods, both needing nothing beyond the compiler.
//
// Tables, slicing by 8: eight 256-entry tables built at compile time take eight bytes a step
// through two independent chains of lookups. The camera's 32-bit ARM (no CRC instructions)
// runs this alone; elsewhere it takes short lengths and tails. On a Cortex-A7 (GCC 12, -O2)
// the step is 35 instructions, 4.4 a byte: a 4 Mbit/s stream (500 000 bytes a second) costs
// 2.2 million instructions a second, about 0.2% of a 1 GHz core at one instruction a cycle.
//
// Carry-less multiplication, on x86-64 processors with PCLMULQDQ (looked up at the first
// call): from 64 bytes on, four 128-bit remainders each advance 64 bytes a step, are folded
// into one, which takes what is left 16 bytes at a time and is then reduced to 32 bits by
// a Barrett reduction, all in the bit-reflected form of zlib's CRC. Faster than zlib's
// CRC, so that the checkpoints' CRC costs a recording little beside its writes.
#include "avi/common/avi_crc32.h"
#include "common/le_bytes.h"

#include <array>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <atomic>
#include <cpuid.h>
#include <immintrin.h>
#define AVI_CRC_CLMUL 1
#endif

namespace {

// The tables: [k][n] is the CRC register after byte n followed by k zero bytes.
using crc_tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr crc_tables make_tables()
{
    crc_tables t{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = c & 1 ? 0xedb88320U ^ (c >> 1) : c >> 1;
        t[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; ++n)
        for (size_t k = 1; k < t.size(); ++k)
            t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xff];
    return t;
}

constexpr crc_tables tables = make_tables();

// Takes the register c (the CRC inverted) over n bytes.
uint32_t by_tables(uint32_t c, const unsigned char *p, size_t n)
{
    for (; n >= 8; n -= 8, p += 8) {
        uint32_t a = c ^ get_u32_le(p), b = get_u32_le(p + 4);
        c = tables[7][a & 0xff] ^ tables[6][(a >> 8) & 0xff] ^ tables[5][(a >> 16) & 0xff] ^
            tables[4][a >> 24] ^ tables[3][b & 0xff] ^ tables[2][(b >> 8) & 0xff] ^
            tables[1][(b >> 16) & 0xff] ^ tables[0][b >> 24];
    }
    for (; n > 0; --n, ++p)
        c = tables[0][(c ^ *p) & 0xff] ^ (c >> 8);
    return c;
}

#ifdef AVI_CRC_CLMUL

// x^e mod P as the folds multiply by it: the 32-bit remainder with its bits reversed,
// shifted up by one (the product of two reflected values lies one bit low).
constexpr uint64_t x_to_the(int e)
{
    uint64_t r = 1;
    for (int i = 0; i < e; ++i)
        r = (r << 1) ^ (r & 0x80000000U ? 0x104c11db7ULL : 0);
    uint64_t reflected = 0;
    for (int bit = 0; bit < 32; ++bit)
        reflected |= (r >> bit & 1) << (31 - bit);
    return reflected << 1;
}

// The folds' constants, in pairs for a 128-bit remainder moved forward over 512 or 128 bits:
// the first for its low half (the distance plus 32 bits), the second for its high half.
constexpr long long over_512[2] = {static_cast<long long>(x_to_the(512 + 32)),
                                   static_cast<long long>(x_to_the(512 - 32))};
constexpr long long over_128[2] = {static_cast<long long>(x_to_the(128 + 32)),
                                   static_cast<long long>(x_to_the(128 - 32))};
constexpr long long over_64 = static_cast<long long>(x_to_the(64));

#define AVI_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

AVI_CLMUL_TARGET inline __m128i load(const unsigned char *p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

// The remainder x moved forward over the distance of the pair k, onto the block y.
AVI_CLMUL_TARGET inline __m128i fold(__m128i x, __m128i k, __m128i y)
{
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), y);
}

// The register c over n bytes, n a multiple of 16 and at least 64.
AVI_CLMUL_TARGET uint32_t by_folding(uint32_t c, const unsigned char *p, size_t n)
{
    const __m128i k512 = _mm_set_epi64x(over_512[1], over_512[0]);
    const __m128i k128 = _mm_set_epi64x(over_128[1], over_128[0]);
    const __m128i k64 = _mm_set_epi64x(0, over_64);
    const __m128i barrett = _mm_set_epi64x(0x1f7011641, 0x1db710641);  // high: x^64 / P, low: P
    const __m128i low_32 = _mm_set_epi32(0, 0, 0, -1);

    __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(c)));
    __m128i x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
    for (p += 64, n -= 64; n >= 64; p += 64, n -= 64) {
        x0 = fold(x0, k512, load(p));
        x1 = fold(x1, k512, load(p + 16));
        x2 = fold(x2, k512, load(p + 32));
        x3 = fold(x3, k512, load(p + 48));
    }
    __m128i x = fold(fold(fold(x0, k128, x1), k128, x2), k128, x3);
    for (; n > 0; p += 16, n -= 16)
        x = fold(x, k128, load(p));

    // 128 bits to 64 (adding 32 zero bits), then to 32, then the Barrett reduction.
    x = _mm_xor_si128(_mm_clmulepi64_si128(k128, x, 0x01), _mm_srli_si128(x, 8));
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low_32), k64, 0x00), _mm_srli_si128(x, 4));
    __m128i t = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low_32), barrett, 0x10), low_32);
    x = _mm_xor_si128(x, _mm_clmulepi64_si128(t, barrett, 0x00));
    return static_cast<uint32_t>(_mm_extract_epi32(x, 1));
}

// -1 until the first call looks; threads racing to it store the same answer.
std::atomic<int> clmul_found{-1};

bool has_clmul()
{
    int found = clmul_found.load(std::memory_order_relaxed);
    if (found < 0) {
        unsigned a = 0, b = 0, c = 0, d = 0;
        found = __get_cpuid(1, &a, &b, &c, &d) && (c & bit_PCLMUL) && (c & bit_SSE4_1);
        clmul_found.store(found, std::memory_order_relaxed);
    }
    return found != 0;
}

#endif

}  // namespace

uint32_t avi_detail::crc32_update(uint32_t crc, const void *data, size_t n)
{
    const auto *p = static_cast<const unsigned char *>(data);
    uint32_t c = ~crc;
#ifdef AVI_CRC_CLMUL
    if (n >= 64 && has_clmul()) {
        size_t whole = n & ~size_t{15};
        c = by_folding(c, p, whole);
        p += whole;
        n -= whole;
    }
#endif
    return ~by_tables(c, p, n);
}

uint32_t avi_detail::crc32_update_by_tables(uint32_t crc, const void *data, size_t n)
{
    return ~by_tables(~crc, static_cast<const unsigned char *>(data), n);
}

// CRC-32 by carry-less multiplication (see crc32_fast.h). The data is folded 16 bytes at a
// time into a 128-bit remainder with constants x^(128+32) and x^(128-32) mod P, then
// reduced to 64 and 32 bits and finished by a Barrett reduction, all in the bit-reflected
// domain of zlib's CRC. Lengths under 64 bytes and the last partial block go through zlib.
#include "crc32_fast.h"

#include <zlib.h>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define MIRVO_CRC_PCLMUL 1
#endif

namespace mirvo_avi {

namespace {

uint32_t crc32_zlib(uint32_t crc, const unsigned char *data, size_t length)
{
    return static_cast<uint32_t>(crc32_z(crc, data, length));
}

#ifdef MIRVO_CRC_PCLMUL

// The state (not inverted) after `blocks` 16-byte blocks, blocks >= 1.
__attribute__((target("pclmul,sse4.1"))) uint32_t fold(uint32_t state, const unsigned char *p, size_t blocks)
{
    const __m128i fold_128 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);  // high: x^(128-32), low: x^(128+32)
    const __m128i fold_32 = _mm_set_epi64x(0, 0x163cd6124);
    const __m128i barrett = _mm_set_epi64x(0x1f7011641, 0x1db710641);  // high: mu, low: P
    const __m128i low_32 = _mm_set_epi32(0, 0, 0, -1);

    __m128i x = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)),
                              _mm_cvtsi32_si128(static_cast<int>(state)));
    for (size_t b = 1; b < blocks; ++b) {
        __m128i high = _mm_clmulepi64_si128(x, fold_128, 0x11);
        x = _mm_clmulepi64_si128(x, fold_128, 0x00);
        x = _mm_xor_si128(_mm_xor_si128(x, high),
                          _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * b)));
    }
    // 128 bits to 64 (adding 32 zero bits), then to 32, then the Barrett reduction.
    x = _mm_xor_si128(_mm_clmulepi64_si128(fold_128, x, 0x01), _mm_srli_si128(x, 8));
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low_32), fold_32, 0x00), _mm_srli_si128(x, 4));
    __m128i t = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low_32), barrett, 0x10), low_32);
    x = _mm_xor_si128(x, _mm_clmulepi64_si128(t, barrett, 0x00));
    return static_cast<uint32_t>(_mm_extract_epi32(x, 1));
}

bool has_pclmul()
{
    static const bool found = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return found;
}

#endif

}  // namespace

uint32_t crc32_of(uint32_t crc, const unsigned char *data, size_t length)
{
#ifdef MIRVO_CRC_PCLMUL
    if (length >= 64 && has_pclmul()) {
        size_t blocks = length / 16;
        crc = ~fold(~crc, data, blocks);
        data += blocks * 16;
        length -= blocks * 16;
    }
#endif
    return crc32_zlib(crc, data, length);
}

}  // namespace mirvo_avi

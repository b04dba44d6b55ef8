// CRC-32 (the polynomial of zlib, Ethernet and PNG), computed four bytes at a time with
// tables built at compile time: the checkpoints take it over every byte a recording writes,
// so it must cost little on a small processor.
#include "avi_internal.h"

#include <array>

namespace {

using crc_tables = std::array<std::array<uint32_t, 256>, 4>;

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
        for (size_t k = 1; k < 4; ++k)
            t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xff];
    return t;
}

constexpr crc_tables tables = make_tables();

}  // namespace

uint32_t avi_detail::crc32_update(uint32_t crc, const void *data, size_t n)
{
    const auto *p = static_cast<const unsigned char *>(data);
    uint32_t c = ~crc;
    for (; n >= 4; n -= 4, p += 4) {
        c ^= get_u32_le(p);
        c = tables[3][c & 0xff] ^ tables[2][(c >> 8) & 0xff] ^ tables[1][(c >> 16) & 0xff] ^
            tables[0][c >> 24];
    }
    for (; n > 0; --n, ++p)
        c = tables[0][(c ^ *p) & 0xff] ^ (c >> 8);
    return ~c;
}

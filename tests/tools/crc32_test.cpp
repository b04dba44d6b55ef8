// The module's CRC-32, which the checkpoints and mirvo-avi frames both use, equals zlib's
// for every length, alignment and running sum, generated from a seed: through crc32_update
// (folding from 64 bytes where the processor allows, tables for the rest) and through the
// tables alone, as the camera's ARM computes it.
#include "avi/common/avi_crc32.h"

#include <gtest/gtest.h>
#include <random>
#include <vector>
#include <zlib.h>

namespace {

using crc_function = uint32_t (*)(uint32_t, const void *, size_t);

void expect_zlib_sums(crc_function crc_of)
{
    std::mt19937 random(20261209);
    std::vector<unsigned char> data(1 << 16);
    for (unsigned char &byte : data)
        byte = static_cast<unsigned char>(random());
    for (size_t length = 0; length <= 1100; ++length) {
        for (size_t offset = 0; offset < 16; ++offset) {
            uint32_t sum = offset % 3 == 0 ? 0 : static_cast<uint32_t>(random());
            uint32_t expected = static_cast<uint32_t>(crc32(sum, data.data() + offset, static_cast<uInt>(length)));
            ASSERT_EQ(crc_of(sum, data.data() + offset, length), expected)
                << "length " << length << ", offset " << offset << ", running sum " << sum;
        }
    }
    const size_t whole = data.size() - 5;
    EXPECT_EQ(crc_of(0, data.data() + 5, whole), crc32(0, data.data() + 5, static_cast<uInt>(whole)));
}

}  // namespace

TEST(crc32, equals_zlib_for_every_length_alignment_and_running_sum)
{
    expect_zlib_sums(avi_detail::crc32_update);
}

TEST(crc32, by_tables_alone_equals_zlib_for_every_length_alignment_and_running_sum)
{
    expect_zlib_sums(avi_detail::crc32_update_by_tables);
}

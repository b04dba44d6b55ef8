// The CRC-32 that frames prints equals zlib's for every length, alignment and running sum,
// generated from a seed: the folding path and zlib's must never disagree.
#include "tools/crc32_fast.h"

#include <gtest/gtest.h>
#include <random>
#include <vector>
#include <zlib.h>

TEST(crc32_of, equals_zlib_for_every_length_alignment_and_running_sum)
{
    std::mt19937 random(20261209);
    std::vector<unsigned char> data(1 << 16);
    for (unsigned char &byte : data)
        byte = static_cast<unsigned char>(random());
    for (size_t length = 0; length <= 1100; ++length) {
        for (size_t offset = 0; offset < 16; ++offset) {
            uint32_t sum = offset % 3 == 0 ? 0 : static_cast<uint32_t>(random());
            uint32_t expected = static_cast<uint32_t>(crc32(sum, data.data() + offset, static_cast<uInt>(length)));
            ASSERT_EQ(mirvo_avi::crc32_of(sum, data.data() + offset, length), expected)
                << "length " << length << ", offset " << offset << ", running sum " << sum;
        }
    }
    const size_t whole = data.size() - 5;
    EXPECT_EQ(mirvo_avi::crc32_of(0, data.data() + 5, whole), crc32(0, data.data() + 5, static_cast<uInt>(whole)));
}

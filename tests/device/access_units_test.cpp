// The access unit splitter on hand-made byte streams: where units begin with 3- and 4-byte
// start codes, how delimiters, parameter sets and SEI group with the picture they precede,
// pictures of several slices, and the bytes before the first and after the last picture.
#include "device/access_units.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace {

using mirvo_test::bytes;

enum { p_slice = 1, idr = 5, sei = 6, sps = 7, pps = 8, aud = 9, end_of_stream = 11 };

// One NAL unit with its start code. A slice's first payload byte gives first_mb_in_slice:
// 0x80 is the ue(v) code of 0 (a picture's first slice), 0x40 that of 1.
bytes nal(int type, bool four_byte_start = false, unsigned char first_payload = 0x80)
{
    bytes b = four_byte_start ? bytes{0, 0, 0, 1} : bytes{0, 0, 1};
    b.push_back(static_cast<unsigned char>(0x60 | type));
    b.insert(b.end(), {first_payload, 0x12, 0x34});
    return b;
}

struct stream_builder {
    bytes stream;
    std::vector<size_t> expected_starts;
    stream_builder &unit() { expected_starts.push_back(stream.size()); return *this; }
    stream_builder &add(const bytes &b) { stream.insert(stream.end(), b.begin(), b.end()); return *this; }
};

// The units the splitter finds in stream.
std::vector<qel::access_unit> split(const bytes &stream)
{
    qel::heap_array<qel::access_unit> units;
    EXPECT_TRUE(qel::split_access_units(stream, units)) << "out of memory";
    return {units.begin(), units.end()};
}

// Checks the units against the expected starts and that they tile the whole stream.
void expect_units(const stream_builder &s, const std::vector<bool> &keys)
{
    std::vector<qel::access_unit> units = split(s.stream);
    ASSERT_EQ(units.size(), s.expected_starts.size());
    ASSERT_EQ(units.size(), keys.size());
    size_t next = 0;
    for (size_t i = 0; i < units.size(); ++i) {
        EXPECT_EQ(units[i].offset, s.expected_starts[i]) << "unit " << i;
        EXPECT_EQ(units[i].offset, next) << "unit " << i << " does not follow the one before";
        EXPECT_EQ(units[i].key, keys[i]) << "unit " << i;
        next = units[i].offset + units[i].size;
    }
    EXPECT_EQ(next, s.stream.size());
}

TEST(access_unit_splitter, starts_units_at_3_and_4_byte_start_codes_of_delimiters)
{
    stream_builder s;
    s.unit().add(nal(aud, true)).add(nal(sps, true)).add(nal(pps)).add(nal(idr));
    s.unit().add(nal(aud, true)).add(nal(p_slice));
    s.unit().add(nal(aud)).add(nal(p_slice, true));
    expect_units(s, {true, false, false});
}

TEST(access_unit_splitter, groups_parameter_sets_and_sei_with_the_picture_that_follows)
{
    stream_builder s;  // no delimiters: SPS, PPS and SEI each may open a unit
    s.unit().add(nal(sps, true)).add(nal(pps)).add(nal(sei)).add(nal(idr));
    s.unit().add(nal(p_slice));
    s.unit().add(nal(sei, true)).add(nal(p_slice));
    s.unit().add(nal(pps)).add(nal(sei)).add(nal(idr, true));
    s.unit().add(nal(aud)).add(nal(sps)).add(nal(pps)).add(nal(sei)).add(nal(sei)).add(nal(idr));
    expect_units(s, {true, false, false, true, true});
}

TEST(access_unit_splitter, keeps_the_slices_of_one_picture_together)
{
    stream_builder s;
    s.unit().add(nal(aud)).add(nal(idr, false, 0x80)).add(nal(idr, false, 0x40)).add(nal(idr, true, 0x20));
    s.unit().add(nal(p_slice, false, 0x80)).add(nal(p_slice, false, 0x40));
    s.unit().add(nal(p_slice, true, 0xc0)).add(nal(p_slice, false, 0x7f));
    expect_units(s, {true, false, false});
}

TEST(access_unit_splitter, keeps_leading_and_trailing_bytes_in_the_first_and_last_unit)
{
    stream_builder s;
    s.unit().add({0xde, 0xad, 0, 0}).add(nal(aud)).add(nal(idr));
    s.unit().add(nal(aud, true)).add(nal(p_slice));
    // After the last picture: end of stream, a stray delimiter, trailing zeros, a start
    // code cut off before its NAL header. None of it is a picture of its own.
    s.add(nal(end_of_stream)).add(nal(aud, true)).add({0, 0, 0, 0, 0, 1});
    expect_units(s, {true, false});

    stream_builder no_picture;
    no_picture.add(nal(sps)).add(nal(pps)).add(nal(sei));
    EXPECT_TRUE(split(no_picture.stream).empty());
    EXPECT_TRUE(split(bytes{}).empty());
    EXPECT_TRUE(split(bytes{0, 0, 1}).empty());

    stream_builder header_only;  // a slice whose header is the stream's last byte
    header_only.unit().add(nal(idr)).unit().add({0, 0, 1, 0x65});
    expect_units(header_only, {true, true});
}

}  // namespace

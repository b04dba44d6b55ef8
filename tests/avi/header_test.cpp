// The recording-time header: what AVI_define_video and AVI_add_audio_track leave in the
// first 2048 bytes of the file, against golden files where the example writer writes the
// same header, and field by field for what a field's rule decides; where the close rewrites
// the same bytes, the same test follows them there.
#include "avi/avi_internal.h"
#include "golden.h"

#include <cmath>
#include <unistd.h>

using namespace mirvo_test;

namespace {

const std::string placeholder = le32(0xfefff003);
namespace at = avi_detail::header_at;

// The filler from junk_at up to the "movi" list, and that list's head.
void expect_junk_and_movi(const bytes &b, uint32_t junk_at, std::string movi_size)
{
    uint32_t filler = at::movi_list - 8 - junk_at;
    expect_fields(b, {
        {junk_at, "JUNK"}, {junk_at + 4, le32(filler)}, {junk_at + 8, zeros(filler)},
        {at::movi_list, "LIST"}, {at::movi_size, movi_size}, {at::movi_size + 4, "movi"},
    });
}

// The "INFO" list the close writes after the stream lists, then the filler and "movi".
void expect_info_and_junk(const bytes &b, uint32_t info_at, std::string movi_size)
{
    expect_fields(b, {
        {info_at, "LIST"}, {info_at + 4, le32(76)}, {info_at + 8, "INFO"},
        {info_at + 12, "ISFT"}, {info_at + 16, le32(64)}, {info_at + 20, zeros(64)},
    });
    expect_junk_and_movi(b, info_at + 84, std::move(movi_size));
}

}  // namespace

TEST_F(writer_test, video_only_header_at_25_fps_is_the_finished_files_but_for_what_the_close_writes)
{
    AVI_define_video(handle, 640, 480, 25.0, "H264");

    bytes b = current_bytes();
    ASSERT_EQ(b.size(), size_t{AVI_HEADER_BYTES});
    // While recording, the RIFF and "movi" sizes are placeholders, and the filler still
    // takes the place of the "INFO" list that the close writes.
    bytes finished = golden("empty.avi");
    bytes finished_header(finished.begin(), finished.begin() + AVI_HEADER_BYTES);
    EXPECT_TRUE(same_bytes_at(b, 0, with_fields(finished_header, {{at::riff_size, placeholder},
                                                                  {212, "JUNK" + le32(1816) + zeros(84)},
                                                                  {at::movi_size, placeholder}})));
    EXPECT_EQ(lseek(handle->fd, 0, SEEK_CUR), AVI_HEADER_BYTES) << "the next chunk goes after the header";

    // The close adds the empty index.
    b = close_and_read();
    ASSERT_EQ(b.size(), AVI_HEADER_BYTES + 8u);
    EXPECT_TRUE(same_bytes_at(b, 0, finished));
}

TEST_F(writer_test, one_pcm_track_adds_a_100_byte_stream_list)
{
    // The header of a recording in progress with the recorder's streams.
    AVI_define_video(handle, 640, 360, 25.0, "H264");
    AVI_add_audio_track(handle, 1, 8000, 16, 1, 128);

    bytes b = current_bytes();
    ASSERT_EQ(b.size(), size_t{AVI_HEADER_BYTES});
    EXPECT_TRUE(same_bytes_at(b, 0, golden("while-writing.head")));
    EXPECT_EQ(AVI_current_audio_track(handle), 0);
}

TEST_F(writer_test, frame_time_and_rate_follow_fps_down_to_a_thousandth)
{
    struct {
        double fps;
        uint32_t micro_sec_per_frame, rate;
    } cases[] = {
        {29.97, 33367, 29970000},
        {0.001, 1000000000, 1000},
        {0.0009, 0, 0},
        {0.0, 0, 0},
        {-25.0, 0, 0},
        {NAN, 0, 0},
        {5000.0, 200, 2147483647},  // fps x 1000000 would wrap: clamped
    };
    for (const auto &c : cases) {
        AVI_define_video(handle, 640, 480, c.fps, "H264");
        bytes b = current_bytes();
        SCOPED_TRACE(c.fps);
        expect_fields(b, {{32, le32(c.micro_sec_per_frame)},
                          {128, le32(1000000)},
                          {132, le32(c.rate)}});
    }
}

TEST_F(writer_test, eight_tracks_fill_the_header_to_1012_bytes_and_leave_room_for_info_at_the_close)
{
    AVI_define_video(handle, 640, 480, 25.0, "H264");
    for (int t = 0; t < 8; ++t)
        AVI_add_audio_track(handle, 1, 8000, 16, 1, 128);
    EXPECT_EQ(AVI_current_audio_track(handle), 7);

    bytes recording = current_bytes();
    ASSERT_EQ(recording.size(), size_t{AVI_HEADER_BYTES});
    for (uint32_t t = 0; t < 8; ++t)
        expect_fields(recording, {{212 + 100 * t, "LIST"}, {232 + 100 * t, "auds"}});
    expect_junk_and_movi(recording, 1012, placeholder);
    bytes closed = close_and_read();
    expect_info_and_junk(closed, 1012, le32(4));  // no chunk: the list holds "movi" alone
    for (const bytes *b : {&recording, &closed})
        expect_fields(*b, {{16, le32(992)}, {56, le32(9)}});  // the "hdrl" list's size, the streams
}

TEST_F(writer_test, compressor_codes_rgb_short_and_lower_case)
{
    struct {
        const char *code;
        std::string stored;
    } cases[] = {
        {"H264", "H264"},
        {"RGB", zeros(4)},
        {"RGBA", zeros(4)},
        {"rgb ", "rgb "},  // the test is case-sensitive
        {"H26", std::string("H26") + '\0'},
        {"X", std::string("X") + zeros(3)},
        {"", zeros(4)},
        {"MJPGX", "MJPG"},
    };
    for (const auto &c : cases) {
        AVI_define_video(handle, 640, 480, 25.0, c.code);
        bytes b = current_bytes();
        SCOPED_TRACE(c.code);
        expect_fields(b, {{112, c.stored}, {188, c.stored}});
        EXPECT_EQ(handle->compressor[4], '\0');
    }
}

TEST_F(writer_test, rewriting_the_header_keeps_where_the_next_chunk_goes)
{
    AVI_define_video(handle, 640, 480, 25.0, "H264");
    unsigned char frame[4] = {1, 2, 3, 4};
    ASSERT_EQ(AVI_put_video_frame(handle, frame, 4, 1), 0);
    AVI_define_video(handle, 640, 480, 25.0, "H264");
    EXPECT_EQ(lseek(handle->fd, 0, SEEK_CUR), off_t{handle->write_offset});
}

TEST_F(writer_test, audio_block_size_sets_scale_and_length)
{
    AVI_define_video(handle, 640, 480, 25.0, "H264");
    AVI_add_audio_track(handle, 2, 48000, 24, 1, 2304);  // PCM, block 6: scale 6, length n/6
    AVI_add_audio_track(handle, 2, 48000, 32, 3, 3072);  // not PCM, block 8: scale 2, length 4n/8
    AVI_add_audio_track(handle, 1, 8000, 8, 1, 64);      // PCM, block 1 (raised to 4): scale 1
    handle->tracks[0].byte_count = 600;
    handle->tracks[1].byte_count = 800;
    handle->tracks[2].byte_count = 1000;
    ASSERT_EQ(AVI_write_header(handle), 0);

    EXPECT_EQ(AVI_audio_block_size(handle, 0), 6);
    EXPECT_EQ(AVI_audio_block_size(handle, 1), 8);
    EXPECT_EQ(AVI_audio_block_size(handle, 2), 4);
    expect_fields(current_bytes(), {
        // PCM counts in samples of every channel; other formats in a quarter of the block.
        {252, le32(6)}, {256, le32(288000)}, {264, le32(100)}, {276, le32(6)}, {308, le16(6)},
        {352, le32(2)}, {356, le32(384000)}, {364, le32(400)}, {376, le32(2)}, {408, le16(2)},
        {396, le16(3)}, {410, le16(32)},
        {452, le32(1)}, {456, le32(8000)}, {464, le32(1000)}, {476, le32(1)}, {508, le16(1)},
    });
}

TEST_F(writer_test, values_too_large_for_32_bits_are_clamped_or_cut_to_16)
{
    AVI_define_video(handle, 100000, 100000, 25.0, "H264");  // 3 x w x h wraps 32 bits
    AVI_add_audio_track(handle, 0x10001, 8000, 0x10010, 0x10001, 20000000);
    handle->tracks[0].byte_count = 1 << 29;  // 4 x bytes wraps 32 bits
    ASSERT_EQ(AVI_write_header(handle), 0);

    expect_fields(current_bytes(), {
        {192, le32(2147483647)},                       // image size
        {256, le32(2147483647)}, {304, le32(2147483647)},  // byte rate, bitrate x 1000 / 8
        {296, le16(1)}, {298, le16(1)}, {310, le16(0x10)},  // low 16 bits only
    });
    // 4 x 2^29 bytes passes 32 bits; in 64 bits the length comes out right.
    handle->tracks[0].bits = 16;
    handle->tracks[0].channels = 1;
    ASSERT_EQ(AVI_write_header(handle), 0);
    expect_fields(current_bytes(), {{264, le32(1u << 29)}});
}

TEST_F(writer_test, declarations_on_a_reading_handle_change_nothing)
{
    handle->mode = AVI_MODE_READ;
    AVI_define_video(handle, 640, 480, 25.0, "H264");
    AVI_add_audio_track(handle, 1, 8000, 16, 1, 128);
    EXPECT_EQ(handle->width, 0);
    EXPECT_EQ(handle->track_count, 0);
    EXPECT_EQ(current_bytes(), bytes(AVI_HEADER_BYTES, 0));
    handle->mode = AVI_MODE_WRITE;
}

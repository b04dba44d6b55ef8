// Closing: the "idx1" index after the last chunk and the final header with the real sizes
// and counts, checked on whole files against golden files where the example writer writes
// the same file, and field by field where a field's rule is the point.
#include "avi/avi_internal.h"
#include "golden.h"

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

using namespace mirvo_test;

namespace {

// The "INFO" list the close writes after the stream lists, and the filler up to "movi".
void expect_info_and_junk(const bytes &b, uint32_t info_at)
{
    uint32_t junk_at = info_at + 84, filler = 1944 - info_at;
    expect_fields(b, {
        {info_at, "LIST"}, {info_at + 4, le32(76)}, {info_at + 8, "INFO"},
        {info_at + 12, "ISFT"}, {info_at + 16, le32(64)}, {info_at + 20, zeros(64)},
        {junk_at, "JUNK"}, {junk_at + 4, le32(filler)}, {junk_at + 8, zeros(filler)},
        {2036, "LIST"}, {2044, "movi"},
    });
}

}  // namespace

TEST_F(writer_test, closing_an_empty_file_writes_an_empty_index)
{
    AVI_define_video(handle, 640, 480, 25.0, "H264");
    bytes b = close_and_read();

    ASSERT_EQ(b.size(), 2056u);
    EXPECT_TRUE(same_bytes_at(b, 0, golden("empty.avi")));
}

TEST_F(writer_test, closing_writes_real_counts_sizes_and_the_index)
{
    // One audio track, 250 video frames and 10 audio chunks ending at offset 500000.
    AVI_define_video(handle, 640, 480, 25.0, "H264");
    AVI_add_audio_track(handle, 1, 8000, 16, 1, 128);
    std::string video(2772, 'v'), audio(2000, 'a');
    for (int i = 0; i < 250; ++i) {
        ASSERT_EQ(AVI_put_video_frame(handle, video.data(), i == 0 ? 2772 : 1900, i % 25 == 0), 0);
        if (i % 25 == 0) {
            ASSERT_EQ(AVI_put_audio(handle, audio.data(), 2000), 0);
        }
    }
    ASSERT_EQ(handle->write_offset, 500000u);
    ASSERT_EQ(handle->index_count, 260);
    bytes b = close_and_read();

    const uint32_t idx = 500000;
    ASSERT_EQ(b.size(), idx + 8 + 16 * 260);
    // The final header and the index are the example writer's for the same chunks (its
    // frames hold other bytes).
    EXPECT_TRUE(same_bytes_at(b, 0, golden("closed-at-500000.head")));
    EXPECT_TRUE(same_bytes_at(b, idx, golden("closed-at-500000.idx1")));
    // The "movi" list ends where "idx1" begins, and every entry points at its chunk.
    EXPECT_EQ(u32_at(b, 2040) + 2044, idx);
    for (uint32_t i = 0; i < 260; ++i) {
        uint32_t at = idx + 8 + 16 * i;
        uint32_t chunk = u32_at(b, at + 8);
        EXPECT_EQ(text_at(b, chunk), text_at(b, at)) << "entry " << i;
        EXPECT_EQ(u32_at(b, chunk + 4), u32_at(b, at + 12)) << "entry " << i;
    }
}

TEST_F(writer_test, eight_tracks_leave_room_for_info_and_filler)
{
    AVI_define_video(handle, 640, 480, 25.0, "H264");
    for (int t = 0; t < 8; ++t)
        AVI_add_audio_track(handle, 1, 8000, 16, 1, 128);
    bytes b = close_and_read();
    expect_fields(b, {{16, le32(992)}, {56, le32(9)}});
    expect_info_and_junk(b, 1012);
}

TEST_F(writer_test, a_repeated_frame_is_a_frame_of_its_own_in_the_header_and_the_index)
{
    AVI_define_video(handle, 320, 240, 25.0, "H264");
    ASSERT_EQ(AVI_put_video_frame(handle, "abc", 3, 1), 0);
    ASSERT_EQ(AVI_repeat_video_frame(handle), 0);
    bytes b = close_and_read();
    // Flags 0x110 (interleaved, has index): players need not follow the index for the order.
    expect_fields(b, {{44, le32(0x110)}, {48, le32(2)}, {140, le32(2)},
                      {2060, "00db" + le32(0)}, {2068, "idx1" + le32(32)},
                      {2076 + 16, "00db" + le32(0) + le32(2060) + le32(0)}});
}

TEST_F(writer_test, writing_over_a_longer_file_leaves_only_the_new_recording)
{
    // A longer file from an earlier recording, with chunk-like bytes all through.
    std::string old_path = dir.file("old.avi");
    write_file(old_path, bytes(100000, 0xee));
    AVI_close_handle(handle);
    path = old_path;
    handle = AVI_create_output_file(path.c_str());
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(file_size(path), 2048u);

    AVI_define_video(handle, 320, 240, 25.0, "H264");
    ASSERT_EQ(AVI_put_video_frame(handle, "frame", 5, 1), 0);
    bytes b = close_and_read();
    ASSERT_EQ(b.size(), 2048u + 14 + 8 + 16);
    EXPECT_EQ(u32_at(b, 4), b.size() - 8);
    EXPECT_EQ(std::count(b.begin(), b.end(), 0xee), 0);
}

TEST(avi_close_handle, a_reading_handle_is_closed_without_writing)
{
    temp_dir dir;
    std::string path = dir.file("read.bin");
    write_file(path, bytes(100, 7));
    auto *h = static_cast<avi_handle *>(calloc(1, sizeof(avi_handle)));
    h->mode = AVI_MODE_READ;
    h->fd = open(path.c_str(), O_RDONLY);
    h->index = static_cast<avi_index_entry *>(malloc(16));
    h->track_formats[3] = static_cast<unsigned char *>(malloc(20));
    EXPECT_EQ(AVI_close_handle(h), 0);  // the sanitizer run would see a leak
    EXPECT_EQ(read_file(path), bytes(100, 7));
    EXPECT_EQ(AVI_close_handle(nullptr), -1);
}

// Closing: the "idx1" index after the last chunk and the final header with the real sizes
// and counts, checked on whole files against golden files where the example writer writes
// the same file, and field by field where a field's rule is the point.
#include "avi/avi_internal.h"
#include "golden.h"

#include <algorithm>
#include <cstddef>
#include <fcntl.h>
#include <unistd.h>

using namespace mirvo_test;
using avi_detail::header_at::first_chunk;
using avi_detail::header_at::movi_list;
using avi_detail::header_at::movi_size;

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
    constexpr size_t entry = sizeof(avi_index_entry);
    ASSERT_EQ(b.size(), idx + 8 + entry * 260);
    // The final header and the index are the example writer's for the same chunks (its
    // frames hold other bytes).
    EXPECT_TRUE(same_bytes_at(b, 0, golden("closed-at-500000.head")));
    EXPECT_TRUE(same_bytes_at(b, idx, golden("closed-at-500000.idx1")));
    // The "movi" list ends where "idx1" begins, and every entry points at its chunk.
    EXPECT_EQ(movi_list + 8 + u32_at(b, movi_size), idx);
    for (uint32_t i = 0; i < 260; ++i) {
        size_t at = idx + 8 + entry * i;
        uint32_t chunk = u32_at(b, at + offsetof(avi_index_entry, offset));
        EXPECT_EQ(text_at(b, chunk), text_at(b, at)) << "entry " << i;
        EXPECT_EQ(u32_at(b, chunk + 4), u32_at(b, at + offsetof(avi_index_entry, size))) << "entry " << i;
    }
}

TEST_F(writer_test, a_repeated_frame_is_a_frame_of_its_own_in_the_header_and_the_index)
{
    AVI_define_video(handle, 320, 240, 25.0, "H264");
    ASSERT_EQ(AVI_put_video_frame(handle, "abc", 3, 1), 0);
    ASSERT_EQ(AVI_repeat_video_frame(handle), 0);
    bytes b = close_and_read();
    // Flags 0x110 (interleaved, has index): players need not follow the index for the order.
    const uint32_t repeat = first_chunk + 8 + 4, idx = repeat + 8;  // "abc" padded to 4
    expect_fields(b, {{44, le32(0x110)}, {48, le32(2)}, {140, le32(2)},
                      {repeat, "00db" + le32(0)}, {idx, "idx1" + le32(32)},
                      {idx + 8 + sizeof(avi_index_entry), "00db" + le32(0) + le32(repeat) + le32(0)}});
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
    EXPECT_EQ(file_size(path), uint64_t{AVI_HEADER_BYTES});

    AVI_define_video(handle, 320, 240, 25.0, "H264");
    ASSERT_EQ(AVI_put_video_frame(handle, "frame", 5, 1), 0);
    bytes b = close_and_read();
    ASSERT_EQ(b.size(), AVI_HEADER_BYTES + 14 + 8 + sizeof(avi_index_entry));
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
    h->index = static_cast<avi_index_entry *>(malloc(sizeof(avi_index_entry)));
    h->track_formats[3] = static_cast<unsigned char *>(malloc(20));
    EXPECT_EQ(AVI_close_handle(h), 0);  // the sanitizer run would see a leak
    EXPECT_EQ(read_file(path), bytes(100, 7));
    EXPECT_EQ(AVI_close_handle(nullptr), -1);
}

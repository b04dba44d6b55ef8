// Media chunks and the in-memory index: where chunks land, their ids, padding and flags,
// repeated frames, extended audio, index growth, and the file-size limit at its edge.
#include "avi/avi_internal.h"
#include "writer_fixture.h"

#include <cstring>
#include <unistd.h>

using namespace mirvo_test;

namespace {

struct entry {
    std::string id;
    uint32_t flags, offset, size;
    bool operator==(const entry &) const = default;
};

std::ostream &operator<<(std::ostream &out, const entry &e)
{
    return out << e.id << " flags " << e.flags << " offset " << e.offset << " size " << e.size;
}

entry index_entry(const avi_handle *h, int i)
{
    const avi_index_entry &e = h->index[i];
    return {std::string(reinterpret_cast<const char *>(e.chunk_id), 4), get_u32_le(e.flags),
            get_u32_le(e.offset), get_u32_le(e.size)};
}

const unsigned char five[5] = {'a', 'b', 'c', 'd', 'e'};
constexpr uint32_t first = avi_detail::header_at::first_chunk;  // where the header region ends

}  // namespace

TEST_F(writer_test, chunks_start_at_2048_and_odd_lengths_are_padded)
{
    ASSERT_EQ(AVI_put_video_frame(handle, five, 5, 1), 0);
    EXPECT_EQ(handle->write_offset, first + 14);
    ASSERT_EQ(AVI_put_video_frame(handle, five, 4, 0), 0);
    ASSERT_EQ(AVI_put_audio(handle, five, 2), 0);

    bytes b = current_bytes();
    ASSERT_EQ(b.size(), first + 14 + 12 + 10);
    const uint32_t second = first + 14, third = second + 12;
    expect_fields(b, {
        {first, "00db"}, {first + 4, le32(5)}, {first + 8, "abcde"}, {first + 13, zeros(1)},
        {second, "00db"}, {second + 4, le32(4)}, {second + 8, "abcd"},
        {third, "01wb"}, {third + 4, le32(2)}, {third + 8, "ab"},
    });
    ASSERT_EQ(handle->index_count, 3);
    EXPECT_EQ(index_entry(handle, 0), (entry{"00db", 0x10, first, 5}));
    EXPECT_EQ(index_entry(handle, 1), (entry{"00db", 0, second, 4}));
    EXPECT_EQ(index_entry(handle, 2), (entry{"01wb", 0, third, 2}));
    EXPECT_EQ(handle->video_frame_count, 2);
    EXPECT_EQ(handle->last_video_offset, second);
    EXPECT_EQ(handle->last_video_len, 4u);
    EXPECT_EQ(handle->max_chunk_len, 5u);
    EXPECT_EQ(handle->tracks[0].byte_count, 2);
    EXPECT_EQ(lseek(handle->fd, 0, SEEK_CUR), off_t{handle->write_offset});
}

TEST_F(writer_test, audio_chunk_ids_follow_the_current_track)
{
    // Without any declared track, audio still goes to track 0 as "01wb".
    ASSERT_EQ(AVI_put_audio(handle, five, 4), 0);
    for (int t = 0; t < 8; ++t)
        AVI_add_audio_track(handle, 1, 8000, 16, 1, 128);
    ASSERT_EQ(AVI_put_audio(handle, five, 4), 0);  // track 7, the last added
    ASSERT_EQ(AVI_select_audio_track(handle, 2), 0);
    ASSERT_EQ(AVI_put_audio(handle, five, 3), 0);
    EXPECT_EQ(AVI_select_audio_track(handle, 8), -1);
    EXPECT_EQ(AVI_select_audio_track(handle, -1), -1);
    EXPECT_EQ(AVI_current_audio_track(handle), 2);

    EXPECT_EQ(index_entry(handle, 0).id, "01wb");
    EXPECT_EQ(index_entry(handle, 1).id, "08wb");
    EXPECT_EQ(index_entry(handle, 2).id, "03wb");
    EXPECT_EQ(handle->tracks[0].byte_count, 0) << "adding the track starts its count afresh";
    EXPECT_EQ(handle->tracks[7].byte_count, 4);
    EXPECT_EQ(handle->tracks[2].byte_count, 3);
    EXPECT_EQ(text_at(current_bytes(), first + 12 + 12, 4), "03wb");
}

TEST_F(writer_test, a_repeated_frame_is_an_empty_video_chunk_in_its_place)
{
    ASSERT_EQ(AVI_repeat_video_frame(handle), 0) << "nothing to repeat yet";
    EXPECT_EQ(handle->index_count, 0);
    EXPECT_EQ(handle->video_frame_count, 0);
    EXPECT_EQ(file_size(path), first);

    ASSERT_EQ(AVI_put_video_frame(handle, five, 5, 1), 0);
    ASSERT_EQ(AVI_put_audio(handle, five, 4), 0);
    uint32_t end = handle->write_offset;
    ASSERT_EQ(AVI_repeat_video_frame(handle), 0);

    EXPECT_EQ(handle->index_count, 3);
    EXPECT_EQ(index_entry(handle, 2), (entry{"00db", 0, end, 0})) << "no key frame, no data";
    EXPECT_EQ(handle->video_frame_count, 2);
    EXPECT_EQ(handle->needs_index, 0) << "the chunks stay in showing order";
    EXPECT_EQ(handle->write_offset, end + 8);
    EXPECT_EQ(text_at(current_bytes(), end, 8), "00db" + le32(0));
}

TEST_F(writer_test, extending_audio_grows_the_last_chunk_in_place)
{
    ASSERT_EQ(AVI_put_video_frame(handle, five, 4, 1), 0);
    const uint32_t h = handle->write_offset;
    ASSERT_EQ(AVI_put_audio(handle, "xyz", 3), 0);
    ASSERT_EQ(AVI_extend_audio(handle, "1234", 4), 0);

    bytes b = current_bytes();
    expect_fields(b, {{h, "01wb"}, {h + 4, le32(7)}, {h + 8, "xyz1234"}, {h + 15, zeros(1)}});
    EXPECT_EQ(handle->write_offset, h + 16);
    EXPECT_EQ(b.size(), h + 16);
    EXPECT_EQ(index_entry(handle, 1), (entry{"01wb", 0, h, 7}));
    EXPECT_EQ(handle->tracks[0].byte_count, 7);

    // Growing an even chunk to an even length leaves no pad byte.
    ASSERT_EQ(AVI_extend_audio(handle, "5", 1), 0);
    EXPECT_EQ(handle->write_offset, h + 16);
    EXPECT_EQ(text_at(current_bytes(), h + 4, 12), le32(8) + "xyz12345");
    EXPECT_EQ(lseek(handle->fd, 0, SEEK_CUR), off_t{handle->write_offset});
}

TEST_F(writer_test, extending_anything_but_the_current_tracks_last_audio_chunk_is_refused)
{
    AVI_add_audio_track(handle, 1, 8000, 16, 1, 128);
    AVI_add_audio_track(handle, 1, 8000, 16, 1, 128);
    auto expect_refused = [&](const char *why, int code) {
        bytes before = current_bytes();
        int32_t count = handle->index_count;
        uint32_t offset = handle->write_offset;
        int32_t bytes0 = handle->tracks[0].byte_count, bytes1 = handle->tracks[1].byte_count;
        avi_error = 0;
        EXPECT_EQ(AVI_extend_audio(handle, "abcd", code == AVI_ERROR_SIZE_LIMIT ? -4 : 4), -1)
            << why;
        EXPECT_EQ(avi_error, code) << why;
        EXPECT_EQ(current_bytes(), before) << why;
        EXPECT_EQ(handle->index_count, count) << why;
        EXPECT_EQ(handle->write_offset, offset) << why;
        EXPECT_EQ(handle->tracks[0].byte_count, bytes0) << why;
        EXPECT_EQ(handle->tracks[1].byte_count, bytes1) << why;
    };

    expect_refused("empty index", AVI_ERROR_NOT_PERMITTED);
    ASSERT_EQ(AVI_put_video_frame(handle, five, 4, 1), 0);
    expect_refused("last chunk is video", AVI_ERROR_NOT_PERMITTED);
    ASSERT_EQ(AVI_put_audio(handle, five, 4), 0);  // track 1
    ASSERT_EQ(AVI_select_audio_track(handle, 0), 0);
    expect_refused("last chunk belongs to another track", AVI_ERROR_NOT_PERMITTED);
    ASSERT_EQ(AVI_select_audio_track(handle, 1), 0);
    expect_refused("negative length", AVI_ERROR_SIZE_LIMIT);
    ASSERT_EQ(AVI_repeat_video_frame(handle), 0);
    expect_refused("last chunk is a repeated frame", AVI_ERROR_NOT_PERMITTED);
}

TEST_F(writer_test, the_index_grows_by_4096_entries_and_keeps_its_contents)
{
    for (int i = 0; i < 4097; ++i)
        ASSERT_EQ(AVI_put_audio(handle, five, i % 5), 0);
    EXPECT_EQ(handle->index_count, 4097);
    EXPECT_EQ(handle->index_capacity, 8192);
    EXPECT_EQ(index_entry(handle, 0), (entry{"01wb", 0, first, 0}));
    EXPECT_EQ(index_entry(handle, 4095).size, 4095u % 5);
    EXPECT_EQ(index_entry(handle, 4096).size, 4096u % 5);
    EXPECT_EQ(index_entry(handle, 4096).offset, handle->write_offset - 8 - 2);
}

TEST_F(writer_test, the_size_limit_is_kept_to_the_byte)
{
    const uint64_t limit = AVI_size_limit();
    EXPECT_EQ(limit, 0xfefff7ffu);
    EXPECT_EQ(AVI_size_written(handle), 2056u);
    EXPECT_EQ(AVI_space_left(handle), 4278185975u);

    // Move the end of the data close to the limit; the file stays sparse. With 101 bytes the
    // sum of offset, data and index is the limit itself, but the pad byte would pass it.
    ASSERT_EQ(AVI_put_video_frame(handle, five, 4, 1), 0);
    const uint32_t w = static_cast<uint32_t>(limit - 101 - sizeof(avi_index_entry) * 1 - 32);
    handle->write_offset = w;
    ASSERT_EQ(lseek(handle->fd, w, SEEK_SET), off_t{w});
    std::string data(101, 'v');

    avi_error = 0;
    EXPECT_EQ(AVI_put_video_frame(handle, data.data(), 101, 0), -1) << "the pad byte passes";
    EXPECT_EQ(avi_error, AVI_ERROR_SIZE_LIMIT);
    EXPECT_EQ(handle->index_count, 1);
    EXPECT_EQ(file_size(path), first + 12u) << "nothing written";

    ASSERT_EQ(AVI_put_video_frame(handle, data.data(), 100, 0), 0) << "the largest that fits";
    EXPECT_EQ(AVI_size_written(handle), limit - 1);
    EXPECT_EQ(AVI_space_left(handle), 1u);
    EXPECT_EQ(AVI_put_audio(handle, five, 0), -1) << "not even an empty chunk fits now";
    EXPECT_EQ(AVI_repeat_video_frame(handle), -1) << "a repeated frame's empty chunk does not fit";
    EXPECT_EQ(avi_error, AVI_ERROR_SIZE_LIMIT);
    EXPECT_EQ(handle->video_frame_count, 2);
}

TEST_F(writer_test, lengths_that_would_wrap_32_bits_are_refused)
{
    avi_error = 0;
    EXPECT_EQ(AVI_put_video_frame(handle, five, -1, 1), -1);
    EXPECT_EQ(avi_error, AVI_ERROR_SIZE_LIMIT);
    EXPECT_EQ(AVI_put_audio(handle, five, -5), -1);
    EXPECT_EQ(AVI_write_chunk(handle, "JUNK", five, -2), -1);
    // Near 4 GiB the 32-bit sum of offset, length and index would wrap below the limit.
    EXPECT_EQ(AVI_write_media_chunk(handle, five, 0xfffff000u, 0, 0), -1);
    EXPECT_EQ(handle->index_count, 0);
    EXPECT_EQ(handle->write_offset, first);
    EXPECT_EQ(file_size(path), first);
}

TEST_F(writer_test, frame_operations_on_a_reading_handle_are_not_permitted)
{
    handle->mode = AVI_MODE_READ;
    avi_error = 0;
    EXPECT_EQ(AVI_put_video_frame(handle, five, 5, 1), -1);
    EXPECT_EQ(avi_error, AVI_ERROR_NOT_PERMITTED);
    avi_error = 0;
    EXPECT_EQ(AVI_put_audio(handle, five, 5), -1);
    EXPECT_EQ(avi_error, AVI_ERROR_NOT_PERMITTED);
    avi_error = 0;
    EXPECT_EQ(AVI_repeat_video_frame(handle), -1);
    EXPECT_EQ(avi_error, AVI_ERROR_NOT_PERMITTED);
    avi_error = 0;
    EXPECT_EQ(AVI_extend_audio(handle, five, 5), -1);
    EXPECT_EQ(avi_error, AVI_ERROR_NOT_PERMITTED);
    EXPECT_EQ(AVI_space_left(handle), 0u);
    EXPECT_EQ(AVI_size_written(handle), 0u);
    EXPECT_EQ(file_size(path), first);
    handle->mode = AVI_MODE_WRITE;
}

// The reading operations' own rules on small hand-made files: key flags, the buffer's
// capacity, audio positions at and past chunk ends, the mode and index guards, and file
// order reading with chunks larger than the caller's buffers.
#include "avi_builder.h"
#include "reader_fixture.h"

#include "avi/reader/avi_walk.h"

#include <algorithm>
#include <fcntl.h>

using namespace mirvo_test;
using namespace mirvo_test::avi_build;

namespace {

// Video frames of 5, 6 and 7 bytes (flags 0x10, 0x11, 0) and audio chunks of 100 and 50
// bytes, with an absolute index.
std::string small_file()
{
    std::string movi = chunk("00db", "AAAAA") + chunk("01wb", std::string(100, 'p')) +
                       chunk("00db", "CCCCCC") + chunk("01wb", std::string(50, 'q')) +
                       chunk("00db", "DDDDDDD");
    auto m = static_cast<uint32_t>(movi_at(1));
    return file(movi, 1,
                index({{"00db", 0x10, m, 5},
                       {"01wb", 0, m + 14, 100},
                       {"00db", 0x11, m + 122, 6},
                       {"01wb", 0, m + 136, 50},
                       {"00db", 0, m + 194, 7}}));
}

class reading : public ::testing::Test {
protected:
    void SetUp() override
    {
        write_file(dir.file("small.avi"), to_bytes(small_file()));
        h = open_reader(dir.file("small.avi"));
        ASSERT_TRUE(h) << AVI_error_text();
        ASSERT_EQ(AVI_index_origin(h.get()), AVI_INDEX_ABSOLUTE);
    }
    temp_dir dir;
    reader h;
};

}  // namespace

TEST_F(reading, a_key_frame_is_one_whose_flags_have_the_0x10_bit)
{
    bytes b(16);
    int32_t key = -1;
    EXPECT_EQ(AVI_read_video_frame(h.get(), b.data(), 16, &key), 5);
    EXPECT_EQ(key, 1);
    EXPECT_EQ(AVI_read_video_frame(h.get(), b.data(), 16, &key), 6);
    EXPECT_EQ(key, 1) << "0x11: the key bit with another beside it";
    EXPECT_EQ(AVI_read_video_frame(h.get(), b.data(), 16, &key), 7);
    EXPECT_EQ(key, 0);
    EXPECT_EQ(AVI_frame_is_key(h.get(), 0), 1);
    EXPECT_EQ(AVI_frame_is_key(h.get(), 1), 1);
    EXPECT_EQ(AVI_frame_is_key(h.get(), 2), 0);
    EXPECT_EQ(AVI_frame_file_offset(h.get(), 0), static_cast<int64_t>(movi_at(1) + 8));
}

TEST_F(reading, a_frame_larger_than_the_buffer_is_refused_and_nothing_moves)
{
    bytes b(16, 0xee);
    int32_t key = -1;
    avi_error = 0;
    EXPECT_EQ(AVI_read_video_frame(h.get(), b.data(), 4, &key), -1);
    EXPECT_EQ(avi_error, AVI_ERROR_NOT_PERMITTED);
    EXPECT_EQ(b, bytes(16, 0xee)) << "nothing may be written";
    EXPECT_EQ(h->video_read_pos, 0);
    EXPECT_EQ(AVI_read_video_frame(h.get(), b.data(), 5, &key), 5);  // exactly its size
    EXPECT_EQ(std::string(b.begin(), b.begin() + 5), "AAAAA");
    EXPECT_EQ(AVI_read_video_frame(h.get(), b.data(), -1, &key), -1);
}

TEST_F(reading, audio_reads_continue_across_chunks_and_stop_at_the_end)
{
    bytes b(200);
    EXPECT_EQ(AVI_read_audio_bytes(h.get(), b.data(), 120), 120);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 120), std::string(100, 'p') + std::string(20, 'q'));
    EXPECT_EQ(AVI_read_audio_bytes(h.get(), b.data(), 100), 30);
    EXPECT_EQ(AVI_read_audio_bytes(h.get(), b.data(), 100), 0);

    // Positions by byte: the start, a chunk's first byte, inside a chunk, past the end.
    struct { int32_t byte, chunk, offset; } positions[] = {{0, 0, 0}, {100, 1, 0}, {-5, 0, 0}, {130, 1, 30}, {400, 1, 300}};
    for (auto p : positions) {
        ASSERT_EQ(AVI_seek_audio_byte(h.get(), p.byte), 0);
        EXPECT_EQ(h->tracks[0].read_chunk, p.chunk) << p.byte;
        EXPECT_EQ(h->tracks[0].read_offset, p.offset) << p.byte;
    }
    // Past the end: nothing to read; the rest of the chunk is negative.
    EXPECT_EQ(AVI_read_audio_bytes(h.get(), b.data(), 10), 0);
    EXPECT_EQ(AVI_next_audio_chunk(h.get(), b.data()), 0);
    EXPECT_EQ(AVI_next_audio_chunk(h.get(), nullptr), 50 - 300);

    // Chunk by chunk from byte 30: the rest of the first, then the second, then 0.
    ASSERT_EQ(AVI_seek_audio_byte(h.get(), 30), 0);
    EXPECT_EQ(AVI_next_audio_chunk(h.get(), nullptr), 70);
    EXPECT_EQ(AVI_next_audio_chunk(h.get(), b.data()), 70);
    EXPECT_EQ(AVI_next_audio_chunk(h.get(), b.data()), 50);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 50), std::string(50, 'q'));
    EXPECT_EQ(AVI_next_audio_chunk(h.get(), b.data()), 0);
    EXPECT_EQ(AVI_audio_chunk_length(h.get(), 1), 50);
    EXPECT_EQ(AVI_audio_chunk_length(h.get(), 2), 0);
    EXPECT_EQ(AVI_audio_chunk_file_offset(h.get(), 1), static_cast<int64_t>(movi_at(1) + 144));
}

TEST_F(reading, file_order_skips_chunks_larger_than_the_buffers)
{
    bytes video(8), audio(64);
    int32_t length = 0;
    auto next = [&] { return AVI_read_next_chunk(h.get(), video.data(), 8, audio.data(), 64, &length); };
    EXPECT_EQ(next(), 1);
    EXPECT_EQ(length, 6);  // 5 bytes and the pad byte
    EXPECT_EQ(next(), -2);
    EXPECT_EQ(length, 100);
    EXPECT_EQ(next(), 1);
    EXPECT_EQ(next(), 2);
    EXPECT_EQ(length, 50);
    EXPECT_EQ(std::string(audio.begin(), audio.begin() + 50), std::string(50, 'q'));
    EXPECT_EQ(next(), 1);
    EXPECT_EQ(length, 8);
    EXPECT_EQ(next(), 0);
    EXPECT_EQ(h->video_read_pos, 3);
    EXPECT_EQ(AVI_read_next_chunk(h.get(), video.data(), 2, audio.data(), 64, &length), 0);
}

TEST_F(reading, file_order_goes_on_from_the_file_position_that_every_read_shares)
{
    bytes video(64), audio(128);
    int32_t length = 0;
    auto next = [&] { return AVI_read_next_chunk(h.get(), video.data(), 64, audio.data(), 128, &length); };
    auto position = [&] { return lseek(h->fd, 0, SEEK_CUR); };
    auto m = static_cast<off_t>(movi_at(1));
    EXPECT_EQ(next(), 1);
    EXPECT_EQ(position(), m + 14) << "after the chunk returned";
    EXPECT_EQ(next(), 2);
    EXPECT_EQ(length, 100);
    // A table read moves the position; file order goes on after the frame it read.
    ASSERT_EQ(AVI_seek_video_frame(h.get(), 1), 0);
    EXPECT_EQ(AVI_read_video_frame(h.get(), video.data(), 64, nullptr), 6);
    EXPECT_EQ(next(), 2);
    EXPECT_EQ(std::string(audio.begin(), audio.begin() + 50), std::string(50, 'q'));
    EXPECT_EQ(position(), m + 194);
    // So does the caller's own seek, also back into bytes read before.
    ASSERT_EQ(lseek(h->fd, m + 14, SEEK_SET), m + 14);
    EXPECT_EQ(next(), 2);
    EXPECT_EQ(std::string(audio.begin(), audio.begin() + 100), std::string(100, 'p'));
    ASSERT_EQ(AVI_rewind(h.get()), 0);
    EXPECT_EQ(next(), 1);
    EXPECT_EQ(std::string(video.begin(), video.begin() + 5), "AAAAA");
}

TEST(reading_guards, writing_handles_files_without_audio_and_setters)
{
    temp_dir dir;
    avi_handle *w = AVI_create_output_file(dir.file("w.avi").c_str());
    ASSERT_NE(w, nullptr);
    AVI_add_audio_track(w, 1, 8000, 16, 1, 128);
    bytes b(16);
    int32_t length = 0;
    avi_error = 0;
    EXPECT_EQ(AVI_read_video_frame(w, b.data(), 16, nullptr), -1);
    EXPECT_EQ(avi_error, AVI_ERROR_NOT_PERMITTED);
    avi_error = 0;
    EXPECT_EQ(AVI_seek_audio_byte(w, 0), -1);
    EXPECT_EQ(avi_error, AVI_ERROR_NOT_PERMITTED);
    avi_error = 0;
    EXPECT_EQ(AVI_rewind(w), -1);
    EXPECT_EQ(avi_error, AVI_ERROR_NOT_PERMITTED);
    avi_error = 0;
    EXPECT_EQ(AVI_read_next_chunk(w, b.data(), 16, b.data(), 16, &length), 0);
    EXPECT_EQ(avi_error, 0);
    EXPECT_EQ(AVI_set_track_bitrate(w, 64), 0);
    EXPECT_EQ(AVI_track_bitrate(w), 64);
    EXPECT_EQ(AVI_close_handle(w), 0);

    // A file without audio: the audio operations need a table, the queries read 0.
    std::string movi = chunk("00db", "AAAAA");
    write_file(dir.file("v.avi"), to_bytes(file(movi, 0)));
    reader r = open_reader(dir.file("v.avi"));
    ASSERT_TRUE(r) << AVI_error_text();
    for (auto op : {+[](avi_handle *h, void *p) { return AVI_read_audio_bytes(h, p, 4); },
                    +[](avi_handle *h, void *p) { return AVI_next_audio_chunk(h, p); },
                    +[](avi_handle *h, void *) { return AVI_seek_audio_byte(h, 0); },
                    +[](avi_handle *h, void *) { return static_cast<int32_t>(AVI_audio_chunk_length(h, 0)); }}) {
        avi_error = 0;
        EXPECT_EQ(op(r.get(), b.data()), -1);
        EXPECT_EQ(avi_error, AVI_ERROR_NEEDS_INDEX);
    }
    EXPECT_EQ(AVI_track_rate(r.get()), 0);
    EXPECT_EQ(AVI_track_bytes(r.get()), 0);
    // The writers refuse a reading handle, and the file stays as it was.
    for (auto op : {+[](avi_handle *h) { return AVI_set_track_bitrate(h, 64); },
                    +[](avi_handle *h) { return AVI_write_header(h); },
                    +[](avi_handle *h) { return AVI_close_output_file(h); }}) {
        avi_error = 0;
        EXPECT_EQ(op(r.get()), -1);
        EXPECT_EQ(avi_error, AVI_ERROR_NOT_PERMITTED);
    }
    EXPECT_EQ(read_file(dir.file("v.avi")), to_bytes(file(movi, 0)));
}

TEST(reading_open, failures_of_the_open_calls_themselves)
{
    temp_dir dir;
    avi_error = 0;
    EXPECT_EQ(AVI_open_input(dir.file("missing.avi").c_str(), 1), nullptr);
    EXPECT_EQ(avi_error, AVI_ERROR_OPEN);

    // Through a descriptor: the handle takes it and the file reads the same.
    write_file(dir.file("v.avi"), to_bytes(file(chunk("00db", "AAAAA"), 0)));
    int fd = open(dir.file("v.avi").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    reader h(AVI_open_input_fd(fd, 1));
    ASSERT_TRUE(h) << AVI_error_text();
    EXPECT_EQ(AVI_frame_count(h.get()), 1);

    // A descriptor that cannot be read fails with 3 and is closed.
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    close(pipe_fds[1]);
    avi_error = 0;
    EXPECT_EQ(AVI_open_input_fd(pipe_fds[0], 1), nullptr);
    EXPECT_EQ(avi_error, AVI_ERROR_READ);
    EXPECT_EQ(fcntl(pipe_fds[0], F_GETFD), -1) << "the descriptor should be closed";
}

TEST(file_scan, a_read_longer_than_the_buffer_stops_at_the_known_end)
{
    temp_dir dir;
    write_file(dir.file("f"), bytes(4096, 'x'));  // longer than the end the scan is told
    int fd = open(dir.file("f").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    unsigned char buffer[64];
    avi_detail::file_scan s(fd, buffer, sizeof buffer, 0, 1000);
    bytes out(2000, 0);
    EXPECT_FALSE(s.read(out.data(), out.size()));
    EXPECT_EQ(std::count(out.begin(), out.end(), 'x'), 1000) << "nothing past the end is read";
    close(fd);
}

TEST(reading_fillers, empty_video_chunks_and_older_repeat_entries_both_read_as_frames)
{
    // A filler (an empty "00db" chunk: the last picture held) and, as recordings made before
    // wrote a repeat, an index entry that shows the first chunk again, flagged key frame.
    std::string movi = chunk("00db", "AAAAA") + chunk("00db", "") + chunk("00db", "BBBB");
    auto m = static_cast<uint32_t>(movi_at(0));
    temp_dir dir;
    write_file(dir.file("f.avi"), to_bytes(file(movi, 0, index({{"00db", 0x10, m, 5}, {"00db", 0, m + 14, 0},
                                                                 {"00db", 0x10, m, 5}, {"00db", 0, m + 22, 4}}))));
    reader h = open_reader(dir.file("f.avi"));
    ASSERT_TRUE(h) << AVI_error_text();
    ASSERT_EQ(AVI_frame_count(h.get()), 4);
    std::string frame(16, '\0');
    for (const auto &[want, key] : std::vector<std::pair<std::string, int32_t>>{{"AAAAA", 1}, {"", 0}, {"AAAAA", 1}, {"BBBB", 0}}) {
        int32_t is_key = -1;
        int32_t got = AVI_read_video_frame(h.get(), frame.data(), 16, &is_key);
        ASSERT_EQ(got, static_cast<int32_t>(want.size()));
        EXPECT_EQ(frame.substr(0, static_cast<size_t>(got)), want);
        EXPECT_EQ(is_key, key);
    }
}

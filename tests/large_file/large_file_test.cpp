// Files past 2 GiB and up to the size limit, which on a 32-bit target work only with 64-bit
// file offsets. A sparse file gets its media chunks at 3 GiB and at the very end of what the
// limit allows ("JUNK" chunks stand for the recording in between, as holes), is closed, and
// its index, chunk heads and final header are checked from the bytes on disk with pread;
// ffmpeg reads the media back.
#include "avi/avi.h"
#include "avi/avi_internal.h"
#include "recording.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

using namespace mirvo_test;

namespace {

constexpr uint64_t three_gib = 3ULL << 30;
constexpr uint64_t size_limit = 0xfefff7ffULL;
constexpr uint64_t entry_bytes = sizeof(avi_index_entry);
using avi_detail::header_at::movi_list;

std::string chunk_head(const std::string &id, uint32_t size)
{
    return id + le32(size);
}

std::string read_at(int fd, uint64_t at, size_t n)
{
    std::string out(n, '\0');
    ssize_t got = pread(fd, out.data(), n, static_cast<off_t>(at));
    out.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return out;
}

uint32_t u32_in(const std::string &s, size_t at)
{
    return u32_at(bytes(s.begin(), s.end()), at);
}

std::string pattern(size_t n, int seed)
{
    std::string out(n, '\0');
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<char>(seed + 31 * i);
    return out;
}

// Stands for recorded data the test does not write: a "JUNK" chunk head at write_offset whose
// body is a hole up to `to`, after which writing goes on. Readers skip "JUNK" chunks.
void skip_to(avi_handle *h, uint64_t to)
{
    std::string head = chunk_head("JUNK", static_cast<uint32_t>(to - h->write_offset - 8));
    ASSERT_EQ(pwrite(h->fd, head.data(), 8, static_cast<off_t>(h->write_offset)), 8);
    h->write_offset = static_cast<uint32_t>(to);
    ASSERT_EQ(lseek(h->fd, static_cast<off_t>(to), SEEK_SET), static_cast<off_t>(to));
}

struct entry {
    std::string id;
    uint32_t flags;
    uint32_t offset;
    std::string data;
};

// A file open for writing with the recorder's streams: H.264 640x480 at 25 fps, one track of
// 8 kHz 16-bit mono PCM.
avi_handle *create_with_streams(const std::string &path)
{
    avi_handle *h = AVI_create_output_file(path.c_str());
    if (h) {
        AVI_define_video(h, 640, 480, 25.0, "H264");
        AVI_add_audio_track(h, 1, 8000, 16, 1, 128);
    }
    return h;
}

}  // namespace

// A file with the recorder's streams, open for writing, and the clip's pictures to put in it
// (real H.264 access units, so that ffmpeg can read the files back as well).
class avi_large_file : public ::testing::Test {
protected:
    void SetUp() override
    {
        h = create_with_streams(path);
        ASSERT_NE(h, nullptr) << AVI_error_text();
        units = clip_units();
        ASSERT_GE(units.size(), 3u);
        ASSERT_TRUE(units[0].key);
    }

    temp_dir dir;
    std::string path = dir.file("large.avi");
    avi_handle *h = nullptr;
    std::vector<access_unit> units;
};

TEST_F(avi_large_file, chunks_past_3_gib_and_at_the_size_limit_are_indexed_and_closed)
{
    auto unit = [&](size_t i) { return std::string(units[i].data.begin(), units[i].data.end()); };
    const std::string last = unit(2);
    ASSERT_EQ(last.size() % 2, 0u) << "the chunk at the edge needs an even length";

    std::vector<entry> expected;
    auto put_video = [&](const std::string &data, bool key) {
        uint32_t at = h->write_offset;
        ASSERT_EQ(AVI_put_video_frame(h, data.data(), static_cast<int32_t>(data.size()), key), 0)
            << AVI_error_text();
        expected.push_back({"00db", key ? 0x10U : 0U, at, data});
    };
    auto put_audio = [&](const std::string &data) {
        uint32_t at = h->write_offset;
        ASSERT_EQ(AVI_put_audio(h, data.data(), static_cast<int32_t>(data.size())), 0)
            << AVI_error_text();
        expected.push_back({"01wb", 0, at, data});
    };

    skip_to(h, three_gib);
    ASSERT_FALSE(testing::Test::HasFatalFailure());
    put_video(unit(0), true);
    ASSERT_EQ(expected[0].offset, three_gib);
    put_audio(pattern(321, 2));  // odd: a pad byte follows
    put_video(unit(1), false);
    uint32_t filler_at = h->write_offset;
    ASSERT_EQ(AVI_repeat_video_frame(h), 0);
    expected.push_back({"00db", 0, filler_at, ""});  // the picture held: an empty chunk
    put_audio(pattern(320, 4));
    // Growing the last chunk seeks back to its size field, past 3 GiB.
    std::string more = pattern(99, 5);
    ASSERT_EQ(AVI_extend_audio(h, more.data(), 99), 0) << AVI_error_text();
    expected.back().data += more;

    // The last chunk ends the file, index included, one byte below the limit. Files are
    // always of even length and the limit is odd, so this is the edge.
    const auto last_len = static_cast<uint32_t>(last.size());
    const uint64_t last_at = size_limit - 1 - 8 - entry_bytes * (expected.size() + 1) - 8 - last_len;
    skip_to(h, last_at);
    ASSERT_FALSE(testing::Test::HasFatalFailure());
    EXPECT_EQ(AVI_space_left(h), 8 + last_len + entry_bytes + 1);

    // One byte more (odd, so two with the pad) does not fit, and nothing of it is kept.
    std::string too_long = last + 'x';
    struct stat before {};
    ASSERT_EQ(fstat(h->fd, &before), 0);
    avi_error = 0;
    EXPECT_EQ(AVI_put_video_frame(h, too_long.data(), static_cast<int32_t>(too_long.size()), 1), -1);
    EXPECT_EQ(avi_error, AVI_ERROR_SIZE_LIMIT);
    EXPECT_EQ(h->write_offset, last_at);
    EXPECT_EQ(h->index_count, static_cast<int32_t>(expected.size()));
    struct stat after {};
    ASSERT_EQ(fstat(h->fd, &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);

    put_video(last, false);
    EXPECT_EQ(AVI_size_written(h), size_limit - 1);
    EXPECT_EQ(AVI_space_left(h), 1u);
    // Nothing else fits: not a repeated frame's empty chunk, not an empty audio chunk.
    avi_error = 0;
    EXPECT_EQ(AVI_repeat_video_frame(h), -1);
    EXPECT_EQ(avi_error, AVI_ERROR_SIZE_LIMIT);
    avi_error = 0;
    EXPECT_EQ(AVI_put_audio(h, "", 0), -1);
    EXPECT_EQ(avi_error, AVI_ERROR_SIZE_LIMIT);

    const uint64_t index_at = h->write_offset;
    ASSERT_EQ(index_at, last_at + 8 + last_len);
    ASSERT_EQ(AVI_close_handle(h), 0) << AVI_error_text();

    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), size_limit - 1);

    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::string header = read_at(fd, 0, AVI_HEADER_BYTES);
    ASSERT_EQ(header.size(), size_t{AVI_HEADER_BYTES});
    EXPECT_EQ(header.substr(0, 8), chunk_head("RIFF", static_cast<uint32_t>(size_limit - 1 - 8)));
    EXPECT_EQ(u32_in(header, 44), 0x110U) << "has index, interleaved";
    EXPECT_EQ(u32_in(header, 48), 4U) << "video frames, the repeat included";
    EXPECT_EQ(u32_in(header, 140), 4U) << "video stream length";
    EXPECT_EQ(u32_in(header, 264), 370U) << "audio stream length in 16-bit samples (740 bytes)";
    EXPECT_EQ(header.substr(movi_list, 12),
              chunk_head("LIST", static_cast<uint32_t>(index_at - (movi_list + 8))) + "movi");

    // The index: one entry per chunk, offsets absolute, past 3 GiB.
    std::string index = read_at(fd, index_at, 8 + entry_bytes * expected.size());
    ASSERT_EQ(index.size(), 8 + entry_bytes * expected.size());
    EXPECT_EQ(index.substr(0, 8), chunk_head("idx1", static_cast<uint32_t>(entry_bytes * expected.size())));
    for (size_t i = 0; i < expected.size(); ++i) {
        const entry &e = expected[i];
        size_t at = 8 + entry_bytes * i;
        EXPECT_EQ(index.substr(at, 4), e.id) << "entry " << i;
        EXPECT_EQ(u32_in(index, at + 4), e.flags) << "entry " << i;
        EXPECT_EQ(u32_in(index, at + 8), e.offset) << "entry " << i;
        EXPECT_EQ(u32_in(index, at + 12), e.data.size()) << "entry " << i;
        EXPECT_GE(e.offset, three_gib) << "entry " << i;
        // Each entry points at its chunk: the head, then the bytes that were written.
        EXPECT_EQ(read_at(fd, e.offset, 8),
                  chunk_head(e.id, static_cast<uint32_t>(e.data.size())))
            << "entry " << i;
        EXPECT_TRUE(read_at(fd, e.offset + 8, e.data.size()) == e.data) << "entry " << i;
    }

    // Walking chunk by chunk from the first one, as a reader without an index does, steps
    // over the holes and every pad byte and lands exactly on the index.
    std::vector<std::string> walked;
    uint64_t at = AVI_HEADER_BYTES;
    while (at < index_at && walked.size() < 20) {
        std::string head = read_at(fd, at, 8);
        ASSERT_EQ(head.size(), 8u) << "at " << at;
        walked.push_back(head.substr(0, 4));
        uint32_t size = u32_in(head, 4);
        if (size % 2 == 1) {
            EXPECT_EQ(read_at(fd, at + 8 + size, 1), std::string(1, '\0')) << "pad at " << at;
        }
        at += 8 + size + size % 2;
    }
    EXPECT_EQ(at, index_at);
    EXPECT_EQ(walked, (std::vector<std::string>{"JUNK", "00db", "01wb", "00db", "00db", "01wb",
                                                 "JUNK", "00db"}));
    close(fd);

    // ffmpeg finds the frames and the audio through the index, past 3 GiB and at the edge, and
    // hands back our bytes (the empty chunk of the repeat adds none: it shows in the timing).
    command_result video = run("ffmpeg -nostdin -v error -i " + shell_quoted(path) +
                               " -map 0:v -c copy -f h264 -");
    ASSERT_EQ(video.status, 0) << video.err;
    EXPECT_TRUE(video.out == unit(0) + unit(1) + last) << "video differs";
    command_result sound = run("ffmpeg -nostdin -v error -i " + shell_quoted(path) +
                               " -map 0:a -c copy -f s16le -");
    ASSERT_EQ(sound.status, 0) << sound.err;
    EXPECT_TRUE(sound.out == expected[1].data + expected[4].data) << "audio differs";

    // Our own reader finds the same through the index: every frame, the repeat read as an
    // empty frame, and all the audio, from offsets past 3 GiB.
    avi_handle *in = AVI_open_input(path.c_str(), 1);
    ASSERT_NE(in, nullptr) << AVI_error_text();
    EXPECT_EQ(AVI_frame_count(in), 4);
    EXPECT_EQ(AVI_track_bytes(in), 740);
    std::string frame(70000, '\0');
    for (const entry &e : expected) {
        if (e.id != "00db")
            continue;
        int32_t key = -1;
        int32_t got = AVI_read_video_frame(in, frame.data(), static_cast<int32_t>(frame.size()), &key);
        ASSERT_EQ(got, static_cast<int32_t>(e.data.size())) << AVI_error_text();
        EXPECT_TRUE(frame.substr(0, static_cast<size_t>(got)) == e.data);
        EXPECT_EQ(key, e.flags == 0x10 ? 1 : 0);
    }
    std::string audio(740, '\0');
    EXPECT_EQ(AVI_read_audio_bytes(in, audio.data(), 740), 740);
    EXPECT_EQ(AVI_read_audio_bytes(in, audio.data(), 740), 0) << "nothing more";
    EXPECT_TRUE(audio == expected[1].data + expected[4].data) << "audio differs";
    EXPECT_EQ(AVI_close_handle(in), 0);
}

TEST_F(avi_large_file, real_frames_written_until_the_size_limit_refuses_them_close_into_a_readable_file)
{
    // The recording so far is a hole up to 32 MiB below the limit; from there on, real
    // frames as the recorder offers them: each picture of the clip, looping, and two 20 ms
    // audio frames after it, until not even an audio frame fits.
    skip_to(h, size_limit + 1 - (32ULL << 20));
    ASSERT_FALSE(testing::Test::HasFatalFailure());
    struct written {
        bool video;
        bool key;
        const bytes *data;
    };
    std::vector<written> kept;
    std::vector<bytes> sounds;
    for (int s = 0; s < 50; ++s) {
        std::string p = pattern(320, s);
        sounds.emplace_back(p.begin(), p.end());
    }
    size_t offered = 0, refused = 0;
    bool audio_refused = false;
    while (!audio_refused && offered < 1000000) {
        const access_unit &unit = units[offered % units.size()];
        const bytes &sound = sounds[offered % sounds.size()];
        ++offered;
        uint32_t before = h->write_offset;
        avi_error = 0;
        if (AVI_put_video_frame(h, unit.data.data(), static_cast<int32_t>(unit.data.size()),
                                unit.key) == 0) {
            kept.push_back({true, unit.key, &unit.data});
        } else {
            ASSERT_EQ(avi_error, AVI_ERROR_SIZE_LIMIT);
            ASSERT_EQ(h->write_offset, before) << "a refused frame writes nothing";
            ++refused;
        }
        for (int a = 0; a < 2 && !audio_refused; ++a) {
            if (AVI_put_audio(h, sound.data(), 320) == 0)
                kept.push_back({false, false, &sound});
            else
                audio_refused = true;
        }
    }
    ASSERT_TRUE(audio_refused) << "the limit was never reached";
    EXPECT_EQ(avi_error, AVI_ERROR_SIZE_LIMIT);
    EXPECT_GT(refused, 0u) << "pictures, being larger, are refused before the audio";
    EXPECT_LT(AVI_space_left(h), 8u + 320 + entry_bytes) << "all the room was used";
    const uint64_t closed_size = AVI_size_written(h);
    ASSERT_EQ(AVI_close_handle(h), 0) << AVI_error_text();
    EXPECT_EQ(file_size(path), closed_size);
    EXPECT_LE(closed_size, size_limit);

    // Our reader finds every frame that was kept, through the index, byte for byte.
    avi_handle *in = AVI_open_input(path.c_str(), 1);
    ASSERT_NE(in, nullptr) << AVI_error_text();
    EXPECT_EQ(AVI_index_origin(in), AVI_INDEX_ABSOLUTE);
    size_t video = 0;
    bytes buffer(AVI_largest_chunk(in));
    for (size_t i = 0; i < kept.size(); ++i) {
        const written &w = kept[i];
        ASSERT_EQ(AVI_index_entry_stream(in, static_cast<int32_t>(i)), w.video ? 0 : 1) << i;
        int32_t key = -1;
        int32_t got = w.video ? AVI_read_video_frame(in, buffer.data(),
                                                     static_cast<int32_t>(buffer.size()), &key)
                              : AVI_next_audio_chunk(in, buffer.data());
        ASSERT_EQ(got, static_cast<int32_t>(w.data->size())) << "chunk " << i;
        ASSERT_TRUE(std::equal(w.data->begin(), w.data->end(), buffer.begin())) << "chunk " << i;
        if (w.video) {
            ASSERT_EQ(key, w.key ? 1 : 0) << "chunk " << i;
            ++video;
        }
    }
    EXPECT_EQ(AVI_index_entry_stream(in, static_cast<int32_t>(kept.size())), -1) << "nothing more";
    EXPECT_EQ(AVI_frame_count(in), static_cast<int32_t>(video));
    EXPECT_EQ(AVI_close_handle(in), 0);

    // ffprobe finds as many packets of each stream.
    command_result probe = run("ffprobe -v error -count_packets -show_entries "
                               "stream=nb_read_packets -of csv=p=0 " + shell_quoted(path));
    ASSERT_EQ(probe.status, 0) << probe.err;
    EXPECT_EQ(probe.out, std::to_string(video) + "\n" + std::to_string(kept.size() - video) + "\n");
}

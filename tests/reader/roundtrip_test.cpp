// Files written by our own writer read back through every reading operation: by frame
// number, by audio byte position across chunks, chunk by chunk, and in file order.
#include "reader_fixture.h"

#include <algorithm>

using namespace mirvo_test;

namespace {

struct roundtrip_case {
    const char *name;
    int tracks;
    std::vector<piece> pieces;
};

// Video frames of sizes that run through odd and even values, a key frame every 10; after
// each frame one audio chunk per track, of the track's own sizes (some odd, one empty).
std::vector<piece> interleaved(int frames, int tracks, std::vector<int> repeat_after = {})
{
    std::vector<piece> pieces;
    unsigned seed = 1;
    for (int f = 0; f < frames; ++f) {
        pieces.push_back({-1, pattern(static_cast<size_t>(500 + f * 37 % 301), seed++), f % 10 == 0});
        if (std::find(repeat_after.begin(), repeat_after.end(), f) != repeat_after.end())
            pieces.push_back({-1, {}, false, true});
        for (int t = 0; t < tracks; ++t) {
            size_t len = f == 3 ? 0 : static_cast<size_t>(320 - t * 13 + (f % 3 == 1 ? 1 : 0));
            pieces.push_back({t, pattern(len, seed++)});
        }
    }
    return pieces;
}

std::vector<roundtrip_case> cases()
{
    return {
        {"video_only", 0, interleaved(30, 0)},
        {"one_track", 1, interleaved(25, 1)},
        {"three_tracks_odd_sizes", 3, interleaved(20, 3)},
        {"repeated_frames", 2, interleaved(15, 2, {0, 4, 5, 14})},
        {"eight_tracks", 8, interleaved(6, 8)},
    };
}

bytes padded(const bytes &b)
{
    bytes p = b;
    if (p.size() % 2)
        p.push_back(0);
    return p;
}

class roundtrip : public ::testing::TestWithParam<roundtrip_case> {
protected:
    void SetUp() override { r = write_recording(dir.file("rt.avi"), {.tracks = GetParam().tracks}, GetParam().pieces); }
    temp_dir dir;
    recording r;
};

}  // namespace

TEST_P(roundtrip, header_fields_and_frames_by_number)
{
    reader h = open_reader(r.path);
    ASSERT_TRUE(h) << AVI_error_text();
    EXPECT_EQ(AVI_index_origin(h.get()), AVI_INDEX_ABSOLUTE);
    EXPECT_EQ(AVI_frame_count(h.get()), static_cast<int32_t>(r.frames.size()));
    EXPECT_EQ(AVI_frame_width(h.get()), 160);
    EXPECT_EQ(AVI_frame_height(h.get()), 120);
    EXPECT_DOUBLE_EQ(AVI_frames_per_second(h.get()), 25.0);
    EXPECT_STREQ(AVI_codec_fourcc(h.get()), "H264");
    EXPECT_EQ(AVI_track_count(h.get()), GetParam().tracks);
    EXPECT_EQ(AVI_current_audio_track(h.get()), 0);

    size_t largest = 0;
    for (size_t n = 0; n < r.frames.size(); ++n) {
        EXPECT_EQ(AVI_frame_length(h.get(), static_cast<int32_t>(n)), static_cast<int64_t>(r.frames[n].size()));
        EXPECT_EQ(AVI_frame_is_key(h.get(), static_cast<int32_t>(n)), r.keys[n] ? 1 : 0) << n;
        largest = std::max(largest, r.frames[n].size());
    }
    for (const auto &track : r.chunks)
        for (const bytes &c : track)
            largest = std::max(largest, c.size());
    EXPECT_EQ(AVI_largest_chunk(h.get()), largest);
    EXPECT_EQ(AVI_frame_length(h.get(), static_cast<int32_t>(r.frames.size())), 0);
    EXPECT_EQ(AVI_frame_length(h.get(), -1), 0);

    // Sequential reading returns every frame with its key flag, then -1.
    std::vector<unsigned char> buffer(4096);
    for (size_t n = 0; n < r.frames.size(); ++n) {
        int32_t key = -1;
        int32_t len = AVI_read_video_frame(h.get(), buffer.data(), 4096, &key);
        ASSERT_EQ(len, static_cast<int32_t>(r.frames[n].size())) << AVI_error_text();
        EXPECT_EQ(bytes(buffer.begin(), buffer.begin() + len), r.frames[n]) << "frame " << n;
        EXPECT_EQ(key, r.keys[n] ? 1 : 0);
    }
    int32_t key = -1;
    EXPECT_EQ(AVI_read_video_frame(h.get(), buffer.data(), 4096, &key), -1);

    // By number again, from the middle.
    size_t middle = r.frames.size() / 2;
    ASSERT_EQ(AVI_seek_video_frame(h.get(), static_cast<int32_t>(middle)), 0);
    int32_t len = AVI_read_video_frame(h.get(), buffer.data(), 4096, &key);
    EXPECT_EQ(bytes(buffer.begin(), buffer.begin() + std::max(len, 0)), r.frames[middle]);
}

TEST_P(roundtrip, audio_by_byte_position_and_chunk_by_chunk)
{
    reader h = open_reader(r.path);
    reader header_only = open_reader(r.path, 0);
    ASSERT_TRUE(h && header_only) << AVI_error_text();
    EXPECT_EQ(AVI_index_count(header_only.get()), 0) << "opened without its index, idx1 is not read";
    for (int t = 0; t < GetParam().tracks; ++t) {
        SCOPED_TRACE("track " + std::to_string(t));
        ASSERT_EQ(AVI_select_audio_track(h.get(), t), 0);
        const bytes &audio = r.audio[t];
        EXPECT_EQ(AVI_track_chunks(h.get()), static_cast<int32_t>(r.chunks[t].size()));
        EXPECT_EQ(AVI_track_bytes(h.get()), static_cast<int32_t>(audio.size()));
        ASSERT_EQ(AVI_select_audio_track(header_only.get(), t), 0);
        // The header counts whole 16-bit samples: an odd byte at the end is not among them.
        EXPECT_EQ(AVI_track_bytes(header_only.get()), static_cast<int32_t>(audio.size() & ~size_t{1}))
            << "from the header";
        EXPECT_EQ(AVI_track_rate(h.get()), 8000);
        EXPECT_EQ(AVI_track_bits(h.get()), 16);
        EXPECT_EQ(AVI_track_channels(h.get()), 1);
        EXPECT_EQ(AVI_track_format(h.get()), 1);
        for (size_t c = 0; c < r.chunks[t].size(); ++c)
            EXPECT_EQ(AVI_audio_chunk_length(h.get(), static_cast<int32_t>(c)),
                      static_cast<int64_t>(r.chunks[t][c].size()));

        // The whole track in pieces of 97 bytes, across chunk borders.
        bytes all, piece(97);
        int32_t got;
        while ((got = AVI_read_audio_bytes(h.get(), piece.data(), 97)) > 0)
            all.insert(all.end(), piece.begin(), piece.begin() + got);
        ASSERT_EQ(got, 0) << AVI_error_text();
        EXPECT_EQ(all, audio);

        // From many byte positions, 200 bytes each.
        for (size_t at = 0; at < audio.size() + 10; at += 53) {
            ASSERT_EQ(AVI_seek_audio_byte(h.get(), static_cast<int32_t>(at)), 0);
            bytes want(audio.begin() + static_cast<long>(std::min(at, audio.size())),
                       audio.begin() + static_cast<long>(std::min(at + 200, audio.size())));
            bytes out(200);
            got = AVI_read_audio_bytes(h.get(), out.data(), 200);
            ASSERT_EQ(got, static_cast<int32_t>(want.size())) << "at " << at;
            EXPECT_EQ(bytes(out.begin(), out.begin() + got), want) << "at " << at;
        }

        // Chunk by chunk: every non-empty chunk in turn, then 0.
        ASSERT_EQ(AVI_seek_audio_byte(h.get(), 0), 0);
        bytes out(1024);
        for (const bytes &c : r.chunks[t]) {
            if (c.empty())
                continue;
            EXPECT_EQ(AVI_next_audio_chunk(h.get(), nullptr), static_cast<int32_t>(c.size()));
            got = AVI_next_audio_chunk(h.get(), out.data());
            ASSERT_EQ(got, static_cast<int32_t>(c.size()));
            EXPECT_EQ(bytes(out.begin(), out.begin() + got), c);
        }
        EXPECT_EQ(AVI_next_audio_chunk(h.get(), out.data()), 0);
        EXPECT_EQ(AVI_next_audio_chunk(h.get(), nullptr), 0);
    }
}

TEST_P(roundtrip, chunks_in_file_order_without_the_index)
{
    for (int t = 0; t < std::max(GetParam().tracks, 1); ++t) {
        SCOPED_TRACE("track " + std::to_string(t));
        reader h = open_reader(r.path, 0);
        ASSERT_TRUE(h) << AVI_error_text();
        if (GetParam().tracks > 0) {
            ASSERT_EQ(AVI_select_audio_track(h.get(), t), 0);
        }
        std::vector<std::pair<int, bytes>> want;  // 1 video, 2 audio; padded data
        for (const piece &p : GetParam().pieces) {
            if (p.track < 0 || p.track == t)
                want.push_back({p.track < 0 ? 1 : 2, padded(p.data)});
        }

        bytes video(4096), audio(4096);
        for (size_t i = 0; i < want.size(); ++i) {
            int32_t length = -1;
            int kind = AVI_read_next_chunk(h.get(), video.data(), 4096, audio.data(), 4096, &length);
            ASSERT_EQ(kind, want[i].first) << "chunk " << i;
            ASSERT_EQ(length, static_cast<int32_t>(want[i].second.size()));
            const bytes &buf = kind == 1 ? video : audio;
            EXPECT_EQ(bytes(buf.begin(), buf.begin() + length), want[i].second);
        }
        int32_t length = -1;
        EXPECT_EQ(AVI_read_next_chunk(h.get(), video.data(), 4096, audio.data(), 4096, &length), 0);

        // After a rewind the same walk starts again.
        ASSERT_EQ(AVI_rewind(h.get()), 0);
        EXPECT_EQ(AVI_read_next_chunk(h.get(), video.data(), 4096, audio.data(), 4096, &length), 1);
        EXPECT_EQ(length, static_cast<int32_t>(want[0].second.size()));
    }
}

TEST_P(roundtrip, without_the_index_no_table_operation_works)
{
    reader h = open_reader(r.path, 0);
    ASSERT_TRUE(h) << AVI_error_text();
    EXPECT_EQ(AVI_index_origin(h.get()), AVI_INDEX_NONE);
    EXPECT_EQ(AVI_frame_count(h.get()), static_cast<int32_t>(r.frames.size()));  // the header's
    bytes buffer(16);
    avi_error = 0;
    EXPECT_EQ(AVI_frame_length(h.get(), 0), -1);
    EXPECT_EQ(avi_error, AVI_ERROR_NEEDS_INDEX);
    avi_error = 0;
    EXPECT_EQ(AVI_read_video_frame(h.get(), buffer.data(), 16, nullptr), -1);
    EXPECT_EQ(avi_error, AVI_ERROR_NEEDS_INDEX);
    avi_error = 0;
    EXPECT_EQ(AVI_read_audio_bytes(h.get(), buffer.data(), 16), -1);
    EXPECT_EQ(avi_error, AVI_ERROR_NEEDS_INDEX);
}

INSTANTIATE_TEST_SUITE_P(writer_files, roundtrip, ::testing::ValuesIn(cases()),
                         [](const auto &info) { return std::string(info.param.name); });

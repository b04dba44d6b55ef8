// Other programs' AVI files (made by tests/data/peers/make-peers.sh) read back as ffmpeg
// reads them: every video frame with the same length and checksum as ffmpeg's framecrc
// (Adler-32), and each audio track's bytes equal to what ffmpeg copies out.
#include "reader_fixture.h"

#include <sstream>
#include <zlib.h>

using namespace mirvo_test;

namespace {

struct peer_case {
    const char *file;
    int tracks;
    int32_t origin;  // how the reader finds the file's index
    int key_frames;  // as our reader counts them (index flags exactly 0x10)
};

// ffmpeg writes "movi"-relative offsets and "00dc" ids; GStreamer absolute offsets, "00db"
// ids and flags 0x12 / 0x02: the 0x10 bit makes a key frame, for our reader as for ffmpeg.
const peer_case peers[] = {
    {"ffmpeg-video.avi", 0, AVI_INDEX_RELATIVE, 2},
    {"ffmpeg-pcm.avi", 1, AVI_INDEX_RELATIVE, 2},
    {"ffmpeg-two-tracks.avi", 2, AVI_INDEX_RELATIVE, 2},
    {"gst-avimux.avi", 1, AVI_INDEX_ABSOLUTE, 2},
};

struct packet {
    int64_t size;
    uint32_t adler;
};

// The packets of ffmpeg's framecrc lines: "stream, dts, pts, duration, size, 0xadler[, F=..]".
std::vector<packet> ffmpeg_video_packets(const std::string &path)
{
    command_result r = run("ffmpeg -nostdin -v error -i " + shell_quoted(path) +
                           " -map 0:v -c copy -f framecrc -");
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<packet> packets;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> fields;
        std::istringstream parts(line);
        for (std::string f; std::getline(parts, f, ',');)
            fields.push_back(f);
        EXPECT_GE(fields.size(), 6u) << line;
        if (fields.size() >= 6)
            packets.push_back({std::stoll(fields[4]), static_cast<uint32_t>(std::stoul(fields[5], nullptr, 16))});
    }
    return packets;
}

std::string peer_path(const char *file)
{
    return source_path(std::string("tests/data/peers/") + file);
}

class peer : public ::testing::TestWithParam<peer_case> {};

}  // namespace

TEST_P(peer, video_frames_equal_ffmpeg_s_packets)
{
    const peer_case &c = GetParam();
    reader h = open_reader(peer_path(c.file));
    ASSERT_TRUE(h) << AVI_error_text();
    EXPECT_EQ(AVI_index_origin(h.get()), c.origin);
    EXPECT_EQ(AVI_track_count(h.get()), c.tracks);
    EXPECT_STREQ(AVI_codec_fourcc(h.get()), "H264");
    EXPECT_EQ(AVI_frame_width(h.get()), 160);
    EXPECT_EQ(AVI_frame_height(h.get()), 120);
    EXPECT_DOUBLE_EQ(AVI_frames_per_second(h.get()), 25.0);

    std::vector<packet> packets = ffmpeg_video_packets(peer_path(c.file));
    ASSERT_EQ(AVI_frame_count(h.get()), static_cast<int32_t>(packets.size()));
    bytes buffer(1 << 16);
    int keys = 0;
    for (size_t n = 0; n < packets.size(); ++n) {
        int32_t key = 0;
        int32_t len = AVI_read_video_frame(h.get(), buffer.data(), static_cast<int32_t>(buffer.size()), &key);
        ASSERT_EQ(len, packets[n].size) << "frame " << n << ": " << AVI_error_text();
        // framecrc starts its Adler-32 sums at 0, not at the usual 1.
        EXPECT_EQ(adler32(0, buffer.data(), static_cast<uInt>(len)), packets[n].adler)
            << "frame " << n;
        keys += key;
    }
    EXPECT_EQ(keys, c.key_frames);
}

TEST_P(peer, audio_tracks_equal_ffmpeg_s_copy)
{
    const peer_case &c = GetParam();
    reader h = open_reader(peer_path(c.file));
    reader header_only = open_reader(peer_path(c.file), 0);
    ASSERT_TRUE(h && header_only) << AVI_error_text();
    for (int t = 0; t < c.tracks; ++t) {
        command_result r = run("ffmpeg -nostdin -v error -i " + shell_quoted(peer_path(c.file)) +
                               " -map 0:a:" + std::to_string(t) + " -c copy -f s16le -");
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(AVI_select_audio_track(h.get(), t), 0);
        EXPECT_EQ(AVI_track_bytes(h.get()), static_cast<int32_t>(r.out.size()));
        ASSERT_EQ(AVI_select_audio_track(header_only.get(), t), 0);
        EXPECT_EQ(AVI_track_bytes(header_only.get()), static_cast<int32_t>(r.out.size())) << "from the header";
        std::string ours(r.out.size() + 100, '\0');
        int32_t got = AVI_read_audio_bytes(h.get(), ours.data(), static_cast<int32_t>(ours.size()));
        ASSERT_GE(got, 0) << AVI_error_text();
        ours.resize(static_cast<size_t>(got));
        EXPECT_TRUE(ours == r.out) << "track " << t << ": " << ours.size() << " bytes against "
                                   << r.out.size();
    }
}

TEST_P(peer, a_rebuilt_index_finds_the_same_frames)
{
    // Without its "idx1" the file is scanned; the frames are the same, none flagged key.
    const peer_case &c = GetParam();
    bytes file = read_file(peer_path(c.file));
    reader indexed = open_reader(peer_path(c.file));
    ASSERT_TRUE(indexed);
    for (size_t at = 12; at + 4 <= file.size(); ++at) {
        if (text_at(file, at) == "idx1") {
            file[at] = 'J', file[at + 1] = 'U', file[at + 2] = 'N', file[at + 3] = 'K';
            break;
        }
    }
    temp_dir dir;
    write_file(dir.file("no-index.avi"), file);
    reader scanned = open_reader(dir.file("no-index.avi"));
    ASSERT_TRUE(scanned) << AVI_error_text();
    EXPECT_EQ(AVI_index_origin(scanned.get()), AVI_INDEX_REBUILT);
    ASSERT_EQ(AVI_frame_count(scanned.get()), AVI_frame_count(indexed.get()));
    for (int32_t n = 0; n < AVI_frame_count(indexed.get()); ++n) {
        EXPECT_EQ(AVI_frame_file_offset(scanned.get(), n), AVI_frame_file_offset(indexed.get(), n));
        EXPECT_EQ(AVI_frame_length(scanned.get(), n), AVI_frame_length(indexed.get(), n));
        EXPECT_EQ(AVI_frame_is_key(scanned.get(), n), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(other_programs, peer, ::testing::ValuesIn(peers), [](const auto &info) {
    std::string name = info.param.file;
    for (char &ch : name)
        if (ch == '-' || ch == '.')
            ch = '_';
    return name;
});

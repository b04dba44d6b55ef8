// Other programs read our files: a real H.264 clip with 8 kHz PCM audio, written through
// the module, is accepted by ffprobe with the streams we declared and decodes cleanly.
#include "writer_fixture.h"

#include <cmath>
#include <nlohmann/json.hpp>

using namespace mirvo_test;

namespace {

bytes tone_chunk(int index)
{
    bytes pcm(320);  // 20 ms of 16-bit mono at 8 kHz
    for (int s = 0; s < 160; ++s) {
        auto v = static_cast<int16_t>(8000 * std::sin((index * 160 + s) * 2 * M_PI * 440 / 8000));
        pcm[2 * s] = static_cast<unsigned char>(v & 0xff);
        pcm[2 * s + 1] = static_cast<unsigned char>((v >> 8) & 0xff);
    }
    return pcm;
}

}  // namespace

TEST_F(writer_test, ffprobe_and_ffmpeg_accept_a_recorded_clip_with_audio)
{
    std::vector<access_unit> units = split_at_delimiters(read_file(source_path("tests/data/clip.h264")));
    ASSERT_EQ(units.size(), 100u);
    ASSERT_TRUE(units[0].key);
    ASSERT_TRUE(std::any_of(units.begin(), units.end(),
                            [](const access_unit &u) { return u.data.size() % 2 == 1; }))
        << "the clip should hold frames of odd length";

    AVI_define_video(handle, 320, 240, 25.0, "H264");
    AVI_add_audio_track(handle, 1, 8000, 16, 1, 128);
    int audio_chunks = 0;
    for (const access_unit &u : units) {
        ASSERT_EQ(AVI_put_video_frame(handle, u.data.data(), static_cast<int32_t>(u.data.size()),
                                      u.key), 0);
        for (int a = 0; a < 2; ++a) {
            bytes pcm = tone_chunk(audio_chunks++);
            ASSERT_EQ(AVI_put_audio(handle, pcm.data(), 320), 0);
        }
    }
    close_and_read();

    command_result probe = run("ffprobe -v error -count_packets -of json -show_entries "
                               "stream=codec_type,codec_name,width,height,r_frame_rate,"
                               "nb_read_packets,sample_rate,channels:format=duration " +
                               shell_quoted(path));
    ASSERT_EQ(probe.status, 0) << probe.err;
    EXPECT_EQ(probe.err, "");
    auto streams = nlohmann::json::parse(probe.out).at("streams");
    ASSERT_EQ(streams.size(), 2u) << probe.out;
    EXPECT_EQ(streams[0]["codec_type"], "video");
    EXPECT_EQ(streams[0]["codec_name"], "h264");
    EXPECT_EQ(streams[0]["width"], 320);
    EXPECT_EQ(streams[0]["height"], 240);
    EXPECT_EQ(streams[0]["r_frame_rate"], "25/1");
    EXPECT_EQ(streams[0]["nb_read_packets"], "100");
    EXPECT_EQ(streams[1]["codec_type"], "audio");
    EXPECT_EQ(streams[1]["codec_name"], "pcm_s16le");
    EXPECT_EQ(streams[1]["sample_rate"], "8000");
    EXPECT_EQ(streams[1]["channels"], 1);
    EXPECT_EQ(streams[1]["nb_read_packets"], "200");
    EXPECT_EQ(nlohmann::json::parse(probe.out)["format"]["duration"], "4.000000");

    command_result decode = run("ffmpeg -nostdin -v error -i " + shell_quoted(path) + " -f null -");
    EXPECT_EQ(decode.status, 0);
    EXPECT_EQ(decode.err, "") << "decoding should be silent";

    // The frames ffmpeg reads back are ours, byte for byte.
    command_result copy = run("ffmpeg -nostdin -v error -i " + shell_quoted(path) +
                              " -map 0:v -c copy -f h264 -");
    ASSERT_EQ(copy.status, 0) << copy.err;
    bytes stored(copy.out.begin(), copy.out.end());
    EXPECT_EQ(stored, read_file(source_path("tests/data/clip.h264")));
}

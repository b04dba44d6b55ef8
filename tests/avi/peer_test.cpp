// Other programs read our files: a real H.264 clip with 8 kHz PCM audio, written through
// the module, is accepted by ffprobe with the streams we declared and decodes cleanly, and
// GStreamer and ffmpeg play its audio as 16-bit samples at the video's pace.
#include "avi/avi_internal.h"
#include "recording.h"
#include "writer_fixture.h"

#include "common/le_bytes.h"

#include <cmath>
#include <cstdio>
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

// The end of the last buffer that a pipeline's fakesink printed ("pts: 0:00:03.980000000,
// duration: 0:00:00.020000000"), in seconds; -1 when none.
double last_buffer_end(const std::string &log)
{
    double end = -1;
    for (size_t at = log.find("pts: "); at != std::string::npos; at = log.find("pts: ", at + 1)) {
        int h = 0, m = 0, dh = 0, dm = 0;
        double sec = 0, dsec = 0;
        if (sscanf(log.c_str() + at, "pts: %d:%d:%lf, duration: %d:%d:%lf", &h, &m, &sec, &dh, &dm, &dsec) == 6)
            end = std::max(end, h * 3600 + m * 60 + sec + dh * 3600 + dm * 60 + dsec);
    }
    return end;
}

}  // namespace

class clip_with_tone : public writer_test {
protected:
    // The clip's 100 frames (4 s) with two 20 ms tone chunks after each; closes the file.
    void record()
    {
        AVI_define_video(handle, 320, 240, 25.0, "H264");
        AVI_add_audio_track(handle, 1, 8000, 16, 1, 128);
        for (const access_unit &u : clip_units()) {
            ASSERT_EQ(AVI_put_video_frame(handle, u.data.data(), static_cast<int32_t>(u.data.size()), u.key), 0);
            for (int a = 0; a < 2; ++a) {
                bytes pcm = tone_chunk(static_cast<int>(tone.size() / 320));
                tone.insert(tone.end(), pcm.begin(), pcm.end());
                ASSERT_EQ(AVI_put_audio(handle, pcm.data(), 320), 0);
            }
        }
        close_and_read();
    }
    bytes tone;  // every audio byte written
};

TEST_F(clip_with_tone, players_take_the_audio_for_16_bit_samples_lasting_as_long_as_the_video)
{
    record();
    if (run("gst-launch-1.0 --version").status != 0)
        GTEST_SKIP() << "GStreamer's gst-launch-1.0 is not installed (scripts/install-deps.sh test)";
    // Only 16-bit samples pass the caps: a track taken for 8-bit ones fails to link.
    const std::string demux = "gst-launch-1.0 filesrc location=" + shell_quoted(path) +
                              " ! avidemux name=d d.audio_0 ! audio/x-raw,format=S16LE,rate=8000,channels=1 ! ";
    std::string raw = dir.file("audio.raw");
    command_result pcm = run(demux + "filesink location=" + shell_quoted(raw));
    ASSERT_EQ(pcm.status, 0) << pcm.out << pcm.err;
    EXPECT_TRUE(read_file(raw) == tone) << "GStreamer's samples are not the ones written";
    command_result timed = run(demux + "fakesink silent=false -v");
    EXPECT_NEAR(last_buffer_end(timed.out), 4.0, 0.04) << timed.out.substr(0, 2000);

    // ffmpeg times each packet by the stream header, and carries the header into a copy.
    command_result packets = run("ffprobe -v error -select_streams a -show_entries packet=pts_time,duration_time "
                                 "-of csv=p=0 " + shell_quoted(path));
    ASSERT_EQ(packets.status, 0) << packets.err;
    EXPECT_NE(packets.out.find("\n3.980000,0.020000\n"), std::string::npos) << "the last packet ends at 4 s";
    std::string copy = dir.file("copy.avi");
    ASSERT_EQ(run("ffmpeg -nostdin -v error -i " + shell_quoted(path) + " -c copy " + shell_quoted(copy)).status, 0);
    EXPECT_EQ(run("ffprobe -v error -select_streams a -show_entries stream=bit_rate -of csv=p=0 " +
                  shell_quoted(copy)).out, "128000\n");
}

TEST_F(clip_with_tone, files_whose_header_counts_audio_in_bytes_still_read_right)
{
    // Recordings made before PCM was counted in 16-bit samples: scale, sample size and block
    // align 1, and the length in bytes.
    record();
    const bytes finished = read_file(path);
    bytes file = finished;
    for (size_t at : {252, 276})
        put_u32_le(&file[at], 1);
    put_u32_le(&file[264], static_cast<uint32_t>(tone.size()));
    file[308] = 1;
    write_file(path, file);

    avi_handle *h = AVI_open_input(path.c_str(), 1);
    ASSERT_NE(h, nullptr) << AVI_error_text();
    EXPECT_EQ(AVI_track_bytes(h), static_cast<int32_t>(tone.size()));
    EXPECT_EQ(AVI_track_bits(h), 16);
    bytes back(tone.size() + 1);
    EXPECT_EQ(AVI_read_audio_bytes(h, back.data(), static_cast<int32_t>(back.size())), static_cast<int32_t>(tone.size()));
    back.pop_back();
    EXPECT_TRUE(back == tone);
    AVI_close_handle(h);

    // Cut off before its index, such a recording is still this writer's: repair finishes it
    // with today's header.
    file.resize(avi_detail::header_at::movi_list + 8 + u32_at(file, avi_detail::header_at::movi_size));
    write_file(path, file);
    avi_recovery found{};
    EXPECT_EQ(AVI_repair_file(path.c_str(), &found), 0) << AVI_error_text();
    EXPECT_EQ(found.state, AVI_FILE_CUT_OFF);
    EXPECT_TRUE(read_file(path) == finished);
}

TEST_F(clip_with_tone, ffprobe_and_ffmpeg_accept_a_recorded_clip_with_audio)
{
    std::vector<access_unit> units = clip_units();
    ASSERT_EQ(units.size(), 100u);
    ASSERT_TRUE(units[0].key);
    ASSERT_TRUE(std::any_of(units.begin(), units.end(),
                            [](const access_unit &u) { return u.data.size() % 2 == 1; }))
        << "the clip should hold frames of odd length";
    record();

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
    EXPECT_EQ(stored, read_file(source_path(test_clip)));
}

// mirvo-avi as a user runs it: info (text and JSON), frames with CRC-32s, extract of the
// stored video stream and of an audio track as WAV (which ffprobe accepts), and one-line
// failures with a non-zero exit status.
#include "tool_fixture.h"

#include <nlohmann/json.hpp>
#include <sstream>
#include <zlib.h>

using namespace mirvo_test;

namespace {

class tool : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::vector<piece> pieces;
        for (int f = 0; f < 10; ++f) {
            pieces.push_back({-1, pattern(static_cast<size_t>(301 + f), static_cast<unsigned>(f)), f % 5 == 0});
            pieces.push_back({0, pattern(320, 100u + static_cast<unsigned>(f))});
            pieces.push_back({1, pattern(161, 200u + static_cast<unsigned>(f))});
        }
        r = write_recording(dir.file("rec.avi"), {.tracks = 2}, pieces);
    }
    temp_dir dir;
    recording r;
};

uint32_t crc_of(const bytes &b)
{
    return static_cast<uint32_t>(crc32(0, b.data(), static_cast<uInt>(b.size())));
}

}  // namespace

TEST_F(tool, info_tells_streams_index_and_largest_chunk)
{
    command_result text = mirvo_avi("info " + shell_quoted(r.path));
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("video:         H264, 160x120, 25.000 fps, 10 frames, 0.400 s, 2 key frames"),
              std::string::npos) << text.out;
    EXPECT_NE(text.out.find("audio track 1: format 1 (PCM), 1 channel, 8000 Hz, 16 bits, 1610 bytes in 10 chunks"),
              std::string::npos) << text.out;
    EXPECT_NE(text.out.find("index:         absolute"), std::string::npos);
    EXPECT_NE(text.out.find("largest chunk: 320 bytes"), std::string::npos);

    command_result json = mirvo_avi("info --json " + shell_quoted(r.path));
    ASSERT_EQ(json.status, 0) << json.err;
    auto d = nlohmann::json::parse(json.out);
    EXPECT_EQ(d["video"]["frames"], 10);
    EXPECT_EQ(d["video"]["key_frames"], 2);
    EXPECT_EQ(d["video"]["codec"], "H264");
    EXPECT_DOUBLE_EQ(d["video"]["duration"].get<double>(), 0.4);
    ASSERT_EQ(d["audio"].size(), 2u);
    EXPECT_EQ(d["audio"][0]["bytes"], 3200);
    EXPECT_EQ(d["audio"][1]["chunks"], 10);
    EXPECT_EQ(d["index"], "absolute");
    EXPECT_EQ(d["largest_chunk"], 320);
}

TEST_F(tool, info_json_has_every_key_in_every_state_and_warns_of_what_players_get_wrong)
{
    // The main clip is 640x360; a header that says 640x480, and audio 0.75 s short.
    clip_recording c{.clip = "device/clips/main.h264", .width = 640, .height = 480, .frames = 25,
                     .audio_bytes = 160};
    std::string odd = dir.file("odd.avi"), cut = dir.file("cut.avi"), empty = dir.file("empty.avi");
    write_file(cut, record_clip(odd, c).before_close);
    c.frames = 0;
    write_file(empty, record_clip(dir.file("none.avi"), c).before_close);

    auto keys = [](const nlohmann::json &d) {
        std::vector<std::string> names;
        for (const auto &item : d.items())
            names.push_back(item.key());
        return names;
    };
    auto finished = nlohmann::json::parse(mirvo_avi("info --json " + shell_quoted(odd)).out);
    EXPECT_EQ(finished["version"], 1);
    EXPECT_EQ(finished["video"]["fps_fraction"], "25/1");
    EXPECT_EQ(finished["audio"][0]["duration"], 0.25);
    EXPECT_EQ(finished["audio"][0]["duration_minus_video"], -0.75);
    EXPECT_TRUE(finished["checkpoints"].is_null());
    EXPECT_EQ(finished["warnings"], nlohmann::json({"the header says 640x480 but the H.264 stream is 640x360",
                                                    "audio track 0 is 0.750 s shorter than the video, more than a frame"}));
    for (const std::string &other : {cut, empty, r.path}) {
        auto d = nlohmann::json::parse(mirvo_avi("info --json " + shell_quoted(other)).out);
        EXPECT_EQ(keys(d), keys(finished)) << other;
    }
    auto nothing = nlohmann::json::parse(mirvo_avi("info --json " + shell_quoted(empty)).out);
    EXPECT_TRUE(nothing["video"].is_null());
    EXPECT_EQ(nothing["finalised"], false);
    EXPECT_NE(mirvo_avi("info " + shell_quoted(odd)).out.find(
                  "\nwarning:       the header says 640x480 but the H.264 stream is 640x360\n"),
              std::string::npos);
}

TEST_F(tool, frames_lists_every_entry_in_index_order_with_its_crc)
{
    command_result out = mirvo_avi("frames " + shell_quoted(r.path));
    ASSERT_EQ(out.status, 0) << out.err;
    std::istringstream lines(out.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "# stream number data_offset length key crc32");
    std::vector<std::string> rows;
    while (std::getline(lines, line))
        rows.push_back(line);
    ASSERT_EQ(rows.size(), 30u);
    reader h = open_reader(r.path);
    for (int f = 0; f < 10; ++f) {
        char want[128];
        snprintf(want, sizeof want, "video %d %lld %zu %d %08x", f,
                 static_cast<long long>(AVI_frame_file_offset(h.get(), f)), r.frames[f].size(),
                 f % 5 == 0 ? 1 : 0, crc_of(r.frames[f]));
        EXPECT_EQ(rows[3 * f], want);
        EXPECT_EQ(rows[3 * f + 1].substr(0, 9), "audio0 " + std::to_string(f) + " ");
        snprintf(want, sizeof want, " 161 0 %08x", crc_of(r.chunks[1][f]));
        EXPECT_NE(rows[3 * f + 2].find(want), std::string::npos) << rows[3 * f + 2];
    }
}

TEST_F(tool, extract_writes_the_stored_stream_and_a_wav_file)
{
    std::string video = dir.file("v.h264"), audio = dir.file("a.wav");
    command_result out = mirvo_avi("extract " + shell_quoted(r.path) + " --video " + shell_quoted(video) +
                                   " --audio " + shell_quoted(audio) + " --track 1");
    ASSERT_EQ(out.status, 0) << out.err;
    bytes joined;
    for (const bytes &f : r.frames)
        joined.insert(joined.end(), f.begin(), f.end());
    EXPECT_EQ(read_file(video), joined);

    bytes wav = read_file(audio);
    ASSERT_EQ(wav.size(), 44u + 1610u);
    EXPECT_EQ(text_at(wav, 0), "RIFF");
    EXPECT_EQ(u32_at(wav, 4), wav.size() - 8);
    EXPECT_EQ(text_at(wav, 8, 8), "WAVEfmt ");
    EXPECT_EQ(u32_at(wav, 16), 16u);
    EXPECT_EQ(u16_at(wav, 20), 1);       // PCM
    EXPECT_EQ(u16_at(wav, 22), 1);       // channels
    EXPECT_EQ(u32_at(wav, 24), 8000u);   // rate
    EXPECT_EQ(u32_at(wav, 28), 16000u);  // bytes per second
    EXPECT_EQ(u16_at(wav, 32), 2);       // block
    EXPECT_EQ(u16_at(wav, 34), 16);      // bits
    EXPECT_EQ(text_at(wav, 36), "data");
    EXPECT_EQ(u32_at(wav, 40), 1610u);
    EXPECT_EQ(bytes(wav.begin() + 44, wav.begin() + 44 + 1610), r.audio[1]);

    command_result probe = run("ffprobe -v error -of json -show_entries stream=codec_name,sample_rate,channels " +
                               shell_quoted(audio));
    ASSERT_EQ(probe.status, 0) << probe.err;
    auto s = nlohmann::json::parse(probe.out)["streams"][0];
    EXPECT_EQ(s["codec_name"], "pcm_s16le");
    EXPECT_EQ(s["sample_rate"], "8000");
}

TEST_F(tool, failures_are_one_line_with_the_file_name_and_a_non_zero_status)
{
    // The same fault in the same words, whatever the subcommand.
    write_file(dir.file("five.avi"), bytes(5, 'x'));
    write_file(dir.file("text.avi"), bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!', '!'});
    write_file(dir.file("zeros.avi"), bytes(2048, 0));
    const std::pair<std::string, std::string> inputs[] = {
        {"none.avi", "cannot be opened: No such file or directory"},
        {"five.avi", "not an AVI file"},
        {"text.avi", "not an AVI file"},
        {"zeros.avi", "not an AVI file"},
    };
    for (const auto &[name, reason] : inputs) {
        for (const char *cmd : {"info", "info --json", "frames", "frames --json", "repair", "extract --video -"}) {
            command_result bad = mirvo_avi(std::string(cmd) + " " + shell_quoted(dir.file(name)) + " > /dev/null");
            EXPECT_EQ(bad.status, 1) << cmd << " " << name;
            EXPECT_EQ(bad.err, dir.file(name) + ": " + reason + "\n") << cmd;
        }
    }

    command_result no_track = mirvo_avi("extract " + shell_quoted(r.path) + " --audio " +
                                        shell_quoted(dir.file("a.wav")) + " --track 5");
    EXPECT_EQ(no_track.status, 1);
    EXPECT_EQ(no_track.err, r.path + ": no audio track 5 (the file has 2)\n");

    command_result unwritable = mirvo_avi("extract " + shell_quoted(r.path) + " --video /nonexistent/dir/v.h264");
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_EQ(unwritable.err, "/nonexistent/dir/v.h264: No such file or directory\n");

    EXPECT_EQ(mirvo_avi("").status, 2);
    EXPECT_EQ(mirvo_avi("bogus x.avi").status, 2);
    EXPECT_EQ(mirvo_avi("extract " + shell_quoted(r.path)).status, 2);
    EXPECT_EQ(mirvo_avi("info").status, 2);
    command_result help = mirvo_avi("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("mirvo-avi extract FILE [--video OUT.h264] [--audio OUT.wav] [--track N]"),
              std::string::npos);
}

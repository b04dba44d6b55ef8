// mirvo-avi info beside ffprobe and ffmpeg: on our recordings, the peers' files and x264's
// profiles, what info prints (sizes, bit rates, durations, key frame spacing, repeated
// frames, the H.264 profile, level and sizes from the sequence parameter set) is what
// ffprobe reports and what ffmpeg's trace of the parameter set holds.
#include "tool_fixture.h"

#include <cmath>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

using namespace mirvo_test;
using nlohmann::json;

namespace {

// What the peers say about a file.
struct peer_view {
    json format, video;
    std::vector<json> audio;
    std::vector<double> audio_ends;  // per audio stream: its last packet's time plus duration
    size_t video_packets = 0;        // each chunk once: repeated frames are gaps in the times
    std::vector<int64_t> key_times;  // of the key packets, in frames
    std::map<std::string, long> sps;       // first value of each field in ffmpeg's trace
};

json probe(const std::string &args, const std::string &file)
{
    command_result r = run("ffprobe -v error -of json " + args + " " + shell_quoted(file));
    EXPECT_EQ(r.status, 0) << r.err;
    return r.status == 0 ? json::parse(r.out) : json::object();
}

// The fields of the first sequence parameter set, as ffmpeg's trace_headers prints them:
// "[trace_headers @ 0x...] 41          pic_width_in_mbs_minus1      0001010 = 9".
std::map<std::string, long> traced_parameters(const std::string &file, const std::string &input_format = "")
{
    command_result r = run("ffmpeg -hide_banner -loglevel debug " + input_format + " -i " + shell_quoted(file) +
                           " -map 0:v -c:v copy -bsf:v trace_headers -frames:v 1 -f null - 2>&1");
    std::map<std::string, long> fields;
    std::regex field(R"(\[trace_headers @ [^\]]*\] +\d+ +(\w+) +[01]+ = (-?\d+))");
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_search(line, m, field))
            fields.emplace(m[1], std::stol(m[2]));  // the first one of a name stays
    }
    EXPECT_TRUE(fields.count("pic_width_in_mbs_minus1")) << r.out;
    return fields;
}

peer_view look_with_peers(const std::string &file)
{
    peer_view p;
    json shown = probe("-show_format -show_streams", file);
    p.format = shown["format"];
    std::map<int, size_t> audio_of_stream;
    for (const json &s : shown["streams"]) {
        if (s["codec_type"] == "video" && p.video.is_null()) {
            p.video = s;
        } else if (s["codec_type"] == "audio") {
            audio_of_stream[s["index"].get<int>()] = p.audio.size();
            p.audio.push_back(s);
            p.audio_ends.push_back(0);
        }
    }
    json packets = probe("-show_entries packet=stream_index,dts,pts_time,duration_time,flags", file);
    for (const json &k : packets["packets"]) {
        int stream = k["stream_index"].get<int>();
        if (stream == p.video["index"].get<int>()) {
            p.video_packets += 1;
            if (k["flags"].get<std::string>().find('K') != std::string::npos)
                p.key_times.push_back(k["dts"].get<int64_t>());
        } else if (audio_of_stream.count(stream) && k.contains("pts_time")) {
            double end = std::stod(k["pts_time"].get<std::string>()) + std::stod(k["duration_time"].get<std::string>());
            double &last = p.audio_ends[audio_of_stream[stream]];
            last = std::max(last, end);
        }
    }
    p.sps = traced_parameters(file);
    return p;
}

double number(const json &text)
{
    return std::stod(text.get<std::string>());
}

void expect_info_as_peers_see_it(const std::string &file)
{
    SCOPED_TRACE(file);
    command_result r = mirvo_avi("info --json " + shell_quoted(file));
    ASSERT_EQ(r.status, 0) << r.err;
    json d = json::parse(r.out);
    const json &v = d["video"];
    peer_view p = look_with_peers(file);

    EXPECT_EQ(d["size"].get<double>(), number(p.format["size"]));
    EXPECT_NEAR(d["bit_rate"].get<double>(), number(p.format["bit_rate"]), 1.0);
    EXPECT_NEAR(v["duration"].get<double>(), number(p.video["duration"]), 1e-6);
    // ffprobe divides the video's bytes by the time from the first frame's start to the
    // last one's, one frame less than the video lasts; it leaves the rate out for some files.
    if (p.video.contains("bit_rate")) {
        double frames = v["frames"].get<double>();
        EXPECT_NEAR(v["bit_rate"].get<double>() * frames / (frames - 1), number(p.video["bit_rate"]), 2.0);
    }
    ASSERT_EQ(d["audio"].size(), p.audio.size());
    for (size_t t = 0; t < p.audio.size(); ++t) {
        EXPECT_NEAR(d["audio"][t]["duration"].get<double>(), p.audio_ends[t], 1e-6) << "track " << t;
        EXPECT_NEAR(d["audio"][t]["duration_minus_video"].get<double>(), p.audio_ends[t] - number(p.video["duration"]), 1e-6);
    }

    // The video's time base is one frame: a key frame's time is its number among the frames
    // shown, and the frames shown past the pictures are the filled and repeated ones.
    ASSERT_EQ(p.video["time_base"], "1/25");
    ASSERT_GE(p.key_times.size(), 2u);
    int64_t shortest = INT64_MAX, longest = 0;
    for (size_t k = 1; k < p.key_times.size(); ++k) {
        shortest = std::min(shortest, p.key_times[k] - p.key_times[k - 1]);
        longest = std::max(longest, p.key_times[k] - p.key_times[k - 1]);
    }
    EXPECT_EQ(v["key_frames"], p.key_times.size());
    EXPECT_EQ(v["key_frame_interval"]["min"], shortest);
    EXPECT_EQ(v["key_frame_interval"]["max"], longest);
    EXPECT_EQ(v["frames"], p.video["duration_ts"]);
    EXPECT_EQ(v["filled_frames"].get<size_t>() + v["repeated_frames"].get<size_t>(),
              p.video["duration_ts"].get<size_t>() - p.video_packets);

    const json &h = v["h264"];
    ASSERT_TRUE(h.is_object()) << r.out;
    EXPECT_EQ(h["profile"], p.video["profile"]);
    EXPECT_EQ(h["level_idc"], p.video["level"]);
    EXPECT_EQ(h["width"], p.video["width"]);
    EXPECT_EQ(h["height"], p.video["height"]);
    long field_factor = 2 - p.sps["frame_mbs_only_flag"];
    EXPECT_EQ(h["coded_width"], (p.sps["pic_width_in_mbs_minus1"] + 1) * 16);
    EXPECT_EQ(h["coded_height"], (p.sps["pic_height_in_map_units_minus1"] + 1) * 16 * field_factor);
    EXPECT_EQ(h["frame_mbs_only"], p.sps["frame_mbs_only_flag"] == 1);
    long depth = p.sps.count("bit_depth_luma_minus8") ? p.sps["bit_depth_luma_minus8"] + 8 : 8;
    EXPECT_EQ(h["bit_depth"], depth);
    long chroma = p.sps.count("chroma_format_idc") ? p.sps["chroma_format_idc"] : 1;
    const char *chroma_names[] = {"monochrome", "4:2:0", "4:2:2", "4:4:4"};
    EXPECT_EQ(h["chroma_format"], chroma_names[chroma & 3]);
}

bool has_libx264()
{
    return run("ffmpeg -hide_banner -h encoder=libx264").out.find("libx264") != std::string::npos;
}

}  // namespace

TEST(info_beside_peers, our_recordings_and_the_peers_files)
{
    temp_dir dir;
    // 320x240 Baseline, audio shorter than the video, repeated frames.
    record_clip(dir.file("small.avi"), {.frames = 60, .tracks = 2, .repeat_every = 9});
    // 640x360 Main, cropped from 368 lines; audio as long as the video.
    record_clip(dir.file("main.avi"), {.clip = "device/clips/main.h264", .width = 640, .height = 360,
                                       .frames = 60, .audio_bytes = 640});
    for (const std::string &file : {dir.file("small.avi"), dir.file("main.avi")})
        expect_info_as_peers_see_it(file);
    for (const char *peer : {"ffmpeg-video.avi", "ffmpeg-pcm.avi", "ffmpeg-two-tracks.avi", "gst-avimux.avi"})
        expect_info_as_peers_see_it(source_path(std::string("tests/data/peers/") + peer));
}

TEST(info_beside_peers, the_profiles_x264_writes)
{
    if (!has_libx264())
        GTEST_SKIP() << "ffmpeg has no libx264 encoder here, so there is nothing to make the profiles with";
    temp_dir dir;
    struct profile {
        std::string name, x264_profile, pixels, size, params;
    };
    const profile table[] = {
        {"high", "high", "yuv420p", "100x60", "keyint=5"},
        {"high10", "high10", "yuv420p10le", "100x60", "keyint=5"},
        {"high422-fields", "high422", "yuv422p10le", "100x60", "keyint=5:interlaced=1"},
        {"high444", "high444", "yuv444p", "98x58", "keyint=4:min-keyint=2"},
        {"monochrome", "high", "gray", "100x60", "keyint=5"},
    };
    for (const profile &p : table) {
        std::string file = dir.file(p.name + ".avi");
        command_result made = run("ffmpeg -v error -y -f lavfi -i testsrc2=size=" + p.size +
                                  ":rate=25:duration=0.48 -c:v libx264 -profile:v " + p.x264_profile + " -pix_fmt " +
                                  p.pixels + " -x264-params " + p.params + ":scenecut=0:bframes=0 -f avi " +
                                  shell_quoted(file));
        ASSERT_EQ(made.status, 0) << made.err;
        expect_info_as_peers_see_it(file);
    }
}

namespace {

// A parameter set's bits as the format codes them: fixed-width fields, exp-Golomb codes,
// then the stop bit, and emulation prevention in the bytes stored.
class bit_writer {
public:
    void bits(uint64_t value, int n)
    {
        for (int i = n - 1; i >= 0; --i)
            payload_bits.push_back(static_cast<bool>(value >> i & 1));
    }
    void ue(uint32_t value)
    {
        uint64_t coded = uint64_t{value} + 1;
        int length = 0;
        while (coded >> (length + 1))
            ++length;
        bits(0, length);
        bits(coded, length + 1);
    }
    void se(int32_t value) { ue(value > 0 ? static_cast<uint32_t>(2 * value - 1) : static_cast<uint32_t>(-2 * value)); }
    bytes nal_unit(unsigned char header)
    {
        bits(1, 1);
        while (payload_bits.size() % 8)
            bits(0, 1);
        bytes stored{header};
        int zeros = 0;
        for (size_t i = 0; i < payload_bits.size(); i += 8) {
            unsigned char byte = 0;
            for (size_t k = 0; k < 8; ++k)
                byte = static_cast<unsigned char>(byte << 1 | payload_bits[i + k]);
            if (zeros >= 2 && byte <= 3) {
                stored.push_back(3);
                zeros = 0;
            }
            stored.push_back(byte);
            zeros = byte == 0 ? zeros + 1 : 0;
        }
        return stored;
    }

private:
    std::vector<bool> payload_bits;
};

}  // namespace

TEST(info_beside_peers, a_parameter_set_with_scaling_lists_fields_and_cropping)
{
    // High 4:2:2, 10-bit luma, scaling lists (one that ends at once, one of 4x4, one of
    // 8x8), picture order type 1, 352x288 coded as fields, cropped by 2+6 and 2+4 samples.
    bit_writer w;
    w.bits(122, 8);  // profile_idc
    w.bits(0, 8);    // constraint flags
    w.bits(31, 8);   // level_idc
    w.ue(0);         // seq_parameter_set_id
    w.ue(2);         // chroma_format_idc: 4:2:2
    w.ue(2);         // bit_depth_luma_minus8
    w.ue(1);         // bit_depth_chroma_minus8
    w.bits(0, 1);    // qpprime_y_zero_transform_bypass_flag
    w.bits(1, 1);    // seq_scaling_matrix_present_flag
    for (int list = 0; list < 8; ++list) {
        bool present = list == 0 || list == 2 || list == 6;
        w.bits(present, 1);
        if (list == 0)
            w.se(-8);  // next scale 0: the default list, nothing more follows
        for (int j = 0; list == 2 && j < 16; ++j)
            w.se(j % 2 ? -j : j + 1);
        for (int j = 0; list == 6 && j < 64; ++j)
            w.se((j * 37) % 255 - 127);
    }
    w.ue(2);       // log2_max_frame_num_minus4
    w.ue(1);       // pic_order_cnt_type
    w.bits(0, 1);  // delta_pic_order_always_zero_flag
    w.se(-3);      // offset_for_non_ref_pic
    w.se(5);       // offset_for_top_to_bottom_field
    w.ue(2);       // num_ref_frames_in_pic_order_cnt_cycle
    w.se(1);
    w.se(-2);
    w.ue(3);       // max_num_ref_frames
    w.bits(0, 1);  // gaps_in_frame_num_value_allowed_flag
    w.ue(21);      // pic_width_in_mbs_minus1: 352
    w.ue(8);       // pic_height_in_map_units_minus1: 9 pairs of field macroblock rows, 288
    w.bits(0, 1);  // frame_mbs_only_flag
    w.bits(1, 1);  // mb_adaptive_frame_field_flag
    w.bits(1, 1);  // direct_8x8_inference_flag
    w.bits(1, 1);  // frame_cropping_flag; offsets in chroma samples (2 wide) and field rows (2)
    w.ue(1);
    w.ue(3);
    w.ue(1);
    w.ue(2);
    w.bits(0, 1);  // vui_parameters_present_flag
    bytes sps = w.nal_unit(0x67);

    temp_dir dir;
    bytes stream = sps;
    const unsigned char start_code[] = {0, 0, 0, 1};
    stream.insert(stream.begin(), std::begin(start_code), std::end(start_code));
    write_file(dir.file("sps.h264"), stream);
    std::map<std::string, long> traced = traced_parameters(dir.file("sps.h264"), "-f h264");
    ASSERT_EQ(traced["frame_crop_bottom_offset"], 2) << "ffmpeg reads the set as it was written";
    ASSERT_EQ(traced["offset_for_top_to_bottom_field"], 5);

    recording r = write_recording(dir.file("sps.avi"), {}, {{-1, stream, true}, {-1, stream, true}});
    command_result info = mirvo_avi("info --json " + shell_quoted(r.path));
    ASSERT_EQ(info.status, 0) << info.err;
    json h = json::parse(info.out)["video"]["h264"];
    ASSERT_TRUE(h.is_object()) << info.out;
    EXPECT_EQ(h["profile"], "High 4:2:2");
    EXPECT_EQ(h["profile_idc"], traced["profile_idc"]);
    EXPECT_EQ(h["level"], "3.1");
    EXPECT_EQ(h["chroma_format"], "4:2:2");
    EXPECT_EQ(h["bit_depth"], traced["bit_depth_luma_minus8"] + 8);
    EXPECT_EQ(h["coded_width"], (traced["pic_width_in_mbs_minus1"] + 1) * 16);
    EXPECT_EQ(h["coded_height"], (traced["pic_height_in_map_units_minus1"] + 1) * 16 * 2);
    EXPECT_EQ(h["frame_mbs_only"], false);
    EXPECT_EQ(h["width"], 352 - 2 * (1 + 3));
    EXPECT_EQ(h["height"], 288 - 2 * (1 + 2));
}

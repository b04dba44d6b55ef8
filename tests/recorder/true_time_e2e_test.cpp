// A recording plays at the speed it was captured, whatever the camera delivers: a lower or
// higher rate than asked for, night mode, dropped frames, a video clock that drifts against
// the audio, and video without audio. The stand-in camera says when it captured each frame
// it delivered (QEL_TRACE); the frames' times come from ffprobe, as players see them.
#include "recorder_process.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

using namespace mirvo_test;
using namespace std::chrono_literals;
using json = nlohmann::json;

namespace {

constexpr double declared_fps = 25;
constexpr double audio_frame_s = 0.020;

struct camera {
    std::string name;
    std::map<std::string, std::string> settings;  // the stand-in's, besides the trace
    double seconds;                               // of the camera's clock to record
    bool decode = true;                           // ffmpeg and GStreamer look at the pictures
    std::string start_options = "--audio 1";
};

void PrintTo(const camera &c, std::ostream *os)
{
    *os << c.name;
}

std::vector<camera> cameras()
{
    const std::map<std::string, std::string> burst = {{"QEL_PACE", "burst"}};
    auto with = [&](std::map<std::string, std::string> more) {
        more.insert(burst.begin(), burst.end());
        return more;
    };
    return {
        {"steady", with({}), 20},
        {"low_rate", with({{"QEL_FPS", "15"}}), 20},
        {"high_rate", with({{"QEL_FPS", "30"}}), 20},
        {"night", with({{"QEL_FPS", "25,12@10,25@20"}}), 30},
        {"drops", with({{"QEL_DROP", "5"}, {"QEL_SEED", "7"}}), 20},
        {"fast_video_clock", with({{"QEL_VIDEO_PPM", "300"}}), 3600, false, "--audio 1 --stream 1"},
        {"slow_video_clock", with({{"QEL_VIDEO_PPM", "-300"}}), 3600, false, "--audio 1 --stream 1"},
        // Without audio the clock is the fetch's: in real time, the night falling after the
        // frames waiting in the ring at the start.
        {"video_only", {{"QEL_AUDIO", "off"}, {"QEL_FPS", "25,15@6"}}, 11, true, "--audio 0"},
    };
}

struct delivered {
    int64_t serial;
    int type;
    double captured;  // seconds
    size_t length;
};

// The frames the recording fetched from its first one on: the trace's frames from the last
// delivery of first_serial (before the recording's own fetches, the search for the key frame
// to begin with fetched some of them too).
std::vector<delivered> read_trace(const std::string &path, int64_t first_serial)
{
    std::vector<delivered> frames;
    std::ifstream in(path);
    delivered d{};
    long long us = 0;
    while (in >> d.serial >> d.type >> us >> d.length) {
        if (d.serial == first_serial)
            frames.clear();
        if (d.serial >= first_serial) {
            d.captured = static_cast<double>(us) / 1e6;
            frames.push_back(d);
        }
    }
    return frames;
}

// The capture time of the last frame delivered so far, from the trace's last line (the
// trace of an hour is megabytes: only its end is read).
double traced_seconds(const std::string &path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::streamoff size = in.tellg();
    in.seekg(size > 256 ? size - 256 : 0);
    std::string line, last;
    while (std::getline(in, line))
        last = line;
    std::istringstream fields(last);
    long long serial = 0, us = 0;
    int type = 0;
    fields >> serial >> type >> us;
    return static_cast<double>(us) / 1e6;
}

// The hashes of the pictures ffmpeg decodes, in order ("-" for the file: standard input).
std::vector<std::string> decoded_pictures(const std::string &input_options)
{
    command_result r = run("ffmpeg -nostdin -v error " + input_options +
                           " -map 0:v -fps_mode passthrough -f framemd5 -");
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> hashes;
    for (const std::string &line : lines_of(r.out))
        if (!line.empty() && line[0] != '#')
            hashes.push_back(line.substr(line.rfind(',') + 1));
    return hashes;
}

double gstreamer_duration(const std::string &file)
{
    command_result r = run("gst-discoverer-1.0 " + shell_quoted(file));
    size_t at = r.out.find("Duration: ");
    if (r.status != 0 || at == std::string::npos) {
        ADD_FAILURE() << "GStreamer gives no duration for " << file << ":\n" << r.out << r.err;
        return -1;
    }
    int h = 0, m = 0;
    double s = 0;
    sscanf(r.out.c_str() + at, "Duration: %d:%d:%lf", &h, &m, &s);
    return h * 3600 + m * 60 + s;
}

// Waits until the camera has captured `seconds` of its clock, as the trace tells.
void wait_for_camera_time(const std::string &trace, double seconds)
{
    auto give_up = std::chrono::steady_clock::now() + 5min;
    while (traced_seconds(trace) < seconds && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(20ms);
}

json info_of(const std::string &file)
{
    command_result r = run(program("mirvo-avi") + " info --json " + shell_quoted(file));
    EXPECT_EQ(r.status, 0) << r.err;
    return json::parse(r.out);
}

struct timing_report {
    double worst_error = 0, end_difference = 0;
};

}  // namespace

class true_time : public ::testing::TestWithParam<camera> {};

TEST_P(true_time, every_picture_is_shown_at_its_capture_time_and_video_ends_with_the_audio)
{
    const camera &c = GetParam();
    if (run("command -v ffprobe && command -v gst-discoverer-1.0").status != 0)
        GTEST_SKIP() << "ffprobe or gst-discoverer-1.0 is missing (scripts/install-deps.sh test)";
    temp_dir dir;
    std::string trace = dir.file("trace"), file = dir.file("rec.avi");
    std::map<std::string, std::string> settings = c.settings;
    settings["QEL_TRACE"] = trace;
    recorder_process mirvo(dir, settings);
    ASSERT_TRUE(mirvo.start_recording(file, "--fps 25 " + c.start_options));
    wait_for_camera_time(trace, c.seconds);
    ASSERT_TRUE(mirvo.stop_recording(1, "stop", 2min));
    ASSERT_EQ(mirvo.interrupt(), 0);

    std::vector<delivered> frames = read_trace(trace, first_serial(mirvo, 0));
    std::vector<delivered> video;
    double audio_seconds = 0;
    for (const delivered &d : frames)
        if (d.type == 1)
            audio_seconds += static_cast<double>(d.length) / 16000;
        else
            video.push_back(d);
    ASSERT_GT(video.size(), 100u);

    // ffprobe's packets (AVI times them by their decoding order), empty ones (the last picture held) left out, are the frames
    // delivered, in order; each at its capture time within a frame interval (the audio clock
    // tells the time to an audio frame).
    command_result packets = run("ffprobe -v error -select_streams v -show_entries packet=dts_time,size "
                                 "-of csv=p=0 " + shell_quoted(file));
    ASSERT_EQ(packets.status, 0) << packets.err;
    json info = info_of(file);
    const double fps = info["video"]["fps"].get<double>(), interval = 1 / fps;
    timing_report now, before;
    size_t k = 0;
    for (const std::string &line : lines_of(packets.out)) {
        double pts = 0;
        size_t size = 0;
        ASSERT_EQ(sscanf(line.c_str(), "%lf,%zu", &pts, &size), 2) << line;
        if (size == 0)
            continue;
        ASSERT_LT(k, video.size());
        ASSERT_EQ(size, video[k].length) << "packet " << k << " is not the frame delivered";
        double captured = video[k].captured - video[0].captured;
        now.worst_error = std::max(now.worst_error, std::fabs(pts - captured));
        // Every frame at the next frame time, as recordings were made before.
        before.worst_error = std::max(before.worst_error, std::fabs(static_cast<double>(k) / declared_fps - captured));
        ++k;
    }
    EXPECT_EQ(k, video.size()) << "every frame delivered is in the file";
    EXPECT_LE(now.worst_error, interval + audio_frame_s + 1e-3);

    double video_seconds = info["video"]["duration"].get<double>();
    int32_t filled = info["video"]["filled_frames"].get<int32_t>();
    bool with_audio = c.start_options.find("--audio 1") != std::string::npos;
    if (with_audio) {
        now.end_difference = info["audio"][0]["duration"].get<double>() - video_seconds;
        before.end_difference = audio_seconds - static_cast<double>(video.size()) / declared_fps;
        EXPECT_NEAR(info["audio"][0]["duration"].get<double>(), audio_seconds, 1e-6);
        EXPECT_LE(std::fabs(now.end_difference), interval + 1e-3);
    }
    if (c.name == "steady") {
        EXPECT_EQ(filled, 0) << "no filler from a camera that keeps the rate";
        EXPECT_EQ(info["video"]["fps_fraction"], "25/1");
    }

    if (c.decode) {
        // ffmpeg shows the right pictures: those of the frames decoded on their own.
        std::string h264 = dir.file("video.h264");
        ASSERT_EQ(run(program("mirvo-avi") + " extract " + shell_quoted(file) + " --video " + shell_quoted(h264)).status, 0);
        std::vector<std::string> alone = decoded_pictures("-i " + shell_quoted(h264));
        EXPECT_EQ(decoded_pictures("-i " + shell_quoted(file)), alone);
        if (!c.settings.contains("QEL_DROP")) {  // a picture that lost its reference is not shown
            EXPECT_EQ(alone.size(), video.size());
        }
        // GStreamer plays it as long as we do.
        EXPECT_NEAR(gstreamer_duration(file), std::max(video_seconds, video_seconds + now.end_difference), interval);
    }
    printf("| %s | %.0f s | %.3f s | %.3f s | %+.3f s | %+.3f s | %d filled, %.3f fps declared |\n",
           c.name.c_str(), video.back().captured - video[0].captured, before.worst_error, now.worst_error,
           before.end_difference, now.end_difference, filled, fps);
}

TEST(true_time_repair, a_killed_recording_of_a_faster_camera_keeps_the_rate_measured)
{
    // The measured rate goes into the header with the syncs, so repair finishes the file as
    // the close would have.
    temp_dir dir;
    std::string trace = dir.file("trace"), file = dir.file("rec.avi");
    recorder_process mirvo(dir, {{"QEL_PACE", "burst"}, {"QEL_FPS", "30"}, {"QEL_TRACE", trace}});
    ASSERT_TRUE(mirvo.start_recording(file, "--fps 25 --audio 1"));
    wait_for_camera_time(trace, 20);
    std::this_thread::sleep_for(1500ms);  // syncs are at least half a second apart
    mirvo.signal(SIGKILL);
    ASSERT_EQ(mirvo.wait_exit(), 128 + SIGKILL);
    command_result repaired = run(program("mirvo-avi") + " repair " + shell_quoted(file));
    ASSERT_EQ(repaired.status, 0) << repaired.out << repaired.err;
    json info = info_of(file);
    EXPECT_NEAR(info["video"]["fps"].get<double>(), 30, 0.05);
    EXPECT_EQ(info["video"]["filled_frames"], 0);
    EXPECT_NEAR(info["audio"][0]["duration_minus_video"].get<double>(), 0, 0.5) << "up to a sync apart";
}

INSTANTIATE_TEST_SUITE_P(cameras, true_time, ::testing::ValuesIn(cameras()),
                         [](const auto &info) { return info.param.name; });

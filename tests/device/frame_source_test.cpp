// The stand-in frame source through the device library's own functions: serial order and
// the interleaving of audio and video, the bytes delivered against the clips and the audio,
// where -2 and remembered serials start, the realtime clock, the ring, and bad settings.
#include "recording.h"
#include "source_fixture.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using mirvo_test::bytes;

const std::string main_clip = "device/clips/main.h264";
const std::string sub_clip = "device/clips/sub.h264";

TEST_F(frame_source_test, burst_serials_rise_by_one_with_two_audio_frames_per_video_frame)
{
    ASSERT_EQ(init({{"QEL_PACE", "burst"}}), 0);
    av_frame_info &d = descriptor();
    for (int second = 0; second < 12; ++second) {  // past the end of the 10-second clip
        int audio = 0, video = 0;
        for (int n = 0; n < 75; ++n) {
            fetch(0, d);
            int32_t expected_serial = second * 75 + n + 1;
            ASSERT_EQ(d.serial, expected_serial);
            bool audio_expected = n % 3 != 0;  // capture order: video, audio, audio, ...
            ASSERT_EQ(d.type == QEL_FRAME_AUDIO, audio_expected) << "serial " << d.serial;
            if (d.type == QEL_FRAME_AUDIO) {
                EXPECT_EQ(d.length, 320);
                ++audio;
            } else {
                EXPECT_EQ(d.type, n == 0 ? QEL_FRAME_VIDEO_KEY : 3) << "serial " << d.serial;
                ++video;
            }
        }
        EXPECT_EQ(audio, 50);
        EXPECT_EQ(video, 25);
    }
    int32_t current = 0;
    ASSERT_EQ(zo_get_cur_serial(0, &current), 0);
    EXPECT_EQ(current, 900);

    ASSERT_EQ(init({{"QEL_PACE", "burst"}, {"QEL_AUDIO", "off"}, {"QEL_FPS", "30"}}), 0);
    av_frame_info &video_only = descriptor();
    for (int32_t serial = 1; serial <= 60; ++serial) {
        fetch(0, video_only);
        ASSERT_EQ(video_only.serial, serial);
        ASSERT_NE(video_only.type, QEL_FRAME_AUDIO);
    }
}

TEST_F(frame_source_test, delivers_each_clips_access_units_byte_for_byte_across_a_loop)
{
    for (auto [stream, path] : {std::pair{0, main_clip}, std::pair{1, sub_clip}}) {
        ASSERT_EQ(init({{"QEL_PACE", "burst"}, {"QEL_AUDIO", "off"}}), 0);
        std::vector<mirvo_test::access_unit> units = mirvo_test::clip_units(path);
        ASSERT_EQ(units.size(), 250u) << path;
        av_frame_info &d = descriptor();
        for (size_t n = 0; n < units.size() + 30; ++n) {
            fetch(stream, d);
            const mirvo_test::access_unit &unit = units[n % units.size()];
            ASSERT_EQ(frame_bytes(d), unit.data) << path << " frame " << n;
            ASSERT_EQ(d.type, unit.key ? QEL_FRAME_VIDEO_KEY : 3) << path << " frame " << n;
        }
    }
}

// A WAV file of 1 channel, 8000 Hz, 16 bits holding the given sample bytes.
bytes wav_file(const bytes &samples, uint16_t channels = 1)
{
    std::string header = "RIFF" + mirvo_test::le32(uint32_t(36 + samples.size())) + "WAVE" +
                         "fmt " + mirvo_test::le32(16) + mirvo_test::le16(1) +
                         mirvo_test::le16(channels) + mirvo_test::le32(8000) +
                         mirvo_test::le32(16000u * channels) + mirvo_test::le16(2 * channels) +
                         mirvo_test::le16(16) + "data" + mirvo_test::le32(uint32_t(samples.size()));
    bytes file(header.begin(), header.end());
    file.insert(file.end(), samples.begin(), samples.end());
    return file;
}

TEST_F(frame_source_test, plays_a_wav_files_samples_in_20_ms_frames_and_a_looping_tone)
{
    mirvo_test::temp_dir dir;
    bytes samples(1000);  // 3.125 frames: the last one is padded with silence
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<unsigned char>(i * 7 + 1);
    mirvo_test::write_file(dir.file("a.wav"), wav_file(samples));
    ASSERT_EQ(init({{"QEL_PACE", "burst"}, {"QEL_AUDIO", dir.file("a.wav")}}), 0);
    bytes padded = samples;
    padded.resize(1280, 0);
    av_frame_info &d = descriptor();
    for (int audio_frame = 0; audio_frame < 10;) {
        fetch(0, d);
        if (d.type != QEL_FRAME_AUDIO)
            continue;
        size_t at = static_cast<size_t>(audio_frame++ % 4) * 320;
        ASSERT_EQ(frame_bytes(d), bytes(padded.begin() + long(at), padded.begin() + long(at + 320)));
    }

    ASSERT_EQ(init({{"QEL_PACE", "burst"}}), 0);
    av_frame_info &tone = descriptor();
    std::vector<bytes> first_second;
    for (int audio_frame = 0; audio_frame < 100;) {
        fetch(0, tone);
        if (tone.type != QEL_FRAME_AUDIO)
            continue;
        bytes frame = frame_bytes(tone);
        if (audio_frame < 50) {
            first_second.push_back(frame);
        } else {
            ASSERT_EQ(frame, first_second[audio_frame - 50]) << "the tone loops every second";
        }
        ++audio_frame;
    }
    int16_t peak = 0;
    for (size_t i = 0; i + 1 < first_second[0].size(); i += 2)
        peak = std::max<int16_t>(peak, int16_t(first_second[0][i] | first_second[0][i + 1] << 8));
    EXPECT_GT(peak, 1000) << "the tone is audible";
}

TEST_F(frame_source_test, minus_two_starts_at_the_newest_key_frame_and_a_remembered_serial_repeats_it)
{
    ASSERT_EQ(init({{"QEL_PACE", "burst"}}), 0);
    av_frame_info &first = descriptor();
    fetch(0, first);
    EXPECT_EQ(first.serial, 1);
    EXPECT_EQ(first.type, QEL_FRAME_VIDEO_KEY);

    ASSERT_EQ(qel_advance_clock(2500), 0);  // key frames at 0, 1 and 2 s: serials 1, 76, 151
    av_frame_info &late = descriptor();
    fetch(0, late);
    EXPECT_EQ(late.serial, 151);
    EXPECT_EQ(late.type, QEL_FRAME_VIDEO_KEY);
    int32_t current = 0;
    ASSERT_EQ(zo_get_cur_serial(0, &current), 0);
    EXPECT_EQ(current, 2 * 75 + 13 + 26);  // at 2.5 s: up to video 62 and audio 125

    // Record on to the next key frame, remember its serial less one, and start again there.
    av_frame_info &recording = descriptor(late.serial);
    do
        fetch(0, recording);
    while (recording.type != QEL_FRAME_VIDEO_KEY);
    EXPECT_EQ(recording.serial, 226);
    bytes key = frame_bytes(recording);
    for (int n = 0; n < 40; ++n)
        fetch(0, recording);
    av_frame_info &next_part = descriptor(226 - 1);
    fetch(0, next_part);
    EXPECT_EQ(next_part.serial, 226);
    EXPECT_EQ(next_part.type, QEL_FRAME_VIDEO_KEY);
    EXPECT_EQ(frame_bytes(next_part), key);
}

TEST_F(frame_source_test, realtime_gives_no_frame_before_it_is_captured)
{
    // One frame a second and no audio: the second frame is a whole second away, far more
    // than a slow machine needs between these calls.
    ASSERT_EQ(init({{"QEL_FPS", "1"}, {"QEL_AUDIO", "off"}}), 0);
    av_frame_info &d = descriptor();
    fetch(0, d);
    EXPECT_EQ(d.serial, 1);
    EXPECT_EQ(d.type, QEL_FRAME_VIDEO_KEY);
    bytes first = frame_bytes(d);
    EXPECT_NE(zo_get_av_data(0, &d), 0);
    EXPECT_EQ(d.serial, 1) << "a fetch without a frame leaves the descriptor as it was";
    EXPECT_EQ(frame_bytes(d), first);

    ASSERT_EQ(qel_advance_clock(1000), 0);
    fetch(0, d);
    EXPECT_EQ(d.serial, 2);
    EXPECT_EQ(d.type, 3);
    EXPECT_NE(zo_get_av_data(0, &d), 0);
}

TEST_F(frame_source_test, a_reader_behind_the_ring_jumps_to_the_oldest_key_frame_held)
{
    for (const char *pace : {"burst", "realtime"}) {
        ASSERT_EQ(init({{"QEL_PACE", pace}, {"QEL_RING_SECONDS", "2"}}), 0);
        av_frame_info &slow = descriptor();
        fetch(0, slow);
        ASSERT_EQ(slow.serial, 1);
        // 5 s later the ring holds 2 s: serials from about 228 on; the first key frame
        // among them is the one at 4 s, serial 301.
        ASSERT_EQ(qel_advance_clock(5000), 0);
        testing::internal::CaptureStderr();
        fetch(0, slow);
        std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(slow.serial, 301) << pace;
        EXPECT_EQ(slow.type, QEL_FRAME_VIDEO_KEY) << pace;
        EXPECT_EQ(said, "qelmain: stream 0 fell behind the ring: frame 2 is gone, going on at key frame 301\n")
            << pace;
        testing::internal::CaptureStderr();
        fetch(0, slow);
        EXPECT_EQ(slow.serial, 302) << pace;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "a reader in the ring goes on quietly";
    }

    // In burst pacing a reader far ahead moves the clock for every reader of the clock.
    ASSERT_EQ(init({{"QEL_PACE", "burst"}, {"QEL_RING_SECONDS", "1"}}), 0);
    av_frame_info &behind = descriptor();
    fetch(0, behind);
    av_frame_info &ahead = descriptor(1000);
    fetch(1, ahead);
    testing::internal::CaptureStderr();
    fetch(0, behind);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(behind.type, QEL_FRAME_VIDEO_KEY);
    EXPECT_EQ(behind.serial, 976);  // the ring holds 927..1001; video 325 is a key frame
}

TEST_F(frame_source_test, unknown_streams_and_a_missing_sub_clip_never_deliver)
{
    ASSERT_EQ(init({{"QEL_PACE", "burst"}}), 0);
    av_frame_info &d = descriptor();
    for (int stream : {-1, 2, 7, 1 << 20})
        EXPECT_NE(zo_get_av_data(stream, &d), 0) << stream;
    EXPECT_EQ(d.serial, -2);
    EXPECT_EQ(d.data, nullptr);
    int32_t current = 0;
    EXPECT_NE(zo_get_cur_serial(2, &current), 0);
    fetch(1, d);  // the default sub clip is there

    testing::internal::CaptureStderr();
    ASSERT_EQ(init({{"QEL_PACE", "burst"}, {"QEL_CLIP_SUB", "/nonexistent/sub.h264"}}), 0);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("/nonexistent/sub.h264"), std::string::npos) << said;
    EXPECT_NE(said.find("stream 1 gives no frames"), std::string::npos) << said;
    av_frame_info &sub = descriptor();
    EXPECT_NE(zo_get_av_data(1, &sub), 0);
    fetch(0, sub);
}

TEST_F(frame_source_test, reuses_the_frame_buffer_and_grows_it_with_realloc)
{
    ASSERT_EQ(init({{"QEL_PACE", "burst"}}), 0);
    av_frame_info &d = descriptor();
    int32_t largest = 0;
    unsigned char *buffer = nullptr;
    int reused = 0;
    for (int n = 0; n < 300; ++n) {
        fetch(0, d);
        if (d.length <= largest) {
            EXPECT_EQ(d.data, buffer) << "a frame that fits reuses the buffer, serial " << d.serial;
            ++reused;
        }
        largest = std::max(largest, d.length);
        buffer = d.data;
    }
    EXPECT_GT(reused, 250);

    // A buffer that the caller allocated itself is grown, not leaked (the sanitizers watch).
    av_frame_info &own = descriptor();
    own.data = static_cast<unsigned char *>(malloc(8));
    fetch(0, own);
    EXPECT_EQ(own.serial, 226);  // serials 1..300 are captured: the newest key frame is video 75
    EXPECT_EQ(frame_bytes(own), mirvo_test::clip_units(main_clip)[75].data);
}

TEST_F(frame_source_test, two_threads_fetch_their_own_streams_in_order)
{
    // The streams share the clock: a ring long enough that neither reader can drop the other
    // out of it, however far ahead one of them runs.
    ASSERT_EQ(init({{"QEL_PACE", "burst"}, {"QEL_RING_SECONDS", "3600"}}), 0);
    av_frame_info &main_reader = descriptor(), &sub_reader = descriptor();
    auto read = [](int stream, av_frame_info &d, bool &in_order) {
        int32_t last = 0;
        for (int n = 0; n < 3000; ++n) {
            if (zo_get_av_data(stream, &d) != 0 || (last && d.serial != last + 1))
                return;
            int32_t current = 0;
            zo_get_cur_serial(stream, &current);
            if (current < d.serial)
                return;
            last = d.serial;
        }
        in_order = true;
    };
    bool main_ok = false, sub_ok = false;
    std::thread other(read, 1, std::ref(sub_reader), std::ref(sub_ok));
    read(0, main_reader, main_ok);
    other.join();
    EXPECT_TRUE(main_ok);
    EXPECT_TRUE(sub_ok);
}

// One frame as a fetch delivered it, with its capture instant from the trace.
struct delivered {
    int32_t serial, type, length;
    uint64_t hash;  // of the bytes, where a case looks at them
    int64_t capture_us = 0;
    bool operator==(const delivered &) const = default;
};

uint64_t fnv1a(const unsigned char *data, size_t size)
{
    uint64_t hash = 14695981039346656037u;
    for (size_t i = 0; i < size; ++i)
        hash = (hash ^ data[i]) * 1099511628211u;
    return hash;
}

TEST_F(frame_source_test, a_camera_changes_rate_drops_frames_and_drifts_the_same_way_for_a_seed)
{
    // Each case records `seconds` of the clock on stream 0 from serial 1 (burst pacing unless
    // it says otherwise) and takes the capture instants from the trace. per_second: video
    // frames in each second; video: video frames in all (within one); drop: the percentage of
    // pictures that are no key frame expected gone (25 fps); same_as / unlike: an earlier
    // case whose frames this one must repeat, or must not.
    struct a_case {
        const char *name;
        settings values;
        int seconds;
        std::vector<int> per_second = {};
        double video = 0;
        double drop = 0;
        int same_as = -1, unlike = -1;
    };
    std::vector<int> plan(10, 25);
    plan.resize(20, 12);
    plan.resize(23, 25);
    plan.resize(25, 7);
    const a_case cases[] = {
        {"night mode plan", {{"QEL_FPS", "25,12@10,25@20,7@23"}}, 25, plan},
        {"10 % dropped", {{"QEL_DROP", "10"}, {"QEL_SEED", "1"}}, 200, {}, 0, 10},
        {"the same in realtime",
         {{"QEL_DROP", "10"}, {"QEL_SEED", "1"}, {"QEL_PACE", "realtime"}}, 200, {}, 0, 10, 1},
        {"another seed", {{"QEL_DROP", "10"}, {"QEL_SEED", "2"}}, 200, {}, 0, 10, -1, 1},
        {"2.5 % dropped", {{"QEL_DROP", "2.5"}, {"QEL_SEED", "1"}}, 200, {}, 0, 2.5, -1, 1},
        {"video 500 ppm fast", {{"QEL_VIDEO_PPM", "500"}}, 3600, {}, 3600 * 25 * 1.0005},
        {"video 1500 ppm slow at 12 fps",
         {{"QEL_VIDEO_PPM", "-1500"}, {"QEL_FPS", "12"}}, 3600, {}, 3600 * 12 * 0.9985},
    };
    std::vector<mirvo_test::access_unit> units = mirvo_test::clip_units(main_clip);
    mirvo_test::temp_dir dir;
    const std::string trace_path = dir.file("trace");  // one file: each start empties it
    std::vector<std::vector<delivered>> runs;
    for (const a_case &c : cases) {
        SCOPED_TRACE(c.name);
        settings values = c.values;
        values.emplace("QEL_PACE", "burst");
        values["QEL_TRACE"] = trace_path;
        ASSERT_EQ(init(values), 0);
        // Up to the audio frame at `seconds`: every frame captured before it is delivered.
        av_frame_info &d = descriptor(0);
        std::vector<delivered> &frames = runs.emplace_back();
        for (int audio = 0; audio <= 50 * c.seconds;) {
            if (zo_get_av_data(0, &d) != 0) {
                ASSERT_EQ(qel_advance_clock(1000), 0);
                continue;
            }
            ASSERT_EQ(d.serial, int32_t(frames.size() + 1)) << "serials stay consecutive";
            uint64_t hash = c.drop > 0 ? fnv1a(d.data, size_t(d.length)) : 0;
            frames.push_back({d.serial, d.type, d.length, hash});
            audio += d.type == QEL_FRAME_AUDIO;
        }

        std::ifstream trace(trace_path);
        std::string line;
        int64_t last_capture = 0;
        for (delivered &f : frames) {
            ASSERT_TRUE(std::getline(trace, line)) << "no line for serial " << f.serial;
            std::string serial, type;
            std::istringstream(line) >> serial >> type >> f.capture_us;
            std::string expected = std::to_string(f.serial) + " " + std::to_string(f.type) + " " +
                                   std::to_string(f.capture_us) + " " + std::to_string(f.length);
            ASSERT_EQ(line, expected);
            ASSERT_GE(f.capture_us, last_capture) << "frames come in capture order";
            last_capture = f.capture_us;
        }
        EXPECT_FALSE(std::getline(trace, line)) << "a line for no fetch: " << line;

        std::vector<int> per_second(size_t(c.seconds));
        std::vector<bool> key_held(25 * size_t(c.seconds));
        int video = 0, audio = 0;
        for (const delivered &f : frames) {
            if (f.capture_us >= c.seconds * int64_t{1000000})
                break;
            if (f.type == QEL_FRAME_AUDIO) {
                EXPECT_EQ(f.capture_us, int64_t{20000} * audio++) << "audio every 20 ms exactly";
                continue;
            }
            ++video;
            ++per_second[size_t(f.capture_us / 1000000)];
            if (c.drop > 0) {  // picture k at k * 40 ms is the clip's unit k, whatever was dropped
                ASSERT_EQ(f.capture_us % 40000, 0) << "serial " << f.serial;
                size_t k = size_t(f.capture_us / 40000);
                const mirvo_test::access_unit &unit = units[k % units.size()];
                ASSERT_EQ(f.hash, fnv1a(unit.data.data(), unit.data.size())) << "picture " << k;
                key_held[k] = unit.key;
            }
        }
        if (!c.per_second.empty()) {
            EXPECT_EQ(per_second, c.per_second);
        }
        if (c.video > 0) {
            EXPECT_NEAR(video, c.video, 1);
        }
        if (c.drop > 0) {
            int pictures = 25 * c.seconds, keys = 0;
            for (int k = 0; k < pictures; ++k)
                keys += units[size_t(k) % units.size()].key;
            EXPECT_EQ(std::count(key_held.begin(), key_held.end(), true), keys)
                << "a key frame was dropped";
            EXPECT_NEAR(100.0 * (pictures - video) / (pictures - keys), c.drop, 1 + c.drop / 10);
        }
        if (c.same_as >= 0) {
            EXPECT_TRUE(frames == runs[size_t(c.same_as)]) << "as " << cases[c.same_as].name;
        }
        if (c.unlike >= 0) {
            EXPECT_FALSE(frames == runs[size_t(c.unlike)]) << "as " << cases[c.unlike].name;
        }
    }
}

TEST_F(frame_source_test, init_refuses_bad_settings_with_one_line_and_forces_a_result)
{
    EXPECT_EQ(init({{"QEL_INIT_RESULT", "7"}}), 7);
    av_frame_info &d = descriptor();
    EXPECT_NE(zo_get_av_data(0, &d), 0) << "nothing delivers after a failed start";
    EXPECT_EQ(init({{"QEL_INIT_RESULT", "0"}, {"QEL_PACE", "burst"}}), 0);
    fetch(0, d);

    mirvo_test::temp_dir dir;
    bytes no_key_frame = {0, 0, 0, 1, 0x09, 0x10, 0, 0, 1, 0x41, 0x80, 0x11};
    mirvo_test::write_file(dir.file("p-only.h264"), no_key_frame);
    mirvo_test::write_file(dir.file("sps-only.h264"), {0, 0, 0, 1, 0x67, 0x42});
    mirvo_test::write_file(dir.file("stereo.wav"), wav_file(bytes(640), 2));
    bytes cut_short = wav_file(bytes(640));
    cut_short.resize(cut_short.size() - 1);
    mirvo_test::write_file(dir.file("cut-short.wav"), cut_short);
    const std::string plan_error = "QEL_FPS must be a rate from 1 to 240 or a plan like "
                                   "'25,12@10,25@20' (at most 32 rates, from rising seconds), not '";
    const std::pair<settings, std::string> refused[] = {
        {{{"QEL_INIT_RESULT", "x"}}, "QEL_INIT_RESULT must be a whole number, not 'x'"},
        {{{"QEL_FPS", "0"}}, "QEL_FPS must be a whole number from 1 to 240, not '0'"},
        {{{"QEL_FPS", "25fps"}}, "QEL_FPS must be a whole number from 1 to 240, not '25fps'"},
        {{{"QEL_FPS", "25,12@10,25@10"}}, plan_error + "25,12@10,25@10'"},
        {{{"QEL_FPS", "25,0@10"}}, plan_error + "25,0@10'"},
        {{{"QEL_FPS", "25,12"}}, plan_error + "25,12'"},
        {{{"QEL_FPS", "25@3,12@10"}}, plan_error + "25@3,12@10'"},
        {{{"QEL_FPS", "25,,12@10"}}, plan_error + "25,,12@10'"},
        {{{"QEL_DROP", "100.5"}}, "QEL_DROP must be a percentage from 0 to 100 (like 5 or 2.5), not '100.5'"},
        {{{"QEL_DROP", "2."}}, "QEL_DROP must be a percentage from 0 to 100 (like 5 or 2.5), not '2.'"},
        {{{"QEL_VIDEO_PPM", "100001"}}, "QEL_VIDEO_PPM must be a whole number from -100000 to 100000, not '100001'"},
        {{{"QEL_SEED", "-1"}}, "QEL_SEED must be a whole number from 0 to 18446744073709551615, not '-1'"},
        {{{"QEL_TRACE", dir.file("none/t")}}, "cannot write the trace " + dir.file("none/t") + ": No such file or directory"},
        {{{"QEL_RING_SECONDS", "-3"}}, "QEL_RING_SECONDS must be a whole number from 1 to 3600, not '-3'"},
        {{{"QEL_PACE", "fast"}}, "QEL_PACE must be 'realtime' or 'burst', not 'fast'"},
        {{{"QEL_CLIP_MAIN", dir.file("none.h264")}}, "cannot read " + dir.file("none.h264") + ": No such file or directory"},
        {{{"QEL_CLIP_MAIN", dir.file("p-only.h264")}}, dir.file("p-only.h264") + " holds no H.264 key frame"},
        {{{"QEL_CLIP_MAIN", dir.file("sps-only.h264")}}, dir.file("sps-only.h264") + " holds no H.264 picture"},
        {{{"QEL_AUDIO", dir.file("p-only.h264")}}, dir.file("p-only.h264") + " is not a WAV file"},
        {{{"QEL_AUDIO", dir.file("stereo.wav")}}, dir.file("stereo.wav") + " is not PCM of 1 channel, 8000 Hz, 16 bits"},
        {{{"QEL_AUDIO", dir.file("cut-short.wav")}}, dir.file("cut-short.wav") + " is cut short inside its 'data' chunk"},
    };
    for (const auto &[values, line] : refused) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(init(values), -1) << line;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "qelmain: " + line + "\n");
        EXPECT_NE(zo_get_av_data(0, &d), 0) << line;
        EXPECT_NE(qel_advance_clock(10), 0) << line;
    }
}

}  // namespace

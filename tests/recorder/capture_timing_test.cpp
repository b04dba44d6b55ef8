// The recording's clock on its own, for cameras the stand-in does not play: audio that stops
// while video goes on, and video without audio that comes in bursts only. Neither may fill
// frame times or declare a rate that the camera did not show.
#include "recorder/capture_timing.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct camera {
    std::string name;
    double audio_seconds;  // audio frames (20 ms) delivered for this long, then none
    bool live;             // each video frame waited for, fetched as it was captured
    int fps;               // the camera's, into a file at 25
    int64_t filled;        // frame times the file should fill in 20 s
};

}  // namespace

TEST(capture_timing, fills_and_rates_follow_the_camera_not_a_stopped_clock_or_a_burst)
{
    const camera cameras[] = {
        {"steady with audio", 20, true, 25, 0},
        {"audio stops after 5 s", 5, true, 25, 0},
        {"audio stops, camera at 15 fps", 5, true, 15, 200},  // 10 a second, on either clock
        {"video only, all from a backlog", 0, false, 25, 0},
    };
    for (const camera &c : cameras) {
        SCOPED_TRACE(c.name);
        capture_timing t;
        timing_start(t, 25);
        int64_t filled = 0;
        for (int ms = 0, audio = 0, video = 0; ms < 20000; ++ms) {
            if (ms >= audio * 20 && ms < c.audio_seconds * 1000) {
                timing_audio(t, 320);
                ++audio;
            }
            if (ms * c.fps >= video * 1000) {
                // In a burst, every frame is fetched at once, at 20 s.
                filled += timing_video(t, c.live ? ms : 20000, c.live);
                ++video;
            }
        }
        EXPECT_NEAR(static_cast<double>(filled), static_cast<double>(c.filled), 2);
        EXPECT_EQ(timing_rate(t), 25) << "no faster camera here";
    }
}

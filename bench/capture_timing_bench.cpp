// What keeping a recording on the camera's clock costs: the timing of a recorded minute (1500
// video frames at 25 fps with 3000 audio frames of 20 ms, as the frame source delivers them)
// for a camera that keeps the rate and for one at 15 fps that leaves frame times to fill,
// measured over many minutes and printed per recorded minute.
#include "recorder/capture_timing.h"

#include <chrono>
#include <cstdio>

namespace {

// Times `minutes` recorded minutes of a camera at `camera_fps` into a file at 25 fps;
// returns the seconds taken and how many frame times were filled.
double time_minutes(int minutes, int camera_fps, int64_t &filled)
{
    capture_timing t;
    timing_start(t, 25);
    auto began = std::chrono::steady_clock::now();
    for (int m = 0; m < minutes; ++m)
        for (int a = 0, v = 0; a < 3000; ++a) {
            timing_audio(t, 320);
            while (int64_t{v} * 3000 < int64_t{a} * 60 * camera_fps) {  // the frames captured by now
                filled += timing_video(t, 0, false);
                ++v;
            }
        }
    filled += timing_end(t);
    volatile double rate = timing_rate(t);
    (void)rate;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
}

}  // namespace

int main()
{
    constexpr int minutes = 2000;
    for (int fps : {25, 15}) {
        int64_t filled = 0;
        double best = 1e9;
        for (int round = 0; round < 3; ++round) {
            filled = 0;
            double s = time_minutes(minutes, fps, filled);
            best = s < best ? s : best;
        }
        printf("capture timing, camera at %d fps into 25 fps: %.2f us per recorded minute (%.1f ns per"
               " frame), %lld frame times filled in %d minutes; best of 3\n",
               fps, best / minutes * 1e6, best / minutes / (3000 + 60.0 * fps) * 1e9,
               static_cast<long long>(filled), minutes);
    }
    return 0;
}

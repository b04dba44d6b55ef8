// The stand-in frame source's settings, read from the environment when zo_get_data_init
// runs: which clips and audio to play, the simulated sensor's frame rates, the pacing, the
// ring's length, and the faults of a real camera to imitate (dropped frames, a video clock
// that drifts against the audio clock). Bad values are refused with a message, never
// silently replaced.
#pragma once

#include "text_line.h"

#include <climits>
#include <cstdint>

namespace qel {

inline constexpr int max_path_bytes = PATH_MAX;  // with the terminating zero

inline constexpr int max_fps = 240;
inline constexpr int max_ring_seconds = 3600;
inline constexpr int max_rate_changes = 32;     // steps of a QEL_FPS plan
inline constexpr int max_video_ppm = 100000;    // the video clock's drift, either way
inline constexpr int32_t drop_scale = 1000000;  // QEL_DROP is kept in parts per million

// The sensor runs at fps from the given second of the simulated clock on.
struct rate_step {
    int64_t from_second = 0;
    int fps = 25;
};

struct source_settings {
    char clip[2][max_path_bytes] = {};  // stream 0 (main) and 1 (sub)
    bool clip_named[2] = {};            // given in the environment rather than the default
    char audio[max_path_bytes] = "tone";  // "tone", "off" or the path of a WAV file
    rate_step rates[max_rate_changes] = {};  // the first from second 0, then rising seconds
    int rate_steps = 1;
    bool burst = false;                 // the next frame is always ready
    int ring_seconds = 10;
    int video_ppm = 0;                  // the video clock runs this much fast (< 0: slow)
    int32_t drop_per_million = 0;       // of the video frames that are not key frames
    uint64_t seed = 0;                  // of the choice of dropped frames
    char trace[max_path_bytes] = "";    // where to write the delivery trace; empty: nowhere
};

// Fills settings from QEL_CLIP_MAIN, QEL_CLIP_SUB, QEL_AUDIO, QEL_FPS, QEL_PACE,
// QEL_RING_SECONDS, QEL_DROP, QEL_VIDEO_PPM, QEL_SEED and QEL_TRACE. Returns an empty line,
// or what is wrong.
text_line read_settings(source_settings &settings);

}  // namespace qel

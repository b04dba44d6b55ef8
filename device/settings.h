// The stand-in frame source's settings, read from the environment when zo_get_data_init
// runs: which clips and audio to play, the simulated sensor's frame rate, the pacing and the
// ring's length. Bad values are refused with a message, never silently replaced.
#pragma once

#include "text_line.h"

#include <climits>

namespace qel {

inline constexpr int max_path_bytes = PATH_MAX;  // with the terminating zero

struct source_settings {
    char clip[2][max_path_bytes] = {};  // stream 0 (main) and 1 (sub)
    bool clip_named[2] = {};            // given in the environment rather than the default
    char audio[max_path_bytes] = "tone";  // "tone", "off" or the path of a WAV file
    int fps = 25;
    bool burst = false;                 // the next frame is always ready
    int ring_seconds = 10;
};

inline constexpr int max_fps = 240;
inline constexpr int max_ring_seconds = 3600;

// Fills settings from QEL_CLIP_MAIN, QEL_CLIP_SUB, QEL_AUDIO, QEL_FPS, QEL_PACE and
// QEL_RING_SECONDS. Returns an empty line, or what is wrong.
text_line read_settings(source_settings &settings);

}  // namespace qel

// The stand-in frame source's settings, read from the environment when zo_get_data_init
// runs: which clips and audio to play, the simulated sensor's frame rate, the pacing and the
// ring's length. Bad values are refused with a message, never silently replaced.
#pragma once

#include <array>
#include <string>

namespace qel {

struct source_settings {
    std::array<std::string, 2> clip;  // stream 0 (main) and 1 (sub)
    std::array<bool, 2> clip_named{}; // given in the environment rather than the default
    std::string audio = "tone";    // "tone", "off" or the path of a WAV file
    int fps = 25;
    bool burst = false;            // the next frame is always ready
    int ring_seconds = 10;
};

inline constexpr int max_fps = 240;
inline constexpr int max_ring_seconds = 3600;

// Fills settings from QEL_CLIP_MAIN, QEL_CLIP_SUB, QEL_AUDIO, QEL_FPS, QEL_PACE and
// QEL_RING_SECONDS. Returns an empty string, or what is wrong in one line.
std::string read_settings(source_settings &settings);

}  // namespace qel

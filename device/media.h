// The media the stand-in plays: H.264 Annex-B clips read whole and cut into access units,
// and 8 kHz 16-bit mono PCM, either a generated tone or the samples of a WAV file, cut into
// 20 ms audio frames.
#pragma once

#include "access_units.h"

#include <cstddef>
#include <string>
#include <vector>

namespace qel {

using byte_vector = std::vector<unsigned char>;

inline constexpr int audio_frames_per_second = 50;
inline constexpr size_t audio_frame_bytes = 320;  // 20 ms of 8000 Hz, 16-bit, mono

struct clip {
    byte_vector bytes;
    std::vector<access_unit> units;
};

// Reads a clip and splits it. Returns an empty string, or what is wrong in one line (the
// file cannot be read, holds no picture, or no key frame to start a recording at).
std::string load_clip(const std::string &path, clip &out);

// One second of a 440 Hz tone at a moderate level: a whole number of periods, so that it
// loops without a click.
byte_vector tone_pcm();

// Reads the samples of a PCM WAV file of 1 channel, 8000 Hz, 16 bits, padded with silence
// to whole audio frames. Returns an empty string, or what is wrong in one line.
std::string load_wav_pcm(const std::string &path, byte_vector &pcm);

}  // namespace qel

// The media the stand-in plays: H.264 Annex-B clips read whole and cut into access units,
// and 8 kHz 16-bit mono PCM, either a generated tone or the samples of a WAV file, cut into
// 20 ms audio frames.
#pragma once

#include "access_units.h"
#include "heap_array.h"
#include "text_line.h"

#include <cstddef>

namespace qel {

using byte_array = heap_array<unsigned char>;

inline constexpr int audio_frames_per_second = 50;
inline constexpr size_t audio_frame_bytes = 320;  // 20 ms of 8000 Hz, 16-bit, mono

struct clip {
    byte_array bytes;
    heap_array<access_unit> units;
};

// Reads a clip and splits it. Returns an empty line, or what is wrong (the file cannot be
// read, holds no picture, or no key frame to start a recording at).
text_line load_clip(const char *path, clip &out);

// One second of a 440 Hz tone at a moderate level: a whole number of periods, so that it
// loops without a click. False when memory runs out.
bool tone_pcm(byte_array &pcm);

// Reads the samples of a PCM WAV file of 1 channel, 8000 Hz, 16 bits, padded with silence
// to whole audio frames. Returns an empty line, or what is wrong.
text_line load_wav_pcm(const char *path, byte_array &pcm);

}  // namespace qel

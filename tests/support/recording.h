// Small recordings written through our writer, for the tests of everything that reads them:
// the clips they are made of, a recording given piece by piece (each frame, repeat and audio
// chunk as the test wants it), and a recording of a clip in the recorder's rhythm.
#pragma once

#include "test_support.h"

#include <cstdint>
#include <string>
#include <vector>

namespace mirvo_test {

// The test clip: 100 access units of 320x240 H.264 with delimiters (tests/data/make-clip.sh).
inline const std::string test_clip = "tests/data/clip.h264";

// The access units of an Annex-B clip in the source tree, cut at its delimiters.
std::vector<access_unit> clip_units(const std::string &relative = test_clip);

// One piece of a recording: a video frame (track -1), a repeat of the last frame, or a
// chunk of audio track `track`.
struct piece {
    int track = -1;
    bytes data;
    bool key = false;
    bool repeat = false;
};

// Distinct, recognisable bytes: the piece's number runs through them.
bytes pattern(size_t length, unsigned seed);

// The streams a recording declares: H264 video and `tracks` PCM tracks of 8000 Hz 16-bit mono.
struct streams {
    int32_t width = 160, height = 120;
    double fps = 25.0;
    int tracks = 0;
};

// Where AVI_sync is called, as the recorder calls it: before the first piece, and after
// each piece whose number is listed.
struct sync_points {
    bool at_start = false;
    std::vector<size_t> after;
};

struct recording {
    std::string path;
    bytes before_close;  // the file just before its close: what a kill leaves
    bytes closed;        // the finished file
    std::vector<uint32_t> starts, ends;      // per piece, its chunk; (0, 0) for none
    std::vector<bytes> frames;               // video frames in index order, a repeat empty
    std::vector<bool> keys;
    std::vector<std::vector<bytes>> chunks;  // per track
    std::vector<bytes> audio;                // per track, all chunks joined
};

// Writes the pieces into path through the writer and closes the file.
recording write_recording(const std::string &path, const streams &s, const std::vector<piece> &pieces,
                          const sync_points &syncs = {});

// A stretch of a clip recorded as mirvo records it: each frame followed by its audio.
struct clip_recording {
    std::string clip = test_clip;
    int32_t width = 320, height = 240;
    int first = 0;              // the clip's access unit to start at
    int frames = 30;            // access units of the clip, from that one
    int tracks = 1;             // PCM tracks, 8000 Hz 16-bit mono
    int32_t audio_bytes = 320;  // after each frame, on each track (of the byte 7)
    int repeat_every = 0;       // > 0: every that-many frames of the clip is shown once more
    int sync_every = 0;         // > 0: AVI_sync after every that-many frames and their audio
    bool audio_after_last = true;  // false: the last frame is followed by no audio, as at a stop
};

// Records the clip into path and closes the file.
recording record_clip(const std::string &path, const clip_recording &c);

}  // namespace mirvo_test

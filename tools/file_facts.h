// What mirvo-avi info tells about an open file, gathered in one place from the reader's
// tables and a look at the first frames: sizes and bit rates, durations of the video and
// of each audio track, key frame spacing, repeated frames, and the H.264 parameters.
#pragma once

#include "h264_sps.h"
#include "tool_common.h"

#include <cstdint>
#include <string>
#include <vector>

namespace mirvo_avi {

struct video_facts {
    std::string codec;
    int32_t width = 0, height = 0;
    double fps = 0;
    int32_t frames = 0;
    double duration = 0;  // frame_time(frames, fps): 0 without a frame rate
    int32_t key_frames = 0;
    int32_t key_interval_min = 0, key_interval_max = 0;  // in frames; 0 with fewer than two
    bool key_flags_known = true;  // false for a rebuilt index, which flags no key frame
    int32_t filled_frames = 0;    // empty chunks: frame times the camera gave no picture for
    int32_t repeated_frames = 0;  // index entries that show a chunk an earlier one showed
    double camera_fps = 0;        // pictures (neither filled nor repeated) per second shown
    uint64_t bytes = 0;           // of the chunks, each counted once
    double bit_rate = -1;         // bits per second; negative when not known
    bool h264 = false;            // the codec code says H.264
    bool has_parameters = false;  // and a sequence parameter set was found
    sequence_parameters parameters;
};

struct track_facts {
    int32_t track = 0, format = 0, channels = 0, rate = 0, bits = 0, bytes = 0, chunks = 0;
    double duration = -1;  // bytes / bytes per second; negative when not known
};

struct file_facts {
    uint64_t size = 0;
    double duration = 0;  // the longest stream
    double bit_rate = -1; // of the whole file, over the duration; negative when not known
    video_facts video;
    std::vector<track_facts> audio;
    int32_t index_origin = AVI_INDEX_NONE;
    uint32_t largest_chunk = 0;
};

// How many of the first frames are looked into for the H.264 parameters.
constexpr int32_t parameter_search_frames = 250;

// Gathers the facts of a file read with its index. Reads the first frames that lie inside
// the file, so moves the handle's positions.
file_facts gather_facts(input_file &in);

}  // namespace mirvo_avi

// The stand-in device's frames as a reference for what a recording must hold: the frames
// after a given serial, fetched in-process from a fresh frame source in burst pacing. A
// serial names the same frame in every run of the stand-in with the same settings.
#pragma once

#include "recorder_process.h"

#include <cstdint>
#include <vector>

namespace mirvo_test {

struct source_frame {
    int32_t serial;
    int32_t type;  // 1 audio, 2 key frame, 3 other video
    bytes data;
};

// `count` frames of stream 0 from serial first on (audio frames left out unless with_audio).
std::vector<source_frame> source_frames(int32_t first, size_t count, bool with_audio);

// The chunks a recording of these frames holds, in order.
std::vector<indexed_chunk> chunks_of(const std::vector<source_frame> &frames);

// Checks that chunks are exactly the source's frames from serial `first` on, each with the
// chunk id, key flag and bytes that the recorder must have given it.
void expect_source_frames(const std::vector<indexed_chunk> &chunks, int32_t first,
                          bool with_audio);
// The same against frames fetched before: the chunks are the first of them.
void expect_source_frames(const std::vector<indexed_chunk> &chunks,
                          const std::vector<source_frame> &frames);

// Checks that chunks are source frames from serial `first` on, in order and each exactly as
// delivered, with frames left out where the writer refused them; returns how many frames
// were left out between the first and the last chunk. Without `key_flags` (an index that
// was rebuilt holds none) the chunks' flags are not compared.
size_t expect_source_frames_with_gaps(const std::vector<indexed_chunk> &chunks, int32_t first,
                                      bool with_audio, bool key_flags = true);

}  // namespace mirvo_test

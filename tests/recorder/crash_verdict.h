// Whether a crash state was repaired as it must be: the repaired file holds an exact in-order
// prefix of the chunks the recording wrote, keeps every chunk synced more than a second of
// recorded time before the crash (after a kill: every chunk written), and a file closed
// before the crash is the finished file.
#pragma once

#include "crash_states.h"
#include "indexed_file.h"

#include <string>
#include <vector>

namespace mirvo_test {

// What the recording wrote and, for every crash point, what a repair must keep.
struct recording_facts {
    bytes finished;                       // the file as the close left it
    indexed_file written;                 // its chunks and index
    std::vector<located_chunk> older;     // the older recording's chunks
    std::vector<size_t> must_keep;        // by operations completed before the crash
    std::vector<size_t> written_whole;    // the same, after a kill: every chunk written
    std::vector<size_t> synced;           // the same, all chunks synced (a torn header)
    size_t closed_after = 0;              // operations completed once the file was closed
};

// From the operations, the finished file they leave, the older recording and the video's
// frame rate (a chunk's time is the video frames written before it, over the rate).
recording_facts facts_of(const std::vector<file_op> &ops, const bytes &older, double frame_rate);

// How a state's repair went.
struct repair_run {
    bool by_tool = false;  // mirvo-avi repair; else AVI_repair_file in this process
    int status = 0;        // the tool's exit status; in-process 0 for 0 or 1, 1 for -1
    size_t lines = 1;      // lines the tool printed, both streams
    bool exists = false;   // the file exists afterwards
    bytes after;           // its bytes afterwards
    bytes saved;           // what repair moved beside it (empty: nothing)
};

// The kind of failure of the state repaired after `done` operations, or "" when it passed;
// `detail` tells which chunk and how.
std::string judge(const recording_facts &facts, size_t done, const crash_state &state,
                  const repair_run &run, std::string &detail);

}  // namespace mirvo_test

// What a file may hold after a power cut at any point of the operations that wrote it, in the
// manner of crash-consistency testers: writes since the last sync present, absent or torn at
// a sector, the length as synced or ahead of the data, unwritten blocks read as zeros or as an
// older recording's stale bytes, and the name lost before its directory was synced.
#pragma once

#include "file_ops_log.h"

#include <cstddef>
#include <string>
#include <vector>

namespace mirvo_test {

// What the storage held before the file: an older recording, whose bytes show through blocks
// of the new file that were allocated but never written.
struct stale_source {
    bytes file;
    std::vector<uint64_t> chunk_heads;  // where its chunks begin
};

// How blocks that no durable write covered read back.
enum filler_kind { fill_zeros, fill_stale_same, fill_stale_shifted, fill_stale_aligned, filler_kinds };

// The choices made over all states generated, for the report.
struct choice_counts {
    size_t states = 0, files_absent = 0;
    size_t length_synced = 0, length_ahead = 0;  // ahead: longer than synced, as of the crash
    size_t writes_present = 0, writes_absent = 0, writes_torn = 0;
    size_t no_hole = 0, filled[filler_kinds] = {};
};

struct crash_state {
    bool absent = false;  // the file's name never reached the storage
    bytes image;          // what the file holds otherwise
    std::string choices;  // the choices that made it, for reports
    bool killed = false;  // the writer killed, the machine still up: the page cache's file
    bool header_torn = false;  // only a rewrite of the header region torn
};

// The crash points of a file's operations, in order: after the first, ..., after the last.
class crash_walk {
public:
    crash_walk(const std::vector<file_op> &ops, const stale_source &stale, uint64_t seed);
    // Moves to the next point; false once past the last.
    bool next();
    size_t done() const { return done_; }  // operations completed before the crash
    // Up to `quota` different states of this point, in an order fixed by the seed and the
    // point; fewer when the point has fewer.
    std::vector<crash_state> states(size_t quota, choice_counts &counts) const;
    // The file as a kill at this point leaves it: all that was written.
    crash_state killed() const { return {false, cache_, "killed", true}; }
    // Every tear of a rewrite of the header region since the last sync, sector by sector,
    // the other writes present: some sectors new, the others as last synced.
    std::vector<crash_state> header_tears() const;

private:
    struct recipe;
    crash_state build(const recipe &r, uint64_t &random, choice_counts &chosen,
                      uint64_t &key) const;

    const std::vector<file_op> &ops_;
    const stale_source &stale_;
    uint64_t seed_;
    size_t done_ = 0;
    size_t synced_ = 0;   // operations completed at the last sync of the file
    bool named_ = false;  // the directory was synced
    bytes cache_;         // the file as the page cache holds it
    bytes durable_;       // the file as of its last sync
};

}  // namespace mirvo_test

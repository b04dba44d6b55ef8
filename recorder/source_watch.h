// Watches what a recording gets from the frame source and says on standard error, once when
// it begins, what the recording is losing: frames the source skipped (its ring moved on
// before the recorder came for them: they are not in the file) and the recording falling
// more than two seconds behind the camera (the card does not keep up; the ring will soon
// move on without it), which is over once it has kept within a second for ten seconds.
#pragma once

#include <cstdint>

struct source_watch {
    int32_t expected = 0;         // serial of the next frame; 0: not known
    int64_t next_check_ms = 0;    // when to ask the source for its newest serial again
    int64_t first_check_ms = -1;  // the first answer, to learn how fast serials come
    int32_t first_check_serial = 0;
    bool behind = false;          // said that the recording is behind, not over since
    int64_t last_behind_ms = 0;   // the last look that found it a second or more behind
};

// A recording starts after serial `start` (a serial the source knows), or anywhere (-2).
void watch_start(source_watch &w, int32_t start);

// Takes note of a frame the source delivered on `stream` at now_ms.
void watch_frame(source_watch &w, int stream, int32_t serial, int64_t now_ms);

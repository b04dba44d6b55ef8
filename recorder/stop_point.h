// Where a recording ends once it is told to stop (a stop request or SIGINT): after every frame
// the camera had captured when the stop came, although on a slow card the recording may be
// seconds behind the camera (the frame source's ring still holds those frames), yet within a
// time limit. What of those frames could not be kept is said on standard error.
#pragma once

#include <cstdint>

struct stop_point {
    bool active = false;      // a stop is being acted on
    const char *cause = "";   // what stopped the recording, for the report ("the stop", "SIGINT")
    int32_t serial = 0;       // the source's newest serial when the stop came: the last to keep
    int32_t next = 0;         // the serial that the next frame from the source should have
    int32_t skipped = 0;      // frames up to `serial` that the source skipped (its ring moved on)
    int64_t since_ms = 0;     // when the recording began to act on the stop
    int64_t until_ms = 0;     // the recording ends by then, whether `serial` is reached or not
};

// Begins to act on a stop at now_ms. `newest`: the source's newest serial when the stop came
// (0 when it is not known: the next frame ends the recording); `last`: the serial of the last
// frame that the recording took from the source; the recording goes on for at most limit_ms.
void stop_point_begin(stop_point &p, const char *cause, int32_t newest, int32_t last, int64_t now_ms,
                      int64_t limit_ms);

// Takes note of a frame that the source delivered, to count the frames it skipped.
void stop_point_fetched(stop_point &p, int32_t serial);

// Whether the recording may end after the frame `serial` (the last one it took from the
// source): every frame to keep has come, or the time is up.
bool stop_point_reached(const stop_point &p, int32_t serial, int64_t now_ms);

// Says on standard error how many of the frames to keep are not in the file, the recording
// having ended at now_ms after the frame `last`; nothing when none is missing.
void stop_point_report(const stop_point &p, int32_t last, int64_t now_ms);

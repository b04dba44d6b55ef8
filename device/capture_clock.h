// The simulated sensor's clock: which frame each serial is and which serials have been
// captured by now. Video frames come fps times a second and audio frames 50 times, merged in
// capture order (a video and an audio frame captured at the same instant: video first), so
// the order repeats every second. Serials start at 1 at time 0.
//
// In realtime pacing the clock follows the monotonic clock from construction on; in burst
// pacing it stands still until a reader asks for a frame it has not reached, and then jumps
// to that frame's capture time. Every stream follows the one clock, so in burst pacing a
// reader far ahead moves time on for the others too. advance() moves either pacing forward,
// so that tests can make a reader fall behind without waiting. All members may be called
// from any thread.
#pragma once

#include "media.h"
#include "settings.h"

#include <array>
#include <atomic>
#include <cstdint>

namespace qel {

struct frame_slot {
    bool audio = false;
    int64_t index = 0;  // counted from 0 among the frames of its kind
};

class capture_clock {
public:
    // Starts the clock anew at time 0 (fps from 1 to max_fps); comes before any other call.
    void start(int fps, bool with_audio, bool burst);

    frame_slot slot(int64_t serial) const;  // serial >= 1
    int64_t frames_per_second() const { return pattern_size_; }

    // The newest captured serial (at least 1: the frames of time 0 are there at once).
    int64_t captured() const;
    // Burst pacing: captures every frame up to serial. Realtime: does nothing.
    void reach(int64_t serial);
    void advance(int64_t milliseconds);

private:
    struct entry {
        int64_t time;  // in ticks after the start of its second
        frame_slot slot;
    };
    int64_t ticks_now() const;
    int64_t time_of(int64_t serial) const;

    // One second of frames in capture order, in the first pattern_size_ entries.
    std::array<entry, max_fps + audio_frames_per_second> pattern_{};
    int64_t pattern_size_ = 0;
    int64_t ticks_per_second_ = 0;  // fps * 50, so that both kinds of frame fall on a tick
    int fps_ = 0;
    bool burst_ = false;
    int64_t start_us_ = 0;          // the monotonic clock at the start, in microseconds
    std::atomic<int64_t> offset_{0};  // ticks added to the wall clock (burst: the whole time)
};

}  // namespace qel

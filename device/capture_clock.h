// The simulated sensor's clock and its schedule: which frame each serial is, when it was
// captured, and which serials have been captured by now and are still in the ring.
//
// Video follows the rate plan: a stretch at fps that starts at second s of the clock captures
// its picture k at s + k / (fps * (1 + ppm / 1e6)) seconds, as long as that comes before the
// next stretch starts; audio frames come every 20 ms exactly. Instants are whole microseconds,
// rounded up. Frames are merged in capture order (a video and an audio frame captured at the
// same instant: video first) and numbered from serial 1 at time 0. A picture that is no key
// frame may be dropped: it takes no serial, but the picture count (which unit of a clip a
// picture is) goes on past it. Whether picture k is dropped depends on the seed and k alone,
// so the same settings give the same frames in every run and either pacing.
//
// The schedule is worked out one frame after the other as time passes (each instant from the
// one before) and kept for the frames in the ring: those captured within the last ring
// seconds, and always the newest one.
//
// In realtime pacing the clock follows the monotonic clock from start() on; in burst pacing it
// stands still until a reader asks for a frame it has not reached, and then jumps to that
// frame's capture instant. Every stream follows the one clock, so in burst pacing a reader far
// ahead moves time on for the others too. advance() moves either pacing forward, so that tests
// can make a reader fall behind without waiting. Not thread-safe: the frame source calls it
// under its lock.
#pragma once

#include "heap_array.h"
#include "settings.h"

#include <array>
#include <cstdint>

namespace qel {

struct frame_slot {
    int64_t time_us = 0;  // the capture instant, after the start of the clock
    int64_t index = 0;    // audio: counted from 0; video: the picture count, drops included
    bool audio = false;
};

class capture_clock {
public:
    // Whether the clips have a key frame at this picture count (such a picture is never
    // dropped).
    using key_test = bool (*)(int64_t picture);

    // Starts the clock anew at time 0 with the settings' rates, drift, drops and ring; comes
    // before any other call. False when memory for the ring runs out.
    bool start(const source_settings &settings, bool with_audio, key_test is_key);

    // Brings the schedule up to now and returns the newest captured serial (at least 1: the
    // frames of time 0 are there at once).
    int64_t captured();
    // The oldest serial in the ring as of the last captured() or reach().
    int64_t oldest() const { return oldest_; }
    // A serial from oldest() to the last captured().
    const frame_slot &slot(int64_t serial) const { return kept_[place(serial)]; }

    // Burst pacing: captures every frame up to serial. Realtime: does nothing.
    void reach(int64_t serial);
    void advance(int64_t milliseconds);

private:
    size_t place(int64_t serial) const
    {
        return static_cast<size_t>((serial - 1) % static_cast<int64_t>(kept_.size()));
    }
    int64_t now_us() const;
    void catch_up(int64_t now);
    void schedule_next();
    int64_t next_time() const;
    void enter_stretch(int step);
    void next_picture();
    int64_t picture_time() const;
    bool dropped(int64_t picture) const;
    void find_next_video();

    std::array<rate_step, max_rate_changes> rates_{};
    int rate_steps_ = 0;
    int64_t ppm_ = 0;
    bool with_audio_ = false;
    bool burst_ = false;
    key_test is_key_ = nullptr;
    uint64_t seed_ = 0;
    int64_t drop_per_million_ = 0;

    // The picture to capture next and its instant: since_whole_ + since_rest_ / divisor_
    // microseconds after the start of its stretch, one period (whole + rest / divisor_) on
    // from the picture before.
    int step_ = 0;
    int64_t stretch_start_us_ = 0;
    int64_t period_whole_ = 0, period_rest_ = 0, divisor_ = 1;
    int64_t since_whole_ = 0, since_rest_ = 0;
    int64_t picture_ = 0;
    int64_t video_due_us_ = 0;  // of picture_, which is the next one not dropped
    int64_t audio_next_ = 0;    // the next audio frame's index

    heap_array<frame_slot> kept_;  // serial s at place(s)
    int64_t newest_ = 0;           // serials scheduled: all captured by now
    int64_t oldest_ = 1;
    int64_t ring_us_ = 0;
    int64_t start_us_ = 0;   // the monotonic clock at the start
    int64_t offset_us_ = 0;  // added to the monotonic clock (burst: the whole time)
};

}  // namespace qel

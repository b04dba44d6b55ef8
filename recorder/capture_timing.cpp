// The camera's clock for a recording (see capture_timing.h). Times are seconds since the
// first key frame was captured (audio clock) or fetched (monotonic clock).
#include "recorder/capture_timing.h"

namespace {

constexpr double audio_samples_per_second = 8000;
constexpr int32_t audio_bytes_per_sample = 2;
// A frame that comes live is fetched up to a poll (10 ms) and the scheduler's delay after
// its capture: this much lateness on the monotonic clock is not taken for a gap.
constexpr double fetch_jitter_s = 0.02;
// The rate is measured only over this much captured time, and the interval between live
// frames is followed with this weight.
constexpr double shortest_measure_s = 2.0;
constexpr double interval_weight = 1.0 / 8;
// No single gap is filled with more than this (a clock gone wrong must not fill the card).
constexpr double longest_fill_s = 600;
// Audio comes every 20 ms between the video frames; this many seconds of video frames without
// any audio means the audio stopped.
constexpr double audio_silence_frames = 2;

double seconds_between(int64_t from_ms, int64_t to_ms)
{
    return static_cast<double>(to_ms - from_ms) / 1000.0;
}

// When the frame fetched now was captured. A live frame was captured as it was fetched; a
// frame from the backlog (the newest key frame at the start, what piled up during a slow
// sync) came in a burst, so it is taken to follow the frame before it by the interval seen
// between live frames, but never later than it was fetched.
double capture_time(capture_timing &t, int64_t fetch_ms, bool waited)
{
    if (t.audio_seen)
        return static_cast<double>(t.audio_samples) / audio_samples_per_second;
    if (t.slots == 0) {
        t.first_fetch_ms = fetch_ms;
        t.live_before = waited;
        t.last_live_ms = waited ? fetch_ms : -1;
        return 0;
    }
    double fetched = seconds_between(t.first_fetch_ms, fetch_ms);
    if (!waited) {
        t.live_before = false;
        return fetched < t.last_time + t.interval ? fetched : t.last_time + t.interval;
    }
    if (t.live_before)
        t.interval += interval_weight * (seconds_between(t.last_live_ms, fetch_ms) - t.interval);
    t.live_before = true;
    t.last_live_ms = fetch_ms;
    return fetched;
}

// Frame times to fill before a frame (or the end) captured at `time`: the file is late by
// `late` frame times; filling whole ones leaves it late by less than one.
int32_t frames_to_fill(capture_timing &t, double time, double tolerance)
{
    double late = (time - t.origin) * t.fps - static_cast<double>(t.slots);
    if (late < 1 + tolerance)
        return 0;
    // Whole frame times (late is positive here, so truncation is the floor).
    double most = longest_fill_s * t.fps;
    auto fill = static_cast<int32_t>(late < most ? late : most);
    t.slots += fill;
    return fill;
}

// The monotonic clock goes on from where the audio stopped: the audio's time then, plus the
// time fetched since. Frames fetched from now on are the first ones it measures.
void hand_over_to_monotonic(capture_timing &t)
{
    double audio_time = static_cast<double>(t.audio_samples) / audio_samples_per_second;
    t.audio_seen = false;
    t.audio_stopped = true;
    t.first_fetch_ms = t.silence_from_ms - static_cast<int64_t>(audio_time * 1000);
    t.live_before = false;
    t.origin = t.silence_origin;  // the frames the stopped clock timed moved it wrongly
}

}  // namespace

void timing_start(capture_timing &t, int32_t declared_fps)
{
    t = capture_timing{};
    if (declared_fps > 0) {
        t.fps = declared_fps;
        t.interval = 1.0 / t.fps;
    }
}

void timing_audio(capture_timing &t, int32_t bytes)
{
    if (bytes <= 0 || t.audio_stopped)
        return;
    t.audio_seen = true;
    t.video_since_audio = 0;
    t.audio_samples += static_cast<uint64_t>(bytes / audio_bytes_per_sample);
}

int32_t timing_video(capture_timing &t, int64_t fetch_ms, bool waited)
{
    if (t.fps <= 0)
        return 0;
    if (t.audio_seen) {
        if (t.video_since_audio++ == 0) {
            t.silence_from_ms = fetch_ms;
            t.silence_origin = t.origin;
        }
        if (static_cast<double>(t.video_since_audio) > audio_silence_frames * t.fps)
            hand_over_to_monotonic(t);
    }
    double time = capture_time(t, fetch_ms, waited);
    // A frame earlier than its slot means the timeline started too late (the backlog at the
    // start was taken as the declared rate) or the camera is faster: the timeline moves.
    double slot_time = time - static_cast<double>(t.slots) / t.fps;
    if (t.slots == 0 || slot_time < t.origin)
        t.origin = slot_time;
    int32_t fill = frames_to_fill(t, time, t.audio_seen ? 0 : fetch_jitter_s * t.fps);
    if (waited && !t.audio_seen) {
        if (t.first_live_ms < 0) {
            t.first_live_ms = fetch_ms;
            t.first_live_slot = t.slots;
        }
        t.last_live_slot = t.slots;
    }
    t.last_time = time;
    t.last_slot = t.slots++;
    return fill;
}

int32_t timing_end(capture_timing &t)
{
    if (t.fps <= 0 || !t.audio_seen || t.slots == 0)
        return 0;
    return frames_to_fill(t, static_cast<double>(t.audio_samples) / audio_samples_per_second, 0);
}

double timing_rate(const capture_timing &t)
{
    // Frame times from the first measured frame to the last, and the time they took.
    double frames = 0, span = 0, tolerance = 1;
    if (t.audio_seen) {
        frames = static_cast<double>(t.last_slot);
        span = t.last_time;
    } else if (t.first_live_ms >= 0) {
        frames = static_cast<double>(t.last_live_slot - t.first_live_slot);
        span = seconds_between(t.first_live_ms, t.last_live_ms);
        tolerance += 2 * fetch_jitter_s * t.fps;  // both ends may be late
    }
    if (t.fps <= 0 || span < shortest_measure_s || frames - span * t.fps <= tolerance)
        return t.fps;
    return frames / span;
}

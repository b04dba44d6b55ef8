// The simulated sensor's clock (see capture_clock.h). Times are counted in ticks of
// 1/(fps * 50) s, in which every video and audio capture instant is a whole number.
#include "capture_clock.h"

#include "media.h"

#include <algorithm>
#include <ctime>

namespace qel {
namespace {

int64_t monotonic_us()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

}  // namespace

void capture_clock::start(int fps, bool with_audio, bool burst)
{
    ticks_per_second_ = int64_t{fps} * audio_frames_per_second;
    fps_ = fps;
    burst_ = burst;
    start_us_ = monotonic_us();
    offset_.store(0, std::memory_order_relaxed);
    int audio_frames = with_audio ? audio_frames_per_second : 0;
    pattern_size_ = 0;
    for (int v = 0, a = 0; v < fps || a < audio_frames;) {
        int64_t video_time = int64_t{v} * audio_frames_per_second;
        int64_t audio_time = int64_t{a} * fps;
        if (v < fps && (a == audio_frames || video_time <= audio_time))
            pattern_[pattern_size_++] = {video_time, {false, v++}};
        else
            pattern_[pattern_size_++] = {audio_time, {true, a++}};
    }
}

frame_slot capture_clock::slot(int64_t serial) const
{
    int64_t position = serial - 1;
    int64_t second = position / frames_per_second();
    frame_slot s = pattern_[static_cast<size_t>(position % frames_per_second())].slot;
    s.index += second * (s.audio ? audio_frames_per_second : fps_);
    return s;
}

int64_t capture_clock::time_of(int64_t serial) const
{
    int64_t position = serial - 1;
    return position / frames_per_second() * ticks_per_second_ +
           pattern_[static_cast<size_t>(position % frames_per_second())].time;
}

int64_t capture_clock::ticks_now() const
{
    int64_t ticks = offset_.load(std::memory_order_relaxed);
    if (!burst_)
        ticks += (monotonic_us() - start_us_) * ticks_per_second_ / 1000000;
    return ticks;
}

int64_t capture_clock::captured() const
{
    int64_t now = ticks_now();
    int64_t in_second = now % ticks_per_second_;
    const entry *first = pattern_.data(), *last = first + pattern_size_;
    const entry *later = std::upper_bound(first, last, in_second,
                                          [](int64_t t, const entry &e) { return t < e.time; });
    return now / ticks_per_second_ * frames_per_second() + (later - first);
}

void capture_clock::reach(int64_t serial)
{
    if (!burst_)
        return;
    int64_t wanted = time_of(serial);
    int64_t now = offset_.load(std::memory_order_relaxed);
    while (now < wanted && !offset_.compare_exchange_weak(now, wanted, std::memory_order_relaxed))
        ;
}

void capture_clock::advance(int64_t milliseconds)
{
    offset_.fetch_add(milliseconds * ticks_per_second_ / 1000, std::memory_order_relaxed);
}

}  // namespace qel

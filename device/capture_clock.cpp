// The simulated sensor's clock and schedule (see capture_clock.h). Each picture's instant is
// kept as a whole and a fractional part of a microsecond after its stretch's start, so that
// adding one period at a time stays exact over any length of run.
#include "capture_clock.h"

#include "media.h"

#include <algorithm>
#include <ctime>

namespace qel {
namespace {

constexpr int64_t us_per_second = 1000000;
constexpr int64_t audio_period_us = us_per_second / audio_frames_per_second;

int64_t monotonic_us()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * us_per_second + now.tv_nsec / 1000;
}

// A well-mixed 64-bit value for each input (the finaliser of splitmix64).
uint64_t mix(uint64_t x)
{
    x += 0x9e3779b97f4a7c15u;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
    return x ^ (x >> 31);
}

}  // namespace

bool capture_clock::start(const source_settings &s, bool with_audio, key_test is_key)
{
    std::copy(s.rates, s.rates + s.rate_steps, rates_.begin());
    rate_steps_ = s.rate_steps;
    ppm_ = s.video_ppm;
    with_audio_ = with_audio;
    burst_ = s.burst;
    is_key_ = is_key;
    seed_ = s.seed;
    drop_per_million_ = s.drop_per_million;

    // Room for every frame of ring_seconds at the fastest rate planned, and the newest frame.
    int fastest = 0;
    for (int n = 0; n < rate_steps_; ++n)
        fastest = std::max(fastest, rates_[static_cast<size_t>(n)].fps);
    int64_t video = (fastest * (us_per_second + ppm_) + us_per_second - 1) / us_per_second;
    int64_t per_second = video + (with_audio ? audio_frames_per_second : 0) + 1;
    kept_.clear();
    if (!kept_.resize(static_cast<size_t>((s.ring_seconds + 1) * per_second + rate_steps_ + 2)))
        return false;
    ring_us_ = s.ring_seconds * us_per_second;

    newest_ = 0;
    oldest_ = 1;
    audio_next_ = 0;
    picture_ = 0;
    enter_stretch(0);
    find_next_video();
    start_us_ = monotonic_us();
    offset_us_ = 0;
    return true;
}

void capture_clock::enter_stretch(int step)
{
    step_ = step;
    stretch_start_us_ = rates_[static_cast<size_t>(step)].from_second * us_per_second;
    // One period is 1e12 / (fps * (1e6 + ppm)) microseconds.
    divisor_ = rates_[static_cast<size_t>(step)].fps * (us_per_second + ppm_);
    period_whole_ = us_per_second * us_per_second / divisor_;
    period_rest_ = us_per_second * us_per_second % divisor_;
    since_whole_ = since_rest_ = 0;
}

int64_t capture_clock::picture_time() const
{
    return stretch_start_us_ + since_whole_ + (since_rest_ > 0 ? 1 : 0);
}

void capture_clock::next_picture()
{
    ++picture_;
    since_whole_ += period_whole_;
    since_rest_ += period_rest_;
    if (since_rest_ >= divisor_) {
        since_rest_ -= divisor_;
        ++since_whole_;
    }
    // A picture due at or after the next change of rate is that stretch's first.
    if (step_ + 1 < rate_steps_ &&
        picture_time() >= rates_[static_cast<size_t>(step_) + 1].from_second * us_per_second)
        enter_stretch(step_ + 1);
}

bool capture_clock::dropped(int64_t picture) const
{
    if (drop_per_million_ == 0 || is_key_(picture))
        return false;
    uint64_t draw = mix(seed_ ^ mix(static_cast<uint64_t>(picture))) >> 32;
    return static_cast<int64_t>(draw * drop_scale >> 32) < drop_per_million_;
}

void capture_clock::find_next_video()
{
    while (dropped(picture_))
        next_picture();
    video_due_us_ = picture_time();
}

int64_t capture_clock::next_time() const
{
    return with_audio_ ? std::min(video_due_us_, audio_next_ * audio_period_us) : video_due_us_;
}

void capture_clock::schedule_next()
{
    frame_slot &frame = kept_[place(++newest_)];
    int64_t audio_time = audio_next_ * audio_period_us;
    if (!with_audio_ || video_due_us_ <= audio_time) {
        frame = {video_due_us_, picture_, false};
        next_picture();
        find_next_video();
    } else {
        frame = {audio_time, audio_next_++, true};
    }
}

void capture_clock::catch_up(int64_t now)
{
    while (next_time() <= now)
        schedule_next();
    oldest_ = std::max(oldest_, newest_ - static_cast<int64_t>(kept_.size()) + 1);
    while (oldest_ < newest_ && slot(oldest_).time_us <= now - ring_us_)
        ++oldest_;
}

int64_t capture_clock::now_us() const
{
    return burst_ ? offset_us_ : offset_us_ + monotonic_us() - start_us_;
}

int64_t capture_clock::captured()
{
    catch_up(now_us());
    return newest_;
}

void capture_clock::reach(int64_t serial)
{
    if (!burst_ || serial <= newest_)
        return;
    while (newest_ < serial)
        schedule_next();
    offset_us_ = std::max(offset_us_, slot(serial).time_us);
    catch_up(offset_us_);
}

void capture_clock::advance(int64_t milliseconds)
{
    offset_us_ += milliseconds * 1000;
}

}  // namespace qel

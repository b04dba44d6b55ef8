// The recorder's clock for pacing and watching a recording: milliseconds of the monotonic
// clock, which no change of the wall clock moves.
#pragma once

#include <cstdint>
#include <ctime>

inline int64_t monotonic_ms()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

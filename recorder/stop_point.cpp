// The end of a recording that is told to stop (see stop_point.h). Serials are compared as
// 64-bit numbers, so that differences near the ends of the 32-bit range do not overflow.
#include "recorder/stop_point.h"

#include <cstdio>

void stop_point_begin(stop_point &p, const char *cause, int32_t newest, int32_t last, int64_t now_ms,
                      int64_t limit_ms)
{
    p = stop_point{};
    p.active = true;
    p.cause = cause;
    p.serial = newest > 0 ? newest : 0;
    p.next = last < INT32_MAX ? last + 1 : last;
    p.since_ms = now_ms;
    p.until_ms = now_ms + limit_ms;
}

void stop_point_fetched(stop_point &p, int32_t serial)
{
    if (!p.active)
        return;
    // Frames the source left out that were captured before the stop are lost; those after it
    // were not to be kept anyway.
    int64_t last_lost = serial <= p.serial ? int64_t{serial} - 1 : int64_t{p.serial};
    if (last_lost >= p.next)
        p.skipped += static_cast<int32_t>(last_lost - p.next + 1);
    if (serial >= p.next)
        p.next = serial < INT32_MAX ? serial + 1 : serial;
}

bool stop_point_reached(const stop_point &p, int32_t serial, int64_t now_ms)
{
    return serial >= p.serial || now_ms >= p.until_ms;
}

void stop_point_report(const stop_point &p, int32_t last, int64_t now_ms)
{
    if (!p.active)
        return;
    long long unwritten = static_cast<long long>(p.serial) - last;
    if (unwritten < 0)
        unwritten = 0;
    if (p.skipped == 0 && unwritten == 0)
        return;
    long long missing = p.skipped + unwritten;
    fprintf(stderr,
            "mirvo: %lld frames captured before %s are not in the file: %d skipped by the frame "
            "source, %lld still unwritten %.1f s after it\n",
            missing, p.cause, p.skipped, unwritten, static_cast<double>(now_ms - p.since_ms) / 1000.0);
}

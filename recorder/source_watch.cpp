// The watch over the frame source: a serial that does not follow the previous one is a gap
// in the recording, said with its size; how far the recording is behind is the source's
// newest serial less the frame's, in seconds at the rate the serials have come since the
// first look, asked for twice a second (not per frame).
#include "recorder/source_watch.h"

#include "qel/qelmain.h"

#include <cstdint>
#include <cstdio>

namespace {

constexpr int64_t check_every_ms = 500;
constexpr int64_t learn_rate_ms = 2000;  // before this, the rate of serials is not known well
constexpr int64_t behind_ms = 2000, caught_up_ms = 1000;
// A recording that catches up between slow syncs falls behind again at the next one: it is
// over only once the recording has stayed caught up this long.
constexpr int64_t over_after_ms = 10000;

void check_lag(source_watch &w, int stream, int32_t serial, int64_t now_ms)
{
    w.next_check_ms = now_ms + check_every_ms;
    int32_t newest = 0;
    if (zo_get_cur_serial(stream, &newest) != 0 || newest < serial)
        return;
    if (w.first_check_ms < 0) {
        w.first_check_ms = now_ms;
        w.first_check_serial = newest;
        return;
    }
    int64_t watched_ms = now_ms - w.first_check_ms;
    int64_t serials = int64_t{newest} - w.first_check_serial;
    if (watched_ms < learn_rate_ms || serials <= 0)
        return;
    int64_t lag_ms = (int64_t{newest} - serial) * watched_ms / serials;
    if (lag_ms > behind_ms && !w.behind)
        fprintf(stderr, "mirvo: the recording is %.1f s behind the camera: the card does not keep up\n",
                static_cast<double>(lag_ms) / 1000.0);
    if (lag_ms >= caught_up_ms)
        w.last_behind_ms = now_ms;
    if (lag_ms > behind_ms)
        w.behind = true;
    else if (now_ms - w.last_behind_ms >= over_after_ms)
        w.behind = false;
}

}  // namespace

void watch_start(source_watch &w, int32_t start)
{
    w = source_watch{};
    w.expected = start > 0 ? start + 1 : 0;
}

void watch_frame(source_watch &w, int stream, int32_t serial, int64_t now_ms)
{
    if (w.expected != 0 && serial > w.expected)
        fprintf(stderr, "mirvo: the frame source skipped %d frames (serials %d to %d): the recording has a gap there\n",
                serial - w.expected, w.expected, serial - 1);
    w.expected = serial < INT32_MAX ? serial + 1 : 0;
    if (now_ms >= w.next_check_ms)
        check_lag(w, stream, serial, now_ms);
}

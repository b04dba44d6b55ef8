// The start of a fresh recording (see start_point.h). A fetch after serial s delivers s + 1
// while the ring holds it; one for a frame that left the ring may deliver another frame, so
// every delivered serial is checked against the one asked for. Serials are worked out as
// 64-bit numbers, so that a window near the ends of the 32-bit range does not overflow.
#include "recorder/start_point.h"

#include <algorithm>

namespace {

// The first window holds the newest serials, more than a key-frame interval of most cameras
// (a second of 25 pictures and 50 audio frames is 75 serials); each further one reaches twice
// as far back as the one before, up to farthest_back serials: at most that many fetches.
constexpr int64_t first_window = 128;
constexpr int64_t farthest_back = 1024;
// Serials start at 1; the fetch for it asks after 0 (a zeroed descriptor), never after a
// negative serial, which the source takes for "no known position".
constexpr int64_t lowest = 1;

struct window_scan {
    int64_t key = 0;    // the last key frame in the window; 0: none
    bool held = true;   // every frame of the window came as asked: older ones may be held too
};

// Fetches from..to forward, noting the last key frame. A frame that left the ring ends the
// frames before it: a delivered serial later in the window is asked for once more, as the
// frame after the one before it, to go on from there if the source holds it.
window_scan scan_window(int stream, int64_t from, int64_t to, av_frame_info &frame)
{
    window_scan scan;
    int64_t wanted = from;
    bool resumed = false;
    frame.serial = static_cast<int32_t>(wanted - 1);
    while (wanted <= to) {
        if (zo_get_av_data(stream, &frame) != 0) {
            scan.held = false;  // nothing now where a frame was captured: ask no further
            return scan;
        }
        if (frame.serial != wanted) {
            scan.held = false;
            if (resumed || frame.serial <= wanted || frame.serial > to)
                return scan;
            resumed = true;
            wanted = frame.serial;
            frame.serial = static_cast<int32_t>(wanted - 1);
            continue;
        }
        if (frame.type == QEL_FRAME_VIDEO_KEY)
            scan.key = wanted;
        ++wanted;
    }
    return scan;
}

}  // namespace

int32_t find_start_key_frame(int stream, int32_t newest, av_frame_info &frame)
{
    int64_t to = newest;
    for (int64_t reach = first_window; to >= lowest; reach *= 2) {
        int64_t from = std::max(int64_t{newest} - reach + 1, lowest);
        window_scan scan = scan_window(stream, from, to, frame);
        if (scan.key != 0)
            return static_cast<int32_t>(scan.key);
        if (!scan.held || reach >= farthest_back)
            break;
        to = from - 1;
    }
    return 0;
}

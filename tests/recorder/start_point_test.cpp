// Where a fresh recording begins, on the stand-in frame source in burst pacing: the last key
// frame at or before the start request's serial, found by the scan within its bound of
// fetches, or none (the recording then begins at the newest key frame, as without a serial).
#include "recorder/start_point.h"

#include "../device/source_fixture.h"

#include <algorithm>

namespace {

// The last key frame at or before `serial` of stream 0, fetching one frame after the other
// from the first one; 0 when there is none.
int32_t last_key_frame_walking(av_frame_info &d, int32_t serial)
{
    int32_t key = 0;
    d.serial = 0;
    while (d.serial < serial) {
        if (zo_get_av_data(0, &d) != 0) {
            ADD_FAILURE() << "no frame after serial " << d.serial;
            return 0;
        }
        if (d.type == QEL_FRAME_VIDEO_KEY)
            key = d.serial;
    }
    return key;
}

class start_point_test : public frame_source_test {};

TEST_F(start_point_test, the_last_key_frame_at_or_before_the_request_within_the_ring_and_the_scans_reach)
{
    struct row {
        const char *name;
        settings values;   // besides burst pacing
        int advance_ms;    // of the clock before the request
        int32_t request;   // the request's serial; -1: the newest
        bool found;        // the key frame a walk finds, or none
    };
    const row rows[] = {
        {"25 fps: a key frame in the newest window", {}, 20000, -1, true},
        {"5 fps: key frames 275 serials apart, windows further back", {{"QEL_FPS", "5"}}, 20000, -1, true},
        {"the first frames: serial 1 is the key frame", {}, 200, -1, true},
        {"1 fps: the key frame lies further back than the scan reaches",
         {{"QEL_FPS", "1"}, {"QEL_RING_SECONDS", "3600"}}, 24000, -1, false},
        {"a request whose frames have left the ring", {{"QEL_RING_SECONDS", "2"}}, 20000, 300, false},
        {"a ring shorter than the first window, its key frame held",
         {{"QEL_FPS", "50"}, {"QEL_RING_SECONDS", "1"}}, 20000, -1, true},
        {"the request's serial not known", {}, 20000, 0, false},
    };
    mirvo_test::temp_dir dir;
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        // The same settings give the same serials whatever the ring: the walk's ring holds all.
        settings walked = r.values;
        walked["QEL_PACE"] = "burst";
        walked["QEL_RING_SECONDS"] = "3600";
        ASSERT_EQ(init(walked), 0);
        ASSERT_EQ(qel_advance_clock(r.advance_ms), 0);
        int32_t newest = 0;
        ASSERT_EQ(zo_get_cur_serial(0, &newest), 0);
        const int32_t request = r.request < 0 ? newest : r.request;
        const int32_t walked_key = last_key_frame_walking(descriptor(), request);
        if (r.found) {
            ASSERT_GT(walked_key, 0);
        }

        settings scanned = r.values;
        scanned["QEL_PACE"] = "burst";
        scanned["QEL_TRACE"] = dir.file("trace");
        ASSERT_EQ(init(scanned), 0);
        ASSERT_EQ(qel_advance_clock(r.advance_ms), 0);
        EXPECT_EQ(find_start_key_frame(0, request, descriptor()), r.found ? walked_key : 0);
        std::string trace = mirvo_test::read_text(dir.file("trace"));
        EXPECT_LE(std::count(trace.begin(), trace.end(), '\n'), 1024 + 4) << "fetches within the bound";
    }
}

}  // namespace

// Where a stopped recording ends, on its own: after the newest frame when the stop came, or
// when the time is up, and what it says of the frames it could not keep. In each case the
// stop comes when the recording has taken serial 100, with 10 s to catch up.
#include "recorder/stop_point.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct delivery {
    std::string name;
    int32_t newest;                // the source's newest serial at the stop (0: not known)
    std::vector<int32_t> serials;  // delivered after the stop, the last at end_ms, the others at 0
    int64_t end_ms;                // when the recording ends
    std::string said;              // on standard error at the end
};

}  // namespace

TEST(stop_point, ends_at_the_newest_frame_of_the_stop_or_when_time_is_up_and_says_what_is_missing)
{
    const delivery cases[] = {
        {"caught up", 100, {}, 0, ""},
        {"not known", 0, {}, 0, ""},
        {"caught up after the stop", 103, {101, 102, 103}, 0, ""},
        {"the ring moved on", 120, {101, 150}, 1500,
         "mirvo: 19 frames captured before the stop are not in the file: 19 skipped by the frame "
         "source, 0 still unwritten 1.5 s after it\n"},
        {"time up", 120, {101, 105, 110}, 10000,
         "mirvo: 17 frames captured before the stop are not in the file: 7 skipped by the frame "
         "source, 10 still unwritten 10.0 s after it\n"},
    };
    for (const delivery &d : cases) {
        SCOPED_TRACE(d.name);
        stop_point p;
        stop_point_begin(p, "the stop", d.newest, 100, 0, 10000);
        int32_t last = 100;
        for (size_t i = 0; i < d.serials.size(); ++i) {
            EXPECT_FALSE(stop_point_reached(p, last, 0)) << "before serial " << d.serials[i];
            stop_point_fetched(p, d.serials[i]);
            last = d.serials[i];
        }
        EXPECT_TRUE(stop_point_reached(p, last, d.end_ms));
        testing::internal::CaptureStderr();
        stop_point_report(p, last, d.end_ms);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), d.said);
    }
}

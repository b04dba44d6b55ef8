// The layout probe, built for the target and started the way tests start our programs
// (behind the emulator on a cross build), reports the camera's layouts on a 32-bit target.
#include "test_support.h"

#include <gtest/gtest.h>

using namespace mirvo_test;

TEST(layout, the_probe_runs_on_the_target_and_reports_the_fixed_layouts)
{
    command_result probe = run(program("mirvo_layout_probe"));
    ASSERT_EQ(probe.status, 0) << probe.err;
    const bool cross_build = !std::string(MIRVO_EMULATOR).empty();
    if (cross_build || sizeof(void *) == 4) {
        // The camera's layouts; a cross build that is not 32-bit fails here.
        EXPECT_EQ(probe.out, "pointer 4\n"
                             "record_request 92\n"
                             "av_frame_info 40 data at 36\n"
                             "msg_handler_entry 8 table 16\n"
                             "avi_index_entry 16\n"
                             "off_t 8\n");
    } else {
        EXPECT_EQ(probe.out, "pointer 8\n"
                             "record_request 92\n"
                             "av_frame_info 48 data at 40\n"
                             "msg_handler_entry 16 table 32\n"
                             "avi_index_entry 16\n"
                             "off_t 8\n");
    }
}

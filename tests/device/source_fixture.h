// A fixture for tests of the stand-in frame source: it sets the QEL_ variables a case asks
// for (clearing the others), initialises the frame source, and frees the frame buffers of
// the descriptors it handed out.
#pragma once

#include "device/qel_control.h"
#include "qel/qelmain.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <map>
#include <string>

class frame_source_test : public testing::Test {
protected:
    using settings = std::map<std::string, std::string>;

    // Returns zo_get_data_init's result with exactly these QEL_ variables set.
    int init(const settings &values)
    {
        for (const char *name : {"QEL_CLIP_MAIN", "QEL_CLIP_SUB", "QEL_AUDIO", "QEL_FPS", "QEL_PACE",
                                 "QEL_RING_SECONDS", "QEL_INIT_RESULT", "QEL_DROP", "QEL_VIDEO_PPM",
                                 "QEL_SEED", "QEL_TRACE"})
            unsetenv(name);
        for (const auto &[name, value] : values)
            setenv(name.c_str(), value.c_str(), 1);
        return zo_get_data_init();
    }

    // A zeroed descriptor that starts at serial; freed with its buffer at the end of the case.
    av_frame_info &descriptor(int32_t serial = -2)
    {
        av_frame_info &d = descriptors_.emplace_back();
        d.serial = serial;
        return d;
    }

    // Fetches one frame, failing the case when none comes.
    static void fetch(int stream, av_frame_info &d)
    {
        ASSERT_EQ(zo_get_av_data(stream, &d), 0) << "no frame after serial " << d.serial;
    }

    static mirvo_test::bytes frame_bytes(const av_frame_info &d)
    {
        return mirvo_test::bytes(d.data, d.data + d.length);
    }

    void TearDown() override
    {
        for (av_frame_info &d : descriptors_)
            free(d.data);
    }

private:
    std::deque<av_frame_info> descriptors_{};
};

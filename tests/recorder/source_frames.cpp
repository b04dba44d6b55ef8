// The stand-in's frames as a reference for recordings (see source_frames.h).
#include "source_frames.h"

#include "recorder/qelmain.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace mirvo_test {

std::vector<source_frame> source_frames(int32_t first, size_t count, bool with_audio)
{
    static bool ready = [] {
        setenv("QEL_PACE", "burst", 1);
        return zo_get_data_init() == 0;
    }();
    std::vector<source_frame> frames;
    if (!ready) {
        ADD_FAILURE() << "the stand-in frame source did not start";
        return frames;
    }
    av_frame_info frame{};
    frame.serial = first - 1;
    while (frames.size() < count) {
        if (zo_get_av_data(0, &frame) != 0) {
            ADD_FAILURE() << "burst pacing always has a frame";
            break;
        }
        if (frame.type == QEL_FRAME_AUDIO && !with_audio)
            continue;
        frames.push_back({frame.serial, frame.type, bytes(frame.data, frame.data + frame.length)});
    }
    free(frame.data);
    return frames;
}

void expect_source_frames(const std::vector<indexed_chunk> &chunks, int32_t first,
                          bool with_audio)
{
    std::vector<source_frame> frames = source_frames(first, chunks.size(), with_audio);
    ASSERT_EQ(frames.size(), chunks.size());
    ASSERT_EQ(frames.front().serial, first) << "the source skipped frames";
    for (size_t i = 0; i < chunks.size(); ++i) {
        const source_frame &f = frames[i];
        bool audio = f.type == QEL_FRAME_AUDIO;
        SCOPED_TRACE("frame " + std::to_string(i) + ", serial " + std::to_string(f.serial));
        EXPECT_EQ(chunks[i].id, audio ? "01wb" : "00db");
        EXPECT_EQ(chunks[i].flags, !audio && f.type == QEL_FRAME_VIDEO_KEY ? 0x10u : 0u);
        EXPECT_TRUE(chunks[i].data == f.data) << "bytes differ (" << chunks[i].data.size()
                                              << " recorded, " << f.data.size() << " delivered)";
        if (::testing::Test::HasFailure())
            return;  // one mismatch is enough to see; the rest would only repeat it
    }
}

}  // namespace mirvo_test

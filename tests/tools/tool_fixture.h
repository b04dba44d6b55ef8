// What the tests of mirvo-avi share: running it (behind the emulator of a cross build), and
// recordings of a real H.264 clip written through our writer, as mirvo records them.
#pragma once

#include "reader_fixture.h"

#include <string>

namespace mirvo_test {

inline command_result mirvo_avi(const std::string &args, const std::string &prefix = "")
{
    return run(prefix + program("mirvo-avi") + " " + args);
}

struct clip_recording {
    std::string clip = "tests/data/clip.h264";  // Annex-B, cut at access unit delimiters
    int32_t width = 320, height = 240;
    int first = 0;          // the clip's access unit to start at
    int frames = 30;        // access units of the clip, from that one
    int tracks = 1;         // PCM tracks, 8000 Hz 16-bit mono
    int32_t audio_bytes = 320;  // after each frame, on each track (of the byte 7)
    int repeat_every = 0;   // > 0: every that-many frames is shown once more
    int sync_every = 0;     // > 0: AVI_sync after every that-many frames and their audio
    bool audio_after_last = true;  // false: the last frame is followed by no audio, as at a stop
};

// Records the clip into path and closes the file. Returns the bytes the file held just
// before its close: what a recording cut off there leaves.
inline bytes record_clip(const std::string &path, const clip_recording &c)
{
    avi_handle *h = AVI_create_output_file(path.c_str());
    EXPECT_NE(h, nullptr) << AVI_error_text();
    if (!h)
        return {};
    AVI_define_video(h, c.width, c.height, 25.0, "H264");
    for (int t = 0; t < c.tracks; ++t)
        AVI_add_audio_track(h, 1, 8000, 16, 1, 128);
    std::vector<access_unit> units = split_at_delimiters(read_file(source_path(c.clip)));
    bytes audio(static_cast<size_t>(c.audio_bytes), 7);
    for (int f = 0; f < c.frames; ++f) {
        const access_unit &u = units.at(static_cast<size_t>(c.first + f));
        EXPECT_EQ(AVI_put_video_frame(h, u.data.data(), static_cast<int32_t>(u.data.size()), u.key), 0);
        if (c.repeat_every > 0 && f % c.repeat_every == c.repeat_every - 1) {
            EXPECT_EQ(AVI_repeat_video_frame(h), 0);
        }
        for (int t = 0; t < c.tracks && (c.audio_after_last || f + 1 < c.frames); ++t) {
            AVI_select_audio_track(h, t);
            EXPECT_EQ(AVI_put_audio(h, audio.data(), c.audio_bytes), 0);
        }
        if (c.sync_every > 0 && f % c.sync_every == c.sync_every - 1) {
            EXPECT_EQ(AVI_sync(h), 0);
        }
    }
    bytes before_close = read_file(path);
    EXPECT_EQ(AVI_close_handle(h), 0) << AVI_error_text();
    return before_close;
}

}  // namespace mirvo_test

// Files written through our own writer for the reader's tests, with the bytes that went
// into each stream kept beside them, and a handle that closes itself.
#pragma once

#include "avi/avi.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace mirvo_test {

struct handle_closer {
    void operator()(avi_handle *h) const { AVI_close_handle(h); }
};
using reader = std::unique_ptr<avi_handle, handle_closer>;

// One piece of a recording: a video frame (track -1), a repeat of the last frame, or a
// chunk of audio track `track`.
struct piece {
    int track = -1;
    bytes data;
    bool key = false;
    bool repeat = false;
};

// Distinct, recognisable bytes: the piece's number runs through them.
inline bytes pattern(size_t length, unsigned seed)
{
    bytes b(length);
    for (size_t i = 0; i < length; ++i)
        b[i] = static_cast<unsigned char>(seed * 37 + i * 11 + (i >> 8));
    return b;
}

struct recording {
    std::string path;
    std::vector<bytes> frames;          // video frames in index order, repeats included
    std::vector<bool> keys;
    std::vector<std::vector<bytes>> chunks;  // per track
    std::vector<bytes> audio;                // per track, all chunks joined
};

// Writes the pieces through the writer (160x120, 25 fps, "H264", `tracks` PCM tracks of
// 8000 Hz 16-bit mono) and closes the file.
inline recording write_recording(const std::string &path, int tracks, const std::vector<piece> &pieces)
{
    recording r{path, {}, {}, std::vector<std::vector<bytes>>(tracks), std::vector<bytes>(tracks)};
    avi_handle *h = AVI_create_output_file(path.c_str());
    EXPECT_NE(h, nullptr) << AVI_error_text();
    if (!h)
        return r;
    AVI_define_video(h, 160, 120, 25.0, "H264");
    for (int t = 0; t < tracks; ++t)
        AVI_add_audio_track(h, 1, 8000, 16, 1, 128);
    for (const piece &p : pieces) {
        if (p.repeat) {
            EXPECT_EQ(AVI_repeat_video_frame(h), 0);
            r.frames.push_back(r.frames.back());
            r.keys.push_back(true);
        } else if (p.track < 0) {
            EXPECT_EQ(AVI_put_video_frame(h, p.data.data(), static_cast<int32_t>(p.data.size()), p.key), 0);
            r.frames.push_back(p.data);
            r.keys.push_back(p.key);
        } else {
            EXPECT_EQ(AVI_select_audio_track(h, p.track), 0);
            EXPECT_EQ(AVI_put_audio(h, p.data.data(), static_cast<int32_t>(p.data.size())), 0);
            r.chunks[p.track].push_back(p.data);
            r.audio[p.track].insert(r.audio[p.track].end(), p.data.begin(), p.data.end());
        }
    }
    EXPECT_EQ(AVI_close_handle(h), 0) << AVI_error_text();
    return r;
}

inline reader open_reader(const std::string &path, int with_index = 1)
{
    return reader(AVI_open_input(path.c_str(), with_index));
}

}  // namespace mirvo_test

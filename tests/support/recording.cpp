// Small recordings written through our writer (see recording.h).
#include "recording.h"

#include "avi/avi.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace mirvo_test {

std::vector<access_unit> clip_units(const std::string &relative)
{
    return split_at_delimiters(read_file(source_path(relative)));
}

bytes pattern(size_t length, unsigned seed)
{
    bytes b(length);
    for (size_t i = 0; i < length; ++i)
        b[i] = static_cast<unsigned char>(seed * 37 + i * 11 + (i >> 8));
    return b;
}

recording write_recording(const std::string &path, const streams &s, const std::vector<piece> &pieces,
                          const sync_points &syncs)
{
    recording r{path, {}, {}, {}, {}, {}, {}, std::vector<std::vector<bytes>>(s.tracks),
                std::vector<bytes>(s.tracks)};
    avi_handle *h = AVI_create_output_file(path.c_str());
    EXPECT_NE(h, nullptr) << AVI_error_text();
    if (!h)
        return r;
    AVI_define_video(h, s.width, s.height, s.fps, "H264");
    for (int t = 0; t < s.tracks; ++t)
        AVI_add_audio_track(h, 1, 8000, 16, 1, 128);
    if (syncs.at_start) {
        EXPECT_EQ(AVI_sync(h), 0) << AVI_error_text();
    }
    for (size_t i = 0; i < pieces.size(); ++i) {
        const piece &p = pieces[i];
        uint32_t start = h->write_offset;
        if (p.repeat) {
            EXPECT_EQ(AVI_repeat_video_frame(h), 0);
            if (r.frames.empty())  // a repeat before any frame writes nothing
                start = 0;
            else {                 // an empty video chunk: the last picture held
                r.frames.emplace_back();
                r.keys.push_back(false);
            }
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
        r.starts.push_back(start);
        r.ends.push_back(start ? h->write_offset : 0);
        if (std::find(syncs.after.begin(), syncs.after.end(), i) != syncs.after.end()) {
            EXPECT_EQ(AVI_sync(h), 0) << AVI_error_text();
        }
    }
    r.before_close = read_file(path);
    EXPECT_EQ(AVI_close_handle(h), 0) << AVI_error_text();
    r.closed = read_file(path);
    return r;
}

recording record_clip(const std::string &path, const clip_recording &c)
{
    std::vector<access_unit> units = clip_units(c.clip);
    bytes audio(static_cast<size_t>(c.audio_bytes), 7);
    std::vector<piece> pieces;
    sync_points syncs;
    for (int f = 0; f < c.frames; ++f) {
        const access_unit &u = units.at(static_cast<size_t>(c.first + f));
        pieces.push_back({-1, u.data, u.key});
        if (c.repeat_every > 0 && (c.first + f) % c.repeat_every == c.repeat_every - 1)
            pieces.push_back({-1, {}, false, true});
        for (int t = 0; t < c.tracks && (c.audio_after_last || f + 1 < c.frames); ++t)
            pieces.push_back({t, audio});
        if (c.sync_every > 0 && f % c.sync_every == c.sync_every - 1)
            syncs.after.push_back(pieces.size() - 1);
    }
    return write_recording(path, {c.width, c.height, 25.0, c.tracks}, pieces, syncs);
}

}  // namespace mirvo_test

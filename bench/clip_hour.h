// What the reader and scan benchmarks share: the test clip cut into access units, an
// hour's recording made of them (90 000 frames, two 20 ms audio chunks after each) written
// through our writer, a stopwatch and the report of a failed step.
#pragma once

#include "avi/avi.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace bench {

using clock_type = std::chrono::steady_clock;
using access_unit = std::vector<unsigned char>;

constexpr int hour_frames = 90000;

inline double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

[[noreturn]] inline void fail(const char *what)
{
    AVI_report_error(what);
    exit(1);
}

// The clip's access units: each starts at an access unit delimiter (00 00 00 01 09).
inline std::vector<access_unit> access_units(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<size_t> starts;
    for (size_t i = 0; i + 4 < s.size(); ++i)
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 0 && s[i + 3] == 1 && (s[i + 4] & 0x1f) == 9)
            starts.push_back(i);
    starts.push_back(s.size());
    std::vector<access_unit> units;
    for (size_t u = 0; u + 1 < starts.size(); ++u)
        units.emplace_back(s.begin() + static_cast<long>(starts[u]), s.begin() + static_cast<long>(starts[u + 1]));
    return units;
}

// Creates path and writes the hour into it (320x240, 25 fps, a key flag every 25 frames, one
// 8 kHz PCM track); the caller closes the handle, or leaves the file cut off.
inline avi_handle *write_hour(const std::string &path, const std::vector<access_unit> &units)
{
    avi_handle *h = AVI_create_output_file(path.c_str());
    if (!h)
        fail(path.c_str());
    AVI_define_video(h, 320, 240, 25.0, "H264");
    AVI_add_audio_track(h, 1, 8000, 16, 1, 128);
    std::vector<unsigned char> pcm(320);
    for (int f = 0; f < hour_frames; ++f) {
        const access_unit &u = units[static_cast<size_t>(f) % units.size()];
        if (AVI_put_video_frame(h, u.data(), static_cast<int32_t>(u.size()), f % 25 == 0) != 0 ||
            AVI_put_audio(h, pcm.data(), 320) != 0 || AVI_put_audio(h, pcm.data(), 320) != 0)
            fail("writing");
    }
    return h;
}

}  // namespace bench

// Writes a few small files through our own writer into a directory, as seeds for the
// fuzz corpus: video only, two audio tracks with odd sizes, a repeated frame, and a file
// without its final index (as a recording cut short leaves it).
#include "avi/avi.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

bool write_seed(const std::string &path, int tracks, bool repeat, bool close_properly)
{
    avi_handle *h = AVI_create_output_file(path.c_str());
    if (!h)
        return false;
    AVI_define_video(h, 160, 120, 25.0, "H264");
    for (int t = 0; t < tracks; ++t)
        AVI_add_audio_track(h, 1, 8000, 16, 1, 128);
    std::vector<unsigned char> data(97);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 7);
    for (int f = 0; f < 6; ++f) {
        AVI_put_video_frame(h, data.data(), 40 + f * 3, f % 3 == 0);
        if (repeat && f == 2)
            AVI_repeat_video_frame(h);
        for (int t = 0; t < tracks; ++t) {
            AVI_select_audio_track(h, t);
            AVI_put_audio(h, data.data(), 20 + t * 7);
        }
    }
    if (!close_properly) {  // leave the file as a recording cut short: no index, no final header
        h->mode = AVI_MODE_READ;
    }
    return AVI_close_handle(h) == 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: fuzz_seeds DIR\n");
        return 2;
    }
    std::string dir = argv[1];
    bool ok = write_seed(dir + "/seed-video.avi", 0, false, true) &&
              write_seed(dir + "/seed-two-tracks.avi", 2, false, true) &&
              write_seed(dir + "/seed-repeat.avi", 1, true, true) &&
              write_seed(dir + "/seed-cut.avi", 1, false, false);
    if (!ok)
        AVI_report_error("fuzz_seeds");
    return ok ? 0 : 1;
}

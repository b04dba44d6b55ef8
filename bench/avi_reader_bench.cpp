// Reader benchmark: a file holding an hour's index (90 000 H.264 frames of the test clip
// and 180 000 audio chunks of 20 ms, written through our writer) is opened with its index
// and every frame is read; in the same run ffprobe counts the file's packets. Reports
// both; the target is an open in a tenth of ffprobe's time or less.
#include "clip_hour.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace bench;

void close_hour(const std::string &path, const std::vector<access_unit> &units)
{
    if (AVI_close_handle(write_hour(path, units)) != 0)
        fail("closing");
}

struct reader_times {
    double open, read_all;
    uint64_t bytes;
};

reader_times time_reader(const std::string &path)
{
    auto start = clock_type::now();
    avi_handle *h = AVI_open_input(path.c_str(), 1);
    if (!h)
        fail(path.c_str());
    reader_times t{seconds_since(start), 0, 0};
    if (AVI_frame_count(h) != 90000 || AVI_track_chunks(h) != 180000) {
        fprintf(stderr, "unexpected counts %d %d\n", AVI_frame_count(h), AVI_track_chunks(h));
        exit(1);
    }
    std::vector<unsigned char> buffer(AVI_largest_chunk(h));
    start = clock_type::now();
    int32_t got, key;
    while ((got = AVI_read_video_frame(h, buffer.data(), static_cast<int32_t>(buffer.size()), &key)) >= 0)
        t.bytes += static_cast<uint64_t>(got);
    t.read_all = seconds_since(start);
    AVI_close_handle(h);
    return t;
}

double time_ffprobe(const std::string &path)
{
    std::string command = "ffprobe -v error -count_packets -show_streams '" + path + "' >/dev/null";
    auto start = clock_type::now();
    if (system(command.c_str()) != 0) {
        fprintf(stderr, "ffprobe failed\n");
        exit(1);
    }
    return seconds_since(start);
}

}  // namespace

int main(int argc, char **argv)
{
    std::string dir = argc > 1 ? argv[1] : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
    std::string clip = argc > 2 ? argv[2] : MIRVO_SOURCE_DIR "/tests/data/clip.h264";
    std::string path = dir + "/bench-reader-hour.avi";
    close_hour(path, access_units(clip));

    // Best of five for the open and of three for the rest, alternating with ffprobe.
    double open_best = 1e9, read_best = 1e9, probe_best = 1e9;
    uint64_t bytes = 0;
    for (int round = 0; round < 5; ++round) {
        reader_times t = time_reader(path);
        open_best = std::min(open_best, t.open);
        read_best = std::min(read_best, t.read_all);
        bytes = t.bytes;
        if (round < 3)
            probe_best = std::min(probe_best, time_ffprobe(path));
    }
    remove(path.c_str());

    printf("avi reader: 90000 video + 180000 audio index entries, %.1f MB of video\n", bytes / 1e6);
    printf("  open with index:          %8.1f ms\n", open_best * 1e3);
    printf("  read every frame:         %8.1f ms  (%.0f MB/s)\n", read_best * 1e3, bytes / 1e6 / read_best);
    printf("  ffprobe -count_packets:   %8.1f ms\n", probe_best * 1e3);
    printf("  open / ffprobe: %.4f (target 0.1 or less)\n", open_best / probe_best);
    return 0;
}

// Writer benchmark: 100 000 camera-like frames (video of 1-60 KB with a key frame every 25,
// 320-byte audio in between) through the AVI module, against the same bytes written with
// plain write() calls of the same sizes, in the same run and the same directory, and
// against those writes each followed by zlib's crc32_z of its bytes (the module takes a
// CRC-32 of everything it writes, for its checkpoints); all end with the file synced to the
// disk. Then the CRC-32 alone over the same frames: the module's, its tables alone, zlib's.
#include "avi/avi.h"
#include "avi/common/avi_crc32.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace {

struct frame {
    uint32_t length;
    bool audio, key;
};

std::vector<frame> camera_like_frames(int count)
{
    std::mt19937 random(12345);
    std::uniform_int_distribution<uint32_t> video_size(1000, 60000);
    std::vector<frame> frames;
    int video = 0;
    while (static_cast<int>(frames.size()) < count) {
        frames.push_back({video_size(random), false, video % 25 == 0});
        ++video;
        for (int a = 0; a < 2 && static_cast<int>(frames.size()) < count; ++a)
            frames.push_back({320, true, false});
    }
    return frames;
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double through_module(const std::string &path, const std::vector<frame> &frames,
                      const std::vector<unsigned char> &data)
{
    auto start = std::chrono::steady_clock::now();
    avi_handle *h = AVI_create_output_file(path.c_str());
    if (!h) {
        AVI_report_error(path.c_str());
        exit(1);
    }
    AVI_define_video(h, 1920, 1080, 25.0, "H264");
    AVI_add_audio_track(h, 1, 8000, 16, 1, 128);
    for (const frame &f : frames) {
        int32_t len = static_cast<int32_t>(f.length);
        int r = f.audio ? AVI_put_audio(h, data.data(), len)
                        : AVI_put_video_frame(h, data.data(), len, f.key);
        if (r != 0) {
            AVI_report_error("bench");
            exit(1);
        }
    }
    if (AVI_close_handle(h) != 0) {
        AVI_report_error("bench close");
        exit(1);
    }
    return seconds_since(start);
}

double through_plain_write(const std::string &path, const std::vector<frame> &frames,
                           const std::vector<unsigned char> &data, bool with_zlib_crc)
{
    auto start = std::chrono::steady_clock::now();
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    uLong sum = 0;  // zlib's CRC-32 of the file's bytes, taken as they are written
    for (const frame &f : frames) {
        if (write(fd, data.data(), f.length) != static_cast<ssize_t>(f.length)) {
            perror("write");
            exit(1);
        }
        if (with_zlib_crc)
            sum = crc32_z(sum, data.data(), f.length);
    }
    fdatasync(fd);  // the module's close makes the file durable: so does the baseline
    close(fd);
    return seconds_since(start);
}

// Seconds for the best of five passes of crc over every frame's bytes; the sum of the last
// pass in sum.
template <class F>
double crc_alone(const std::vector<frame> &frames, const std::vector<unsigned char> &data, F crc,
                 uint32_t &sum)
{
    double best = 1e9;
    for (int pass = 0; pass < 5; ++pass) {
        auto start = std::chrono::steady_clock::now();
        uint32_t s = 0;
        for (const frame &f : frames)
            s = crc(s, data.data(), f.length);
        best = std::min(best, seconds_since(start));
        sum = s;
    }
    return best;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string dir = argc > 1 ? argv[1] : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
    std::vector<frame> frames = camera_like_frames(100000);
    uint64_t total = 0;
    for (const frame &f : frames)
        total += f.length;
    std::vector<unsigned char> data(60000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 131);

    std::string avi_path = dir + "/bench-writer.avi", raw_path = dir + "/bench-writer.raw";
    // Alternate the three and keep each one's best of three, so that none pays for the
    // page cache's state alone.
    double module_best = 1e9, plain_best = 1e9, plain_crc_best = 1e9;
    for (int round = 0; round < 3; ++round) {
        module_best = std::min(module_best, through_module(avi_path, frames, data));
        plain_best = std::min(plain_best, through_plain_write(raw_path, frames, data, false));
        plain_crc_best = std::min(plain_crc_best, through_plain_write(raw_path, frames, data, true));
    }
    unlink(avi_path.c_str());
    unlink(raw_path.c_str());

    double mb = total / 1e6;
    printf("avi writer: %zu frames, %.1f MB of frame data, in %s\n", frames.size(), mb, dir.c_str());
    printf("  module:      %8.1f MB/s  (%.3f s)\n", mb / module_best, module_best);
    printf("  plain write: %8.1f MB/s  (%.3f s)\n", mb / plain_best, plain_best);
    printf("  plain write + zlib crc32_z: %8.1f MB/s  (%.3f s)\n", mb / plain_crc_best, plain_crc_best);
    printf("  ratio module/plain: %.2f\n", plain_best / module_best);
    printf("  ratio module/(plain write + zlib crc32_z): %.2f (target 0.90 or better)\n",
           plain_crc_best / module_best);

    uint32_t module_sum = 0, tables_sum = 0, zlib_alone_sum = 0;
    double module_crc = crc_alone(frames, data, avi_detail::crc32_update, module_sum);
    double tables_crc = crc_alone(frames, data, avi_detail::crc32_update_by_tables, tables_sum);
    double zlib_crc = crc_alone(
        frames, data,
        [](uint32_t s, const unsigned char *p, size_t n) { return static_cast<uint32_t>(crc32_z(s, p, n)); },
        zlib_alone_sum);
    printf("crc-32 alone over the same frames (best of five passes):\n");
    printf("  module:        %6.2f GB/s  (sum %08x)\n", mb / 1e3 / module_crc, module_sum);
    printf("  module tables: %6.2f GB/s  (sum %08x)\n", mb / 1e3 / tables_crc, tables_sum);
    printf("  zlib crc32_z:  %6.2f GB/s  (sum %08x)\n", mb / 1e3 / zlib_crc, zlib_alone_sum);
    if (module_sum != zlib_alone_sum || tables_sum != zlib_alone_sum) {
        fprintf(stderr, "the module's CRC-32 differs from zlib's\n");
        return 1;
    }
    return 0;
}

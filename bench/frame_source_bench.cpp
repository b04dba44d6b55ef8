// Frame source benchmark: the stand-in's zo_get_av_data in burst pacing on the main clip
// with its tone, against plain memcpy of the same frames in the same order into one reused
// buffer, in the same run. A fetch should cost little more than copying its frame.
#include "device/access_units.h"
#include "qel/qelmain.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

constexpr int frames = 3000000;  // 40 000 simulated seconds: 160 loops of the 10 s clip

struct figures {
    double seconds;
    double bytes;
};

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

figures through_frame_source()
{
    av_frame_info d{};
    d.serial = -2;
    double bytes = 0;
    auto start = std::chrono::steady_clock::now();
    for (int n = 0; n < frames; ++n) {
        if (zo_get_av_data(0, &d) != 0) {
            fprintf(stderr, "bench: no frame after serial %d\n", d.serial);
            exit(1);
        }
        bytes += d.length;
    }
    figures f{seconds_since(start), bytes};
    free(d.data);
    return f;
}

// The same frames copied straight from the clip: one video unit, then two 320-byte audio
// frames, over and over.
figures through_memcpy(const std::vector<unsigned char> &clip)
{
    qel::heap_array<qel::access_unit> units;
    if (!qel::split_access_units(clip, units)) {
        fprintf(stderr, "bench: out of memory splitting the clip\n");
        exit(1);
    }
    std::vector<unsigned char> audio(16000, 1), buffer(clip.size());
    double bytes = 0;
    unsigned checksum = 0;
    auto start = std::chrono::steady_clock::now();
    for (int n = 0; n < frames; ++n) {
        size_t length = 320;
        const unsigned char *from = &audio[static_cast<size_t>(n / 3 * 2 + n % 3) % 50 * 320];
        if (n % 3 == 0) {
            const qel::access_unit &unit = units[static_cast<size_t>(n / 3) % units.size()];
            from = &clip[unit.offset];
            length = unit.size;
        }
        memcpy(buffer.data(), from, length);
        checksum += buffer[length - 1];
        bytes += static_cast<double>(length);
    }
    figures f{seconds_since(start), bytes};
    if (checksum == 1)  // keeps the copies from being optimised away
        puts("");
    return f;
}

void report(const char *what, const figures &f)
{
    printf("%-28s %8.3f s  %10.0f fetches/s  %8.1f MB/s\n", what, f.seconds, frames / f.seconds,
           f.bytes / f.seconds / 1e6);
}

}  // namespace

int main()
{
    setenv("QEL_PACE", "burst", 1);
    if (zo_get_data_init() != 0)
        return 1;
    std::ifstream in(QEL_MAIN_CLIP, std::ios::binary);
    std::vector<unsigned char> clip{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};

    printf("%d frames of the main clip (640x360, 25 fps) with 8 kHz audio, burst pacing\n", frames);
    figures copy = through_memcpy(clip);
    figures fetch = through_frame_source();
    report("memcpy of the same frames", copy);
    report("zo_get_av_data", fetch);
    printf("a fetch costs %.2f times a plain copy (%.0f ns against %.0f ns)\n",
           fetch.seconds / copy.seconds, fetch.seconds / frames * 1e9, copy.seconds / frames * 1e9);
    return 0;
}

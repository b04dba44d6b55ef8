// Scan benchmark: the operations that read a whole cut-off recording (AVI_examine_file,
// the rebuilding open, AVI_repair_file), timed side by side with reading the file once
// (`cat FILE > /dev/null`) in the same run, each the best of a few runs from the page cache,
// and their system calls per megabyte (counted by strace on a child that runs one
// operation, less the calls of a child that runs none). Two files: an hour of the test clip
// (90 000 frames, 180 000 audio chunks of 20 ms) and one near the size limit, with frames of
// 16 KB; both are written by a child that ends without the close, as a killed recorder
// leaves them, and removed at the end. ffmpeg's stream copy of the hour is shown beside.
#include "clip_hour.h"
#include "strace_calls.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace bench;

constexpr int runs = 3;
constexpr size_t large_frame_bytes = 16 * 1024;

// Runs write in a child that ends without the close: the file keeps its recording-time
// header and no index, as after a power loss.
template <typename writer>
void write_cut_off(writer write)
{
    pid_t child = fork();
    if (child < 0)
        exit(1);
    if (child == 0) {
        write();
        _exit(0);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        exit(1);
}

// Frames of the clip filled up to frame_bytes, two 20 ms audio chunks after each, until the
// size limit.
void write_to_the_limit(const std::string &path, const std::vector<access_unit> &units, size_t frame_bytes)
{
    avi_handle *h = AVI_create_output_file(path.c_str());
    if (!h)
        fail(path.c_str());
    AVI_define_video(h, 640, 480, 25.0, "H264");
    AVI_add_audio_track(h, 1, 8000, 16, 1, 128);
    std::vector<unsigned char> pcm(320), frame;
    for (size_t f = 0; AVI_space_left(h) > frame_bytes + 1024; ++f) {
        const access_unit &u = units[f % units.size()];
        frame.assign(u.begin(), u.end());
        frame.resize(std::max(frame.size(), frame_bytes), 0xa5);  // no start code in the filler
        if (AVI_put_video_frame(h, frame.data(), static_cast<int32_t>(frame.size()), f % 25 == 0) != 0 ||
            AVI_put_audio(h, pcm.data(), 320) != 0 || AVI_put_audio(h, pcm.data(), 320) != 0)
            fail("writing");
    }
}

// The cut-off file as it was before a repair: its header and what follows its data.
struct cut_off_state {
    std::vector<unsigned char> header, tail;
    uint64_t data_end, size;
};

cut_off_state save_state(const std::string &path)
{
    avi_recovery found;
    if (AVI_examine_file(path.c_str(), &found) != 0 || found.state != AVI_FILE_CUT_OFF)
        fail("examining");
    cut_off_state s{std::vector<unsigned char>(AVI_HEADER_BYTES),
                    std::vector<unsigned char>(found.file_size - found.data_end), found.data_end,
                    found.file_size};
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0 || pread(fd, s.header.data(), s.header.size(), 0) != AVI_HEADER_BYTES ||
        pread(fd, s.tail.data(), s.tail.size(), static_cast<off_t>(s.data_end)) !=
            static_cast<ssize_t>(s.tail.size()))
        fail("saving the cut-off state");
    close(fd);
    return s;
}

// Puts back what a repair changed (header, index, the cut-away tail), so that it can run again.
void restore_state(const std::string &path, const cut_off_state &s)
{
    int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(s.data_end)) != 0 ||
        pwrite(fd, s.header.data(), s.header.size(), 0) != AVI_HEADER_BYTES ||
        pwrite(fd, s.tail.data(), s.tail.size(), static_cast<off_t>(s.data_end)) !=
            static_cast<ssize_t>(s.tail.size()))
        fail("restoring the cut-off file");
    close(fd);
}

// One operation on path; false when it did not do what it should.
bool run_operation(const std::string &op, const std::string &path)
{
    avi_recovery found;
    if (op == "examine")
        return AVI_examine_file(path.c_str(), &found) == 0 && found.state == AVI_FILE_CUT_OFF;
    if (op == "open") {
        avi_handle *h = AVI_open_input(path.c_str(), 1);
        bool ok = h && AVI_index_origin(h) == AVI_INDEX_REBUILT;
        AVI_close_handle(h);
        return ok;
    }
    if (op == "repair")
        return AVI_repair_file(path.c_str(), &found) == 0;
    if (op == "cat")
        return system(("cat '" + path + "' > /dev/null").c_str()) == 0;
    return op == "none";
}

// System calls of a child running `op` once, counted by strace; -1 without strace.
long system_calls(const char *self, const std::string &op, const std::string &path)
{
    if (op == "cat")
        return strace_calls("cat '" + path + "' > /dev/null", path + ".strace");
    return strace_calls("'" + std::string(self) + "' --one " + op + " '" + path + "'", path + ".strace");
}

double best_time(const std::string &op, const std::string &path, const cut_off_state &state)
{
    double best = 1e9;
    for (int r = 0; r < runs; ++r) {
        auto start = clock_type::now();
        if (!run_operation(op, path))
            fail(op.c_str());
        best = std::min(best, seconds_since(start));
        if (op == "repair")
            restore_state(path, state);
    }
    return best;
}

void measure(const char *self, const std::string &name, const std::string &path)
{
    cut_off_state state = save_state(path);
    double megabytes = static_cast<double>(state.size) / 1e6;
    avi_recovery found;
    AVI_examine_file(path.c_str(), &found);
    printf("%s: %.1f MB, %d video frames (%d key), %d audio chunks\n", name.c_str(), megabytes,
           found.video_frames, found.key_frames, found.audio_chunks);
    run_operation("cat", path);  // into the page cache
    double cat = best_time("cat", path, state);
    long baseline = system_calls(self, "none", path);
    printf("  %-24s %8.3f s %6.2f x cat %8.0f MB/s", "cat FILE > /dev/null", cat, 1.0, megabytes / cat);
    long cat_calls = system_calls(self, "cat", path);
    if (cat_calls >= 0)
        printf(" %7.1f calls/MB", static_cast<double>(cat_calls) / megabytes);
    printf("\n");
    for (const char *op : {"examine", "open", "repair"}) {
        double t = best_time(op, path, state);
        printf("  %-24s %8.3f s %6.2f x cat %8.0f MB/s", op, t, t / cat, megabytes / t);
        long calls = system_calls(self, op, path);
        if (std::string(op) == "repair")
            restore_state(path, state);
        if (calls >= 0 && baseline >= 0)
            printf(" %7.1f calls/MB (%ld)", static_cast<double>(calls - baseline) / megabytes, calls - baseline);
        else
            printf("  (system calls not counted: strace is not installed)");
        printf("\n");
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "--one") == 0)
        return run_operation(argv[2], argv[3]) ? 0 : 1;

    std::string clip = std::string(MIRVO_SOURCE_DIR) + "/tests/data/clip.h264";
    std::vector<access_unit> units = access_units(clip);
    if (units.empty()) {
        fprintf(stderr, "no access units in %s\n", clip.c_str());
        return 1;
    }
    const char *tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/mirvo-bench-XXXXXX";
    if (!mkdtemp(dir.data()))
        return 1;
    std::string hour = dir + "/hour.avi", large = dir + "/large.avi", copy = dir + "/copy.avi";

    write_cut_off([&] { write_hour(hour, units); });
    measure(argv[0], "cut-off hour", hour);
    std::string ffmpeg = "ffmpeg -v quiet -nostdin -y -i '" + hour + "' -c copy '" + copy + "'";
    auto start = clock_type::now();
    if (system(ffmpeg.c_str()) == 0)
        printf("  %-24s %8.3f s\n", "ffmpeg -c copy", seconds_since(start));
    else
        printf("  ffmpeg -c copy: not available\n");
    unlink(copy.c_str());
    unlink(hour.c_str());

    write_cut_off([&] { write_to_the_limit(large, units, large_frame_bytes); });
    measure(argv[0], "cut-off file near the size limit", large);
    unlink(large.c_str());
    rmdir(dir.c_str());
    return 0;
}

// Repair benchmark: an hour's recording (90 000 H.264 frames of the test clip and 180 000
// audio chunks of 20 ms) is written by a child process that ends without closing the file,
// as a killed recorder leaves it. Times AVI_examine_file (what mirvo-avi info adds) and
// AVI_repair_file, which reads every video frame for its key flag; for comparison, the time
// ffmpeg takes to copy the same cut-off file's streams into a new file.
#include "clip_hour.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace bench;

// Writes the hour in a child that ends without the close: the file keeps its recording-time
// header and no index, as after a power loss.
void write_cut_off_hour(const std::string &path, const std::vector<access_unit> &units)
{
    pid_t child = fork();
    if (child < 0)
        exit(1);
    if (child == 0) {
        write_hour(path, units);
        _exit(0);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        exit(1);
}

}  // namespace

int main()
{
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
    std::string path = dir + "/hour.avi", copy = dir + "/copy.avi";
    write_cut_off_hour(path, units);
    struct stat st {};
    stat(path.c_str(), &st);
    double megabytes = static_cast<double>(st.st_size) / 1e6;

    avi_recovery found;
    auto start = clock_type::now();
    if (AVI_examine_file(path.c_str(), &found) != 0 || found.state != AVI_FILE_CUT_OFF)
        fail("examining");
    double examine = seconds_since(start);

    std::string ffmpeg = "ffmpeg -v quiet -nostdin -y -i '" + path + "' -c copy '" + copy + "'";
    start = clock_type::now();
    int ffmpeg_status = system(ffmpeg.c_str());
    double ffmpeg_copy = seconds_since(start);

    start = clock_type::now();
    if (AVI_repair_file(path.c_str(), &found) != 0)
        fail("repairing");
    double repair = seconds_since(start);
    if (found.video_frames != hour_frames || found.audio_chunks != 2 * hour_frames)
        fprintf(stderr, "unexpected counts %d %d\n", found.video_frames, found.audio_chunks);

    printf("cut-off hour: %.1f MB, %d video frames (%d key frames found), %d audio chunks\n",
           megabytes, found.video_frames, found.key_frames, found.audio_chunks);
    printf("examine (info's extra cost): %.3f s\n", examine);
    printf("repair: %.3f s (%.0f MB/s, %.2f us per frame)\n", repair, megabytes / repair,
           repair * 1e6 / hour_frames);
    if (ffmpeg_status == 0)
        printf("ffmpeg -c copy of the cut-off file, for comparison: %.3f s\n", ffmpeg_copy);
    else
        printf("ffmpeg -c copy: not available\n");
    unlink(path.c_str());
    unlink(copy.c_str());
    rmdir(dir.c_str());
    return 0;
}

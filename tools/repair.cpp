// mirvo-avi repair: finishes, in place, a recording that was cut off before its close (power
// loss, SIGKILL), so that players find its frames, key frames and duration. A finished
// file is left exactly as it is, and so is a file that mirvo did not write.
#include "progress.h"
#include "tool_common.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <unistd.h>

namespace mirvo_avi {
namespace {

int run(int argc, char **argv)
{
    std::string path;
    auto take = [](int, const char *, std::string &) { return true; };
    int end = parse_options(repair_command, argc, argv, nullptr, take, path);
    if (end >= 0)
        return end;

    uint64_t size = 0;
    int fd = open_regular_file(path, size);  // what is not a regular file is refused here
    if (fd < 0)
        return exit_failed;
    close(fd);

    progress_meter meter(path);
    avi_recovery found{};
    int result = -1;
    avi_error = AVI_ERROR_NONE;
    errno = 0;
    AVI_set_progress(progress_meter::module_callback, &meter);
    std::string held_back = holding_back_messages([&] { result = AVI_repair_file(path.c_str(), &found); });
    AVI_set_progress(nullptr, nullptr);
    meter.finish();
    if (result == 1) {
        printf("%s: already finished, left unchanged\n", path.c_str());
        return exit_ok;
    }
    if (result != 0 && found.state == AVI_FILE_OTHER)
        return report(path, "not finished, but its header is not the one mirvo writes; left unchanged");
    if (result != 0)
        return report(path, module_reason(held_back, "could not be repaired"));

    printf("%s: finalised: %d video frames (%d key frames), %d audio chunks", path.c_str(),
           found.video_frames, found.key_frames, found.audio_chunks);
    if (found.file_size > found.data_end)
        printf("; %" PRIu64 " bytes of a chunk cut short dropped", found.file_size - found.data_end);
    printf("\n");
    return exit_ok;
}

}  // namespace

const command repair_command = {
    "repair", "repair FILE",
    "finishes a recording cut off before its close (power loss, kill) in place: every whole\n"
    "      chunk is kept, key frames are found again in the H.264 data, the index and the final\n"
    "      header are written; frames that were only repeated in the index cannot be recovered.\n"
    "      A finished file, or one that mirvo did not write, is left unchanged",
    run};

}  // namespace mirvo_avi

// mirvo-avi repair: finishes, in place, a recording that was cut off before its close (power
// loss, SIGKILL), so that players find its frames, key frames and duration. A finished
// file is left exactly as it is, and so is a file that mirvo did not write.
#include "inputs.h"
#include "progress.h"
#include "tool_common.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace mirvo_avi {
namespace {

// What was left out past the last chunk kept, why, and where it went.
std::string what_was_dropped(const avi_recovery &found, const std::string &rest)
{
    std::string tail = std::to_string(found.saved_bytes) + " bytes";
    std::string saved = " moved to " + rest;
    switch (found.saved_bytes > 0 ? found.stop_reason : -1) {
    case AVI_STOP_CUT_SHORT:
        return "; " + tail + " of a chunk cut short" + saved;
    case AVI_STOP_NOT_A_CHUNK:
        return "; " + tail + " from the first bytes that are not a chunk of its streams" + saved;
    case AVI_STOP_CHECKPOINT:
        return "; " + std::to_string(found.dropped_chunks) + " chunks (" + tail + ") written after the last sync" + saved;
    default:
        return "";
    }
}

enum outcome { repaired, already_finished, nothing_recorded, failed };

outcome repair_file(const std::string &path)
{
    if (path == standard_input)
        return report(path, "standard input cannot be repaired: repair changes a file in place"), failed;
    // One descriptor from the check that it is a regular file to the repair: a file put in
    // its place meanwhile is never the one repaired.
    uint64_t size = 0;
    int write_refusal = 0;
    int fd = open_regular_file(path, size, &write_refusal);
    if (fd < 0)
        return failed;

    // What the repair does not keep goes to a file beside it, never lost.
    const std::string rest = path + ".dropped";
    progress_meter meter(path);
    avi_recovery found{};
    clear_module_error();
    AVI_set_progress(progress_meter::module_callback, &meter);
    int result = AVI_repair_fd_saving(fd, rest.c_str(), &found);
    AVI_set_progress(nullptr, nullptr);
    meter.finish();
    close(fd);
    if (result != 0 && found.state == AVI_FILE_CUT_OFF && avi_error == AVI_ERROR_NO_VIDEO) {
        if (found.stop_reason == AVI_STOP_UNVERIFIED || found.stop_reason == AVI_STOP_CHECKPOINT)
            return report(path, nothing_to_finish(found) + "; left unchanged"), failed;
        printf("%s: %s; left unchanged\n", path.c_str(), nothing_to_finish(found).c_str());
        return nothing_recorded;
    }
    if (result != 0 && write_refusal != 0 && avi_error == AVI_ERROR_OPEN)  // opened for reading only
        return report(path, reason_of(AVI_ERROR_OPEN, write_refusal)), failed;
    if (result != 0 && avi_error == AVI_ERROR_OPEN)  // the file beside it
        return report(path, "left unchanged: what repair drops cannot be saved to " + rest + ": " +
                                strerror(AVI_error_cause())), failed;
    if (result == 1) {
        printf("%s: already finished, left unchanged\n", path.c_str());
        return already_finished;
    }
    if (result != 0 && found.state == AVI_FILE_OTHER)
        return report(path, "not finished, but its header is not the one mirvo writes; left unchanged"), failed;
    if (result != 0)
        return report(path, module_reason("could not be repaired")), failed;

    printf("%s: finalised: %d video frames (%d key frames), %d audio chunks, %.2f s%s%s\n", path.c_str(),
           found.video_frames, found.key_frames, found.audio_chunks, found.seconds,
           how_verified(found).c_str(), what_was_dropped(found, rest).c_str());
    return repaired;
}

int run(int argc, char **argv)
{
    operands given;
    int end = parse_options(repair_command, argc, argv, given);
    if (end >= 0)
        return end;
    size_t counts[4] = {};
    int status = for_each_input(given.files, given.recursive, [&](const std::string &path, size_t, size_t) {
        outcome o = repair_file(path);
        counts[o] += 1;
        fflush(stdout);
        return o == failed ? exit_failed : exit_ok;
    });
    if (names_several(given.files)) {
        std::string empty = counts[nothing_recorded] == 0 ? "" : std::to_string(counts[nothing_recorded]) + " with nothing recorded, ";
        printf("repair: %zu files: %zu repaired, %zu already finished, %s%zu failed\n",
               counts[repaired] + counts[already_finished] + counts[nothing_recorded] + counts[failed],
               counts[repaired], counts[already_finished], empty.c_str(), counts[failed]);
    }
    return status;
}

}  // namespace

const command repair_command = {
    "repair", "repair [-r] FILE|FOLDER...",
    "finishes a recording cut off before its close (power loss, kill) in place: the chunks\n"
    "      its newest checkpoint verifies are kept, and every whole chunk after it when the\n"
    "      machine has not restarted since (every whole chunk of a recording without\n"
    "      checkpoints); key frames are found again in the H.264 data, the index and the final\n"
    "      header are written. What is not kept is moved to FILE.dropped, which info and frames\n"
    "      read. A finished file, one with nothing recorded, or one that mirvo did not write, is\n"
    "      left unchanged. A folder stands for its *.avi files (-r: and those of its\n"
    "      subfolders); several files end with a summary",
    run, command::files_and_folders};

}  // namespace mirvo_avi

// mirvo-avi repair: finishes, in place, a recording that was cut off before its close (power
// loss, SIGKILL), so that players find its frames, key frames and duration. A finished
// file is left exactly as it is, and so is a file that mirvo did not write.
#include "inputs.h"
#include "progress.h"
#include "tool_common.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace mirvo_avi {
namespace {

// How far what is kept is known to be the recording's own: up to a checkpoint that verifies,
// or not at all in a recording without checkpoints (cut off before its first sync, or written
// by an earlier mirvo), whose chunks are kept as far as they read as whole chunks.
std::string how_verified(const avi_recovery &found)
{
    if (found.checkpoint_used > 0)
        return "; verified by checkpoint " + std::to_string(found.checkpoint_used);
    if (found.checkpoints > 0)
        return "; no checkpoint verifies";
    return found.video_frames + found.audio_chunks > 0 ? "; no checkpoints, so not verified" : "";
}

// What was left out past the last chunk kept, and why.
std::string what_was_dropped(const avi_recovery &found)
{
    uint64_t bytes = found.file_size > found.data_end ? found.file_size - found.data_end : 0;
    std::string tail = std::to_string(bytes) + " bytes";
    switch (found.stop_reason) {
    case AVI_STOP_CUT_SHORT:
        return "; " + tail + " of a chunk cut short dropped";
    case AVI_STOP_NOT_A_CHUNK:
        return "; " + tail + " dropped from the first bytes that are not a chunk of its streams";
    case AVI_STOP_CHECKPOINT:
        return "; " + std::to_string(found.dropped_chunks) + " chunks (" + tail +
               ") written after the last sync dropped";
    case AVI_STOP_UNVERIFIED:
        return ", so all " + tail + " of its data dropped";
    default:
        return "";
    }
}

enum outcome { repaired, already_finished, failed };

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

    progress_meter meter(path);
    avi_recovery found{};
    avi_error = AVI_ERROR_NONE;
    AVI_set_progress(progress_meter::module_callback, &meter);
    int result = AVI_repair_fd(fd, &found);
    AVI_set_progress(nullptr, nullptr);
    meter.finish();
    close(fd);
    if (result != 0 && write_refusal != 0 && avi_error == AVI_ERROR_OPEN)  // opened for reading only
        return report(path, reason_of(AVI_ERROR_OPEN, write_refusal)), failed;
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
           how_verified(found).c_str(), what_was_dropped(found).c_str());
    return repaired;
}

int run(int argc, char **argv)
{
    operands given;
    int end = parse_options(repair_command, argc, argv, given);
    if (end >= 0)
        return end;
    size_t counts[3] = {};
    int status = for_each_input(given.files, given.recursive, [&](const std::string &path, size_t, size_t) {
        outcome o = repair_file(path);
        counts[o] += 1;
        fflush(stdout);
        return o == failed ? exit_failed : exit_ok;
    });
    if (names_several(given.files))
        printf("repair: %zu files: %zu repaired, %zu already finished, %zu failed\n",
               counts[repaired] + counts[already_finished] + counts[failed], counts[repaired],
               counts[already_finished], counts[failed]);
    return status;
}

}  // namespace

const command repair_command = {
    "repair", "repair [-r] FILE|FOLDER...",
    "finishes a recording cut off before its close (power loss, kill) in place: the chunks\n"
    "      its newest checkpoint verifies are kept (every whole chunk of a recording without\n"
    "      checkpoints), key frames are found again in the H.264 data, the index and the final\n"
    "      header are written; frames that were only repeated in the index cannot be recovered.\n"
    "      A finished file, or one that mirvo did not write, is left unchanged. A folder stands\n"
    "      for its *.avi files (-r: and those of its subfolders); several files end with a summary",
    run, command::files_and_folders};

}  // namespace mirvo_avi

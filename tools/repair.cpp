// mirvo-avi repair: finishes, in place, a recording that was cut off before its close (power
// loss, SIGKILL), so that players find its frames, key frames and duration. A finished
// file is left exactly as it is, and so is a file that mirvo did not write.
#include "tool_common.h"

#include <cinttypes>
#include <cstdio>

namespace mirvo_avi {
namespace {

int run(const arguments &args)
{
    if (args.empty())
        return usage_error(repair_command, "no file given");
    if (args.size() > 1 || args[0].rfind("--", 0) == 0)
        return usage_error(repair_command, "unexpected argument '" + args.back() + "'");
    const std::string &path = args[0];

    avi_recovery found;
    int result = AVI_repair_file(path.c_str(), &found);
    if (result == 1) {
        printf("%s: already finished, left unchanged\n", path.c_str());
        return exit_ok;
    }
    if (result != 0 && found.state == AVI_FILE_OTHER) {
        fprintf(stderr, "%s: not finished, but its header is not the one mirvo writes; left unchanged\n",
                path.c_str());
        return exit_failed;
    }
    if (result != 0)
        return report_failure(path);

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

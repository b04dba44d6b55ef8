// A camera's start after a power cut: every recording of the keeper's that the cut left
// unfinished is finished in place by the AVI module's repair, before anything records again.
#include "keeper/recordings.h"

#include <climits>
#include <unistd.h>

extern "C" int keeper_repair_folder(const char *folder, keeper_repaired_fn said, void *arg)
{
    keeper::recording_list list;
    if (!folder || !list.read(folder))
        return -1;
    int failed = 0;
    for (uint32_t i = 0; i < list.size(); ++i) {
        char path[PATH_MAX];
        if (list[i].is_protected || !keeper::join_path(folder, list[i].name, path))
            continue;
        avi_recovery found;
        if (AVI_examine_file(path, &found) == 0 && found.state == AVI_FILE_FINISHED)
            continue;
        int result = AVI_repair_file(path, &found);
        if (result == 1)
            continue;  // finished meanwhile
        // Cut off before its first frame: it holds nothing but its header, and would stay
        // unfinished on the card for ever.
        if (result < 0 && avi_error == AVI_ERROR_NO_VIDEO && found.state == AVI_FILE_CUT_OFF)
            result = unlink(path) == 0 ? 1 : -1;
        if (result < 0)
            ++failed;
        if (said)
            said(path, result, &found, arg);
    }
    return failed;
}

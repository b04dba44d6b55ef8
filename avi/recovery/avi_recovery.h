// What of a file that was never finished can be trusted: whether its header region is this
// writer's for its streams, what its checkpoints verify, and so how the walk that rebuilds
// its index must go. Shared by repair (and examine) and the reader's rebuilding open.
#pragma once

#include "avi/reader/avi_walk.h"
#include "common/video_codes.h"

namespace avi_detail {

// What the checkpoint slots of a header region say, checked against the file.
struct trusted_data {
    bool carried = false;  // a slot holds a checkpoint, whole or torn
    int32_t newest = 0;    // number of the newest whole checkpoint (0: none)
    int32_t used = 0;      // number of the newest one whose data verified (0: none)
    uint64_t end = 0;      // where the data that one covers ends
    int32_t chunks = 0;    // the chunks before that
    // Past that end every byte is the recording's as its writer left it: the newest
    // checkpoint was written in the running boot (the writer was killed, the page cache holds
    // what it wrote), or the close had synced the data before its header was torn.
    bool same_boot = false;
    bool close_began = false;
};

// Reads the checkpoints in `header` (the file's first 2048 bytes) and verifies their data
// through s: the newest whole checkpoint whose CRC matches the bytes from 2048 to its end
// is used; an older one only when it is of the same recording.
trusted_data find_trusted_data(file_scan &s, const header_bytes &header);

// How to walk a file whose index is rebuilt, with what its checkpoints say.
struct recovery_plan {
    bool ours = false;  // the header region is the one this writer writes for these streams
    trusted_data trusted;
    walk_rules rules;
    int32_t past_checkpoint = 0;  // AVI_PAST_...: why chunks past the verified data are kept
};

// Reads the header region of the file open on r (through s) and plans its walk.
recovery_plan plan_recovery(const avi_handle &r, file_scan &s);

// The stream descriptions of a file opened for reading, in a writing handle's fields: what
// the header builder needs, with counts and sizes still zero.
avi_handle described_streams(const avi_handle &r);

// Whether id names a chunk that this writer writes for r's streams: "00db", or "0Nwb" for a
// declared track N (and "01wb", which it writes also when no track was declared).
bool is_recording_chunk(const avi_handle &r, const unsigned char *id);

// The whole chunks of the recording's streams that a walk from `at` finds one after the
// other, up to the first head that is not one: what a checkpoint's end leaves out.
int32_t count_recording_chunks(const avi_handle &r, file_scan &s, uint64_t at);

}  // namespace avi_detail

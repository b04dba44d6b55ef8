// Recovery: what of a file that was never finished can be trusted, found in one walk. Its
// header region tells whether it is this writer's recording; the checkpoints there tell how
// far its data is durable and its own; the walk then rebuilds the index of the chunks to
// keep and says why it stopped where it did. Repair and examine (avi_repair.cpp) and the
// reader's open of a file without a usable index (load_index) all go through recover_index.
#pragma once

#include "avi/reader/avi_walk.h"
#include "common/video_codes.h"

namespace avi_detail {

// What recovering a file found: the verdict that examine reports and repair acts on.
struct recovery_verdict {
    bool ours = false;            // the header region is this writer's, for these streams
    int32_t checkpoints = 0;      // number of the newest whole checkpoint (0: none)
    int32_t checkpoint_used = 0;  // number of the newest one whose data verified (0: none)
    int32_t past_checkpoint = AVI_PAST_NOTHING;  // why chunks past the verified data are kept
    uint64_t unverified_from = UINT64_MAX;       // chunks kept from here on no checkpoint covers
    int32_t stop_reason = AVI_STOP_END_OF_FILE;  // AVI_STOP_...
    uint64_t stop_at = 0;        // where the last chunk kept ends
    int32_t dropped_chunks = 0;  // whole chunks of the recording past that, left out
};

// Rebuilds the index of the file open on r (through s) from "movi" on, as far as its data
// can be trusted, flagging H.264 key frames when find_key_frames; see recovery_verdict.
// Returns 0 or AVI_ERROR_NO_MEMORY.
int32_t recover_index(avi_handle *r, file_scan &s, bool find_key_frames, recovery_verdict &verdict);

// What the checkpoint slots of a header region say, checked against the file.
struct trusted_data {
    bool carried = false;  // a slot holds a checkpoint, whole or torn
    int32_t newest = 0;    // number of the newest whole checkpoint (0: none)
    int32_t used = 0;      // number of the newest one whose data verified (0: none)
    uint64_t end = 0;      // where the data that one covers ends
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

// The stream descriptions of a file opened for reading, in a writing handle's fields: what
// the header builder needs, with counts and sizes still zero.
avi_handle described_streams(const avi_handle &r);

// Whether id names a chunk that this writer writes for r's streams: "00db", or "0Nwb" for a
// declared track N (and "01wb", which it writes also when no track was declared).
bool is_recording_chunk(const avi_handle &r, const unsigned char *id);

}  // namespace avi_detail

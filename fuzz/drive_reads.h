// Drives every reading operation of the AVI module over an open handle, with bounded
// buffers, for the fuzz harness and the regression test that replays its findings.
#pragma once

#include "avi/avi.h"

#include <cstdint>

namespace mirvo_fuzz {

// Queries every field, looks up every frame and chunk, reads every frame, each track's
// audio by bytes, by position and chunk by chunk, and every chunk in file order. Returns
// the number of bytes read, so that none of the work can be left out.
uint64_t drive_reads(avi_handle *h);

}  // namespace mirvo_fuzz

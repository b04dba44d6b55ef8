// Where a fresh recording begins: with the last video key frame that the camera captured at
// or before the start request came (the source's newest serial then, taken by the request's
// handler), although the recording's first fetch comes later, after the idle loop's look for
// requests and the new file's syncs (on a slow card, seconds); the frame source's ring still
// holds those frames. The source is only asked for the frame after a serial, so the key frame
// is found by fetching forward through windows that reach further back each time.
#pragma once

#include "qel/qelmain.h"

#include <cstdint>

// The serial of the last video key frame at or before `newest` on `stream` that the source
// still holds, found within a bounded number of fetches into `frame` (its buffer is reused;
// its serial is left as the last fetch set it); 0 when none is found or `newest` is not known
// (0).
int32_t find_start_key_frame(int stream, int32_t newest, av_frame_info &frame);

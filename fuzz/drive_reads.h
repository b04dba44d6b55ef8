// Drives the whole reading API of the AVI module over a file, for the fuzz harness and the
// regression test that replays its findings: both opens with and without the index, every
// query and read at the edges of its range, examine, and repair on a copy.
#pragma once

#include "avi/avi.h"

#include <cstddef>
#include <cstdint>

namespace mirvo_fuzz {

// Queries every field; looks up every frame, chunk and index entry and the numbers -1, the
// count and INT32_MAX; seeks to odd positions; reads every frame into a buffer of exactly its
// length (and one byte less, which must be refused), each track's audio by bytes with small
// and huge counts, by position and chunk by chunk, and every chunk in file order with small
// capacities. Returns the number of bytes read, so that none of the work can be left out.
uint64_t drive_reads(avi_handle *h);

// The whole API over a file held in memory: AVI_open_input and AVI_open_input_fd, each with
// and without the index, drive_reads on every handle, AVI_examine_file and AVI_examine_fd,
// and AVI_repair_file twice on a copy, with the progress callback on. Traps when a rule
// that holds for every input is broken: the second repair changes the copy, examine by path
// and by descriptor disagree, progress goes backwards or past its total, or a descriptor
// is left open.
void drive_file(const uint8_t *data, size_t size);

}  // namespace mirvo_fuzz

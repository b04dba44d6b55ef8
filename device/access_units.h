// Cuts an H.264 Annex-B byte stream into access units, the pieces a camera's encoder hands
// out one per picture, and marks the units that hold an IDR slice as key frames. Every byte
// of the stream belongs to exactly one unit, so the units laid end to end give the stream.
#pragma once

#include "heap_array.h"

#include <cstddef>
#include <span>

namespace qel {

struct access_unit {
    size_t offset = 0;  // of the unit's first byte in the stream
    size_t size = 0;
    bool key = false;   // holds an IDR slice
};

// A unit starts at the first access unit delimiter, SPS, PPS, SEI (or NAL types 14-18)
// after a picture's slices, or at a slice whose first_mb_in_slice is 0 after such slices.
// Bytes before the first start code open the first unit; NAL units after the last slice
// (end of stream, a stray delimiter, trailing zeros) close the last one. A stream without
// any slice gives no unit. Fills units (emptied first); false when memory runs out.
bool split_access_units(std::span<const unsigned char> stream, heap_array<access_unit> &units);

}  // namespace qel

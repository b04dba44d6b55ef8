// The CRC-32 of zlib's crc32() (the gzip polynomial), on x86-64 with PCLMULQDQ folding where
// the processor has it (about three times zlib's speed), else through zlib. frames spends
// most of its time here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mirvo_avi {

// crc32(crc, data, length) as zlib computes it: crc32_of(0, ...) for a fresh sum.
uint32_t crc32_of(uint32_t crc, const unsigned char *data, size_t length);

}  // namespace mirvo_avi

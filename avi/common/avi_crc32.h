// CRC-32 as zlib computes it (the polynomial of gzip, Ethernet and PNG): the one
// implementation of the module, which the checkpoints run over every byte a recording
// writes, and of the tools, which mirvo-avi frames runs over every frame it lists.
#pragma once

#include <cstddef>
#include <cstdint>

namespace avi_detail {

// crc32_update(0, data, n) for a whole buffer, or fed piece by piece with the last result.
uint32_t crc32_update(uint32_t crc, const void *data, size_t n);

// The same by the tables alone, whatever the processor has: what crc32_update uses for
// short lengths and tails, and everywhere on processors without carry-less multiplication.
uint32_t crc32_update_by_tables(uint32_t crc, const void *data, size_t n);

}  // namespace avi_detail

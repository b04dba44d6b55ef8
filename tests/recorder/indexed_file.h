// The chunks of a file as this writer finishes it, read through its "idx1" index with where
// each lies, for files that may be damaged: a problem is returned as text, not as a test
// failure, so that a caller can count it.
#pragma once

#include "test_support.h"

#include <string>
#include <vector>

namespace mirvo_test {

struct located_chunk {
    std::string id;
    uint32_t flags = 0;
    uint64_t head = 0;  // where its id is
    bytes data;
};

struct indexed_file {
    std::vector<located_chunk> chunks;  // in index order
    bytes index;                        // the index's entries, as stored
    std::string problem;                // empty when the file reads as a finished one
};

// The RIFF size must be the file's, the "movi" list must end where "idx1" begins, the index
// must end the file and each entry must name a chunk with its id and size.
indexed_file read_indexed_file(const bytes &file);

}  // namespace mirvo_test

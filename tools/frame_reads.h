// Reading a frame or chunk that an index entry places, only after checking the entry against
// the file: a damaged index may claim more than the file holds.
#pragma once

#include "input_file.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace mirvo_avi {

// One frame or chunk as the index places it, checked against the file before it is read.
struct extent {
    int64_t offset, length;
};
// The reason an index entry cannot be read ("video frame 3 claims 2147483647 bytes at
// offset 2056, past the end of the file (160000 bytes)"), or empty when it lies inside the
// file. what names the entry.
std::string outside_file(const std::string &what, extent e, uint64_t file_size);

// A buffer from malloc that grows to what a frame needs and reports a failure instead of
// throwing, so that an allocation the file cannot justify never ends the program.
class frame_buffer {
public:
    frame_buffer() = default;
    ~frame_buffer();
    frame_buffer(const frame_buffer &) = delete;
    frame_buffer &operator=(const frame_buffer &) = delete;
    bool reserve(size_t bytes);  // false when out of memory
    unsigned char *data() { return data_; }

private:
    unsigned char *data_ = nullptr;
    size_t capacity_ = 0;
};

// Reads the bytes of an index entry (`what` names it) whole into buffer after checking them
// against the file's size. Returns their length, or -1 with the reason in problem.
int64_t read_extent(input_file &in, const std::string &what, extent e, frame_buffer &buffer, std::string &problem);

// read_extent for video frame n.
int64_t read_frame(input_file &in, int32_t n, frame_buffer &buffer, std::string &problem);

}  // namespace mirvo_avi

// Checked reads of what index entries place.
#include "frame_reads.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace mirvo_avi {

std::string outside_file(const std::string &what, extent e, uint64_t file_size)
{
    if (e.offset >= 0 && e.length >= 0 && static_cast<uint64_t>(e.offset) + static_cast<uint64_t>(e.length) <= file_size)
        return {};
    char text[160];
    snprintf(text, sizeof text, " claims %lld bytes at offset %lld, past the end of the file (%llu bytes)",
             static_cast<long long>(e.length), static_cast<long long>(e.offset),
             static_cast<unsigned long long>(file_size));
    return what + text;
}

frame_buffer::~frame_buffer()
{
    free(data_);
}

bool frame_buffer::reserve(size_t bytes)
{
    if (bytes == 0)
        bytes = 1;
    if (bytes <= capacity_)
        return true;
    void *grown = realloc(data_, bytes);
    if (!grown)
        return false;
    data_ = static_cast<unsigned char *>(grown);
    capacity_ = bytes;
    return true;
}

int64_t read_extent(input_file &in, const std::string &what, extent e, frame_buffer &buffer, std::string &problem)
{
    problem = outside_file(what, e, in.size);
    if (problem.empty() && e.length > INT32_MAX)
        problem = what + " is too long to be read (" + std::to_string(e.length) + " bytes)";
    if (problem.empty() && !buffer.reserve(static_cast<size_t>(e.length)))
        problem = what + ": no memory for its " + std::to_string(e.length) + " bytes";
    if (!problem.empty())
        return -1;
    if (!in.chunks->read(static_cast<uint64_t>(e.offset), static_cast<size_t>(e.length), buffer.data())) {
        problem = what + ": " + (errno != 0 ? strerror(errno) : "the file ends before its bytes");
        return -1;
    }
    return e.length;
}

int64_t read_frame(input_file &in, int32_t n, frame_buffer &buffer, std::string &problem)
{
    avi_handle *h = in.handle.get();
    return read_extent(in, "video frame " + std::to_string(n), {AVI_frame_file_offset(h, n), AVI_frame_length(h, n)},
                       buffer, problem);
}

}  // namespace mirvo_avi

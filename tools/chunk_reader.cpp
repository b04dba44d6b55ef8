// Chunk reads through a window of large positioned reads (see chunk_reader.h).
#include "chunk_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace mirvo_avi {

namespace {

// pread until n bytes are in or the file ends; false on a failure or an early end.
bool pread_fully(int fd, unsigned char *dest, size_t n, uint64_t offset)
{
    while (n > 0) {
        ssize_t got = pread(fd, dest, n, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got == 0)
                errno = 0;
            return false;
        }
        dest += got;
        n -= static_cast<size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return true;
}

}  // namespace

bool chunk_reader::fill(uint64_t offset)
{
    window_.resize(window_bytes);
    window_filled_ = 0;
    window_start_ = offset;
    size_t wanted = static_cast<size_t>(std::min<uint64_t>(window_bytes, file_size_ - offset));
    if (!pread_fully(fd_, window_.data(), wanted, offset))
        return false;
    window_filled_ = wanted;
    return true;
}

const unsigned char *chunk_reader::view(uint64_t offset, size_t length)
{
    if (offset > file_size_ || length > file_size_ - offset) {
        errno = 0;
        return nullptr;
    }
    bool inside = offset >= window_start_ && offset - window_start_ + length <= window_filled_;
    if (!inside && length >= window_bytes) {
        large_.resize(length);
        return pread_fully(fd_, large_.data(), length, offset) ? large_.data() : nullptr;
    }
    if (!inside && !fill(offset))
        return nullptr;
    return window_.data() + (offset - window_start_);
}

bool chunk_reader::read(uint64_t offset, size_t length, unsigned char *dest)
{
    if (length >= window_bytes && offset <= file_size_ && length <= file_size_ - offset)
        return pread_fully(fd_, dest, length, offset);  // straight into dest
    const unsigned char *bytes = view(offset, length);
    if (bytes)
        memcpy(dest, bytes, length);
    return bytes != nullptr;
}

}  // namespace mirvo_avi

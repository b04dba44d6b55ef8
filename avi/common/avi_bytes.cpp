// Byte-level helpers of the AVI module: whole-buffer reads and writes on a descriptor, also
// at an offset. The little-endian stores and loads are in le_bytes.h.
#include "avi/avi_internal.h"

#include <cerrno>
#include <unistd.h>

int32_t read_fully(int fd, void *buffer, uint32_t n)
{
    auto *bytes = static_cast<unsigned char *>(buffer);
    uint32_t done = 0;
    while (done < n) {
        ssize_t got = read(fd, bytes + done, n - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<uint32_t>(got);
    }
    return static_cast<int32_t>(done);
}

int32_t write_fully(int fd, const void *buffer, uint32_t n)
{
    iovec part{const_cast<void *>(buffer), n};
    int64_t written = write_fully_vec(fd, &part, 1);
    return written < 0 ? static_cast<int32_t>(written) : static_cast<int32_t>(n);
}

int64_t write_fully_vec(int fd, struct iovec *parts, int count)
{
    int64_t total = 0;
    while (count > 0) {
        if (parts->iov_len == 0) {
            ++parts;
            --count;
            continue;
        }
        ssize_t put = writev(fd, parts, count);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            return put;
        if (put == 0) {  // a regular file never does this; treat it as a failure, not a loop
            errno = EIO;
            return -1;
        }
        total += put;
        auto left = static_cast<size_t>(put);
        while (count > 0 && left >= parts->iov_len) {
            left -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<unsigned char *>(parts->iov_base) + left;
            parts->iov_len -= left;
        }
    }
    return total;
}

bool read_at(int fd, uint64_t at, void *buffer, uint32_t n)
{
    return at <= INT64_MAX && lseek(fd, static_cast<off_t>(at), SEEK_SET) >= 0 &&
           static_cast<uint32_t>(read_fully(fd, buffer, n)) == n;
}

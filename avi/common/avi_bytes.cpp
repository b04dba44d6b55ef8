// Byte-level helpers of the AVI module: whole-buffer reads and writes on a descriptor, also
// at an offset. The little-endian stores and loads are in le_bytes.h.
#include "avi/avi_internal.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace {

// The loop of every whole read: `read_some(done, want)` reads up to `want` bytes of what is
// left after `done`; partial reads go on, an interrupted one is tried again, the end of the
// file or an error ends the loop. Returns the bytes read.
template <class ReadSome> uint64_t read_all(uint64_t n, ReadSome &&read_some)
{
    uint64_t done = 0;
    while (done < n) {
        ssize_t got = read_some(done, static_cast<size_t>(std::min<uint64_t>(n - done, 1u << 30)));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<uint64_t>(got);
    }
    return done;
}

}  // namespace

int32_t read_fully(int fd, void *buffer, uint32_t n)
{
    auto *bytes = static_cast<unsigned char *>(buffer);
    return static_cast<int32_t>(read_all(n, [&](uint64_t done, size_t want) { return read(fd, bytes + done, want); }));
}

uint64_t pread_fully(int fd, void *buffer, uint64_t n, uint64_t at)
{
    auto *bytes = static_cast<unsigned char *>(buffer);
    return read_all(n, [&](uint64_t done, size_t want) -> ssize_t {
        if (at + done > INT64_MAX)
            return 0;  // past any offset a file can have: its end
        return pread(fd, bytes + done, want, static_cast<off_t>(at + done));
    });
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

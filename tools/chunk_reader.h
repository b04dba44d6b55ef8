// Reads chunks' bytes by their file offsets through a window of large positioned reads: a
// walk over every frame and chunk in file order costs one read per window (1 MiB) instead of
// a seek and a read per chunk. Any other order still reads right, only with more calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mirvo_avi {

class chunk_reader {
public:
    // Reads from fd (not owned), a file of file_size bytes.
    chunk_reader(int fd, uint64_t file_size) : fd_(fd), file_size_(file_size) {}
    // Copies length bytes at offset into dest. False when the file ends before them or a read
    // fails (errno tells why; 0 for the end of the file).
    bool read(uint64_t offset, size_t length, unsigned char *dest);
    // The length bytes at offset, valid until the next call, without a copy where they lie in
    // the window; null as read fails.
    const unsigned char *view(uint64_t offset, size_t length);

private:
    static constexpr size_t window_bytes = size_t{1} << 20;
    bool fill(uint64_t offset);

    int fd_;
    uint64_t file_size_;
    std::vector<unsigned char> window_, large_;  // large_: a chunk longer than the window
    uint64_t window_start_ = 0;
    size_t window_filled_ = 0;
};

}  // namespace mirvo_avi

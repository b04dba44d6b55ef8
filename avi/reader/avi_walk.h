// The forward walk over a RIFF file that every reader of chunks shares (the top-level walk,
// the index rebuild, file-order reading, examine and repair): a buffered reader that fills
// its buffer with large positioned reads and skips by moving its position, and the rules
// for chunk heads, lists and where a walk ends, kept in this one place.
#pragma once

#include "avi/avi_internal.h"

#include <cstdlib>
#include <memory>

namespace avi_detail {

// No known end: the walk reads until a read comes up short.
inline constexpr uint64_t no_end = UINT64_MAX;
// The buffer of the long scans: a few reads per megabyte.
inline constexpr uint32_t scan_buffer_bytes = 256 * 1024;

// A block from malloc, freed with the owner.
struct free_deleter {
    void operator()(void *p) const { free(p); }
};
using heap_bytes = std::unique_ptr<unsigned char, free_deleter>;

// A new buffer for a long scan; null when memory is short.
inline heap_bytes new_scan_buffer()
{
    return heap_bytes(static_cast<unsigned char *>(malloc(scan_buffer_bytes)));
}

// Reads a file front to back through a caller's buffer. Reads that the buffer holds cost no
// system call; a refill is one pread of the whole buffer from the position on; data longer
// than the buffer is read straight into its destination; skipping only moves the position.
// The descriptor's file position is neither used nor moved. Bytes once buffered are not read
// again while the position stays inside them.
class file_scan {
public:
    // `end`: the file's length when known (no read is made past it), else no_end.
    file_scan(int fd, unsigned char *buffer, uint32_t capacity, uint64_t at, uint64_t end)
        : fd_(fd), buffer_(buffer), capacity_(capacity), at_(at), end_(end)
    {
    }

    uint64_t position() const { return at_; }
    uint64_t end() const { return end_; }
    void move_to(uint64_t at) { at_ = at; }
    void skip(uint64_t n) { at_ = n > no_end - at_ ? no_end : at_ + n; }

    // Copies n bytes from the position on and moves past them; false when the file ends
    // first (or a read fails).
    bool read(void *out, uint64_t n);
    bool read_at(uint64_t at, void *out, uint64_t n)
    {
        move_to(at);
        return read(out, n);
    }
    // Points data at up to n bytes at the position, inside the buffer (refilled when needed),
    // without moving. Returns how many there are: 0 at the end of the file.
    uint32_t look(const unsigned char *&data, uint32_t n);

private:
    uint64_t buffered_from(uint64_t at) const
    {
        return at >= buffer_at_ && at - buffer_at_ < filled_ ? filled_ - (at - buffer_at_) : 0;
    }
    bool fill();

    int fd_;
    unsigned char *buffer_;
    uint32_t capacity_;
    uint64_t buffer_at_ = 0;  // file offset of buffer_[0]
    uint32_t filled_ = 0;
    uint64_t at_;
    uint64_t end_;
};

// One chunk head met by the walk.
struct chunk {
    unsigned char id[4];
    uint32_t size;  // as stored: the data's length without the pad byte
    uint64_t at;    // file offset of the head
    bool is_list;
    unsigned char type[4];  // a list's type
};

enum class walk_step {
    chunk,  // a head was read
    end,    // the end of the walk: the file ends, a head lies past 32-bit offsets, or a list
            // is too small to hold its own type (a walk that could not move forward)
    cut     // the file ends inside a list's type
};

// Reads the chunk head at the scan's position; for a list, its type too, so that the
// position stands at the list's first child (the list is entered; skip_chunk steps over it).
walk_step next_chunk(file_scan &s, chunk &c);

// The next chunk that is not a list, entering every list on the way ("movi", "rec ").
// False at the end of the walk (a list cut inside its type ends it too).
bool next_in_lists(file_scan &s, chunk &c);

// Moves the scan past c and its pad byte (past a list's children).
inline void skip_chunk(file_scan &s, const chunk &c)
{
    s.move_to(c.at + 8 + padded(c.size));
}

}  // namespace avi_detail

// AVI_read_next_chunk's buffered walk, made at its first call and kept on the handle.
struct avi_file_order {
    static constexpr uint32_t buffer_bytes = 64 * 1024;
    avi_detail::file_scan scan;
    unsigned char buffer[buffer_bytes];
};

// The buffered forward reader and the chunk walk of avi_walk.h: refills by pread, large
// reads straight into their destination, and the rules for heads, lists and the walk's end.
#include "avi/reader/avi_walk.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace avi_detail {
namespace {

// Offsets in an AVI file are 32-bit; a walk that gets past this point ends.
constexpr uint64_t last_offset = 0xffffffffU;

}  // namespace

bool file_scan::fill()
{
    buffer_at_ = at_;
    uint64_t want = capacity_;
    if (end_ != no_end)
        want = at_ < end_ ? std::min(want, end_ - at_) : 0;
    filled_ = want > 0 ? static_cast<uint32_t>(pread_fully(fd_, buffer_, want, at_)) : 0;
    return filled_ > 0;
}

bool file_scan::read(void *out, uint64_t n)
{
    auto *dst = static_cast<unsigned char *>(out);
    while (n > 0) {
        uint64_t there = buffered_from(at_);
        if (there > 0) {
            uint64_t take = std::min(n, there);
            memcpy(dst, buffer_ + (at_ - buffer_at_), take);
            dst += take;
            n -= take;
            at_ += take;
        } else if (n >= capacity_) {
            // Straight into the destination, never past the known end of the file.
            uint64_t can = end_ == no_end ? n : at_ < end_ ? std::min(n, end_ - at_) : 0;
            uint64_t got = can > 0 ? pread_fully(fd_, dst, can, at_) : 0;
            at_ += got;
            return got == n;
        } else if (!fill()) {
            return false;
        }
    }
    return true;
}

uint32_t file_scan::look(const unsigned char *&data, uint32_t n)
{
    uint64_t there = buffered_from(at_);
    if (there == 0 && fill())
        there = filled_;
    data = buffer_ + (at_ - buffer_at_);
    return static_cast<uint32_t>(std::min<uint64_t>(n, there));
}

walk_step next_chunk(file_scan &s, chunk &c)
{
    unsigned char head[8];
    c.at = s.position();
    if (c.at > last_offset || !s.read(head, sizeof head))
        return walk_step::end;
    memcpy(c.id, head, 4);
    c.size = get_u32_le(head + 4);
    c.is_list = same_id(c.id, "LIST");
    if (!c.is_list)
        return walk_step::chunk;
    if (c.size < 4)  // a list that cannot hold its own type
        return walk_step::end;
    return s.read(c.type, 4) ? walk_step::chunk : walk_step::cut;
}

bool next_in_lists(file_scan &s, chunk &c)
{
    walk_step step;
    while ((step = next_chunk(s, c)) == walk_step::chunk && c.is_list) {
    }
    return step == walk_step::chunk;
}

bool same_id(const unsigned char *id, const char *code, int n)
{
    // Not strncasecmp: ids may hold zero bytes, and all n characters count.
    for (int i = 0; i < n; ++i)
        if (ascii_lower(id[i]) != ascii_lower(static_cast<unsigned char>(code[i])))
            return false;
    return true;
}

}  // namespace avi_detail

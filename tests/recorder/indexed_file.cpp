// The chunks of a finished file through its index (see indexed_file.h).
#include "indexed_file.h"

#include "avi/avi_internal.h"

#include <cstddef>

namespace mirvo_test {

indexed_file read_indexed_file(const bytes &b)
{
    using avi_detail::header_at::movi_list, avi_detail::header_at::movi_size;
    constexpr uint64_t entry = sizeof(avi_index_entry);
    indexed_file out;
    if (b.size() < AVI_HEADER_BYTES + 8 || text_at(b, 0) != "RIFF" || u32_at(b, 4) + uint64_t{8} != b.size()) {
        out.problem = "not a finished AVI file (RIFF size)";
        return out;
    }
    uint64_t idx = movi_list + 8 + uint64_t{u32_at(b, movi_size)};  // the "movi" list ends where the index begins
    if (idx + 8 > b.size() || text_at(b, idx) != "idx1" || idx + 8 + u32_at(b, idx + 4) != b.size()) {
        out.problem = "no index right after the data";
        return out;
    }
    out.index.assign(b.begin() + static_cast<long>(idx + 8), b.end());
    for (uint64_t at = idx + 8; at + entry <= b.size(); at += entry) {
        uint64_t head = u32_at(b, at + offsetof(avi_index_entry, offset));
        uint64_t size = u32_at(b, at + offsetof(avi_index_entry, size));
        if (head + 8 + size > b.size() || text_at(b, head) != text_at(b, at) ||
            u32_at(b, head + 4) != size) {
            out.problem = "index entry " + std::to_string((at - idx - 8) / entry) + " names no chunk";
            out.chunks.clear();
            return out;
        }
        out.chunks.push_back({text_at(b, at), u32_at(b, at + offsetof(avi_index_entry, flags)), head,
                              bytes(b.begin() + static_cast<long>(head + 8),
                                    b.begin() + static_cast<long>(head + 8 + size))});
    }
    return out;
}

}  // namespace mirvo_test

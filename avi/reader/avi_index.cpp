// The index of a file being read: the "idx1" chunk judged (absolute or "movi"-relative
// offsets, or neither), or rebuilt by recovery's walk, and turned into the table of video
// frames and one table of chunks per audio track.
#include "avi/recovery/avi_recovery.h"

#include <algorithm>
#include <cstdlib>

using avi_detail::chunk;
using avi_detail::chunk_stream;
using avi_detail::file_scan;
using avi_detail::no_end;
using avi_detail::padded;
using avi_detail::same_id;

namespace {

// True when the 8 bytes at `at` are the head of the chunk that `entry` describes. A head
// that would lie past the end of the file does not match; a read that fails inside the
// file is an error (code set).
bool head_matches(file_scan &s, uint64_t at, const avi_index_entry &entry, int32_t &code)
{
    if (s.end() != no_end && (at > s.end() || s.end() - at < 8))
        return false;
    unsigned char head[8];
    if (!s.read_at(at, head, sizeof head)) {
        code = AVI_ERROR_READ;
        return false;
    }
    return same_id(head, reinterpret_cast<const char *>(entry.chunk_id)) &&
           get_u32_le(head + 4) == get_u32_le(entry.size);
}

}  // namespace

int32_t avi_detail::judge_index(avi_handle *h, file_scan &s, int32_t &code)
{
    const avi_index_entry *first = nullptr;
    for (int32_t i = 0; i < h->index_count && !first; ++i)
        if (same_id(h->index[i].chunk_id, h->video_tag, 3))
            first = &h->index[i];
    if (!first) {
        code = AVI_ERROR_NO_VIDEO;
        return 0;
    }
    uint64_t offset = get_u32_le(first->offset);
    if (head_matches(s, offset, *first, code))
        return AVI_INDEX_ABSOLUTE;
    if (code != 0)
        return 0;
    uint64_t relative = uint64_t{static_cast<uint32_t>(h->movi_offset)} + offset - 4;
    if (head_matches(s, relative, *first, code))
        return AVI_INDEX_RELATIVE;
    return AVI_INDEX_REBUILT;
}

namespace {

uint32_t data_offset(const avi_index_entry &entry, uint64_t base)
{
    uint64_t at = get_u32_le(entry.offset) + base;
    return at > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(at);  // unreadable, not wrapped
}

// The video frame table and each track's chunk table, from two passes over the index
// (count, then fill), so that each table is allocated once at its exact size.
int32_t build_tables(avi_handle *h, uint64_t base)
{
    int32_t frames = 0;
    int32_t chunks[AVI_MAX_TRACKS] = {};
    uint32_t largest = 0;
    for (int32_t i = 0; i < h->index_count; ++i) {
        const avi_index_entry &e = h->index[i];
        int32_t stream = chunk_stream(*h, e.chunk_id);
        if (stream == 0)
            frames += 1;
        else if (stream > 0)
            chunks[stream - 1] += 1;
        largest = std::max(largest, get_u32_le(e.size));
    }
    if (frames == 0)
        return AVI_ERROR_NO_VIDEO;
    h->max_chunk_len = largest;

    h->video_frame_table = static_cast<avi_video_frame_entry *>(
        malloc(static_cast<size_t>(frames) * sizeof(avi_video_frame_entry)));
    if (!h->video_frame_table)
        return AVI_ERROR_NO_MEMORY;
    for (int t = 0; t < h->track_count; ++t) {
        h->tracks[t].chunk_count = chunks[t];
        if (chunks[t] == 0)
            continue;
        h->tracks[t].chunk_table = static_cast<avi_audio_chunk_entry *>(
            calloc(static_cast<size_t>(chunks[t]) + 1, sizeof(avi_audio_chunk_entry)));
        if (!h->tracks[t].chunk_table)
            return AVI_ERROR_NO_MEMORY;
    }

    int32_t frame = 0;
    int32_t chunk[AVI_MAX_TRACKS] = {};
    uint64_t total[AVI_MAX_TRACKS] = {};
    for (int32_t i = 0; i < h->index_count; ++i) {
        const avi_index_entry &e = h->index[i];
        int32_t stream = chunk_stream(*h, e.chunk_id);
        uint32_t size = get_u32_le(e.size);
        if (stream == 0) {
            h->video_frame_table[frame++] = {get_u32_le(e.flags), data_offset(e, base), size};
        } else if (stream > 0) {
            int t = stream - 1;
            uint32_t start = total[t] > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(total[t]);
            h->tracks[t].chunk_table[chunk[t]++] = {data_offset(e, base), size, start};
            total[t] += size;
        }
    }
    h->video_frame_count = frames;
    for (int t = 0; t < h->track_count; ++t)
        h->tracks[t].byte_count =
            total[t] > INT32_MAX ? INT32_MAX : static_cast<int32_t>(total[t]);
    return 0;
}

}  // namespace

int32_t avi_detail::load_index(avi_handle *h, bool had_index, file_scan &s)
{
    int32_t code = 0;
    int32_t origin = had_index ? avi_detail::judge_index(h, s, code) : AVI_INDEX_REBUILT;
    if (code != 0)
        return code;
    if (origin == AVI_INDEX_REBUILT) {
        avi_detail::recovery_verdict verdict;
        if ((code = avi_detail::recover_index(h, s, false, verdict)) != 0)
            return code;
    }
    h->index_origin = origin;
    uint64_t base = origin == AVI_INDEX_RELATIVE ? uint64_t{static_cast<uint32_t>(h->movi_offset)} + 4 : 8;
    return build_tables(h, base);
}

int32_t avi_detail::chunk_stream(const avi_handle &h, const unsigned char *id)
{
    if (same_id(id, h.video_tag, 3))
        return 0;
    for (int t = 0; t < h.track_count; ++t)
        if (same_id(id, h.tracks[t].tag, 4))
            return t + 1;
    return -1;
}

// Reading an open AVI file: field queries, frame and chunk lookups by number, video frames
// in index order, audio by byte position across chunks or chunk by chunk, and a scan that
// returns the next chunk in file order without the index.
#include "avi/reader/avi_walk.h"

#include <new>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <unistd.h>

using avi_detail::chunk_stream;
using avi_detail::padded;
using avi_detail::same_id;

namespace {

// A reading operation on a writing handle is refused with 7.
bool refuse_writing_handle(const avi_handle *h)
{
    return h->mode == AVI_MODE_WRITE && avi_detail::fail(AVI_ERROR_NOT_PERMITTED);
}

bool refuse(int32_t code)
{
    return avi_detail::fail(code);
}

// Both guards for operations on the video frame table.
bool refuse_video(const avi_handle *h)
{
    return refuse_writing_handle(h) || (!h->video_frame_table && refuse(AVI_ERROR_NEEDS_INDEX));
}

// The current track, or null (avi_error 7 or 13) when it has no chunk table to work on.
const avi_audio_track *readable_track(const avi_handle *h)
{
    if (refuse_writing_handle(h))
        return nullptr;
    if (h->current_track < 0 || h->current_track >= h->track_count ||
        !h->tracks[h->current_track].chunk_table)
        return avi_detail::fail(AVI_ERROR_NEEDS_INDEX), nullptr;
    return &h->tracks[h->current_track];
}

avi_audio_track *readable_track(avi_handle *h)
{
    return const_cast<avi_audio_track *>(readable_track(static_cast<const avi_handle *>(h)));
}

bool in_range(int32_t n, int32_t count)
{
    return n >= 0 && n < count;
}

// Reads n bytes at a file offset. False (avi_error 3) when the seek fails or the read is short.
bool read_or_fail(int fd, uint64_t at, void *buffer, uint32_t n)
{
    return read_at(fd, at, buffer, n) || !avi_detail::fail(AVI_ERROR_READ);
}

// The chunk entry at the track's read position; the all-zero entry that ends the table
// for a position outside the chunks.
const avi_audio_chunk_entry &chunk_at(const avi_audio_track &t, int32_t chunk)
{
    return t.chunk_table[in_range(chunk, t.chunk_count) ? chunk : t.chunk_count];
}

}  // namespace

int32_t AVI_frame_count(const avi_handle *h) { return h->video_frame_count; }
int32_t AVI_frame_width(const avi_handle *h) { return h->width; }
int32_t AVI_frame_height(const avi_handle *h) { return h->height; }
double AVI_frames_per_second(const avi_handle *h) { return h->fps; }
const char *AVI_codec_fourcc(const avi_handle *h) { return h->video_compression; }
uint32_t AVI_largest_chunk(const avi_handle *h) { return h->max_chunk_len; }
int32_t AVI_index_origin(const avi_handle *h) { return h->index_origin; }
int32_t AVI_track_count(const avi_handle *h) { return h->track_count; }
int32_t AVI_track_channels(const avi_handle *h) { return h->tracks[h->current_track].channels; }
int32_t AVI_track_bitrate(const avi_handle *h) { return h->tracks[h->current_track].bitrate; }
int32_t AVI_track_bits(const avi_handle *h) { return h->tracks[h->current_track].bits; }
int32_t AVI_track_format(const avi_handle *h) { return h->tracks[h->current_track].format; }
int32_t AVI_track_rate(const avi_handle *h) { return h->tracks[h->current_track].rate; }
int32_t AVI_track_bytes(const avi_handle *h) { return h->tracks[h->current_track].byte_count; }
int32_t AVI_track_chunks(const avi_handle *h) { return h->tracks[h->current_track].chunk_count; }
int32_t AVI_track_strh_offset(const avi_handle *h) { return h->tracks[h->current_track].strh_offset; }
int32_t AVI_track_strf_offset(const avi_handle *h) { return h->tracks[h->current_track].strf_offset; }
int32_t AVI_video_strh_offset(const avi_handle *h) { return h->video_strh_offset; }
int32_t AVI_video_strf_offset(const avi_handle *h) { return h->video_strf_offset; }
const char *AVI_video_handler(const avi_handle *h) { return h->compressor; }
int32_t AVI_index_count(const avi_handle *h) { return h->index_count; }

const unsigned char *AVI_track_format_bytes(const avi_handle *h, int32_t *length)
{
    const unsigned char *format = h->track_formats[h->current_track];
    // the copy the header walk made
    *length = format ? static_cast<int32_t>(avi_detail::wave_at::copy_bytes(get_u16_le(format + avi_detail::wave_at::extra_size))) : 0;
    return format;
}

int64_t AVI_frame_length(const avi_handle *h, int32_t n)
{
    if (refuse_video(h))
        return -1;
    return in_range(n, h->video_frame_count) ? h->video_frame_table[n].length : 0;
}

int64_t AVI_frame_file_offset(const avi_handle *h, int32_t n)
{
    if (refuse_video(h))
        return -1;
    return in_range(n, h->video_frame_count) ? h->video_frame_table[n].offset : 0;
}

int32_t AVI_frame_is_key(const avi_handle *h, int32_t n)
{
    if (refuse_video(h))
        return -1;
    return in_range(n, h->video_frame_count) && avi_detail::is_key(h->video_frame_table[n].flags);
}

int64_t AVI_audio_chunk_length(const avi_handle *h, int32_t n)
{
    const avi_audio_track *t = readable_track(h);
    if (!t)
        return -1;
    return in_range(n, t->chunk_count) ? t->chunk_table[n].length : 0;
}

int64_t AVI_audio_chunk_file_offset(const avi_handle *h, int32_t n)
{
    const avi_audio_track *t = readable_track(h);
    if (!t)
        return -1;
    return in_range(n, t->chunk_count) ? t->chunk_table[n].offset : 0;
}

int32_t AVI_index_entry_stream(const avi_handle *h, int32_t i)
{
    if (refuse_video(h))
        return -1;
    return in_range(i, h->index_count) ? chunk_stream(*h, h->index[i].chunk_id) : -1;
}

int AVI_rewind(avi_handle *h)
{
    if (refuse_writing_handle(h))
        return -1;
    if (lseek(h->fd, static_cast<off_t>(static_cast<uint32_t>(h->movi_offset)), SEEK_SET) < 0)
        return avi_detail::fail(AVI_ERROR_READ);
    h->video_read_pos = 0;
    return 0;
}

int AVI_seek_video_frame(avi_handle *h, int32_t n)
{
    if (refuse_video(h))
        return -1;
    h->video_read_pos = std::max(n, 0);
    return 0;
}

int AVI_seek_audio_byte(avi_handle *h, int32_t byte)
{
    avi_audio_track *t = readable_track(h);
    if (!t)
        return -1;
    uint32_t target = static_cast<uint32_t>(std::max(byte, 0));
    // The last chunk whose first byte is at or before target: among chunks that start at
    // the same byte (empty ones before a chunk) the last.
    int32_t low = 0, high = t->chunk_count;
    while (high - 1 > low) {
        int32_t mid = low + (high - low) / 2;
        if (t->chunk_table[mid].start_byte > target)
            high = mid;
        else
            low = mid;
    }
    t->read_chunk = low;
    t->read_offset = static_cast<int32_t>(target - t->chunk_table[low].start_byte);
    return 0;
}

int32_t AVI_read_video_frame(avi_handle *h, void *buffer, int32_t capacity, int32_t *key_frame)
{
    if (refuse_video(h))
        return -1;
    if (key_frame)
        *key_frame = 0;
    if (!in_range(h->video_read_pos, h->video_frame_count))
        return -1;
    const avi_video_frame_entry &e = h->video_frame_table[h->video_read_pos];
    if (key_frame)
        *key_frame = avi_detail::is_key(e.flags);
    if (capacity < 0 || e.length > static_cast<uint32_t>(capacity))
        return avi_detail::fail(AVI_ERROR_NOT_PERMITTED);
    if (!read_or_fail(h->fd, e.offset, buffer, e.length))
        return -1;
    h->video_read_pos += 1;
    return static_cast<int32_t>(e.length);
}

int32_t AVI_read_audio_bytes(avi_handle *h, void *buffer, int32_t count)
{
    avi_audio_track *t = readable_track(h);
    if (!t)
        return -1;
    auto *out = static_cast<unsigned char *>(buffer);
    int32_t done = 0;
    while (count > 0) {
        const avi_audio_chunk_entry &c = chunk_at(*t, t->read_chunk);
        int64_t left = int64_t{c.length} - t->read_offset;
        if (left <= 0) {
            if (t->read_chunk >= t->chunk_count - 1)
                return done;
            t->read_chunk += 1;
            t->read_offset = 0;
            continue;
        }
        auto n = static_cast<int32_t>(std::min<int64_t>(count, left));
        if (!read_or_fail(h->fd, uint64_t{c.offset} + static_cast<uint32_t>(t->read_offset), out + done,
                     static_cast<uint32_t>(n)))
            return -1;
        count -= n;
        done += n;
        t->read_offset += n;
    }
    return done;
}

int32_t AVI_next_audio_chunk(avi_handle *h, void *buffer)
{
    avi_audio_track *t = readable_track(h);
    if (!t)
        return -1;
    // Empty chunks in the middle of a track are stepped over, so that 0 means the end.
    int32_t chunk = in_range(t->read_chunk, t->chunk_count) ? t->read_chunk : t->chunk_count;
    int32_t offset = t->read_offset;
    while (chunk < t->chunk_count && t->chunk_table[chunk].length == 0) {
        chunk += 1;
        offset = 0;
    }
    const avi_audio_chunk_entry &c = t->chunk_table[chunk];
    if (c.length == 0)
        return 0;
    int64_t left = int64_t{c.length} - offset;
    if (!buffer)
        return static_cast<int32_t>(std::clamp<int64_t>(left, INT32_MIN, INT32_MAX));
    if (left <= 0)
        return 0;
    if (left > INT32_MAX)  // cannot be returned as a length
        return avi_detail::fail(AVI_ERROR_NOT_PERMITTED);
    if (!read_or_fail(h->fd, uint64_t{c.offset} + static_cast<uint32_t>(offset), buffer,
                 static_cast<uint32_t>(left)))
        return -1;
    t->read_chunk = chunk + 1;
    t->read_offset = 0;
    return static_cast<int32_t>(left);
}

namespace {

// The handle's file-order walk, made at the first call. Null (avi_error 8) without memory.
avi_detail::file_scan *file_order_scan(avi_handle *h)
{
    if (!h->file_order) {
        auto *order = static_cast<avi_file_order *>(malloc(sizeof(avi_file_order)));
        if (!order)
            return avi_detail::fail(AVI_ERROR_NO_MEMORY), nullptr;
        // No known end: a file that grows while it is read is read on.
        new (&order->scan) avi_detail::file_scan(h->fd, order->buffer, avi_file_order::buffer_bytes,
                                                 0, avi_detail::no_end);
        h->file_order = order;
    }
    return &h->file_order->scan;
}

// The walk of AVI_read_next_chunk from the scan's position on.
int next_chunk_in_file_order(const avi_handle *h, avi_detail::file_scan &s, void *video,
                             int32_t video_capacity, void *audio, int32_t audio_capacity,
                             int32_t *length, int32_t &video_chunks)
{
    const avi_audio_track *track =
        in_range(h->current_track, h->track_count) ? &h->tracks[h->current_track] : nullptr;
    avi_detail::chunk c;
    while (avi_detail::next_in_lists(s, c)) {
        // The padded length is reported as an int32: a size whose padded length does not fit
        // (0x7fffffff pads to 0x80000000) has no length to report, and the walk ends here.
        if (c.size >= 0x7fffffffU)
            return 0;
        auto n = static_cast<int32_t>(padded(c.size));
        bool is_video = same_id(c.id, h->video_tag, 3);
        bool is_audio = !is_video && track && same_id(c.id, track->tag, 4);
        if (!is_video && !is_audio) {
            avi_detail::skip_chunk(s, c);
            continue;
        }
        *length = n;
        video_chunks += is_video;
        if (n > (is_video ? video_capacity : audio_capacity)) {
            avi_detail::skip_chunk(s, c);
            return is_video ? -1 : -2;
        }
        if (!s.read(is_video ? video : audio, static_cast<uint32_t>(n)))
            return 0;
        return is_video ? 1 : 2;
    }
    return 0;
}

}  // namespace

// The walk goes on from the descriptor's file position, which the table reads move too, and
// leaves it after the chunk returned or skipped, as an unbuffered walk would. Bytes already in
// the buffer are not read again when the position comes back into them.
int AVI_read_next_chunk(avi_handle *h, void *video, int32_t video_capacity, void *audio,
                        int32_t audio_capacity, int32_t *length)
{
    if (h->mode == AVI_MODE_WRITE)
        return 0;
    avi_detail::file_scan *s = file_order_scan(h);
    off_t at = lseek(h->fd, 0, SEEK_CUR);
    if (!s || at < 0)
        return 0;
    s->move_to(static_cast<uint64_t>(at));
    int32_t video_chunks = 0;
    int kind = next_chunk_in_file_order(h, *s, video, video_capacity, audio, audio_capacity, length,
                                        video_chunks);
    h->video_read_pos += video_chunks;
    if (s->position() > INT64_MAX || lseek(h->fd, static_cast<off_t>(s->position()), SEEK_SET) < 0)
        return 0;
    return kind;
}

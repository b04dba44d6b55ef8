// Opening an AVI file for reading: the RIFF signature, the top-level walk that finds the
// "hdrl" list, the "movi" list and the "idx1" index, and the header-list walk that takes the
// first video stream and up to 8 audio streams. The index itself is avi_index.cpp's.
#include "avi/recovery/avi_recovery.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using avi_detail::chunk;
using avi_detail::file_scan;
using avi_detail::heap_bytes;
using avi_detail::no_end;
using avi_detail::padded;
using avi_detail::same_id;
namespace strh_at = avi_detail::strh_at;
namespace bitmap_at = avi_detail::bitmap_at;
namespace wave_at = avi_detail::wave_at;

namespace {

bool seek_to(int fd, uint64_t at)
{
    return at <= INT64_MAX && lseek(fd, static_cast<off_t>(at), SEEK_SET) >= 0;
}

// The length of a regular file; no_end for anything else, where no bound can be known.
uint64_t file_end(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size)
                                                      : no_end;
}

// A span of the header-list copy. Fields that the span is too short to hold read as 0,
// so that nothing is ever read outside the copy.
struct field_view {
    const unsigned char *data;
    uint64_t size;

    uint32_t u32(uint64_t at) const { return at + 4 <= size ? get_u32_le(data + at) : 0; }
    uint16_t u16(uint64_t at) const { return at + 2 <= size ? get_u16_le(data + at) : 0; }
    // Four characters and a terminating zero; characters past the span are zero.
    void code(uint64_t at, char out[8]) const
    {
        memset(out, 0, 8);
        for (uint64_t i = 0; i < 4 && at + i < size; ++i)
            out[i] = static_cast<char>(data[at + i]);
    }
    bool has_code(uint64_t at, const char *code) const
    {
        return at + 4 <= size && same_id(data + at, code);
    }
    // The part of the span from `at` on, at most `length` bytes long.
    field_view part(uint64_t at, uint64_t length) const
    {
        if (at >= size)
            return {data + size, 0};
        return {data + at, std::min(length, size - at)};
    }
};

// What the top-level walk found.
struct top_level {
    heap_bytes header_list;
    uint64_t header_list_size = 0;
    uint64_t header_list_at = 0;  // file offset of the copy's first byte
    bool has_index = false;
};

// Reads `size` bytes at the scan's position into a new block. A size that the rest of the
// file cannot hold is a short read, found before anything is allocated.
heap_bytes read_block(file_scan &s, uint64_t size, int32_t &code)
{
    if (size > UINT32_MAX || (s.end() != no_end && (s.position() > s.end() || size > s.end() - s.position()))) {
        code = AVI_ERROR_READ;
        return nullptr;
    }
    heap_bytes block(static_cast<unsigned char *>(malloc(size > 0 ? size : 1)));
    if (!block) {
        code = AVI_ERROR_NO_MEMORY;
        return nullptr;
    }
    if (!s.read(block.get(), size)) {
        code = AVI_ERROR_READ;
        return nullptr;
    }
    return block;
}

// Whether the rest of the file holds the data of c (when its end is known).
bool data_fits(const file_scan &s, const chunk &c)
{
    return s.end() == no_end || (c.at + 8 <= s.end() && padded(c.size) <= s.end() - c.at - 8);
}

// The chunks of the top level, to the end of the file (past the end of the RIFF
// chunk too). Keeps the last "hdrl" list and the last "idx1" chunk, notes where "movi"
// starts. An "idx1" chunk longer than the rest of the file (a close cut short inside it) is
// no index: the chunks are then found by scanning. The index is read only when `use` asks
// for it. Returns 0 or an avi_error code.
int32_t walk_top_level(avi_handle *h, file_scan &s, top_level &found, avi_detail::index_use use)
{
    chunk c;
    avi_detail::walk_step step;
    while ((step = next_chunk(s, c)) == avi_detail::walk_step::chunk) {
        int32_t code = 0;
        if (c.is_list && same_id(c.type, "hdrl")) {
            found.header_list_at = s.position();
            found.header_list = read_block(s, padded(c.size) - 4, code);
            if (!found.header_list)
                return code;
            found.header_list_size = padded(c.size) - 4;
        } else if (c.is_list && same_id(c.type, "movi")) {
            h->movi_offset = static_cast<int32_t>(s.position());
        } else if (!c.is_list && same_id(c.id, "idx1") && data_fits(s, c) &&
                   use != avi_detail::index_use::none) {
            heap_bytes block = read_block(s, padded(c.size), code);
            if (!block)
                return code;
            free(h->index);
            h->index = reinterpret_cast<avi_index_entry *>(block.release());
            h->index_count = h->index_capacity = static_cast<int32_t>(padded(c.size) / avi_detail::index_entry_bytes);
            found.has_index = true;
        }
        avi_detail::skip_chunk(s, c);
    }
    if (step == avi_detail::walk_step::cut)
        return AVI_ERROR_READ;
    if (!found.header_list)
        return AVI_ERROR_NO_HEADER_LIST;
    if (h->movi_offset == 0)
        return AVI_ERROR_NO_MOVI;
    return 0;
}

enum class selection { none, video, audio };

struct header_walk {
    avi_handle *h;
    uint64_t list_at;  // file offset of the header-list copy
    selection selected = selection::none;
    int32_t stream_counter = 0;
    bool video_taken = false;
    bool video_format_seen = false;
    // The length and sample size fields of the audio stream header last taken.
    uint32_t audio_length = 0, audio_sample_size = 0;
};

// An audio stream's bytes as its header tells them, until the index counts them: its length
// in the units its header gives (the sample size), or, where that is 0 (chunks of varying
// size), in blocks of a quarter of the track's block size.
int32_t stated_audio_bytes(const avi_handle &h, int32_t t, uint32_t length, uint32_t sample_size)
{
    uint64_t unit = sample_size != 0 ? sample_size : avi_detail::legacy_audio_unit(h, t);
    return static_cast<int32_t>(std::min<uint64_t>(uint64_t{length} * unit, INT32_MAX));
}

void take_video_header(header_walk &w, field_view data, uint64_t data_at)
{
    avi_handle *h = w.h;
    data.code(strh_at::handler, h->compressor);
    h->video_strh_offset = static_cast<int32_t>(data_at + strh_at::handler);
    auto scale = static_cast<int32_t>(data.u32(strh_at::scale));
    auto rate = static_cast<int32_t>(data.u32(strh_at::rate));
    if (scale != 0)
        h->fps = static_cast<double>(rate) / scale;
    h->video_frame_count = static_cast<int32_t>(data.u32(strh_at::length));
    h->video_stream_no = w.stream_counter;
    h->max_chunk_len = 0;
    w.selected = selection::video;
    w.video_taken = true;
}

// False for a ninth audio stream, which the reader does not support.
bool take_audio_header(header_walk &w, field_view data, uint64_t data_at)
{
    avi_handle *h = w.h;
    if (h->track_count >= AVI_MAX_TRACKS) {
        avi_detail::say(avi_detail::track_limit_text);
        return false;
    }
    int32_t t = h->track_count;
    h->current_track = t;
    h->track_count = t + 1;
    avi_audio_track &track = h->tracks[t];
    // Provisional, until the format is read and the index counts the chunks.
    w.audio_length = data.u32(strh_at::length);
    w.audio_sample_size = data.u32(strh_at::sample_size);
    track.byte_count = stated_audio_bytes(*h, t, w.audio_length, w.audio_sample_size);
    track.stream_no = w.stream_counter;
    track.strh_offset = static_cast<int32_t>(data_at);
    w.selected = selection::audio;
    return true;
}

// A BITMAPINFOHEADER: size, width, height, and the compression code at 16.
void take_video_format(header_walk &w, field_view data, uint64_t data_at)
{
    avi_handle *h = w.h;
    field_view copy = data.part(0, data.u32(bitmap_at::size));  // cut to what the chunk holds
    free(h->video_format);
    h->video_format = nullptr;
    if (copy.size > 0) {
        h->video_format = static_cast<unsigned char *>(malloc(copy.size));
        if (h->video_format)
            memcpy(h->video_format, copy.data, copy.size);
    }
    h->width = static_cast<int32_t>(data.u32(bitmap_at::width));
    h->height = static_cast<int32_t>(data.u32(bitmap_at::height));
    h->video_strf_offset = static_cast<int32_t>(data_at + bitmap_at::compression);
    data.code(bitmap_at::compression, h->video_compression);
    w.video_format_seen = true;
}

// A WAVEFORMATEX: tag, channels, rate, byte rate, bits at 14, extra size at 16. The copy
// is 20 + extra size bytes of the chunk; bytes the chunk does not hold are zero.
void take_audio_format(header_walk &w, field_view data, uint64_t data_at)
{
    avi_handle *h = w.h;
    int32_t t = h->current_track;
    size_t copy_size = wave_at::copy_bytes(data.u16(wave_at::extra_size));
    auto *copy = static_cast<unsigned char *>(calloc(1, copy_size));
    if (copy) {
        field_view there = data.part(0, copy_size);
        memcpy(copy, there.data, there.size);
        free(h->track_formats[t]);
        h->track_formats[t] = copy;
    }
    avi_audio_track &track = h->tracks[t];
    track.format = data.u16(wave_at::tag);
    track.channels = data.u16(wave_at::channels);
    track.rate = static_cast<int32_t>(data.u32(wave_at::rate));
    track.bitrate = static_cast<int32_t>(data.u32(wave_at::byte_rate) * 8U / 1000U);
    track.bits = data.u16(wave_at::bits);
    track.strf_offset = static_cast<int32_t>(data_at);
    track.byte_count = stated_audio_bytes(*h, t, w.audio_length, w.audio_sample_size);
}

// The streams of the header list. Returns 0 or an avi_error code (15 for a ninth
// audio stream, also said on standard error).
int32_t walk_header_list(avi_handle *h, const top_level &found)
{
    field_view list{found.header_list.get(), found.header_list_size};
    header_walk w{h, found.header_list_at};
    uint64_t p = 0;
    while (p < list.size) {
        uint32_t size = list.u32(p + 4);
        if (list.has_code(p, "LIST")) {
            if (size < 4)
                break;
            p += 12;  // enter the list ("strl")
            continue;
        }
        field_view data = list.part(p + 8, size);
        uint64_t data_at = w.list_at + p + 8;
        selection was = w.selected;
        w.selected = selection::none;
        if (list.has_code(p, "strh")) {
            if (data.has_code(strh_at::type, "vids") && !w.video_taken)
                take_video_header(w, data, data_at);
            else if (data.has_code(strh_at::type, "auds") && !take_audio_header(w, data, data_at))
                return AVI_ERROR_TOO_MANY_TRACKS;
            w.stream_counter += 1;
        } else if (list.has_code(p, "strf")) {
            if (was == selection::video)
                take_video_format(w, data, data_at);
            else if (was == selection::audio)
                take_audio_format(w, data, data_at);
        }
        p += 8 + padded(size);
    }
    if (!w.video_taken || !w.video_format_seen)
        return AVI_ERROR_NO_VIDEO;
    return 0;
}

// "00db" from stream number 0, "01wb" for track 0.
void make_tags(avi_handle *h)
{
    avi_detail::chunk_id(h->video_stream_no, "db", h->video_tag);
    for (int t = 0; t < h->track_count; ++t)
        avi_detail::chunk_id(t + 1, "wb", h->tracks[t].tag);
}

avi_handle *new_reading_handle()
{
    auto *h = static_cast<avi_handle *>(calloc(1, sizeof(avi_handle)));
    if (!h)
        return avi_detail::fail(AVI_ERROR_NO_MEMORY), nullptr;
    h->mode = AVI_MODE_READ;
    return h;
}

int32_t parse_input(avi_handle *h, avi_detail::index_use use)
{
    unsigned char signature[12];
    if (read_fully(h->fd, signature, sizeof signature) != 12)
        return avi_detail::fail(AVI_ERROR_READ, h);
    if (!same_id(signature, "RIFF") || !same_id(signature + 8, "AVI "))
        return avi_detail::fail(AVI_ERROR_NOT_AVI, h);

    heap_bytes buffer = avi_detail::new_scan_buffer();
    if (!buffer)
        return avi_detail::fail(AVI_ERROR_NO_MEMORY, h);
    // Offsets are file offsets: the walk goes on from where the signature ends. A descriptor
    // that cannot tell its position (a pipe) has no chunks to walk.
    off_t start = lseek(h->fd, 0, SEEK_CUR);
    file_scan s(h->fd, buffer.get(), avi_detail::scan_buffer_bytes,
                start < 0 ? no_end : static_cast<uint64_t>(start), file_end(h->fd));
    top_level found;
    int32_t code = walk_top_level(h, s, found, use);
    if (code != 0)
        return avi_detail::fail(code, h);
    code = walk_header_list(h, found);
    found.header_list.reset();
    if (code != 0)
        return avi_detail::fail(code, h);

    make_tags(h);
    if (use == avi_detail::index_use::tables && (code = avi_detail::load_index(h, found.has_index, s)) != 0)
        return avi_detail::fail(code, h);
    if (!seek_to(h->fd, static_cast<uint32_t>(h->movi_offset)))
        return avi_detail::fail(AVI_ERROR_READ, h);
    h->video_read_pos = 0;
    return 0;
}

avi_handle *parsed(avi_handle *h, avi_detail::index_use use)
{
    if (parse_input(h, use) != 0)
        return nullptr;
    h->current_track = 0;
    return h;
}

avi_detail::index_use index_use_of(int32_t with_index)
{
    return with_index ? avi_detail::index_use::tables : avi_detail::index_use::none;
}

}  // namespace

int AVI_parse_input(avi_handle *h, int32_t with_index)
{
    return parse_input(h, index_use_of(with_index));
}

avi_handle *AVI_open_input(const char *path, int32_t with_index)
{
    avi_handle *h = new_reading_handle();
    if (!h)
        return nullptr;
    h->fd = open(path, O_RDONLY);
    if (h->fd < 0)
        return avi_detail::fail_undoing(AVI_ERROR_OPEN, [h] { free(h); }), nullptr;
    return parsed(h, index_use_of(with_index));
}

avi_handle *avi_detail::open_reading_fd(int fd, index_use use)
{
    avi_handle *h = new_reading_handle();
    if (!h) {
        close(fd);
        return nullptr;
    }
    h->fd = fd;
    return parsed(h, use);
}

avi_handle *AVI_open_input_fd(int fd, int32_t with_index)
{
    return avi_detail::open_reading_fd(fd, index_use_of(with_index));
}

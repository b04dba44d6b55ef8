// Opening an AVI file for reading: the RIFF signature, the top-level walk that finds the
// "hdrl" list, the "movi" list and the "idx1" index, the header-list walk that takes the
// first video stream and up to 8 audio streams, and the index (loaded, or rebuilt by
// scanning the chunks) turned into a table of video frames and one of chunks per track.
#include "avi_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using avi_detail::chunk_stream;
using avi_detail::padded;
using avi_detail::same_id;

namespace {

// Offsets in an AVI file are 32-bit; a walk that gets past this point ends.
constexpr uint64_t last_offset = 0xffffffffU;
constexpr uint64_t no_end = UINT64_MAX;

struct free_deleter {
    void operator()(void *p) const { free(p); }
};
using heap_bytes = std::unique_ptr<unsigned char, free_deleter>;

// The file position, or no_end when the descriptor cannot tell.
uint64_t position(int fd)
{
    off_t at = lseek(fd, 0, SEEK_CUR);
    return at < 0 ? no_end : static_cast<uint64_t>(at);
}

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

struct chunk_head {
    unsigned char id[4];
    uint32_t size;
};

// Reads an 8-byte chunk head at the current position; false at the end of the file.
bool read_head(int fd, chunk_head &head)
{
    unsigned char raw[8];
    if (read_fully(fd, raw, sizeof raw) != 8)
        return false;
    memcpy(head.id, raw, 4);
    head.size = get_u32_le(raw + 4);
    return true;
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

struct parse_failure {
    int32_t code;
};

// Releases the handle as AVI_close_handle does and reports the failure's code.
int fail(avi_handle *h, int32_t code)
{
    avi_error = code;
    AVI_close_handle(h);
    return -1;
}

// Reads `size` bytes at the current position into a new block. A size that the rest of
// the file cannot hold is a short read, found before anything is allocated.
heap_bytes read_block(int fd, uint64_t size, uint64_t end, int32_t &code)
{
    uint64_t at = position(fd);
    if (size > UINT32_MAX || (end != no_end && (at == no_end || at > end || size > end - at))) {
        code = AVI_ERROR_READ;
        return nullptr;
    }
    heap_bytes block(static_cast<unsigned char *>(malloc(size > 0 ? size : 1)));
    if (!block) {
        code = AVI_ERROR_NO_MEMORY;
        return nullptr;
    }
    if (static_cast<uint64_t>(read_fully(fd, block.get(), static_cast<uint32_t>(size))) != size) {
        code = AVI_ERROR_READ;
        return nullptr;
    }
    return block;
}

// Step 2: the chunks of the top level, to the end of the file (past the end of the RIFF
// chunk too). Keeps the last "hdrl" list and the last "idx1" chunk, notes where "movi"
// starts. Returns 0 or an avi_error code.
int32_t walk_top_level(avi_handle *h, uint64_t end, top_level &found)
{
    int fd = h->fd;
    chunk_head head;
    while (position(fd) <= last_offset && read_head(fd, head)) {
        uint64_t size = padded(head.size);
        if (same_id(head.id, "LIST")) {
            if (head.size < 4)  // a list that cannot hold its own type: the walk ends
                break;
            unsigned char type[4];
            if (read_fully(fd, type, 4) != 4)
                return AVI_ERROR_READ;
            uint64_t remaining = size - 4;
            if (same_id(type, "hdrl")) {
                int32_t code = 0;
                found.header_list_at = position(fd);
                found.header_list = read_block(fd, remaining, end, code);
                if (!found.header_list)
                    return code;
                found.header_list_size = remaining;
                continue;
            }
            if (same_id(type, "movi"))
                h->movi_offset = static_cast<int32_t>(position(fd));
            if (!skip_forward(fd, remaining))
                break;
        } else if (same_id(head.id, "idx1")) {
            int32_t code = 0;
            heap_bytes block = read_block(fd, size, end, code);
            if (!block)
                return code;
            free(h->index);
            h->index = reinterpret_cast<avi_index_entry *>(block.release());
            h->index_count = h->index_capacity = static_cast<int32_t>(size / 16);
            found.has_index = true;
        } else if (!skip_forward(fd, size)) {
            break;
        }
    }
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
};

void take_video_header(header_walk &w, field_view data, uint64_t data_at)
{
    avi_handle *h = w.h;
    data.code(4, h->compressor);
    h->video_strh_offset = static_cast<int32_t>(data_at + 4);
    auto scale = static_cast<int32_t>(data.u32(20));
    auto rate = static_cast<int32_t>(data.u32(24));
    if (scale != 0)
        h->fps = static_cast<double>(rate) / scale;
    h->video_frame_count = static_cast<int32_t>(data.u32(32));
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
        fprintf(stderr, "error - only %d audio tracks supported\n", AVI_MAX_TRACKS);
        return false;
    }
    int32_t t = h->track_count;
    h->current_track = t;
    h->track_count = t + 1;
    avi_audio_track &track = h->tracks[t];
    // Provisional (the stream length in blocks of the first track); the index replaces it.
    uint32_t blocks = data.u32(32);
    track.byte_count = static_cast<int32_t>(blocks * static_cast<uint32_t>(AVI_audio_block_size(h, 0)));
    track.stream_no = w.stream_counter;
    track.strh_offset = static_cast<int32_t>(data_at);
    w.selected = selection::audio;
    return true;
}

// A BITMAPINFOHEADER: size, width, height, and the compression code at 16.
void take_video_format(header_walk &w, field_view data, uint64_t data_at)
{
    avi_handle *h = w.h;
    field_view copy = data.part(0, data.u32(0));  // cut to what the chunk holds
    free(h->video_format);
    h->video_format = nullptr;
    if (copy.size > 0) {
        h->video_format = static_cast<unsigned char *>(malloc(copy.size));
        if (h->video_format)
            memcpy(h->video_format, copy.data, copy.size);
    }
    h->width = static_cast<int32_t>(data.u32(4));
    h->height = static_cast<int32_t>(data.u32(8));
    h->video_strf_offset = static_cast<int32_t>(data_at + 16);
    data.code(16, h->video_compression);
    w.video_format_seen = true;
}

// A WAVEFORMATEX: tag, channels, rate, byte rate, bits at 14, extra size at 16. The copy
// is 20 + extra size bytes of the chunk; bytes the chunk does not hold are zero.
void take_audio_format(header_walk &w, field_view data, uint64_t data_at)
{
    avi_handle *h = w.h;
    int32_t t = h->current_track;
    size_t copy_size = 20 + size_t{data.u16(16)};
    auto *copy = static_cast<unsigned char *>(calloc(1, copy_size));
    if (copy) {
        field_view there = data.part(0, copy_size);
        memcpy(copy, there.data, there.size);
        free(h->track_formats[t]);
        h->track_formats[t] = copy;
    }
    avi_audio_track &track = h->tracks[t];
    track.format = data.u16(0);
    track.channels = data.u16(2);
    track.rate = static_cast<int32_t>(data.u32(4));
    track.bitrate = static_cast<int32_t>(data.u32(8) * 8U / 1000U);
    track.bits = data.u16(14);
    track.strf_offset = static_cast<int32_t>(data_at);
}

// Step 3: the streams of the header list. Returns 0 or an avi_error code; -1 for a ninth
// audio stream (reported on standard error, avi_error untouched).
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
            if (data.has_code(0, "vids") && !w.video_taken)
                take_video_header(w, data, data_at);
            else if (data.has_code(0, "auds") && !take_audio_header(w, data, data_at))
                return -1;
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
    h->video_tag[0] = static_cast<char>('0' + h->video_stream_no / 10);
    h->video_tag[1] = static_cast<char>('0' + h->video_stream_no % 10);
    h->video_tag[2] = 'd';
    h->video_tag[3] = 'b';
    for (int t = 0; t < h->track_count; ++t) {
        h->tracks[t].tag[0] = static_cast<char>('0' + (t + 1) / 10);
        h->tracks[t].tag[1] = static_cast<char>('0' + (t + 1) % 10);
        h->tracks[t].tag[2] = 'w';
        h->tracks[t].tag[3] = 'b';
    }
}

// True when the 8 bytes at `at` are the head of the chunk that `entry` describes. A head
// that would lie past the end of the file does not match; a read that fails inside the
// file is an error (code set).
bool head_matches(int fd, uint64_t at, uint64_t end, const avi_index_entry &entry, int32_t &code)
{
    if (end != no_end && (at > end || end - at < 8))
        return false;
    chunk_head head;
    if (!seek_to(fd, at) || !read_head(fd, head)) {
        code = AVI_ERROR_READ;
        return false;
    }
    return same_id(head.id, reinterpret_cast<const char *>(entry.chunk_id)) &&
           head.size == get_u32_le(entry.size);
}

// Step 5: whether the loaded index holds absolute or "movi"-relative offsets, judged by
// its first video entry. Returns the origin, AVI_INDEX_REBUILT when neither fits, or
// sets code.
int32_t judge_index(avi_handle *h, uint64_t end, int32_t &code)
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
    if (head_matches(h->fd, offset, end, *first, code))
        return AVI_INDEX_ABSOLUTE;
    if (code != 0)
        return 0;
    uint64_t relative = uint64_t{static_cast<uint32_t>(h->movi_offset)} + offset - 4;
    if (head_matches(h->fd, relative, end, *first, code))
        return AVI_INDEX_RELATIVE;
    return AVI_INDEX_REBUILT;
}

bool is_media_id(const unsigned char *id)
{
    auto lower = [](unsigned char c) { return static_cast<unsigned char>(c | 0x20); };
    unsigned char third = lower(id[2]), fourth = lower(id[3]);
    return (third == 'd' && (fourth == 'b' || fourth == 'c')) || (third == 'w' && fourth == 'b');
}

}  // namespace

// Step 6 (see avi_internal.h). Also used to finish a file that was never closed.
int32_t avi_detail::rebuild_index(avi_handle *h, uint64_t end)
{
    int fd = h->fd;
    h->index_count = 0;
    h->max_chunk_len = 0;
    if (!seek_to(fd, static_cast<uint32_t>(h->movi_offset)))
        return 0;
    chunk_head head;
    uint64_t at;
    while ((at = position(fd)) <= last_offset && read_head(fd, head)) {
        if (same_id(head.id, "LIST")) {
            if (head.size < 4 || !skip_forward(fd, 4))
                break;
            continue;
        }
        if (is_media_id(head.id)) {
            if (end != no_end && at + 8 + head.size > end)
                break;
            if (AVI_append_index(h, reinterpret_cast<const char *>(head.id), 0,
                                 static_cast<uint32_t>(at), head.size) != 0)
                return AVI_ERROR_NO_MEMORY;
        }
        if (!skip_forward(fd, padded(head.size)))
            break;
    }
    return 0;
}

namespace {

uint32_t data_offset(const avi_index_entry &entry, uint64_t base)
{
    uint64_t at = get_u32_le(entry.offset) + base;
    return at > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(at);  // unreadable, not wrapped
}

// Step 7: the video frame table and each track's chunk table, from two passes over the
// index (count, then fill), so that each table is allocated once at its exact size.
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

// Steps 5 to 7: the index checked or rebuilt, then the tables. Returns 0 or a code.
int32_t load_index(avi_handle *h, bool had_index, uint64_t end)
{
    int32_t code = 0;
    int32_t origin = had_index ? judge_index(h, end, code) : AVI_INDEX_REBUILT;
    if (code != 0)
        return code;
    if (origin == AVI_INDEX_REBUILT && (code = avi_detail::rebuild_index(h, end)) != 0)
        return code;
    h->index_origin = origin;
    uint64_t base = origin == AVI_INDEX_RELATIVE ? uint64_t{static_cast<uint32_t>(h->movi_offset)} + 4 : 8;
    return build_tables(h, base);
}

avi_handle *new_reading_handle()
{
    auto *h = static_cast<avi_handle *>(calloc(1, sizeof(avi_handle)));
    if (!h) {
        avi_error = AVI_ERROR_NO_MEMORY;
        return nullptr;
    }
    h->mode = AVI_MODE_READ;
    return h;
}

avi_handle *parsed(avi_handle *h, int32_t with_index)
{
    if (AVI_parse_input(h, with_index) != 0)
        return nullptr;
    h->current_track = 0;
    return h;
}

}  // namespace

bool avi_detail::same_id(const unsigned char *id, const char *code, int n)
{
    // Not strncasecmp: ids may hold zero bytes, and all n characters count.
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    for (int i = 0; i < n; ++i)
        if (lower(id[i]) != lower(static_cast<unsigned char>(code[i])))
            return false;
    return true;
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

int AVI_parse_input(avi_handle *h, int32_t with_index)
{
    unsigned char signature[12];
    if (read_fully(h->fd, signature, sizeof signature) != 12)
        return fail(h, AVI_ERROR_READ);
    if (!same_id(signature, "RIFF") || !same_id(signature + 8, "AVI "))
        return fail(h, AVI_ERROR_NOT_AVI);

    uint64_t end = file_end(h->fd);
    top_level found;
    int32_t code = walk_top_level(h, end, found);
    if (code != 0)
        return fail(h, code);
    code = walk_header_list(h, found);
    found.header_list.reset();
    if (code == -1) {  // a ninth audio stream: reported already, avi_error kept
        AVI_close_handle(h);
        return -1;
    }
    if (code != 0)
        return fail(h, code);

    make_tags(h);
    seek_to(h->fd, static_cast<uint32_t>(h->movi_offset));
    if (!with_index)
        return 0;
    if ((code = load_index(h, found.has_index, end)) != 0)
        return fail(h, code);
    seek_to(h->fd, static_cast<uint32_t>(h->movi_offset));
    h->video_read_pos = 0;
    return 0;
}

avi_handle *AVI_open_input(const char *path, int32_t with_index)
{
    avi_handle *h = new_reading_handle();
    if (!h)
        return nullptr;
    h->fd = open(path, O_RDONLY);
    if (h->fd < 0) {
        int cause = errno;
        free(h);
        errno = cause;
        avi_error = AVI_ERROR_OPEN;
        return nullptr;
    }
    return parsed(h, with_index);
}

avi_handle *AVI_open_input_fd(int fd, int32_t with_index)
{
    avi_handle *h = new_reading_handle();
    if (!h) {
        close(fd);
        return nullptr;
    }
    h->fd = fd;
    return parsed(h, with_index);
}

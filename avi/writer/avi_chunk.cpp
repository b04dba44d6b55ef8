// Media chunks and the in-memory index: every video frame and piece of audio becomes one
// RIFF chunk after the 2048-byte header region and one 16-byte entry of the index that the
// close writes out as "idx1". Keeps the file, index included, within the size limit.
#include "avi/avi_internal.h"
#include "common/byte_writer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

using avi_detail::padded;

namespace {

constexpr int32_t index_growth = 4096;

// The file length if `added` more bytes of data and `entries` more index entries were
// written now and the file closed.
uint64_t size_after(const avi_handle &h, uint64_t added, uint64_t entries)
{
    return avi_detail::size_after_close(uint64_t{h.write_offset} + added, uint64_t(h.index_count) + entries);
}

bool refuse_negative(int32_t len)
{
    return len < 0 && avi_detail::fail(AVI_ERROR_SIZE_LIMIT) != 0;
}

bool refuse_reading_handle(const avi_handle &h)
{
    return h.mode == AVI_MODE_READ && avi_detail::fail(AVI_ERROR_NOT_PERMITTED) != 0;
}

// "01wb" for track 0 up to "08wb" for track 7.
void audio_chunk_id(const avi_handle &h, char id[5])
{
    avi_detail::chunk_id(h.current_track + 1, "wb", id);
    id[4] = '\0';
}

// Audio byte counts saturate rather than wrap: they are 32-bit signed fields.
void add_audio_bytes(avi_audio_track &track, int32_t len)
{
    int64_t sum = int64_t{track.byte_count} + len;
    track.byte_count = sum > INT32_MAX ? INT32_MAX : static_cast<int32_t>(sum);
}

}  // namespace

void avi_detail::back_to_end_of_data(avi_handle &h)
{
    h.position_lost = lseek(h.fd, h.write_offset, SEEK_SET) < 0;
}

int AVI_write_chunk(avi_handle *handle, const char *id, const void *data, int32_t len)
{
    if (refuse_negative(len))
        return -1;
    if (handle->position_lost) {
        if (lseek(handle->fd, handle->write_offset, SEEK_SET) < 0)
            return avi_detail::fail(AVI_ERROR_WRITE);
        handle->position_lost = 0;
    }
    unsigned char head[8];
    byte_writer(head, sizeof head).fourcc(id).u32(static_cast<uint32_t>(len));
    static unsigned char pad = 0;
    uint32_t size = static_cast<uint32_t>(len);
    iovec parts[3] = {{head, sizeof head},
                      {const_cast<void *>(data), size},
                      {&pad, size & 1U}};

    if (write_fully_vec(handle->fd, parts, 3) != static_cast<int64_t>(8 + padded(size)))
        return avi_detail::fail_undoing(AVI_ERROR_WRITE, [handle] { avi_detail::back_to_end_of_data(*handle); });
    handle->write_offset += static_cast<uint32_t>(8 + padded(size));
    handle->chunk_total += 1;
    avi_detail::count_written(*handle, head, sizeof head);
    avi_detail::count_written(*handle, data, size);
    avi_detail::count_written(*handle, &pad, size & 1U);
    return 0;
}

int AVI_append_index(avi_handle *handle, const char *id, uint32_t flags, uint32_t offset,
                     uint32_t size)
{
    if (handle->index_count >= handle->index_capacity) {
        int64_t capacity = int64_t{handle->index_capacity} + index_growth;
        void *grown = capacity > INT32_MAX
                          ? nullptr
                          : realloc(handle->index, static_cast<size_t>(capacity) * avi_detail::index_entry_bytes);
        if (!grown)
            return avi_detail::fail(AVI_ERROR_NO_MEMORY);
        handle->index = static_cast<avi_index_entry *>(grown);
        handle->index_capacity = static_cast<int32_t>(capacity);
    }
    avi_index_entry &entry = handle->index[handle->index_count++];
    memcpy(entry.chunk_id, id, 4);
    put_u32_le(entry.flags, flags);
    put_u32_le(entry.offset, offset);
    put_u32_le(entry.size, size);
    if (size > handle->max_chunk_len)
        handle->max_chunk_len = size;
    return 0;
}

int AVI_write_media_chunk(avi_handle *handle, const void *data, uint32_t len, int32_t is_audio,
                          int32_t key_frame)
{
    // The file after this chunk: its head, data and pad byte, one more index entry, the
    // "idx1" head. Counting the pad keeps an odd chunk from taking the file one byte past.
    if (size_after(*handle, 8 + padded(len), 1) > avi_detail::size_limit)
        return avi_detail::fail(AVI_ERROR_SIZE_LIMIT);
    char id[5] = "00db";
    if (is_audio)
        audio_chunk_id(*handle, id);
    uint32_t flags = !is_audio && key_frame ? AVI_KEY_FRAME : 0;

    uint32_t max_before = handle->max_chunk_len;
    if (AVI_append_index(handle, id, flags, handle->write_offset, len) != 0)
        return -1;
    if (AVI_write_chunk(handle, id, data, static_cast<int32_t>(len)) != 0) {
        // The next chunk goes to the same offset: the entry must not describe it.
        handle->index_count -= 1;
        handle->max_chunk_len = max_before;
        return -1;
    }
    return 0;
}

int AVI_put_video_frame(avi_handle *handle, const void *data, int32_t len, int32_t key_frame)
{
    if (refuse_reading_handle(*handle))
        return -1;
    uint32_t offset = handle->write_offset;
    if (AVI_write_media_chunk(handle, data, static_cast<uint32_t>(len), 0, key_frame) != 0)
        return -1;
    handle->last_video_offset = offset;
    handle->last_video_len = static_cast<uint32_t>(len);
    handle->video_frame_count += 1;
    return 0;
}

int AVI_repeat_video_frame(avi_handle *handle)
{
    if (refuse_reading_handle(*handle))
        return -1;
    if (handle->last_video_offset == 0)
        return 0;
    // The slot is filled with an empty video chunk, which players take as "keep showing the
    // last picture". A second index entry for the last chunk instead would hand an
    // inter-coded frame to the decoder twice and spoil every picture after it.
    if (AVI_write_media_chunk(handle, nullptr, 0, 0, 0) != 0)
        return -1;
    handle->video_frame_count += 1;
    return 0;
}

int AVI_put_audio(avi_handle *handle, const void *data, int32_t len)
{
    if (refuse_reading_handle(*handle))
        return -1;
    if (refuse_negative(len))
        return -1;
    if (AVI_write_media_chunk(handle, data, static_cast<uint32_t>(len), 1, 0) != 0)
        return -1;
    add_audio_bytes(handle->tracks[handle->current_track], len);
    return 0;
}

int AVI_extend_audio(avi_handle *handle, const void *data, int32_t len)
{
    if (refuse_reading_handle(*handle) || refuse_negative(len))
        return -1;

    // Only the current track's audio chunk that ends the file may grow.
    char id[5];
    audio_chunk_id(*handle, id);
    avi_index_entry *last = handle->index_count > 0 ? &handle->index[handle->index_count - 1]
                                                    : nullptr;
    uint32_t head = last ? get_u32_le(last->offset) : 0;
    uint32_t old = last ? get_u32_le(last->size) : 0;
    if (!last || memcmp(last->chunk_id, id, 4) != 0 ||
        uint64_t{head} + 8 + padded(old) != handle->write_offset)
        return avi_detail::fail(AVI_ERROR_NOT_PERMITTED);
    uint64_t new_size = uint64_t{old} + static_cast<uint32_t>(len);
    uint64_t new_end = uint64_t{head} + 8 + padded(new_size);
    if (size_after(*handle, new_end - handle->write_offset, 0) > avi_detail::size_limit)
        return avi_detail::fail(AVI_ERROR_SIZE_LIMIT);

    // Data first (over the old pad byte), then the size field: a failure part-way leaves
    // the chunk as it was, and whatever lies past write_offset is overwritten later.
    static unsigned char pad = 0;
    iovec parts[2] = {{const_cast<void *>(data), static_cast<size_t>(len)},
                      {&pad, static_cast<size_t>(new_size & 1U)}};
    int64_t want = int64_t{len} + static_cast<int64_t>(new_size & 1U);
    unsigned char size_field[4];
    put_u32_le(size_field, static_cast<uint32_t>(new_size));
    bool ok = lseek(handle->fd, off_t{head} + 8 + old, SEEK_SET) >= 0 &&
              write_fully_vec(handle->fd, parts, 2) == want &&
              pwrite(handle->fd, size_field, 4, off_t{head} + 4) == 4;
    if (!ok)
        return avi_detail::fail_undoing(AVI_ERROR_WRITE, [handle] { avi_detail::back_to_end_of_data(*handle); });
    put_u32_le(last->size, static_cast<uint32_t>(new_size));
    handle->data_crc_stale = 1;  // a size field was rewritten: the next checkpoint counts again
    add_audio_bytes(handle->tracks[handle->current_track], len);
    handle->write_offset = static_cast<uint32_t>(new_end);
    handle->position_lost = 0;  // the position stands at the new end
    return 0;
}

uint32_t AVI_space_left(const avi_handle *handle)
{
    if (handle->mode == AVI_MODE_READ)
        return 0;
    return static_cast<uint32_t>(avi_detail::size_limit - size_after(*handle, 0, 0));
}

uint32_t AVI_size_written(const avi_handle *handle)
{
    if (handle->mode == AVI_MODE_READ)
        return 0;
    return static_cast<uint32_t>(size_after(*handle, 0, 0));
}

uint64_t AVI_size_limit(void)
{
    return avi_detail::size_limit;
}

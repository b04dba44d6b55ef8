// Every reading operation over one handle, with buffers of a fixed size: frames and
// chunks larger than the buffers are refused by the module (or not asked for).
#include "drive_reads.h"

#include <algorithm>
#include <initializer_list>
#include <vector>

namespace mirvo_fuzz {
namespace {

constexpr int32_t capacity = 1 << 16;

// Adds values of any sign without overflow (the sum only has to depend on them).
uint64_t total(std::initializer_list<int64_t> values)
{
    uint64_t sum = 0;
    for (int64_t v : values)
        sum += static_cast<uint64_t>(v);
    return sum;
}

uint64_t drive_queries(avi_handle *h)
{
    uint64_t sum = total({AVI_frame_count(h), AVI_frame_width(h), AVI_frame_height(h), AVI_largest_chunk(h),
                          AVI_index_origin(h), AVI_video_strh_offset(h), AVI_video_strf_offset(h),
                          AVI_frames_per_second(h) > 0, AVI_codec_fourcc(h)[0]});
    for (int32_t i = 0; i < h->index_count; ++i)
        sum += total({AVI_index_entry_stream(h, i)});
    // Without the tables the frame count is only the header's claim: one lookup tells.
    int32_t frames = AVI_frame_length(h, 0) < 0 ? 0 : AVI_frame_count(h);
    for (int32_t n = -1; n <= frames; ++n)
        sum += total({AVI_frame_length(h, n), AVI_frame_file_offset(h, n), AVI_frame_is_key(h, n)});
    return sum;
}

uint64_t drive_video(avi_handle *h, std::vector<unsigned char> &buffer)
{
    uint64_t sum = 0;
    int32_t key = 0;
    if (AVI_seek_video_frame(h, 0) != 0)
        return total({AVI_read_video_frame(h, buffer.data(), capacity, &key)});
    for (int32_t n = 0; n < AVI_frame_count(h); ++n) {
        int32_t got = AVI_read_video_frame(h, buffer.data(), capacity, &key);
        if (got < 0)
            AVI_seek_video_frame(h, n + 1);  // refused or short: go on with the next
        else
            sum += static_cast<uint64_t>(got);
    }
    return sum + total({AVI_read_video_frame(h, buffer.data(), capacity, &key)});
}

uint64_t drive_track(avi_handle *h, std::vector<unsigned char> &buffer)
{
    uint64_t sum = total({AVI_track_channels(h), AVI_track_bitrate(h), AVI_track_bits(h), AVI_track_format(h),
                          AVI_track_rate(h), AVI_track_bytes(h), AVI_track_strh_offset(h),
                          AVI_track_strf_offset(h)});
    int32_t chunks = AVI_track_chunks(h);
    for (int32_t n = -1; n <= chunks; ++n)
        sum += total({AVI_audio_chunk_length(h, n), AVI_audio_chunk_file_offset(h, n)});

    int32_t got;
    if (AVI_seek_audio_byte(h, 0) == 0)
        while ((got = AVI_read_audio_bytes(h, buffer.data(), capacity)) > 0)
            sum += static_cast<uint64_t>(got);
    int64_t bytes = AVI_track_bytes(h);
    for (int64_t at : {int64_t{-1}, int64_t{1}, bytes / 2, bytes - 1, bytes + 7}) {
        auto position = static_cast<int32_t>(std::clamp<int64_t>(at, INT32_MIN, INT32_MAX));
        if (AVI_seek_audio_byte(h, position) == 0 && (got = AVI_read_audio_bytes(h, buffer.data(), 3)) > 0)
            sum += static_cast<uint64_t>(got);
    }
    // Chunk by chunk; the call has no capacity, so a chunk is read only when it fits.
    AVI_seek_audio_byte(h, 0);
    for (int32_t n = 0; n <= chunks; ++n) {
        int32_t left = AVI_next_audio_chunk(h, nullptr);
        if (left <= 0 || left > capacity)
            break;
        if ((got = AVI_next_audio_chunk(h, buffer.data())) <= 0)
            break;
        sum += static_cast<uint64_t>(got);
    }
    return sum;
}

uint64_t drive_file_order(avi_handle *h, std::vector<unsigned char> &video, std::vector<unsigned char> &audio)
{
    uint64_t sum = 0;
    AVI_rewind(h);
    int32_t length = 0;
    int kind;
    while ((kind = AVI_read_next_chunk(h, video.data(), capacity, audio.data(), capacity, &length)) != 0)
        sum += total({kind, length});
    return sum;
}

}  // namespace

uint64_t drive_reads(avi_handle *h)
{
    std::vector<unsigned char> video(capacity), audio(capacity);
    uint64_t sum = drive_queries(h) + drive_video(h, video);
    for (int32_t t = 0; t < AVI_track_count(h); ++t) {
        AVI_select_audio_track(h, t);
        sum += drive_track(h, audio);
    }
    AVI_select_audio_track(h, 0);
    return sum + drive_file_order(h, video, audio);
}

}  // namespace mirvo_fuzz

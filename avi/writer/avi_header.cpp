// Stream declarations and the 2048-byte header region: the RIFF head, the "hdrl" list with
// the main header and one stream list per stream, (at close) the "INFO" list, the "JUNK"
// filler and the head of the "movi" list. Both the recording-time header and the final one
// are laid out here and nowhere else.
#include "avi/avi_internal.h"
#include "common/byte_writer.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

using avi_detail::size_placeholder;
constexpr uint32_t flag_has_index = 0x10, flag_must_use_index = 0x20, flag_interleaved = 0x100;
constexpr int32_t video_scale = 1000000;
constexpr int info_list_bytes = 84;
namespace header_at = avi_detail::header_at;
namespace strh_at = avi_detail::strh_at;
namespace checkpoint_at = avi_detail::checkpoint_at;

// 32-bit header fields computed in 64 bits and clamped, so that no large value wraps.
int32_t clamp_i32(int64_t value)
{
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

int32_t clamp_i32(double value)
{
    if (!(value < 2147483647.0))
        return std::isnan(value) ? 0 : INT32_MAX;
    return value > -2147483648.0 ? static_cast<int32_t>(value) : INT32_MIN;
}

struct video_timing {
    int32_t micro_sec_per_frame;  // U
    int32_t rate;                 // R, frames per 1000000 seconds
};

video_timing timing_of(double fps)
{
    if (!(fps >= 0.001))  // also 0, negative and NaN
        return {0, 0};
    return {clamp_i32(1000000.0 / fps + 0.5), clamp_i32(fps * 1000000.0 + 0.5)};
}

int32_t image_size(int32_t width, int32_t height)
{
    int64_t pixels = int64_t{width} * height;  // fits in 64 bits; times 3 may not
    if (pixels > INT32_MAX / 3)
        return INT32_MAX;
    if (pixels < INT32_MIN / 3)
        return INT32_MIN;
    return static_cast<int32_t>(pixels * 3);
}

// The offsets that the close, repair and the tests name (header_at) are where this layout
// puts the fields: checked as the header is built, so that the two cannot drift apart.
void expect_at(const byte_writer &w, int at)
{
    if (w.length() != static_cast<size_t>(at)) {
        fprintf(stderr, "AVI header layout: offset %zu where %d was expected\n", w.length(), at);
        abort();
    }
}


// The values in which the stream header ("strh") of one stream differs from another's.
struct stream_header {
    const char *type;     // "vids" or "auds"
    const char *handler;  // four characters, or null for none
    uint32_t scale, rate, length, sample_size;
};

// Opens a stream list ("LIST" ... "strl") and places its stream header, the fields that the
// reader takes at their named offsets; returns where the list's size goes, for
// close_stream_list once its format is placed.
size_t open_stream_list(byte_writer &w, const stream_header &s)
{
    w.fourcc("LIST");
    size_t list_size_at = w.length();
    w.u32(0);
    w.fourcc("strl");
    w.fourcc("strh");
    w.u32(strh_at::bytes);
    size_t data = w.length();
    w.zeros(strh_at::bytes);
    w.fourcc_at(data + strh_at::type, s.type);
    if (s.handler)
        w.fourcc_at(data + strh_at::handler, s.handler);
    w.u32_at(data + strh_at::scale, s.scale);
    w.u32_at(data + strh_at::rate, s.rate);
    w.u32_at(data + strh_at::length, s.length);
    w.u32_at(data + strh_at::quality, 0xffffffffU);  // the default
    w.u32_at(data + strh_at::sample_size, s.sample_size);
    return list_size_at;
}

void close_stream_list(byte_writer &w, size_t list_size_at)
{
    w.u32_at(list_size_at, static_cast<uint32_t>(w.length() - (list_size_at + 4)));
}

void place_video_stream(byte_writer &w, const avi_handle &h, video_timing timing,
                        uint32_t length)
{
    size_t list = open_stream_list(
        w, {"vids", h.compressor, video_scale, static_cast<uint32_t>(timing.rate), length, 0});
    w.fourcc("strf");
    w.u32(40);
    w.u32(40);  // biSize
    w.u32(static_cast<uint32_t>(h.width));
    w.u32(static_cast<uint32_t>(h.height));
    w.u16(1);   // planes
    w.u16(24);  // bits per pixel
    w.fourcc(h.compressor);
    w.u32(static_cast<uint32_t>(image_size(h.width, h.height)));
    w.zeros(16);
    close_stream_list(w, list);
}

// The audio stream's length, in its units: PCM counts whole samples of every channel; other
// formats keep the count of four-byte blocks that the header has always held for them.
uint32_t audio_length(const avi_handle &h, int t)
{
    int64_t bytes = h.tracks[t].byte_count;
    if (avi_detail::pcm_sample_bytes(h.tracks[t]) > 0)
        return static_cast<uint32_t>(bytes / avi_detail::audio_unit(h, t));
    return static_cast<uint32_t>(clamp_i32(bytes * 4 / AVI_audio_block_size(&h, t)));
}

void place_audio_stream(byte_writer &w, const avi_handle &h, int t)
{
    const avi_audio_track &track = h.tracks[t];
    uint32_t unit = avi_detail::audio_unit(h, t);
    auto byte_rate = static_cast<uint32_t>(clamp_i32(int64_t{track.bitrate} * 1000 / 8));

    size_t list = open_stream_list(w, {"auds", nullptr, unit, byte_rate, audio_length(h, t), unit});
    w.fourcc("strf");
    w.u32(16);
    w.u16(static_cast<uint32_t>(track.format));
    w.u16(static_cast<uint32_t>(track.channels));
    w.u32(static_cast<uint32_t>(track.rate));
    w.u32(byte_rate);
    w.u16(unit);  // block align
    w.u16(static_cast<uint32_t>(track.bits));
    close_stream_list(w, list);
}

}  // namespace

namespace avi_detail {

int64_t pcm_sample_bytes(const avi_audio_track &track)
{
    int64_t bytes = pcm_block_bytes(track.channels, track.bits);
    return track.format == wave_format_pcm && bytes > 0 && bytes <= 0xffff ? bytes : 0;
}

uint32_t audio_unit(const avi_handle &h, int t)
{
    int64_t pcm = pcm_sample_bytes(h.tracks[t]);
    return pcm > 0 ? static_cast<uint32_t>(pcm) : legacy_audio_unit(h, t);
}

uint32_t legacy_audio_unit(const avi_handle &h, int t)
{
    return static_cast<uint32_t>(AVI_audio_block_size(&h, t) / 4);
}

bool build_header(const avi_handle &h, const final_header_values *final_values,
                  header_bytes &out)
{
    out.fill(0);
    byte_writer w(out.data(), out.size());
    video_timing timing = timing_of(h.fps);
    bool index_flags = final_values == nullptr || final_values->index_written;
    uint32_t flags = flag_interleaved;
    if (index_flags)
        flags |= flag_has_index | (h.needs_index ? flag_must_use_index : 0);
    uint32_t frames = final_values ? static_cast<uint32_t>(h.video_frame_count) : 0;

    // The sizes and counts are placed at their named offsets once the layout is done.
    w.fourcc("RIFF");
    w.u32(0);  // RIFF size
    w.fourcc("AVI ");
    w.fourcc("LIST");
    size_t hdrl_size_at = w.length();
    w.u32(0);
    w.fourcc("hdrl");
    w.fourcc("avih");
    w.u32(56);
    w.u32(static_cast<uint32_t>(timing.micro_sec_per_frame));
    w.u32(0);  // maximum bytes per second
    w.u32(0);  // padding granularity
    w.u32(0);  // flags
    w.u32(0);  // total frames
    w.u32(0);  // initial frames
    w.u32(static_cast<uint32_t>(h.track_count) + 1);
    w.u32(0);  // suggested buffer size
    w.u32(static_cast<uint32_t>(h.width));
    w.u32(static_cast<uint32_t>(h.height));
    w.zeros(16);  // reserved

    expect_at(w, header_at::video_strh_data - 20);  // list head, strh head
    place_video_stream(w, h, timing, frames);
    for (int t = 0; t < h.track_count && t < AVI_MAX_TRACKS; ++t) {
        expect_at(w, header_at::audio_lists + header_at::audio_list_bytes * t);
        place_audio_stream(w, h, t);
    }
    w.u32_at(hdrl_size_at, static_cast<uint32_t>(w.length() - 20));

    if (final_values) {
        w.fourcc("LIST");
        w.u32(info_list_bytes - 8);
        w.fourcc("INFO");
        w.fourcc("ISFT");
        w.u32(64);
        w.zeros(64);  // the software name stays empty
    }

    auto filler = static_cast<int32_t>(header_at::movi_list - 8 - static_cast<int64_t>(w.length()));
    if (filler < 1 || w.overflowed())
        return false;
    w.fourcc("JUNK");
    w.u32(static_cast<uint32_t>(filler));
    w.zeros(static_cast<size_t>(filler));
    expect_at(w, header_at::movi_list);
    w.fourcc("LIST");
    w.u32(0);  // "movi" list size
    w.fourcc("movi");

    w.u32_at(header_at::riff_size, final_values ? final_values->riff_size : size_placeholder);
    w.u32_at(header_at::flags, flags);
    w.u32_at(header_at::total_frames, frames);
    w.u32_at(header_at::movi_size, final_values ? final_values->movi_size : size_placeholder);
    if (!final_values)  // the checkpoints written so far stay in the filler while recording
        for (int k : {0, 1})
            memcpy(&out[static_cast<size_t>(checkpoint_at::slots[k])], h.checkpoint_slots[k],
                   checkpoint_at::bytes);
    return true;
}

void header_too_long(const char *caller)
{
    fprintf(stderr, "%s: # of header bytes too small\n", caller);
    exit(1);
}

void clear_count_fields(header_bytes &bytes, int32_t track_count)
{
    // The RIFF size; in the main header the microseconds per frame, the flags and the total
    // frames; the video stream's length; each audio stream's length; the "movi" list size.
    auto clear = [&bytes](int at) { memset(&bytes[static_cast<size_t>(at)], 0, 4); };
    for (int at : {header_at::riff_size, header_at::frame_time, header_at::flags,
                   header_at::total_frames, header_at::video_length, header_at::movi_size})
        clear(at);
    for (int t = 0; t < track_count && t < AVI_MAX_TRACKS; ++t)
        clear(header_at::audio_length(t));
    for (int at : checkpoint_at::slots)
        memset(&bytes[static_cast<size_t>(at)], 0, checkpoint_at::bytes);
}

bool write_header_region(int fd, const header_bytes &bytes)
{
    return lseek(fd, 0, SEEK_SET) == 0 &&
           write_fully(fd, bytes.data(), bytes.size()) == AVI_HEADER_BYTES;
}

}  // namespace avi_detail

int AVI_audio_block_size(const avi_handle *handle, int track)
{
    const avi_audio_track &t = handle->tracks[track];
    int64_t block = pcm_block_bytes(t.channels, t.bits);
    return block < 4 ? 4 : clamp_i32(block);
}

namespace {

// Writes the recording-time header over the header region, for the writer's call `caller`.
int write_recording_header(avi_handle *handle, const char *caller)
{
    if (handle->mode != AVI_MODE_WRITE)
        return avi_detail::fail(AVI_ERROR_NOT_PERMITTED);
    avi_detail::header_bytes bytes;
    if (!avi_detail::build_header(*handle, nullptr, bytes))
        avi_detail::header_too_long(caller);
    // A write of the recording, not its close: a failure says so (4, not 6).
    if (!avi_detail::write_header_region(handle->fd, bytes))
        return avi_detail::fail_undoing(AVI_ERROR_WRITE, [handle] { avi_detail::back_to_end_of_data(*handle); });
    avi_detail::back_to_end_of_data(*handle);
    return handle->position_lost ? avi_detail::fail(AVI_ERROR_WRITE) : 0;
}

}  // namespace

int AVI_write_header(avi_handle *handle)
{
    return write_recording_header(handle, "AVI_write_header");
}

void AVI_define_video(avi_handle *handle, int32_t width, int32_t height, double fps,
                      const char *compressor)
{
    if (handle->mode == AVI_MODE_READ)
        return;
    handle->width = width;
    handle->height = height;
    handle->fps = fps;
    memset(handle->compressor, 0, sizeof handle->compressor);
    // Uncompressed RGB is stored as a zero code; a short code is padded with zeros.
    if (compressor && strncmp(compressor, "RGB", 3) != 0)
        strncpy(handle->compressor, compressor, 4);
    write_recording_header(handle, "AVI_define_video");
}

void AVI_add_audio_track(avi_handle *handle, int32_t channels, int32_t rate, int32_t bits,
                         int32_t format, int32_t bitrate_kbps)
{
    if (handle->mode == AVI_MODE_READ)
        return;
    if (handle->track_count >= AVI_MAX_TRACKS) {
        fprintf(stderr, "%s\n", avi_detail::track_limit_text);
        exit(1);
    }
    int32_t t = handle->track_count++;
    handle->current_track = t;
    handle->tracks[t] = avi_audio_track{};
    handle->tracks[t].channels = channels;
    handle->tracks[t].rate = rate;
    handle->tracks[t].bits = bits;
    handle->tracks[t].format = format;
    handle->tracks[t].bitrate = bitrate_kbps;
    write_recording_header(handle, "AVI_add_audio_track");
}

int AVI_set_track_bitrate(avi_handle *handle, int32_t kbps)
{
    if (handle->mode == AVI_MODE_READ)
        return avi_detail::fail(AVI_ERROR_NOT_PERMITTED);
    handle->tracks[handle->current_track].bitrate = kbps;
    return 0;
}

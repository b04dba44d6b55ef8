// Gathering what mirvo-avi info tells (see file_facts.h). Every figure comes from the
// reader's tables except the H.264 parameters, which are read from the first frames that
// hold a sequence parameter set.
#include "file_facts.h"

#include "common/le_bytes.h"
#include "common/video_codes.h"
#include "common/stream_units.h"

#include <algorithm>
#include <unordered_set>

namespace mirvo_avi {
namespace {

// Key frames, their shortest and longest distance (in frames shown), filled and repeated
// frames and the bytes of the video chunks. A filled frame is an empty chunk: the camera
// gave no picture for that frame time and the last one stays. A repeated frame shows a
// chunk that an earlier index entry showed (older files of this writer did so, flagging
// repeats as key frames); it is neither counted in the bytes nor as a key frame, as players
// read it.
void count_frames(const avi_handle *h, video_facts &v)
{
    std::unordered_set<int64_t> shown;
    shown.reserve(static_cast<size_t>(v.frames));
    int32_t last_key = -1;
    for (int32_t n = 0; n < v.frames; ++n) {
        if (AVI_frame_length(h, n) == 0) {
            v.filled_frames += 1;
            continue;
        }
        if (!shown.insert(AVI_frame_file_offset(h, n)).second) {
            v.repeated_frames += 1;
            continue;
        }
        v.bytes += static_cast<uint64_t>(std::max<int64_t>(AVI_frame_length(h, n), 0));
        if (AVI_frame_is_key(h, n) != 1)
            continue;
        v.key_frames += 1;
        if (last_key >= 0) {
            int32_t gap = n - last_key;
            v.key_interval_min = v.key_interval_min == 0 ? gap : std::min(v.key_interval_min, gap);
            v.key_interval_max = std::max(v.key_interval_max, gap);
        }
        last_key = n;
    }
}

void find_parameters(input_file &in, video_facts &v)
{
    constexpr int64_t most_bytes = 16 << 20;
    frame_buffer buffer;
    int64_t read = 0;
    for (int32_t n = 0; n < std::min(v.frames, parameter_search_frames) && read < most_bytes; ++n) {
        std::string problem;
        int64_t length = read_frame(in, n, buffer, problem);
        if (length < 0)
            continue;  // info describes what it can; frames and extract report such a frame
        read += length;
        if (find_sequence_parameters(buffer.data(), static_cast<size_t>(length), v.parameters)) {
            v.has_parameters = true;
            return;
        }
    }
}

// Bytes per second of a track: from its sample format for PCM, else the format's average.
double byte_rate(avi_handle *h, int32_t t)
{
    AVI_select_audio_track(h, t);
    if (AVI_track_format(h) == 1)
        return static_cast<double>(AVI_track_rate(h)) * static_cast<double>(pcm_block_bytes(AVI_track_channels(h), AVI_track_bits(h)));
    int32_t length = 0;
    const unsigned char *format = AVI_track_format_bytes(h, &length);  // at least 20 bytes
    return format ? get_u32_le(format + 8) : 0;
}

}  // namespace

file_facts gather_facts(input_file &in)
{
    avi_handle *h = in.handle.get();
    file_facts f;
    f.size = in.size;
    video_facts &v = f.video;
    v.codec = AVI_codec_fourcc(h);
    v.width = AVI_frame_width(h);
    v.height = AVI_frame_height(h);
    v.fps = AVI_frames_per_second(h);
    v.frames = AVI_frame_count(h);
    v.duration = frame_time(v.frames, v.fps);
    count_frames(h, v);
    v.key_flags_known = AVI_index_origin(h) != AVI_INDEX_REBUILT;
    if (v.duration > 0) {
        v.bit_rate = static_cast<double>(v.bytes) * 8 / v.duration;
        v.camera_fps = (v.frames - v.filled_frames - v.repeated_frames) / v.duration;
    }
    v.h264 = is_h264_code(v.codec.c_str()) || is_h264_code(AVI_video_handler(h));
    if (v.h264)
        find_parameters(in, v);

    f.duration = v.duration;
    for (int32_t t = 0; t < AVI_track_count(h); ++t) {
        AVI_select_audio_track(h, t);
        track_facts a{t, AVI_track_format(h), AVI_track_channels(h), AVI_track_rate(h),
                      AVI_track_bits(h), AVI_track_bytes(h), AVI_track_chunks(h)};
        double rate = byte_rate(h, t);
        if (rate > 0)
            a.duration = a.bytes / rate;
        f.duration = std::max(f.duration, a.duration);
        f.audio.push_back(a);
    }
    AVI_select_audio_track(h, 0);
    if (f.duration > 0)
        f.bit_rate = static_cast<double>(f.size) * 8 / f.duration;
    f.index_origin = AVI_index_origin(h);
    f.largest_chunk = AVI_largest_chunk(h);
    return f;
}

}  // namespace mirvo_avi

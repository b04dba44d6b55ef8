// Copying chunks of finished recordings into a new one (see chunk_copy.h).
#include "chunk_copy.h"

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace mirvo_avi {

namespace {

stream_shape shape_of(avi_handle *h)
{
    stream_shape s;
    s.codec = AVI_codec_fourcc(h);
    s.width = AVI_frame_width(h);
    s.height = AVI_frame_height(h);
    s.fps = AVI_frames_per_second(h);
    for (int32_t t = 0; t < AVI_track_count(h); ++t) {
        AVI_select_audio_track(h, t);
        s.tracks.push_back({AVI_track_channels(h), AVI_track_rate(h), AVI_track_bits(h), AVI_track_format(h),
                            AVI_track_bitrate(h)});
    }
    return s;
}

std::string track_words(const stream_shape::track &t)
{
    return "format " + std::to_string(t.format) + ", " + std::to_string(t.channels) + " channel(s), " +
           std::to_string(t.rate) + " Hz, " + std::to_string(t.bits) + " bits, " + std::to_string(t.bitrate) + " kbit/s";
}

}  // namespace

bool open_source(const std::string &path, source_file &source)
{
    if (!open_input(path, source.in))
        return false;
    avi_recovery found{};
    clear_module_error();
    if (AVI_examine_fd(source.in.fd, &found) != 0)
        return report(path, module_reason("cannot be examined")), false;
    if (found.state == AVI_FILE_CUT_OFF)
        return report(path, "cut off before its close: run mirvo-avi repair on it first"), false;
    if (found.state != AVI_FILE_FINISHED)
        return report(path, "not finished: it ends without the index that a close leaves"), false;
    std::string problem;
    if (!list_entries(source.in, source.entries, problem))
        return report(path, problem), false;
    source.shape = shape_of(source.in.handle.get());
    return true;
}

std::string shape_difference(const stream_shape &a, const stream_shape &b)
{
    auto size = [](const stream_shape &s) { return std::to_string(s.width) + "x" + std::to_string(s.height); };
    if (a.codec != b.codec)
        return "its video is " + b.codec + ", not " + a.codec;
    if (a.width != b.width || a.height != b.height)
        return "its video is " + size(b) + ", not " + size(a);
    if (a.fps != b.fps)
        return "its video has " + std::to_string(b.fps) + " frames a second, not " + std::to_string(a.fps);
    if (a.tracks.size() != b.tracks.size())
        return "it has " + std::to_string(b.tracks.size()) + " audio tracks, not " + std::to_string(a.tracks.size());
    for (size_t t = 0; t < a.tracks.size(); ++t) {
        const stream_shape::track &x = a.tracks[t], &y = b.tracks[t];
        if (x.channels != y.channels || x.rate != y.rate || x.bits != y.bits || x.format != y.format ||
            x.bitrate != y.bitrate)
            return "its audio track " + std::to_string(t) + " is " + track_words(y) + ", not " + track_words(x);
    }
    return "";
}

bool same_bytes(source_file &a, const entry_line &ea, source_file &b, const entry_line &eb, std::string &problem)
{
    frame_buffer first, second;
    int64_t n = read_extent(a.in, entry_name(ea), ea.where, first, problem);
    if (n < 0 || read_extent(b.in, entry_name(eb), eb.where, second, problem) < 0)
        return false;
    return n == eb.where.length && memcmp(first.data(), second.data(), static_cast<size_t>(n)) == 0;
}

copy_writer::~copy_writer()
{
    if (out_)
        AVI_close_handle(out_);
    if (created_ && !finished_)
        unlink(path_.c_str());
}

bool copy_writer::failed(const std::string &reason)
{
    report(path_, reason);
    return false;
}

bool copy_writer::create(const stream_shape &shape)
{
    struct stat st;
    if (lstat(path_.c_str(), &st) == 0)
        return failed("exists already: give a new name (a recording is never overwritten)");
    clear_module_error(true);
    out_ = AVI_create_output_file(path_.c_str());
    if (!out_)
        return failed(module_reason("cannot be created"));
    created_ = true;
    AVI_define_video(out_, shape.width, shape.height, shape.fps, shape.codec.c_str());
    for (const stream_shape::track &t : shape.tracks)
        AVI_add_audio_track(out_, t.channels, t.rate, t.bits, t.format, t.bitrate);
    return true;
}

bool copy_writer::copy(source_file &source, const entry_line &e)
{
    bool repeat = e.stream == 0 && &source == last_source_ && e.where.offset == last_video_offset_;
    last_source_ = &source;
    if (e.stream == 0)
        last_video_offset_ = e.where.offset;
    clear_module_error(true);
    if (repeat)
        return AVI_repeat_video_frame(out_) == 0 || failed(module_reason("cannot be written"));
    std::string problem;
    int64_t n = read_extent(source.in, entry_name(e), e.where, buffer_, problem);
    if (n < 0)
        return report(source.in.path, problem), false;
    clear_module_error(true);
    int put = e.stream == 0 ? AVI_put_video_frame(out_, buffer_.data(), static_cast<int32_t>(n), e.key ? 1 : 0)
                            : (AVI_select_audio_track(out_, e.stream - 1),
                               AVI_put_audio(out_, buffer_.data(), static_cast<int32_t>(n)));
    return put == 0 || failed(module_reason("cannot be written"));
}

bool copy_writer::finish()
{
    clear_module_error(true);
    int closed = AVI_close_handle(out_);
    out_ = nullptr;
    finished_ = closed == 0;
    return finished_ || failed(module_reason("cannot be finished"));
}

}  // namespace mirvo_avi

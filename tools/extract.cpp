// mirvo-avi extract: the video frames written one after the other, as the stream was
// stored (an H.264 Annex-B stream for our recordings), and an audio track as a WAV file.
#include "avi/le_bytes.h"
#include "tool_common.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace mirvo_avi {
namespace {

struct options {
    std::string path, video_out, audio_out;
    int32_t track = 0;
};

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};
using output = std::unique_ptr<FILE, file_closer>;

int output_failure(const std::string &name)
{
    fprintf(stderr, "%s: %s\n", name.c_str(), strerror(errno));
    return exit_failed;
}

// The RIFF "WAVE" head up to the data chunk's size field. PCM gets the 16-byte format
// with its block size and byte rate from the track; any other format is copied from the
// file's stream format (18 bytes and its extra bytes).
std::vector<unsigned char> wav_header(const avi_handle *h, uint32_t data_bytes)
{
    int32_t t = h->current_track;
    const avi_audio_track &track = h->tracks[t];
    const unsigned char *stored = h->track_formats[t];
    std::vector<unsigned char> format(16);
    if (track.format != 1 && stored) {
        format.assign(stored, stored + 18 + get_u16_le(stored + 16));
    } else {
        uint32_t block = static_cast<uint32_t>(track.channels) * ((static_cast<uint32_t>(track.bits) + 7) / 8);
        format[0] = static_cast<unsigned char>(track.format);
        format[1] = static_cast<unsigned char>(track.format >> 8);
        format[2] = static_cast<unsigned char>(track.channels);
        format[3] = static_cast<unsigned char>(track.channels >> 8);
        put_u32_le(&format[4], static_cast<uint32_t>(track.rate));
        put_u32_le(&format[8], static_cast<uint32_t>(track.rate) * block);
        format[12] = static_cast<unsigned char>(block);
        format[13] = static_cast<unsigned char>(block >> 8);
        format[14] = static_cast<unsigned char>(track.bits);
        format[15] = static_cast<unsigned char>(track.bits >> 8);
    }
    uint32_t format_size = static_cast<uint32_t>(format.size());
    uint32_t format_padded = (format_size + 1) & ~1U;
    std::vector<unsigned char> head(12 + 8 + format_padded + 8, 0);
    memcpy(&head[0], "RIFF", 4);
    put_u32_le(&head[4], 4 + 8 + format_padded + 8 + data_bytes + (data_bytes & 1));
    memcpy(&head[8], "WAVE", 4);
    memcpy(&head[12], "fmt ", 4);
    put_u32_le(&head[16], format_size);
    memcpy(&head[20], format.data(), format.size());
    memcpy(&head[20 + format_padded], "data", 4);
    put_u32_le(&head[24 + format_padded], data_bytes);
    return head;
}

int extract_video(avi_handle *h, const options &o)
{
    output out(fopen(o.video_out.c_str(), "wb"));
    if (!out)
        return output_failure(o.video_out);
    std::vector<unsigned char> buffer;
    AVI_seek_video_frame(h, 0);
    for (int32_t n = 0; n < AVI_frame_count(h); ++n) {
        int64_t length = AVI_frame_length(h, n);
        if (length < 0 || length > INT32_MAX)
            return report_failure(o.path);
        buffer.resize(static_cast<size_t>(length));
        if (AVI_read_video_frame(h, buffer.data(), static_cast<int32_t>(length), nullptr) != length)
            return report_failure(o.path);
        if (fwrite(buffer.data(), 1, buffer.size(), out.get()) != buffer.size())
            return output_failure(o.video_out);
    }
    if (fclose(out.release()) != 0)
        return output_failure(o.video_out);
    return exit_ok;
}

int extract_audio(avi_handle *h, const options &o)
{
    if (AVI_select_audio_track(h, o.track) != 0) {
        fprintf(stderr, "%s: no audio track %d (the file has %d)\n", o.path.c_str(), o.track,
                AVI_track_count(h));
        return exit_failed;
    }
    output out(fopen(o.audio_out.c_str(), "wb"));
    if (!out)
        return output_failure(o.audio_out);
    uint32_t total = static_cast<uint32_t>(AVI_track_bytes(h));
    std::vector<unsigned char> head = wav_header(h, total);
    if (fwrite(head.data(), 1, head.size(), out.get()) != head.size())
        return output_failure(o.audio_out);
    if (total > 0) {
        std::vector<unsigned char> buffer(1 << 16);
        AVI_seek_audio_byte(h, 0);
        uint32_t done = 0;
        int32_t got;
        while ((got = AVI_read_audio_bytes(h, buffer.data(), static_cast<int32_t>(buffer.size()))) > 0) {
            if (fwrite(buffer.data(), 1, static_cast<size_t>(got), out.get()) != static_cast<size_t>(got))
                return output_failure(o.audio_out);
            done += static_cast<uint32_t>(got);
        }
        if (got < 0 || done != total)
            return report_failure(o.path);
        if (total & 1 && fputc(0, out.get()) == EOF)
            return output_failure(o.audio_out);
    }
    if (fclose(out.release()) != 0)
        return output_failure(o.audio_out);
    return exit_ok;
}

// Options with a value: --video OUT, --audio OUT, --track N.
bool parse(const arguments &args, options &o, std::string &problem)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        bool takes_value = a == "--video" || a == "--audio" || a == "--track";
        if (takes_value && i + 1 >= args.size()) {
            problem = a + " needs a value";
            return false;
        }
        if (a == "--video") {
            o.video_out = args[++i];
        } else if (a == "--audio") {
            o.audio_out = args[++i];
        } else if (a == "--track") {
            const std::string &v = args[++i];
            char *end = nullptr;
            long n = strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || n < 0 || n >= AVI_MAX_TRACKS) {
                problem = "--track takes a number from 0 to 7, not '" + v + "'";
                return false;
            }
            o.track = static_cast<int32_t>(n);
        } else if (o.path.empty() && a.rfind("--", 0) != 0) {
            o.path = a;
        } else {
            problem = "unexpected argument '" + a + "'";
            return false;
        }
    }
    if (o.path.empty())
        problem = "no file given";
    else if (o.video_out.empty() && o.audio_out.empty())
        problem = "nothing to extract: give --video or --audio";
    return problem.empty();
}

int run(const arguments &args)
{
    options o;
    std::string problem;
    if (!parse(args, o, problem))
        return usage_error(extract_command, problem);
    avi_file file = open_or_report(o.path);
    if (!file)
        return exit_failed;
    if (!o.video_out.empty() && extract_video(file.get(), o) != exit_ok)
        return exit_failed;
    if (!o.audio_out.empty() && extract_audio(file.get(), o) != exit_ok)
        return exit_failed;
    return exit_ok;
}

}  // namespace

const command extract_command = {
    "extract", "extract FILE [--video OUT.h264] [--audio OUT.wav] [--track N]",
    "the video frames as the stored stream, an audio track (0-based, default 0) as WAV",
    run};

}  // namespace mirvo_avi

// mirvo-avi extract: the video frames written one after the other, as the stream was
// stored (an H.264 Annex-B stream for our recordings), and an audio track as a WAV file;
// either may go to standard output ("-"). Every frame and chunk is checked against the
// file before an output is created, and an output left half-written by a failure is
// removed.
#include "common/byte_writer.h"
#include "progress.h"
#include "common/stream_units.h"
#include "tool_common.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace mirvo_avi {
namespace {

struct options {
    std::string video_out, audio_out;
    int32_t track = 0;
};

// An output file, or standard output for "-". Until kept, a regular file that it wrote is
// removed when the output goes out of scope, so that a failure leaves no partial file
// behind; anything else (a device, a FIFO) is never removed.
class output {
public:
    explicit output(std::string name) : name_(std::move(name)) {}
    ~output() { close_file(); }
    output(const output &) = delete;
    output &operator=(const output &) = delete;

    bool to_stdout() const { return name_ == "-"; }

    // Creates the file; refuses the input file itself (it would be truncated before it is read).
    bool open(const struct stat &input)
    {
        if (to_stdout()) {
            file_ = stdout;
            return buffered();
        }
        struct stat st;
        if (stat(name_.c_str(), &st) == 0 && st.st_dev == input.st_dev && st.st_ino == input.st_ino) {
            report(name_, "is the file being read; give another output");
            return false;
        }
        file_ = fopen(name_.c_str(), "wb");
        if (!file_)
            return failed();
        removable_ = fstat(fileno(file_), &st) == 0 && S_ISREG(st.st_mode);
        return buffered();
    }
    bool write(const void *data, size_t n) { return fwrite(data, 1, n, file_) == n || failed(); }
    // Makes sure that what was written arrived, and keeps it.
    bool keep()
    {
        bool arrived = to_stdout() ? fflush(stdout) == 0 : close_file(true);
        return arrived || failed();
    }

private:
    // Writes go out in blocks of 1 MiB rather than the file system's 4 KiB. Standard output
    // gets a buffer that outlives this output, as it is flushed again at exit.
    bool buffered()
    {
        static std::vector<char> for_stdout(size_t{1} << 20);
        std::vector<char> &buffer = to_stdout() ? for_stdout : buffer_;
        buffer.resize(size_t{1} << 20);
        setvbuf(file_, buffer.data(), _IOFBF, buffer.size());
        return true;
    }
    // Closes a file of ours (removing it unless kept and closed well); true when it closed well.
    bool close_file(bool keep = false)
    {
        if (!file_ || file_ == stdout)
            return true;
        bool closed = fclose(file_) == 0;
        file_ = nullptr;
        if (removable_ && (!keep || !closed)) {
            int cause = errno;
            unlink(name_.c_str());
            errno = cause;
        }
        return closed;
    }
    bool failed() const
    {
        report(to_stdout() ? "standard output" : name_, strerror(errno));
        return false;
    }

    std::string name_;
    FILE *file_ = nullptr;
    bool removable_ = false;
    std::vector<char> buffer_;
};

// The RIFF "WAVE" head up to the data chunk's size field. PCM gets the 16-byte format
// with its block size and byte rate from the track; any other format is copied from the
// file's stream format (18 bytes and its extra bytes).
std::vector<unsigned char> wav_header(const avi_handle *h, uint32_t data_bytes)
{
    int32_t stored_length = 0;
    const unsigned char *stored = AVI_track_format_bytes(h, &stored_length);
    auto format_tag = static_cast<uint32_t>(AVI_track_format(h));
    bool copied = format_tag != 1 && stored;
    uint32_t format_size = copied ? wave_format_bytes(get_u16_le(stored + 16)) : 16;
    uint32_t format_padded = (format_size + 1) & ~1U;
    std::vector<unsigned char> head(12 + 8 + format_padded + 8, 0);
    byte_writer w(head.data(), head.size());
    w.fourcc("RIFF").u32(4 + 8 + format_padded + 8 + data_bytes + (data_bytes & 1)).fourcc("WAVE");
    w.fourcc("fmt ").u32(format_size);
    if (copied) {
        w.bytes(stored, format_size).zeros(format_padded - format_size);
    } else {
        auto channels = static_cast<uint32_t>(AVI_track_channels(h));
        auto bits = static_cast<uint32_t>(AVI_track_bits(h));
        auto rate = static_cast<uint32_t>(AVI_track_rate(h));
        auto block = static_cast<uint32_t>(pcm_block_bytes(AVI_track_channels(h), AVI_track_bits(h)));
        w.u16(format_tag).u16(channels).u32(rate).u32(rate * block).u16(block).u16(bits);
    }
    w.fourcc("data").u32(data_bytes);
    return head;
}

// The bytes that extracting will read, after checking that every frame (and chunk of the
// chosen track) lies inside the file. -1 after a report otherwise.
int64_t bytes_to_extract(input_file &in, const options &o)
{
    avi_handle *h = in.handle.get();
    uint64_t total = 0;
    for (int32_t n = 0; !o.video_out.empty() && n < AVI_frame_count(h); ++n) {
        extent e{AVI_frame_file_offset(h, n), AVI_frame_length(h, n)};
        std::string problem = outside_file("video frame " + std::to_string(n), e, in.size);
        if (!problem.empty()) {
            report(in.path, problem);
            return -1;
        }
        total += static_cast<uint64_t>(e.length);
    }
    if (o.audio_out.empty())
        return static_cast<int64_t>(total);
    if (AVI_select_audio_track(h, o.track) != 0) {
        report(in.path, "no audio track " + std::to_string(o.track) + " (the file has " +
                            std::to_string(AVI_track_count(h)) + ")");
        return -1;
    }
    for (int32_t n = 0; n < AVI_track_chunks(h); ++n) {
        extent e{AVI_audio_chunk_file_offset(h, n), AVI_audio_chunk_length(h, n)};
        std::string what = "audio track " + std::to_string(o.track) + " chunk " + std::to_string(n);
        std::string problem = outside_file(what, e, in.size);
        if (!problem.empty()) {
            report(in.path, problem);
            return -1;
        }
    }
    return static_cast<int64_t>(total + static_cast<uint64_t>(std::max(AVI_track_bytes(h), 0)));
}

bool extract_video(input_file &in, output &out, const struct stat &input, progress_meter &meter,
                   uint64_t &done, uint64_t total)
{
    if (!out.open(input))
        return false;
    frame_buffer buffer;
    for (int32_t n = 0; n < AVI_frame_count(in.handle.get()); ++n) {
        std::string problem;
        int64_t length = read_frame(in, n, buffer, problem);
        if (length < 0) {
            report(in.path, problem);
            return false;
        }
        if (!out.write(buffer.data(), static_cast<size_t>(length)))
            return false;
        done += static_cast<uint64_t>(length);
        meter.update(done, total);
    }
    return out.keep();
}

bool extract_audio(input_file &in, output &out, const options &o, const struct stat &input,
                   progress_meter &meter, uint64_t &done, uint64_t total)
{
    avi_handle *h = in.handle.get();
    AVI_select_audio_track(h, o.track);
    if (!out.open(input))
        return false;
    uint32_t bytes = static_cast<uint32_t>(std::max(AVI_track_bytes(h), 0));
    std::vector<unsigned char> head = wav_header(h, bytes);
    if (!out.write(head.data(), head.size()))
        return false;
    if (bytes > 0) {
        frame_buffer buffer;
        uint32_t copied = 0;
        for (int32_t n = 0; n < AVI_track_chunks(h) && copied < bytes; ++n) {
            std::string problem, what = "audio track " + std::to_string(o.track) + " chunk " + std::to_string(n);
            extent e{AVI_audio_chunk_file_offset(h, n), AVI_audio_chunk_length(h, n)};
            int64_t got = read_extent(in, what, e, buffer, problem);
            if (got < 0)
                return report(in.path, problem), false;
            got = std::min<int64_t>(got, bytes - copied);  // the count the WAV header holds
            if (!out.write(buffer.data(), static_cast<size_t>(got)))
                return false;
            copied += static_cast<uint32_t>(got);
            done += static_cast<uint64_t>(got);
            meter.update(done, total);
        }
        if (copied != bytes) {
            report(in.path, "audio track " + std::to_string(o.track) + ": ends after " + std::to_string(copied) +
                                " of " + std::to_string(bytes) + " bytes");
            return false;
        }
        if (bytes & 1 && !out.write("", 1))
            return false;
    }
    return out.keep();
}

enum { option_video = 0x101, option_audio, option_track };

bool take_option(options &o, int code, const char *value, std::string &problem)
{
    if (code == option_track) {
        char *end = nullptr;
        errno = 0;
        long n = strtol(value, &end, 10);
        if (*value == '\0' || *end != '\0' || errno != 0 || n < 0 || n >= AVI_MAX_TRACKS) {
            problem = std::string("--track takes a number from 0 to 7, not '") + value + "'";
            return false;
        }
        o.track = static_cast<int32_t>(n);
        return true;
    }
    if (*value == '\0') {
        problem = std::string(code == option_video ? "--video" : "--audio") + " needs a file name";
        return false;
    }
    (code == option_video ? o.video_out : o.audio_out) = value;
    return true;
}

int run(int argc, char **argv)
{
    static const option own[] = {{"video", required_argument, nullptr, option_video},
                                 {"audio", required_argument, nullptr, option_audio},
                                 {"track", required_argument, nullptr, option_track},
                                 {nullptr, 0, nullptr, 0}};
    options o;
    std::string path;
    auto take = [&](int code, const char *value, std::string &problem) { return take_option(o, code, value, problem); };
    operands given;
    int end = parse_options(extract_command, argc, argv, own, take, given);
    if (end >= 0)
        return end;
    path = given.files[0];
    if (o.video_out.empty() && o.audio_out.empty())
        return usage_error(extract_command, "nothing to extract: give --video or --audio");
    if (o.video_out == o.audio_out)
        return usage_error(extract_command, o.video_out == "-" ? "only one of --video and --audio can go to standard output"
                                                               : "--video and --audio need different files");
    if ((o.video_out == "-" || o.audio_out == "-") && isatty(STDOUT_FILENO))
        return usage_error(extract_command, "standard output is a terminal: redirect it, or give a file");

    input_file in;
    if (!open_input(path, in))
        return exit_failed;
    struct stat input{};
    fstat(in.fd, &input);
    int64_t total = bytes_to_extract(in, o);
    if (total < 0)
        return exit_failed;
    progress_meter meter(in.path);
    uint64_t done = 0;
    output video(o.video_out), audio(o.audio_out);
    if (!o.video_out.empty() && !extract_video(in, video, input, meter, done, static_cast<uint64_t>(total)))
        return exit_failed;
    if (!o.audio_out.empty() && !extract_audio(in, audio, o, input, meter, done, static_cast<uint64_t>(total)))
        return exit_failed;
    return exit_ok;
}

}  // namespace

const command extract_command = {
    "extract", "extract FILE [--video OUT.h264] [--audio OUT.wav] [--track N]",
    "the video frames as the stored stream, an audio track (0-based, default 0) as WAV;\n"
    "      \"-\" for OUT writes to standard output. Outputs are written only when every frame\n"
    "      and chunk lies inside the file, and removed again when extracting fails",
    run, command::one_file};

}  // namespace mirvo_avi

// Loading the stand-in's clips and audio (see media.h). Every size read from a WAV file is
// checked against the bytes that are really there before it is used.
#include "media.h"

#include "common/le_bytes.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <numbers>
#include <unistd.h>

namespace qel {
namespace {

text_line read_whole_file(const char *path, byte_array &out)
{
    out.clear();
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return format_line("cannot read %s: %s", path, strerror(errno));
    constexpr size_t piece = 65536;
    ssize_t got = 0;
    do {
        size_t at = out.size();
        if (!out.resize(at + piece)) {
            close(fd);
            return format_line("cannot read %s: out of memory", path);
        }
        got = read(fd, out.data() + at, piece);
        out.resize(at + (got > 0 ? static_cast<size_t>(got) : 0));
    } while (got > 0 || (got < 0 && errno == EINTR));
    int saved = errno;
    close(fd);
    if (got < 0)
        return format_line("cannot read %s: %s", path, strerror(saved));
    return {};
}

bool has_fourcc(const unsigned char *at, const char *fourcc)
{
    return memcmp(at, fourcc, 4) == 0;
}

// Checks the "fmt " chunk's body: PCM, 1 channel, 8000 Hz, 16 bits.
bool is_camera_pcm(const unsigned char *fmt, uint32_t size)
{
    return size >= 16 && get_u16_le(fmt) == 1 && get_u16_le(fmt + 2) == 1 &&
           get_u32_le(fmt + 4) == 8000 && get_u16_le(fmt + 14) == 16;
}

}  // namespace

text_line load_clip(const char *path, clip &out)
{
    text_line error = read_whole_file(path, out.bytes);
    if (!error.empty())
        return error;
    if (!split_access_units(out.bytes, out.units))
        return format_line("%s: out of memory for its pictures", path);
    if (out.units.empty())
        return format_line("%s holds no H.264 picture", path);
    for (const access_unit &unit : out.units)
        if (unit.key)
            return {};
    return format_line("%s holds no H.264 key frame", path);
}

bool tone_pcm(byte_array &pcm)
{
    constexpr int rate = 8000, frequency = 440, level = 6000;
    if (!pcm.resize(size_t{rate} * 2))
        return false;
    for (size_t n = 0; n < rate; ++n) {
        double phase = 2 * std::numbers::pi * frequency * static_cast<double>(n) / rate;
        auto sample = static_cast<uint16_t>(static_cast<int16_t>(lround(level * sin(phase))));
        pcm[2 * n] = static_cast<unsigned char>(sample & 0xff);
        pcm[2 * n + 1] = static_cast<unsigned char>(sample >> 8);
    }
    return true;
}

text_line load_wav_pcm(const char *path, byte_array &pcm)
{
    byte_array file;
    text_line error = read_whole_file(path, file);
    if (!error.empty())
        return error;
    if (file.size() < 12 || !has_fourcc(&file[0], "RIFF") || !has_fourcc(&file[8], "WAVE"))
        return format_line("%s is not a WAV file", path);
    bool format_ok = false;
    for (size_t at = 12; at + 8 <= file.size();) {
        const unsigned char *chunk = &file[at];
        uint32_t size = get_u32_le(chunk + 4);
        size_t body = at + 8;
        if (size > file.size() - body)
            return format_line("%s is cut short inside its '%.4s' chunk", path,
                               reinterpret_cast<const char *>(chunk));
        if (has_fourcc(chunk, "fmt ")) {
            format_ok = is_camera_pcm(&file[body], size);
            if (!format_ok)
                return format_line("%s is not PCM of 1 channel, 8000 Hz, 16 bits", path);
        } else if (has_fourcc(chunk, "data")) {
            if (!format_ok)
                return format_line("%s has no format chunk before its samples", path);
            if (size == 0)
                return format_line("%s holds no samples", path);
            size_t frames = (size + audio_frame_bytes - 1) / audio_frame_bytes;
            pcm.clear();
            if (!pcm.resize(frames * audio_frame_bytes))
                return format_line("%s: out of memory for its samples", path);
            memcpy(pcm.data(), &file[body], size);
            return {};
        }
        at = body + size + (size & 1);
    }
    return format_line("%s holds no samples", path);
}

}  // namespace qel

// Loading the stand-in's clips and audio (see media.h). Every size read from a WAV file is
// checked against the bytes that are really there before it is used.
#include "media.h"

#include "avi/le_bytes.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>

namespace qel {
namespace {

std::string read_whole_file(const std::string &path, byte_vector &out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "cannot read " + path + ": " + strerror(errno);
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad())
        return "cannot read " + path + ": " + strerror(errno);
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

std::string load_clip(const std::string &path, clip &out)
{
    std::string error = read_whole_file(path, out.bytes);
    if (!error.empty())
        return error;
    out.units = split_access_units(out.bytes);
    if (out.units.empty())
        return path + " holds no H.264 picture";
    for (const access_unit &unit : out.units)
        if (unit.key)
            return {};
    return path + " holds no H.264 key frame";
}

byte_vector tone_pcm()
{
    constexpr int rate = 8000, frequency = 440, level = 6000;
    byte_vector pcm(size_t{rate} * 2);
    for (size_t n = 0; n < rate; ++n) {
        double phase = 2 * std::numbers::pi * frequency * static_cast<double>(n) / rate;
        auto sample = static_cast<uint16_t>(static_cast<int16_t>(std::lround(level * std::sin(phase))));
        pcm[2 * n] = static_cast<unsigned char>(sample & 0xff);
        pcm[2 * n + 1] = static_cast<unsigned char>(sample >> 8);
    }
    return pcm;
}

std::string load_wav_pcm(const std::string &path, byte_vector &pcm)
{
    byte_vector file;
    std::string error = read_whole_file(path, file);
    if (!error.empty())
        return error;
    if (file.size() < 12 || !has_fourcc(&file[0], "RIFF") || !has_fourcc(&file[8], "WAVE"))
        return path + " is not a WAV file";
    bool format_ok = false;
    for (size_t at = 12; at + 8 <= file.size();) {
        const unsigned char *chunk = &file[at];
        uint32_t size = get_u32_le(chunk + 4);
        size_t body = at + 8;
        if (size > file.size() - body)
            return path + " is cut short inside its '" + std::string(chunk, chunk + 4) + "' chunk";
        if (has_fourcc(chunk, "fmt ")) {
            format_ok = is_camera_pcm(&file[body], size);
            if (!format_ok)
                return path + " is not PCM of 1 channel, 8000 Hz, 16 bits";
        } else if (has_fourcc(chunk, "data")) {
            if (!format_ok)
                return path + " has no format chunk before its samples";
            if (size == 0)
                return path + " holds no samples";
            size_t frames = (size + audio_frame_bytes - 1) / audio_frame_bytes;
            pcm.assign(frames * audio_frame_bytes, 0);
            memcpy(pcm.data(), &file[body], size);
            return {};
        }
        at = body + size + (size & 1);
    }
    return path + " holds no samples";
}

}  // namespace qel

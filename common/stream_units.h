// What a recording's streams are counted in, for the AVI module and the tools alike: the
// time of a video frame at the stream's rate, and the bytes of one sample of every channel
// of PCM audio. Header-only.
#pragma once

#include <cstdint>

// When frame n starts at fps frames a second, which is also how long n frames last: n / fps;
// 0 without a frame rate (fps not above 0).
inline double frame_time(int64_t n, double fps)
{
    return fps > 0 ? static_cast<double>(n) / fps : 0.0;
}

// The bytes of an audio format record (WAVEFORMATEX): its 18-byte head, then the extra
// bytes that the head's last field (at 16) counts.
inline uint32_t wave_format_bytes(uint32_t extra_size)
{
    return 18 + extra_size;
}

// Whole bytes of one sample of every channel: what a PCM block holds, and what its byte
// rate counts per sample time. The module's block size (AVI_audio_block_size) is this,
// raised to at least 4 bytes for the stream header it writes.
inline int64_t pcm_block_bytes(int64_t channels, int64_t bits)
{
    return (bits + 7) / 8 * channels;
}

// Hand-made AVI files for the reader's tests: chunks, lists, stream headers and formats,
// index entries, laid out byte by byte, so that a test can build exactly the damaged or
// unusual file it needs. Everything is a std::string of bytes, joined with +.
#pragma once

#include "test_support.h"

#include <cstdint>
#include <string>
#include <vector>

namespace mirvo_test::avi_build {

// A chunk: id, size (the data's length unless given), data, and a pad byte for odd data.
inline std::string chunk(const std::string &id, const std::string &data, int64_t size = -1)
{
    uint32_t stated = size < 0 ? static_cast<uint32_t>(data.size()) : static_cast<uint32_t>(size);
    return id + le32(stated) + data + (data.size() % 2 ? std::string(1, '\0') : "");
}

inline std::string list(const std::string &type, const std::string &children, int64_t size = -1)
{
    uint32_t stated = size < 0 ? static_cast<uint32_t>(4 + children.size()) : static_cast<uint32_t>(size);
    return "LIST" + le32(stated) + type + children;
}

inline std::string riff(const std::string &children, const std::string &form = "AVI ",
                        const std::string &signature = "RIFF")
{
    return signature + le32(static_cast<uint32_t>(4 + children.size())) + form + children;
}

// A 56-byte stream header: type, handler, scale, rate, length.
inline std::string strh(const std::string &type, const std::string &handler, uint32_t scale,
                        uint32_t rate, uint32_t length)
{
    std::string d = type + handler + le32(0) + le32(0) + le32(0) + le32(scale) + le32(rate) +
                    le32(0) + le32(length) + le32(0) + le32(0xffffffffU) + le32(0) +
                    std::string(8, '\0');
    return chunk("strh", d);
}

// A 40-byte BITMAPINFOHEADER.
inline std::string bitmap_format(uint32_t width, uint32_t height, const std::string &code)
{
    std::string d = le32(40) + le32(width) + le32(height) + le16(1) + le16(24) + code +
                    le32(width * height * 3) + std::string(16, '\0');
    return chunk("strf", d);
}

// A WAVEFORMATEX with extra_size bytes of extra data `extra` (18 + extra.size() bytes).
inline std::string wave_format(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits,
                               const std::string &extra = "")
{
    uint16_t align = static_cast<uint16_t>(channels * ((bits + 7) / 8));
    std::string d = le16(tag) + le16(channels) + le32(rate) + le32(rate * align) + le16(align) +
                    le16(bits) + le16(static_cast<uint16_t>(extra.size())) + extra;
    return chunk("strf", d);
}

inline std::string video_stream(uint32_t width = 160, uint32_t height = 120, uint32_t frames = 0)
{
    return list("strl", strh("vids", "H264", 1, 25, frames) + bitmap_format(width, height, "H264"));
}

inline std::string audio_stream(uint32_t rate = 8000, uint16_t bits = 16, uint16_t channels = 1)
{
    return list("strl", strh("auds", std::string(4, '\0'), 1, rate, 0) +
                            wave_format(1, channels, rate, bits));
}

inline std::string header_list(const std::string &streams)
{
    std::string avih = chunk("avih", std::string(56, '\0'));
    return list("hdrl", avih + streams);
}

struct index_entry {
    std::string id;
    uint32_t flags, offset, size;
};

inline std::string index(const std::vector<index_entry> &entries)
{
    std::string d;
    for (const index_entry &e : entries)
        d += e.id + le32(e.flags) + le32(e.offset) + le32(e.size);
    return chunk("idx1", d);
}

// A file with a video stream and `tracks` audio streams, the given "movi" children and an
// optional index; movi_at() tells where the "movi" children start in it.
inline std::string file(const std::string &movi_children, int tracks = 0,
                        const std::string &after_movi = "")
{
    std::string streams = video_stream();
    for (int t = 0; t < tracks; ++t)
        streams += audio_stream();
    return riff(header_list(streams) + list("movi", movi_children) + after_movi);
}

// File offset of the first "movi" child in a file made by file() with that many tracks.
inline size_t movi_at(int tracks = 0)
{
    return file("", tracks).size();
}

inline bytes to_bytes(const std::string &s)
{
    return bytes(s.begin(), s.end());
}

}  // namespace mirvo_test::avi_build

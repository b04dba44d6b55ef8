// mirvo-avi frames: one line per video frame and audio chunk in index order, with the
// file offset of its data, its length, its key flag and a CRC-32 (zlib) of its bytes.
#include "tool_common.h"

#include <cstdio>
#include <zlib.h>

namespace mirvo_avi {
namespace {

struct entry_line {
    std::string stream;
    int32_t number;
    int64_t offset, length;
    int32_t key;
};

// Reads the next entry of a stream into buffer: video frames and each track's chunks are
// read in index order, so sequential reads return exactly the entry's bytes.
bool read_entry(avi_handle *h, int32_t stream, std::vector<unsigned char> &buffer, int64_t length)
{
    buffer.resize(static_cast<size_t>(length));
    if (stream == 0)
        return AVI_read_video_frame(h, buffer.data(), static_cast<int32_t>(length), nullptr) == length;
    return AVI_read_audio_bytes(h, buffer.data(), static_cast<int32_t>(length)) == length;
}

int run(const arguments &args)
{
    if (args.size() != 1 || args[0].rfind("--", 0) == 0)
        return usage_error(frames_command, args.empty() ? "no file given" : "expected one file");
    const std::string &path = args[0];
    avi_file file = open_or_report(path);
    if (!file)
        return exit_failed;
    avi_handle *h = file.get();

    int32_t video = 0;
    int32_t chunk[AVI_MAX_TRACKS] = {};
    std::vector<unsigned char> buffer;
    printf("# stream number data_offset length key crc32\n");
    for (int32_t i = 0; i < h->index_count; ++i) {
        int32_t stream = AVI_index_entry_stream(h, i);
        if (stream < 0)
            continue;
        entry_line line;
        if (stream == 0) {
            line = {"video", video, AVI_frame_file_offset(h, video), AVI_frame_length(h, video),
                    AVI_frame_is_key(h, video)};
            video += 1;
        } else {
            int t = stream - 1;
            AVI_select_audio_track(h, t);
            line = {"audio" + std::to_string(t), chunk[t], AVI_audio_chunk_file_offset(h, chunk[t]),
                    AVI_audio_chunk_length(h, chunk[t]), 0};
            chunk[t] += 1;
        }
        if (line.length > INT32_MAX || !read_entry(h, stream, buffer, line.length))
            return report_failure(path);
        uLong crc = crc32(crc32(0L, Z_NULL, 0), buffer.data(), static_cast<uInt>(buffer.size()));
        printf("%s %d %lld %lld %d %08lx\n", line.stream.c_str(), line.number,
               static_cast<long long>(line.offset), static_cast<long long>(line.length), line.key,
               static_cast<unsigned long>(crc));
    }
    return exit_ok;
}

}  // namespace

const command frames_command = {
    "frames", "frames FILE",
    "one line per video frame and audio chunk in index order: stream, number, data offset,\n"
    "      length, key flag, CRC-32 of the bytes",
    run};

}  // namespace mirvo_avi

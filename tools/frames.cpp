// mirvo-avi frames: one line per video frame and audio chunk in index order, with the
// file offset of its data, its length, its key flag and a CRC-32 (zlib) of its bytes; as
// text or as a JSON array. Every entry is checked against the file before the first line.
#include "progress.h"
#include "tool_common.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <zlib.h>

namespace mirvo_avi {
namespace {

struct entry_line {
    int32_t stream;  // 0 video, 1 + t audio track t
    int32_t number;
    extent where;
    bool key;
};

std::string stream_name(int32_t stream)
{
    return stream == 0 ? "video" : "audio" + std::to_string(stream - 1);
}

std::string entry_name(const entry_line &e)
{
    return e.stream == 0 ? "video frame " + std::to_string(e.number)
                         : "audio track " + std::to_string(e.stream - 1) + " chunk " + std::to_string(e.number);
}

// The entries in index order. Fails with the reason when one lies outside the file.
bool list_entries(input_file &in, std::vector<entry_line> &entries, std::string &problem)
{
    avi_handle *h = in.handle.get();
    int32_t video = 0;
    int32_t chunk[AVI_MAX_TRACKS] = {};
    for (int32_t i = 0; i < h->index_count; ++i) {
        int32_t stream = AVI_index_entry_stream(h, i);
        if (stream < 0)
            continue;
        entry_line e{};
        if (stream == 0) {
            e = {0, video, {AVI_frame_file_offset(h, video), AVI_frame_length(h, video)}, is_key_frame(h, video)};
            video += 1;
        } else {
            int32_t t = stream - 1;
            AVI_select_audio_track(h, t);
            e = {stream, chunk[t], {AVI_audio_chunk_file_offset(h, chunk[t]), AVI_audio_chunk_length(h, chunk[t])}, false};
            chunk[t] += 1;
        }
        problem = outside_file(entry_name(e), e.where, in.size);
        if (!problem.empty())
            return false;
        entries.push_back(e);
    }
    return true;
}

// Reads the next entry of a stream: video frames and each track's chunks are read in index
// order, so sequential reads return exactly the entry's bytes.
bool read_entry(avi_handle *h, const entry_line &e, unsigned char *buffer)
{
    auto length = static_cast<int32_t>(e.where.length);
    avi_error = AVI_ERROR_NONE;
    errno = 0;
    if (e.stream == 0) {
        AVI_seek_video_frame(h, e.number);
        return AVI_read_video_frame(h, buffer, length, nullptr) == length;
    }
    AVI_select_audio_track(h, e.stream - 1);
    return AVI_read_audio_bytes(h, buffer, length) == length;
}

void print_line(const entry_line &e, unsigned long crc, bool as_json, bool first)
{
    auto offset = static_cast<long long>(e.where.offset), length = static_cast<long long>(e.where.length);
    if (as_json)
        printf("%s\n  {\"stream\": \"%s\", \"number\": %d, \"offset\": %lld, \"length\": %lld, \"key\": %s, "
               "\"crc32\": \"%08lx\"}",
               first ? "" : ",", stream_name(e.stream).c_str(), e.number, offset, length,
               e.key ? "true" : "false", crc);
    else
        printf("%s %d %lld %lld %d %08lx\n", stream_name(e.stream).c_str(), e.number, offset, length,
               e.key ? 1 : 0, crc);
}

int run(int argc, char **argv)
{
    bool as_json = false;
    std::string path;
    int end = parse_json_option(frames_command, argc, argv, as_json, path);
    if (end >= 0)
        return end;
    input_file in;
    if (!open_input(path, in))
        return exit_failed;

    std::vector<entry_line> entries;
    std::string problem;
    if (!list_entries(in, entries, problem))
        return report(path, problem);
    uint64_t total = 0;
    int64_t longest = 0;
    for (const entry_line &e : entries) {
        total += static_cast<uint64_t>(e.where.length);
        longest = std::max(longest, e.where.length);
    }
    frame_buffer buffer;
    if (longest > INT32_MAX || !buffer.reserve(static_cast<size_t>(longest)))
        return report(path, "no memory for a chunk of " + std::to_string(longest) + " bytes");

    progress_meter meter(path, true);
    printf(as_json ? "[" : "# stream number data_offset length key crc32\n");
    uint64_t done = 0;
    for (size_t i = 0; i < entries.size() && !ferror(stdout); ++i) {
        const entry_line &e = entries[i];
        if (!read_entry(in.handle.get(), e, buffer.data())) {
            problem = entry_name(e) + ": " + module_reason("", "could not be read");
            break;
        }
        uLong crc = crc32(crc32(0L, Z_NULL, 0), buffer.data(), static_cast<uInt>(e.where.length));
        print_line(e, crc, as_json, i == 0);
        done += static_cast<uint64_t>(e.where.length);
        meter.update(done, total);
    }
    meter.finish();
    if (as_json)
        printf("\n]\n");  // closed also after a failure, so that what was listed stays valid JSON
    return problem.empty() ? exit_ok : report(path, problem);
}

}  // namespace

const command frames_command = {
    "frames", "frames [--json] FILE",
    "one line per video frame and audio chunk in index order: stream, number, data offset,\n"
    "      length, key flag, CRC-32 of the bytes; --json prints a JSON array of them",
    run};

}  // namespace mirvo_avi

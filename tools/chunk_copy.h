// What join and cut share: the finished recordings they read, checked as repair would check
// them, the shape of their streams, and a new file written through the AVI module from their
// chunks, removed again unless it was finished.
#pragma once

#include "index_entries.h"
#include "tool_common.h"

#include <string>
#include <vector>

namespace mirvo_avi {

// The streams of a file as a writer declares them.
struct stream_shape {
    struct track {
        int32_t channels, rate, bits, format, bitrate;
    };
    std::string codec;
    int32_t width = 0, height = 0;
    double fps = 0;
    std::vector<track> tracks;
};

// A finished recording to copy from: read with its index, every entry inside the file.
struct source_file {
    input_file in;
    std::vector<entry_line> entries;
    stream_shape shape;
};

// Opens path as a source; refuses on one line a file that is not finished (cut off: repair
// it first) or whose index names bytes outside it.
bool open_source(const std::string &path, source_file &source);

// Why b's streams differ from a's ("its video is 640x480, not 640x360"), or "" when they match.
std::string shape_difference(const stream_shape &a, const stream_shape &b);

// Whether two entries hold the same bytes (both read whole); false with problem set when one
// cannot be read.
bool same_bytes(source_file &a, const entry_line &ea, source_file &b, const entry_line &eb, std::string &problem);

// A new recording written through the AVI module. It refuses a name that exists already (a
// recording is never overwritten), and removes what it wrote unless finish() succeeded.
class copy_writer {
public:
    explicit copy_writer(std::string path) : path_(std::move(path)) {}
    ~copy_writer();
    copy_writer(const copy_writer &) = delete;
    copy_writer &operator=(const copy_writer &) = delete;

    bool create(const stream_shape &shape);
    // Appends an entry of source: a video frame that shows the same chunk as the video frame
    // copied just before it is written as a repeat, as the writer stored it.
    bool copy(source_file &source, const entry_line &e);
    bool finish();

private:
    bool failed(const std::string &reason);

    std::string path_;
    avi_handle *out_ = nullptr;
    bool created_ = false, finished_ = false;
    const source_file *last_source_ = nullptr;
    int64_t last_video_offset_ = -1;
    frame_buffer buffer_;
};

}  // namespace mirvo_avi

// The media entries of a file's index in index order: which stream, which frame or chunk of
// it, where its bytes lie and its key flag, each checked against the file's size. What frames
// lists, and what join and cut copy.
#pragma once

#include "tool_common.h"

#include <string>
#include <vector>

namespace mirvo_avi {

struct entry_line {
    int32_t stream;  // 0 video, 1 + t audio track t
    int32_t number;  // among the entries of its stream
    extent where;
    bool key;
};

// "video", "audio0", ...
std::string stream_name(int32_t stream);

// "video frame 3", "audio track 0 chunk 7": for messages.
std::string entry_name(const entry_line &e);

// The entries in index order. Fails with the reason when one lies outside the file.
bool list_entries(input_file &in, std::vector<entry_line> &entries, std::string &problem);

}  // namespace mirvo_avi

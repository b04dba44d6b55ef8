// The media entries of an index in index order (see index_entries.h).
#include "index_entries.h"

namespace mirvo_avi {

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
    for (int32_t i = 0, n = AVI_index_count(h); i < n; ++i) {
        int32_t stream = AVI_index_entry_stream(h, i);
        if (stream < 0)
            continue;
        entry_line e{};
        if (stream == 0) {
            e = {0, video, {AVI_frame_file_offset(h, video), AVI_frame_length(h, video)}, AVI_frame_is_key(h, video) == 1};
            video += 1;
        } else {
            int32_t t = stream - 1;
            AVI_select_audio_track(h, t);
            e = {stream, chunk[t], {AVI_audio_chunk_file_offset(h, chunk[t]), AVI_audio_chunk_length(h, chunk[t])}, false};
            chunk[t] += 1;
        }
        problem = outside_file({}, e.where, in.size);  // named only when it is
        if (!problem.empty())
            return problem.insert(0, entry_name(e)), false;
        entries.push_back(e);
    }
    return true;
}

}  // namespace mirvo_avi

// Planning the walk over a file that was never finished: a recording of this writer is
// walked strictly (its media chunks one after the other, nothing else) and only as far as
// its newest verified checkpoint; another writer's file keeps the lenient walk.
#include "avi/recovery/avi_recovery.h"

#include <cstring>

avi_handle avi_detail::described_streams(const avi_handle &r)
{
    avi_handle w{};
    w.mode = AVI_MODE_WRITE;
    w.width = r.width;
    w.height = r.height;
    w.fps = r.fps;
    memcpy(w.compressor, r.compressor, sizeof w.compressor);
    w.track_count = r.track_count;
    for (int t = 0; t < r.track_count; ++t) {
        w.tracks[t].format = r.tracks[t].format;
        w.tracks[t].channels = r.tracks[t].channels;
        w.tracks[t].rate = r.tracks[t].rate;
        w.tracks[t].bits = r.tracks[t].bits;
        w.tracks[t].bitrate = r.tracks[t].bitrate;
    }
    return w;
}

namespace {

// Whether the header region (read into `in_file`) is the one this writer writes for these
// streams, while recording or after a close, counts, sizes and checkpoints apart. Only then
// may it be rewritten: a header of another writer may hold more than this writer can
// describe.
// Recordings made before PCM was counted in whole samples are this writer's too: their
// audio unit fields, when all hold the old unit, are taken for the new one before comparing.
void accept_legacy_audio_units(const avi_handle &streams, avi_detail::header_bytes &found)
{
    using namespace avi_detail::header_at;
    for (int t = 0; t < streams.track_count; ++t) {
        unsigned char *list = found.data() + audio_lists + ptrdiff_t{audio_list_bytes} * t;
        uint32_t old = avi_detail::legacy_audio_unit(streams, t), now = avi_detail::audio_unit(streams, t);
        bool legacy = true;
        for (int at : audio_unit_fields_in_list)
            legacy = legacy && get_u16_le(list + at) == old;
        if (!legacy || old == now)
            continue;
        for (int at : audio_unit_fields_in_list)
            put_u16_le(list + at, now);
    }
}

bool written_by_this_writer(const avi_handle &r, avi_detail::file_scan &s,
                            avi_detail::header_bytes &in_file)
{
    if (r.movi_offset != avi_detail::header_at::first_chunk ||
        !s.read_at(0, in_file.data(), AVI_HEADER_BYTES))
        return false;
    avi_handle streams = avi_detail::described_streams(r);
    avi_detail::header_bytes found = in_file;
    avi_detail::clear_count_fields(found, streams.track_count);
    accept_legacy_audio_units(streams, found);
    auto matches = [&](const avi_detail::final_header_values *closed) {
        avi_detail::header_bytes expected;
        avi_detail::build_header(streams, closed, expected);
        avi_detail::clear_count_fields(expected, streams.track_count);
        return expected == found;
    };
    const avi_detail::final_header_values any_close{0, 0, true};
    return matches(nullptr) || matches(&any_close);
}

}  // namespace

bool avi_detail::is_recording_chunk(const avi_handle &r, const unsigned char *id)
{
    if (memcmp(id, r.video_tag, 4) == 0)
        return true;
    int tracks = r.track_count > 0 ? r.track_count : 1;
    return id[0] == '0' && id[1] >= '1' && id[1] < '1' + tracks && id[2] == 'w' && id[3] == 'b';
}

avi_detail::recovery_plan avi_detail::plan_recovery(const avi_handle &r, file_scan &s)
{
    recovery_plan plan;
    header_bytes header;
    plan.ours = written_by_this_writer(r, s, header);
    if (!plan.ours)
        return plan;
    plan.rules.strict = true;
    plan.trusted = find_trusted_data(s, header);
    const trusted_data &t = plan.trusted;
    plan.rules.start_codes = is_h264_code(r.compressor);
    if (t.carried && t.used == 0) {  // nothing verified: nothing is known to be the recording's
        plan.rules.end = static_cast<uint32_t>(r.movi_offset);
        return plan;
    }
    // Without checkpoints the chunks count as far as they read as whole; with one, as far as
    // it verifies, and past it when nothing can have torn or left stale what followed.
    plan.rules.verified_end = t.end;
    if (t.close_began)  // its header torn, perhaps both slots cleared: the close had synced all
        plan.past_checkpoint = AVI_PAST_CLOSE_SYNCED;
    else if (t.same_boot && t.used == t.newest)
        plan.past_checkpoint = AVI_PAST_SAME_BOOT;
    else if (t.carried)
        plan.rules.end = t.end;
    plan.rules.written_past = plan.past_checkpoint != AVI_PAST_NOTHING;
    return plan;
}

int32_t avi_detail::count_recording_chunks(const avi_handle &r, file_scan &s, uint64_t at)
{
    int32_t found = 0;
    chunk c;
    s.move_to(at);
    while (next_chunk(s, c) == walk_step::chunk && !c.is_list && is_recording_chunk(r, c.id) &&
           (s.end() == no_end || c.at + 8 + c.size <= s.end())) {
        found += 1;
        skip_chunk(s, c);
    }
    return found;
}

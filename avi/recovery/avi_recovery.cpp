// The walk that rebuilds the index of a file never finished, and its verdict. A recording
// of this writer holds nothing but its media chunks one after the other, so its walk is
// strict: it ends at the first chunk that is not one of the recording's (zeros, an index,
// bytes of some other file), and at the end of the data its newest verified checkpoint
// covers unless nothing past it can have been torn or left stale. Another writer's file is
// walked leniently: lists are entered and chunks of no stream skipped.
#include "avi/recovery/avi_recovery.h"

#include <cstring>

using avi_detail::chunk;
using avi_detail::file_scan;
using avi_detail::no_end;

namespace {

// How the walk goes, from what the header region and its checkpoints say.
struct walk_rules {
    bool strict = false;        // this writer's recording
    uint64_t end = no_end;      // where what is known to be the recording's ends
    uint64_t verified_end = 0;  // where the data a checkpoint verified ends
    bool written_past = false;  // past it too, every byte is as the writer left it
    // Past the data a checkpoint verified, an H.264 video chunk must also begin with a start
    // code, as every access unit does: an index entry read as a chunk head does not.
    bool start_codes = false;
};

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

// Whether the header region (read into `in_file`) is the one this writer writes for these
// streams, while recording or after a close, counts, sizes and checkpoints apart. Only then
// may it be rewritten: a header of another writer may hold more than this writer can
// describe.
bool written_by_this_writer(const avi_handle &r, file_scan &s, avi_detail::header_bytes &in_file)
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
        if (!avi_detail::build_header(streams, closed, expected))
            return false;
        avi_detail::clear_count_fields(expected, streams.track_count);
        return expected == found;
    };
    const avi_detail::final_header_values any_close{0, 0, true};
    return matches(nullptr) || matches(&any_close);
}

bool is_media_id(const unsigned char *id)
{
    unsigned char third = avi_detail::ascii_lower(id[2]), fourth = avi_detail::ascii_lower(id[3]);
    return (third == 'd' && (fourth == 'b' || fourth == 'c')) || (third == 'w' && fourth == 'b');
}

// Whether the data at the scan's position, `size` bytes, holds an H.264 IDR slice. Reads
// from the buffer piece by piece and stops at the first one found.
bool holds_idr(file_scan &s, uint32_t size)
{
    avi_detail::idr_search search;
    const unsigned char *data;
    uint32_t n;
    for (uint32_t left = size; left > 0 && !search.found && (n = s.look(data, left)) > 0; left -= n) {
        avi_detail::search_idr(search, data, n);
        s.skip(n);
    }
    return search.found;
}

// Whether the data at the scan's position begins with an H.264 start code (00 00 01, or
// 00 00 00 01), as every access unit of an Annex-B stream does.
bool starts_with_start_code(file_scan &s)
{
    const unsigned char *data;
    uint32_t n = s.look(data, 4);
    return (n >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1) ||
           (n >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1);
}

// Whether an empty chunk is a filler: a video chunk that holds the last picture for one
// more frame time. Within data known to be the writer's it is; elsewhere an index entry read
// as a chunk head looks just like one ("00db", flags 0 as its size), but what follows a
// filler is the next chunk's id, and what follows such an entry is its offset field.
bool is_filler(const avi_handle &h, file_scan &s, const chunk &c, const walk_rules &rules)
{
    if (avi_detail::chunk_stream(h, c.id) != 0)
        return false;
    if (c.at + 8 <= rules.verified_end || rules.written_past)
        return true;
    const unsigned char *next;
    return s.look(next, 4) == 4 && avi_detail::is_recording_chunk(h, next);
}

bool whole_in_file(const file_scan &s, const chunk &c)
{
    return s.end() == no_end || c.at + 8 + c.size <= s.end();
}

// Whether c, whose head the scan has just read, is a chunk of this writer's recording: one
// of its streams' media chunks (not a list), empty only as a filler, and, past the verified
// data, an H.264 frame that begins as one.
bool is_chunk_of_recording(const avi_handle &r, file_scan &s, const chunk &c, const walk_rules &rules)
{
    if (c.is_list || !avi_detail::is_recording_chunk(r, c.id))
        return false;
    if (c.size == 0)
        return is_filler(r, s, c, rules);
    bool check_start = rules.start_codes && c.at >= rules.verified_end && whole_in_file(s, c) &&
                       avi_detail::chunk_stream(r, c.id) == 0;
    return !check_start || starts_with_start_code(s);
}

// Why a walk ended where it did.
struct walk_end {
    int32_t reason = AVI_STOP_END_OF_FILE;
    uint64_t at = 0;  // where the last chunk kept ends
};

// An absolute index of the media chunks from "movi" on, in file order, found by the walk
// under `rules`; a chunk that the file cuts short ends the walk without an entry. With
// find_key_frames the video chunks holding an H.264 IDR slice are flagged key frames.
// Reports its progress. Returns 0 or AVI_ERROR_NO_MEMORY.
int32_t walk_chunks(avi_handle *h, file_scan &s, bool find_key_frames, const walk_rules &rules, walk_end &ended)
{
    s.move_to(static_cast<uint32_t>(h->movi_offset));
    avi_detail::progress progress(s.end() == no_end ? 0 : s.end());
    ended = {AVI_STOP_END_OF_FILE, s.position()};
    chunk c;
    for (;;) {
        progress.at(s.position());
        if (s.position() >= rules.end) {
            ended.reason = s.position() < s.end() ? AVI_STOP_CHECKPOINT : AVI_STOP_END_OF_FILE;
            break;
        }
        // A strict walk takes the chunks one after the other: a list is not entered but ends it.
        bool got = rules.strict ? next_chunk(s, c) == avi_detail::walk_step::chunk : next_in_lists(s, c);
        if (!got) {
            ended.reason = s.end() != no_end && c.at < s.end() ? AVI_STOP_CUT_SHORT : AVI_STOP_END_OF_FILE;
            break;
        }
        if (rules.strict && !is_chunk_of_recording(*h, s, c, rules)) {
            ended.reason = AVI_STOP_NOT_A_CHUNK;
            break;
        }
        if (is_media_id(c.id)) {
            if (!whole_in_file(s, c)) {
                ended.reason = AVI_STOP_CUT_SHORT;
                break;
            }
            if (c.at + 8 + c.size > rules.end) {  // not what a checkpoint ends at: not to be trusted
                ended.reason = AVI_STOP_CHECKPOINT;
                break;
            }
            bool key = find_key_frames && avi_detail::chunk_stream(*h, c.id) == 0 && holds_idr(s, c.size);
            if (AVI_append_index(h, reinterpret_cast<const char *>(c.id), key ? AVI_KEY_FRAME : 0,
                                 static_cast<uint32_t>(c.at), c.size) != 0)
                return AVI_ERROR_NO_MEMORY;
            ended.at = c.at + 8 + avi_detail::padded(c.size);
        }
        avi_detail::skip_chunk(s, c);
    }
    progress.finish();
    return 0;
}

// The whole chunks of the recording that follow one another from `at` on: what the walk
// left out where the trusted data ended.
int32_t count_chunks_of_recording(const avi_handle &r, file_scan &s, uint64_t at, const walk_rules &rules)
{
    int32_t found = 0;
    chunk c;
    s.move_to(at);
    while (next_chunk(s, c) == avi_detail::walk_step::chunk && is_chunk_of_recording(r, s, c, rules) &&
           whole_in_file(s, c)) {
        found += 1;
        skip_chunk(s, c);
    }
    return found;
}

}  // namespace

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

bool avi_detail::is_recording_chunk(const avi_handle &r, const unsigned char *id)
{
    if (memcmp(id, r.video_tag, 4) == 0)
        return true;
    int tracks = r.track_count > 0 ? r.track_count : 1;
    return id[0] == '0' && id[1] >= '1' && id[1] < '1' + tracks && id[2] == 'w' && id[3] == 'b';
}

int32_t avi_detail::recover_index(avi_handle *r, file_scan &s, bool find_key_frames, recovery_verdict &verdict)
{
    verdict = recovery_verdict{};
    r->index_count = 0;
    r->max_chunk_len = 0;
    walk_rules rules;
    header_bytes header;
    verdict.ours = written_by_this_writer(*r, s, header);
    if (verdict.ours) {
        trusted_data t = find_trusted_data(s, header);
        verdict.checkpoints = t.newest;
        verdict.checkpoint_used = t.used;
        rules.strict = true;
        rules.start_codes = is_h264_code(r->compressor);
        if (t.carried && t.used == 0) {
            // Checkpoints were written, but none verifies: nothing of the data is known to be
            // this recording's, and nothing is kept.
            verdict.stop_reason = AVI_STOP_UNVERIFIED;
            verdict.stop_at = static_cast<uint32_t>(r->movi_offset);
            verdict.dropped_chunks = count_chunks_of_recording(*r, s, verdict.stop_at, rules);
            return 0;
        }
        // Without checkpoints the chunks count as far as they read as whole; with one, as far
        // as it verifies, and past it when nothing can have torn or left stale what followed.
        rules.verified_end = t.end;
        if (t.close_began)  // its header torn, perhaps both slots cleared: the close had synced all
            verdict.past_checkpoint = AVI_PAST_CLOSE_SYNCED;
        else if (t.same_boot && t.used == t.newest)
            verdict.past_checkpoint = AVI_PAST_SAME_BOOT;
        else if (t.carried)
            rules.end = t.end;
        rules.written_past = verdict.past_checkpoint != AVI_PAST_NOTHING;
        if (rules.written_past)
            verdict.unverified_from = t.end;
    }
    walk_end ended;
    if (int32_t code = walk_chunks(r, s, find_key_frames, rules, ended))
        return code;
    verdict.stop_reason = ended.reason;
    verdict.stop_at = ended.at;
    if (ended.reason == AVI_STOP_CHECKPOINT)
        verdict.dropped_chunks = count_chunks_of_recording(*r, s, ended.at, rules);
    return 0;
}

// Judging a repaired crash state (see crash_verdict.h). The first chunk that is not the
// recording's own is told apart by where its bytes come from: another place of this
// recording, the older recording, the index, or a chunk of the right size with other bytes
// (torn).
#include "crash_verdict.h"

#include "avi/avi.h"
#include "file_ops_format.h"

#include <algorithm>

namespace mirvo_test {

namespace {

bool holds(const bytes &haystack, const bytes &needle)
{
    return !needle.empty() &&
           std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

std::string chunk_words(const located_chunk &c)
{
    std::string id = c.id;
    for (char &ch : id)
        ch = ch >= 0x20 && ch < 0x7f ? ch : '.';
    return id + " of " + std::to_string(c.data.size()) + " bytes, flags " + std::to_string(c.flags);
}

// Why kept chunk i is not the recording's chunk i.
std::string foreign_chunk(const recording_facts &facts, const std::vector<located_chunk> &kept,
                          size_t i, std::string &detail)
{
    const std::vector<located_chunk> &written = facts.written.chunks;
    const located_chunk &c = kept[i];
    detail = "chunk " + std::to_string(i) + " kept: " + chunk_words(c);
    if (i < written.size())
        detail += "; the recording wrote " + chunk_words(written[i]);
    auto same = [&c](const located_chunk &w) { return w.id == c.id && w.data == c.data; };
    if (i < written.size() && same(written[i]))
        return "a chunk kept with other flags";
    auto elsewhere = std::find_if(written.begin(), written.end(), same);
    if (elsewhere != written.end()) {
        detail += "; it is chunk " + std::to_string(elsewhere - written.begin());
        return elsewhere - written.begin() > static_cast<long>(i) ? "a later chunk kept after missing ones"
                                                                  : "an earlier chunk kept again";
    }
    if (std::any_of(facts.older.begin(), facts.older.end(), same))
        return "a stale chunk of the older recording kept";
    if (holds(facts.written.index, c.data))
        return "index entries read as a chunk";
    if (i < written.size() && written[i].id == c.id && written[i].data.size() == c.data.size())
        return "a torn chunk kept";
    return i < written.size() ? "a chunk the recording never wrote kept"
                              : "chunks kept past the recording's last";
}

}  // namespace

recording_facts facts_of(const std::vector<file_op> &ops, const bytes &older, double frame_rate)
{
    recording_facts facts;
    facts.closed_after = ops.size() + 1;
    for (size_t i = 0; i < ops.size(); ++i) {
        apply(ops[i], facts.finished);
        if (ops[i].kind == FILE_OP_CLOSE && facts.closed_after > ops.size())
            facts.closed_after = i + 1;
    }
    facts.written = read_indexed_file(facts.finished);
    facts.older = read_indexed_file(older).chunks;

    // The last write into each chunk, and the video frames written before each point.
    const std::vector<located_chunk> &chunks = facts.written.chunks;
    std::vector<size_t> written_at(chunks.size(), 0);
    for (size_t j = 0; j < chunks.size(); ++j) {
        const uint64_t head = chunks[j].head, end = head + 8 + chunks[j].data.size();
        for (size_t i = 0; i < ops.size(); ++i)
            if (ops[i].kind == FILE_OP_WRITE && ops[i].offset < end && ops[i].offset + ops[i].data.size() > head)
                written_at[j] = i;
    }
    std::vector<size_t> video_before(ops.size() + 1, 0);
    for (size_t j = 0; j < chunks.size(); ++j)
        if (chunks[j].id == "00db")
            for (size_t k = written_at[j] + 1; k <= ops.size(); ++k)
                ++video_before[k];

    // After a crash at k, the chunks written before the latest sync that completed more than
    // one second of recorded time before k.
    facts.must_keep.assign(ops.size() + 1, 0);
    facts.written_whole.assign(ops.size() + 1, 0);
    facts.synced.assign(ops.size() + 1, 0);
    auto written_before = [&](size_t k) {
        return static_cast<size_t>(std::count_if(written_at.begin(), written_at.end(), [k](size_t at) { return at < k; }));
    };
    for (size_t k = 1, last_sync = 0; k <= ops.size(); ++k) {
        facts.written_whole[k] = written_before(k);
        if (ops[k - 1].kind == FILE_OP_SYNC)
            last_sync = k - 1;
        facts.synced[k] = written_before(last_sync);
        for (size_t s = k; s-- > 0;) {
            if (ops[s].kind != FILE_OP_SYNC ||
                static_cast<double>(video_before[k] - video_before[s]) / frame_rate <= 1.0)
                continue;
            facts.must_keep[k] = static_cast<size_t>(
                std::count_if(written_at.begin(), written_at.end(), [s](size_t at) { return at < s; }));
            break;
        }
    }
    return facts;
}

std::string judge(const recording_facts &facts, size_t done, const crash_state &state,
                  const repair_run &run, std::string &detail)
{
    detail.clear();
    if (run.by_tool && run.status != 0 && run.status != 1) {
        detail = "exit status " + std::to_string(run.status);
        return "repair exited with a status other than 0 or 1";
    }
    if (run.by_tool && run.lines != 1) {
        detail = std::to_string(run.lines) + " lines";
        return "repair printed other than one line";
    }
    if (!state.absent && run.status != 0 && (!run.exists || run.after != state.image))
        return "a failed repair changed the file";
    if (done >= facts.closed_after && (!run.exists || run.after != facts.finished))
        return "a file closed before the crash is not the finished file";

    // Repair destroys nothing: past the header, every byte of the state is kept in the file
    // or moved beside it, in order.
    bool changed = run.exists && run.after != state.image;
    if (changed && !state.absent) {
        constexpr uint64_t header = AVI_HEADER_BYTES;  // the header region, in the file and the saved rest
        uint64_t moved = run.saved.size() > header ? run.saved.size() - header : 0, size = state.image.size();
        uint64_t kept_end = size - std::min(moved, size);
        bool whole = kept_end >= header && run.after.size() >= kept_end &&
                     std::equal(state.image.begin() + header, state.image.begin() + static_cast<long>(kept_end),
                                run.after.begin() + header) &&
                     (moved == 0 || std::equal(state.image.begin() + static_cast<long>(kept_end), state.image.end(),
                                               run.saved.begin() + header));
        if (!whole) {
            detail = std::to_string(moved) + " bytes moved beside it";
            return "bytes lost to repair";
        }
    }
    indexed_file got;
    if (run.exists)
        got = read_indexed_file(run.after);
    if (changed && !got.problem.empty()) {
        detail = got.problem;
        return "no index after a repair that succeeded";
    }
    const std::vector<located_chunk> &written = facts.written.chunks;
    for (size_t i = 0; i < got.chunks.size(); ++i) {
        if (i < written.size() && got.chunks[i].id == written[i].id &&
            got.chunks[i].flags == written[i].flags && got.chunks[i].data == written[i].data)
            continue;
        return foreign_chunk(facts, got.chunks, i, detail);
    }
    if (state.killed && got.chunks.size() < facts.written_whole[done]) {
        detail = std::to_string(got.chunks.size()) + " chunks kept, " +
                 std::to_string(facts.written_whole[done]) + " written";
        return "a chunk written before a kill lost";
    }
    if (state.header_torn && got.chunks.size() < facts.synced[done]) {
        detail = std::to_string(got.chunks.size()) + " chunks kept, " + std::to_string(facts.synced[done]) + " synced";
        return "a synced chunk lost to a torn header";
    }
    if (got.chunks.size() < facts.must_keep[done]) {
        detail = std::to_string(got.chunks.size()) + " chunks kept, " +
                 std::to_string(facts.must_keep[done]) + " synced more than a second before";
        return "a synced chunk lost";
    }
    return "";
}

}  // namespace mirvo_test

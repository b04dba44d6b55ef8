// Crash states of a file from its operations (see crash_states.h). Each point's states come
// from a table of recipes (how the writes since the last sync fared, the length, the filler)
// in an order shuffled by the seed, then from random recipes; states that come out the same
// are generated once.
#include "crash_states.h"

#include "avi/avi.h"
#include "file_ops_format.h"

#include <algorithm>
#include <fcntl.h>
#include <set>
#include <utility>

namespace mirvo_test {

namespace {

constexpr uint64_t sector_bytes = 512;
constexpr uint64_t cluster_bytes = 4096;

// How the writes since the last sync fared.
enum write_pattern { all_present, all_absent, in_order, each_random, write_patterns };
// in_order: the first few present, the next torn, the rest absent (a write-back in order).

constexpr const char *filler_names[filler_kinds] = {
    "zeros", "the older recording at the same offsets",
    "the older recording shifted by whole clusters", "the older recording from a chunk head on"};

uint64_t next_random(uint64_t &state)  // splitmix64
{
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

size_t draw(uint64_t &state, size_t below)
{
    return below == 0 ? 0 : static_cast<size_t>(next_random(state) % below);
}

void hash_in(uint64_t &hash, const unsigned char *at, size_t n)  // FNV-1a
{
    for (size_t i = 0; i < n; ++i)
        hash = (hash ^ at[i]) * 0x100000001b3ULL;
}

unsigned char stale_at(const stale_source &stale, int64_t at)
{
    return at >= 0 && static_cast<uint64_t>(at) < stale.file.size() ? stale.file[static_cast<size_t>(at)] : 0;
}

}  // namespace

struct crash_walk::recipe {
    write_pattern writes;
    bool ahead;  // the length as of the crash rather than as synced
    filler_kind fill;
};

crash_walk::crash_walk(const std::vector<file_op> &ops, const stale_source &stale, uint64_t seed)
    : ops_(ops), stale_(stale), seed_(seed)
{
}

bool crash_walk::next()
{
    if (done_ == ops_.size())
        return false;
    const file_op &op = ops_[done_++];
    apply(op, cache_);
    if (op.kind == FILE_OP_SYNC) {
        durable_ = cache_;
        synced_ = done_;
    }
    named_ = named_ || op.kind == FILE_OP_DIR_SYNC;
    return true;
}

std::vector<crash_state> crash_walk::states(size_t quota, choice_counts &counts) const
{
    uint64_t random = seed_ ^ (0xd1b54a32d192ed03ULL * (done_ + 1));
    std::vector<crash_state> out;
    if (!named_ && quota > 0) {
        out.push_back({true, {}, "file absent (its directory not synced)"});
        ++counts.states;
        ++counts.files_absent;
    }

    std::vector<recipe> table;
    for (int w = 0; w < write_patterns; ++w)
        for (bool ahead : {false, true})
            for (int f = 0; f < filler_kinds; ++f)
                table.push_back({static_cast<write_pattern>(w), ahead, static_cast<filler_kind>(f)});
    for (size_t i = table.size(); i > 1; --i)
        std::swap(table[i - 1], table[draw(random, i)]);

    std::set<uint64_t> seen;
    const size_t attempts = table.size() + 4 * quota;
    for (size_t a = 0; a < attempts && out.size() < quota; ++a) {
        recipe r = a < table.size()
                       ? table[a]
                       : recipe{draw(random, 2) ? in_order : each_random, draw(random, 2) == 1,
                                static_cast<filler_kind>(draw(random, filler_kinds))};
        choice_counts chosen;
        uint64_t key = 0;
        crash_state state = build(r, random, chosen, key);
        if (!seen.insert(key).second)
            continue;
        out.push_back(std::move(state));
        counts.states += 1;
        counts.length_synced += chosen.length_synced;
        counts.length_ahead += chosen.length_ahead;
        counts.writes_present += chosen.writes_present;
        counts.writes_absent += chosen.writes_absent;
        counts.writes_torn += chosen.writes_torn;
        counts.no_hole += chosen.no_hole;
        for (int f = 0; f < filler_kinds; ++f)
            counts.filled[f] += chosen.filled[f];
    }
    return out;
}

std::vector<crash_state> crash_walk::header_tears() const
{
    std::vector<crash_state> out;
    bool rewritten = false;
    for (size_t i = synced_; i < done_; ++i)
        rewritten = rewritten || (ops_[i].kind == FILE_OP_WRITE && ops_[i].offset == 0 && ops_[i].data.size() > sector_bytes);
    const uint64_t sectors = std::min<uint64_t>(cache_.size(), AVI_HEADER_BYTES) / sector_bytes;
    if (!rewritten || durable_.size() < sectors * sector_bytes)
        return out;
    for (uint64_t landed = 1; landed + 1 < (uint64_t{1} << sectors); ++landed) {
        crash_state state{false, cache_, "the header region torn: sectors", false, true};
        for (uint64_t s = 0; s < sectors; ++s) {
            if (landed >> s & 1)
                state.choices += " " + std::to_string(s);
            else
                std::copy_n(durable_.begin() + static_cast<long>(s * sector_bytes), sector_bytes,
                            state.image.begin() + static_cast<long>(s * sector_bytes));
        }
        state.choices += " new, the other writes since the last sync present";
        if (state.image != cache_ && state.image != durable_)
            out.push_back(std::move(state));
    }
    return out;
}

crash_state crash_walk::build(const recipe &r, uint64_t &random, choice_counts &chosen,
                              uint64_t &key) const
{
    crash_state state;
    bytes &image = state.image;
    const uint64_t length = r.ahead ? std::max(cache_.size(), durable_.size()) : durable_.size();
    image = durable_;
    image.resize(length);
    std::vector<unsigned char> covered(length, 0);  // by a durable write
    std::fill_n(covered.begin(), std::min<uint64_t>(durable_.size(), length), 1);
    (length > durable_.size() ? chosen.length_ahead : chosen.length_synced) = 1;

    // The ranges where states of this point may differ, for the key.
    std::vector<std::pair<uint64_t, uint64_t>> varying{{std::min<uint64_t>(durable_.size(), length), length}};
    size_t writes = 0;
    for (size_t i = synced_; i < done_; ++i)
        writes += ops_[i].kind == FILE_OP_WRITE;
    const size_t cut = draw(random, writes + 1);  // in_order: the first torn write
    std::string fates;
    size_t nth = 0;
    for (size_t i = synced_; i < done_; ++i) {
        const file_op &op = ops_[i];
        const bool emptied = op.kind == FILE_OP_OPEN && (op.offset & O_TRUNC) != 0;
        if (op.kind == FILE_OP_TRUNCATE || emptied) {  // taken as done: bytes past it are unwritten
            uint64_t from = std::min<uint64_t>(emptied ? 0 : op.offset, length);
            std::fill(covered.begin() + static_cast<long>(from), covered.end(), 0);
            varying.emplace_back(from, length);
            continue;
        }
        if (op.kind != FILE_OP_WRITE)
            continue;
        const uint64_t begin = op.offset, end = op.offset + op.data.size();
        varying.emplace_back(std::min(begin, length), std::min(end, length));
        const uint64_t first = begin / sector_bytes, sectors = (end - 1) / sector_bytes - first + 1;
        // 0 absent, 1 present, 2 torn
        int fate = r.writes == all_present ? 1
                   : r.writes == all_absent ? 0
                   : r.writes == in_order   ? (nth < cut ? 1 : nth == cut ? 2 : 0)
                                            : static_cast<int>(draw(random, 3));
        ++nth;
        if (fate == 2 && sectors == 1)
            fate = static_cast<int>(draw(random, 2));
        std::vector<bool> landed(sectors, fate == 1);
        if (fate == 2) {  // some sectors present, others not
            for (uint64_t s = 0; s < sectors; ++s)
                landed[s] = draw(random, 2) == 1;
            size_t flip = draw(random, sectors);
            if (std::all_of(landed.begin(), landed.end(), [&](bool b) { return b == landed[flip]; }))
                landed[flip] = !landed[flip];
        }
        size_t present = static_cast<size_t>(std::count(landed.begin(), landed.end(), true));
        fates += fate == 1 ? "P" : fate == 0 ? "A" : "T" + std::to_string(present) + "/" + std::to_string(sectors);
        (fate == 1 ? chosen.writes_present : fate == 0 ? chosen.writes_absent : chosen.writes_torn) += 1;
        for (uint64_t s = 0; s < sectors; ++s) {
            if (!landed[s])
                continue;
            uint64_t from = std::max(begin, (first + s) * sector_bytes);
            uint64_t to = std::min({end, (first + s + 1) * sector_bytes, length});
            for (uint64_t at = from; at < to; ++at) {
                image[at] = op.data[at - begin];
                covered[at] = 1;
            }
        }
    }

    // Each hole, a run of bytes no durable write covered, gets the recipe's filler.
    std::string holes;
    int hole_count = 0;
    for (uint64_t at = 0; at < length;) {
        if (covered[at]) {
            ++at;
            continue;
        }
        uint64_t end = at;
        while (end < length && !covered[end])
            ++end;
        int64_t shift = static_cast<int64_t>(at);  // the older recording's offset for `at`
        if (r.fill == fill_stale_shifted)
            shift += static_cast<int64_t>((draw(random, 4) + 1) * cluster_bytes) * (draw(random, 2) ? 1 : -1);
        if (r.fill == fill_stale_aligned && !stale_.chunk_heads.empty())
            shift = static_cast<int64_t>(stale_.chunk_heads[draw(random, stale_.chunk_heads.size())]);
        for (uint64_t x = at; x < end; ++x)
            image[x] = r.fill == fill_zeros ? 0 : stale_at(stale_, shift + static_cast<int64_t>(x - at));
        if (++hole_count <= 3)
            holes += " [" + std::to_string(at) + "," + std::to_string(end) + ")" +
                     (r.fill == fill_zeros ? "" : " from " + std::to_string(shift));
        at = end;
    }
    (hole_count == 0 ? chosen.no_hole : chosen.filled[r.fill]) = 1;

    state.choices = "length " + std::to_string(length) + " (synced " + std::to_string(durable_.size()) +
                    ", at the crash " + std::to_string(cache_.size()) + "); writes since the last sync: " +
                    (fates.empty() ? "none" : fates) + "; " +
                    (hole_count == 0 ? std::string("no hole")
                                     : std::to_string(hole_count) + " holes of " + filler_names[r.fill] +
                                           ":" + holes + (hole_count > 3 ? " ..." : ""));

    key = 0xcbf29ce484222325ULL;
    hash_in(key, reinterpret_cast<const unsigned char *>(&length), sizeof length);
    for (auto [from, to] : varying)
        if (from < to)
            hash_in(key, image.data() + from, to - from);
    return state;
}

}  // namespace mirvo_test

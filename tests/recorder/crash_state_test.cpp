// Crash states of a real recording: mirvo records on the stand-in in real time with a shim
// logging its file operations, every state a power cut could leave at every point of them is
// built (crash_states.h) and repaired, and each repair is judged (crash_verdict.h).
// MIRVO_CRASH_SEED picks the states (printed; default 1), MIRVO_CRASH_STATES how many
// (about), MIRVO_CRASH_REPLAY a directory kept by a failing run to explore its log again.
#include "crash_states.h"
#include "crash_verdict.h"
#include "file_ops_log.h"
#include "recorder_process.h"

#include "avi/avi.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <unistd.h>

using namespace mirvo_test;
using namespace std::chrono_literals;

namespace {

// Where starting a process costs ten to fifty times more (an emulator, a sanitizer), the
// module repairs most states in this process and the tool a seeded sample of them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
const bool processes_are_dear = sanitized || !std::string(MIRVO_EMULATOR).empty();
const size_t default_states = processes_are_dear ? 2000 : 6000;
const uint64_t tool_sample = processes_are_dear ? 25 : 1;  // one state in this many by the tool
constexpr size_t examples_per_kind = 3;

size_t lines_in(const std::string &text)
{
    size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    return lines + (!text.empty() && text.back() != '\n');
}

repair_run repair(const std::string &path, bool by_tool)
{
    repair_run run;
    run.by_tool = by_tool;
    if (by_tool) {
        command_result r = mirvo_test::run(program("mirvo-avi") + " repair " + shell_quoted(path));
        run.status = r.status;
        run.lines = lines_in(r.out) + lines_in(r.err);
    } else {
        avi_recovery found{};
        run.status = AVI_repair_file(path.c_str(), &found) >= 0 ? 0 : 1;
    }
    run.exists = access(path.c_str(), F_OK) == 0;
    if (run.exists)
        run.after = read_file(path);
    std::string saved = path + ".dropped";
    if (access(saved.c_str(), F_OK) == 0)
        run.saved = read_file(saved);
    std::filesystem::remove(saved);
    return run;
}

// Records an older recording and then the one whose operations are logged, both stopped
// normally; returns the older recording's file.
bytes record_logged(const temp_dir &dir, const std::string &file, const std::string &log)
{
    std::string older = dir.file("older.avi");
    std::map<std::string, std::string> env = file_ops_environment(file, log);
    env["QEL_PACE"] = "realtime";
    env["QEL_DROP"] = "20";  // a camera that drops frames: the recordings hold fillers
    env["QEL_SEED"] = "1";
    recorder_process mirvo(dir, env);
    record(mirvo, older, "--fps 25", "stop", 0, 2000ms);
    record(mirvo, file, "--fps 25", "stop", 1, 4000ms);
    mirvo.signal(SIGINT);
    EXPECT_EQ(mirvo.wait_exit(), 0) << mirvo.err();
    return read_file(older);
}

// Failures by kind, with the first few kept for replay in a directory of their own.
class failure_report {
public:
    failure_report(uint64_t seed, std::string log, bytes older)
        : seed_(seed), log_(std::move(log)), older_(std::move(older))
    {
    }
    void add(const std::string &kind, const std::string &detail, size_t done, size_t nth,
             const std::string &what, const crash_state &state, const repair_run &run)
    {
        ++failing_;
        if (++count_[kind] > examples_per_kind)
            return;
        std::string name = "after-" + std::to_string(done) + "-state-" + std::to_string(nth);
        std::string kept = keep_dir() + "/" + name;
        if (!state.absent)
            write_file(kept + ".avi", state.image);
        if (run.exists)
            write_file(kept + ".repaired.avi", run.after);
        examples_[kind] += "      seed " + std::to_string(seed_) + ", state " + std::to_string(nth) +
                           " after operation " + std::to_string(done) + " (" + what + "); " +
                           state.choices + (detail.empty() ? "" : "; " + detail) + "; kept as " +
                           kept + (state.absent ? " (absent)" : ".avi") + "\n";
    }
    size_t failing() const { return failing_; }
    std::string text() const
    {
        std::ostringstream out;
        for (const auto &[kind, count] : count_)
            out << "    " << count << " " << kind << "\n" << examples_.at(kind);
        if (!keep_.empty())
            out << "  replay: MIRVO_CRASH_REPLAY=" << keep_ << " MIRVO_CRASH_SEED=" << seed_ << "\n";
        return out.str();
    }

private:
    const std::string &keep_dir()
    {
        if (keep_.empty()) {
            const char *base = getenv("TMPDIR");
            std::string pattern = std::string(base && *base ? base : "/tmp") + "/mirvo-crash-states-XXXXXX";
            if (mkdtemp(pattern.data()))
                keep_ = pattern;
            std::filesystem::copy_file(log_, keep_ + "/ops.log");
            write_file(keep_ + "/older.avi", older_);
        }
        return keep_;
    }
    uint64_t seed_;
    std::string log_, keep_;
    bytes older_;
    size_t failing_ = 0;
    std::map<std::string, size_t> count_;
    std::map<std::string, std::string> examples_;
};

}  // namespace

TEST(crash_states, every_state_a_power_cut_leaves_repairs_to_what_the_recording_wrote)
{
    const uint64_t seed = number_from_environment("MIRVO_CRASH_SEED", 1);
    const size_t wanted = number_from_environment("MIRVO_CRASH_STATES", default_states);
    const char *replay = getenv("MIRVO_CRASH_REPLAY");
    std::printf("crash states: seed %llu (MIRVO_CRASH_SEED), about %zu states\n",
                static_cast<unsigned long long>(seed), wanted);
    auto started = std::chrono::steady_clock::now();

    temp_dir dir;
    std::string file = dir.file("recording.avi"), log = dir.file("ops.log"), state_file = dir.file("state.avi");
    bytes older;
    if (replay && *replay) {
        log = std::string(replay) + "/ops.log";
        older = read_file(std::string(replay) + "/older.avi");
    } else {
        older = record_logged(dir, file, log);
    }
    std::vector<file_op> ops = read_file_ops(log);
    ASSERT_FALSE(ops.empty()) << "the shim logged nothing: " << log;
    if (!replay || !*replay) {  // the log tells exactly what mirvo wrote
        bytes replayed;
        for (const file_op &op : ops)
            apply(op, replayed);
        ASSERT_TRUE(replayed == read_file(file)) << "the log does not give the recorded file";
    }
    indexed_file older_index = read_indexed_file(older);
    ASSERT_EQ(older_index.problem, "") << "the older recording";
    stale_source stale{older, {}};
    for (const located_chunk &c : older_index.chunks)
        stale.chunk_heads.push_back(c.head);

    bytes finished;
    for (const file_op &op : ops)
        apply(op, finished);
    write_file(state_file, finished);
    avi_handle *h = AVI_open_input(state_file.c_str(), 1);
    ASSERT_NE(h, nullptr) << AVI_error_text();
    const double frame_rate = AVI_frames_per_second(h);
    int32_t fillers = 0;
    for (int32_t n = 0; n < AVI_frame_count(h); ++n)
        fillers += AVI_frame_length(h, n) == 0 ? 1 : 0;
    EXPECT_GT(fillers, 0) << "no filler to crash around";
    AVI_close_handle(h);
    recording_facts facts = facts_of(ops, older, frame_rate);
    ASSERT_EQ(facts.written.problem, "");
    ASSERT_LE(facts.closed_after, ops.size()) << "the log holds no close";
    auto recorded = std::chrono::steady_clock::now();

    // Every crash point: the state a kill leaves, repaired in this boot; then, repaired as
    // after a restart, every tear of a header rewrite and its share of the power-cut states;
    // each judged.
    const bool power_cuts = restarted(false);
    crash_walk walk(ops, stale, seed);
    choice_counts counts;
    failure_report failures(seed, log, older);
    size_t by_tool = 0, sample = 0, kills = 0, tears = 0;
    const size_t quota = (wanted + ops.size() - 1) / ops.size();
    while (walk.next()) {
        std::vector<crash_state> states{walk.killed()}, torn = walk.header_tears();
        if (power_cuts) {
            std::vector<crash_state> cut = walk.states(quota, counts);
            states.insert(states.end(), torn.begin(), torn.end());
            states.insert(states.end(), cut.begin(), cut.end());
            tears += torn.size();
        }
        kills += 1;
        for (size_t nth = 0; nth < states.size(); ++nth) {
            const crash_state &state = states[nth];
            if (power_cuts) {
                ASSERT_TRUE(restarted(!state.killed)) << "the boot id cannot be changed";
            }
            if (state.absent)
                std::filesystem::remove(state_file);
            else
                write_file(state_file, state.image);
            uint64_t mix = (seed + 1) * 0x9e3779b97f4a7c15ULL ^ (sample++ * 0xbf58476d1ce4e5b9ULL);
            bool tool = (mix >> 17) % tool_sample == 0;
            by_tool += tool;
            repair_run run = repair(state_file, tool);
            std::string detail, kind = judge(facts, walk.done(), state, run, detail);
            if (!kind.empty())
                failures.add(kind, detail, walk.done(), nth, describe(ops[walk.done() - 1]), state, run);
        }
    }
    auto explored = std::chrono::steady_clock::now();

    auto seconds = [](auto span) { return std::chrono::duration<double>(span).count(); };
    restarted(false);
    std::printf("crash states: %zu operations logged, %zu kills, %zu header tears, %zu power cuts "
                "(%zu repaired by mirvo-avi, %zu in-process), recording %.1f s, exploring %.1f s\n"
                "  files absent %zu; length as synced %zu, ahead of the data %zu; writes since the last sync "
                "%zu present, %zu absent, %zu torn; no hole %zu, holes of zeros %zu, of the older recording "
                "at the same offsets %zu, shifted %zu, from a chunk head %zu\n"
                "  failing: %zu states\n%s",
                ops.size(), kills, tears, counts.states, by_tool, kills + tears + counts.states - by_tool, seconds(recorded - started),
                seconds(explored - recorded), counts.files_absent, counts.length_synced, counts.length_ahead,
                counts.writes_present, counts.writes_absent, counts.writes_torn, counts.no_hole,
                counts.filled[fill_zeros], counts.filled[fill_stale_same], counts.filled[fill_stale_shifted],
                counts.filled[fill_stale_aligned], failures.failing(), failures.text().c_str());
    std::fflush(stdout);
    EXPECT_EQ(failures.failing(), 0u) << failures.text();
    if (!power_cuts)
        GTEST_SKIP() << "kills only; power cuts skipped: repairing as after a restart needs " << why_no_restart();
}

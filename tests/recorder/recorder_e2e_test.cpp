// mirvo end to end: the real recorder process on the stand-in device, driven by mirvoctl
// over the real socket. Checks what it prints, line by line, and what it records, frame by
// frame.
#include "avi/avi.h"
#include "recorder_process.h"
#include "recording.h"
#include "source_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <regex>
#include <thread>

using namespace mirvo_test;
using namespace std::chrono_literals;

namespace {

const std::string banner_rule = "===========================";

// The banner: a rule, "[mirvo] <build date> <build time>", a rule.
void expect_banner(const std::vector<std::string> &lines)
{
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], banner_rule);
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\[mirvo\] [A-Z][a-z]{2} [ 123]\d \d{4} \d\d:\d\d:\d\d)")))
        << lines[1];
    EXPECT_EQ(lines[2], banner_rule);
}

std::vector<std::string> lines_from(const std::vector<std::string> &lines, size_t first)
{
    return std::vector<std::string>(lines.begin() + static_cast<long>(std::min(first, lines.size())),
                                    lines.end());
}

// Skips the "ret is" lines printed while waiting for the first key frame.
size_t after_waiting_lines(const std::vector<std::string> &lines, size_t at)
{
    std::regex waiting(R"(\[record_avi\]: ret is -?\d+, type is \d+)");
    size_t first = at;
    while (at < lines.size() && std::regex_match(lines[at], waiting))
        ++at;
    EXPECT_GT(at, first) << "at least the line of the key frame itself";
    if (at > first) {
        EXPECT_EQ(lines[at - 1], "[record_avi]: ret is 0, type is 2") << "the last one is the key frame";
    }
    return at;
}

class recorder_e2e : public ::testing::Test {
protected:
    std::string recording(const std::string &name) const { return dir.file(name); }
    temp_dir dir;
};

}  // namespace

TEST_F(recorder_e2e, a_recording_stopped_with_mode_0_prints_its_lines_and_holds_every_frame)
{
    recorder_process mirvo(dir, {{"QEL_PACE", "realtime"}});
    std::string file = recording("a.avi");
    ASSERT_TRUE(mirvo.start_recording(file));
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(mirvo.stop_recording());
    EXPECT_EQ(mirvo.interrupt(), 0);

    std::vector<std::string> lines = mirvo.out_lines();
    expect_banner(lines);
    ASSERT_GE(lines.size(), 10u) << mirvo.out();
    EXPECT_EQ(lines[3], "zo record start");
    EXPECT_EQ(lines[4], "[zo_record_start]: file name is " + file + ", parttime is 0, resolution is 0");
    EXPECT_EQ(lines[5], "[avi_open]: ");
    EXPECT_EQ(lines[6], "[record_avi]: first serial is -2");
    std::smatch start;
    ASSERT_TRUE(std::regex_match(lines[7], start,
                                 std::regex(R"(\[record_avi\]: start request at serial (\d+), first key frame at or before it is (\d+))")))
        << lines[7];
    size_t at = after_waiting_lines(lines, 8);
    std::smatch serials;
    ASSERT_TRUE(std::regex_match(lines.at(at), serials, std::regex(R"(cur serial is (\d+), serial is (\d+))")))
        << lines.at(at);
    int32_t first_serial = std::stoi(serials[2]);
    EXPECT_EQ(first_serial, std::stoi(start[2])) << "the file begins with the key frame found";
    EXPECT_LE(first_serial, std::stoi(start[1]));
    EXPECT_EQ(lines_from(lines, at + 1),
              (std::vector<std::string>{"zo_record_stop, filename = " + file + ", stop flag 0",
                                        "[record_avi]: stop rec by main process",
                                        "[avi_close]: "}));
    EXPECT_EQ(mirvo.err(), "");

    // From the first key frame on, every frame of the source in order, none left out.
    std::vector<indexed_chunk> chunks = indexed_chunks(file);
    ASSERT_GT(chunks.size(), 25u) << "a second's worth at least";
    expect_source_frames(chunks, first_serial, /*audio=*/true);
}

namespace {

int32_t logged_last_serial(const recorder_process &mirvo)
{
    std::smatch m;
    int32_t last = -1;
    std::regex pattern(R"(\[record_avi\]: last serial is (-?\d+))");
    for (const std::string &line : mirvo.out_lines())
        if (std::regex_match(line, m, pattern))
            last = std::stoi(m[1]);
    return last;
}

}  // namespace

TEST_F(recorder_e2e, stop_mode_1_ends_on_a_key_frame_and_the_next_part_continues_without_a_gap)
{
    recorder_process mirvo(dir, {{"QEL_PACE", "realtime"}});
    std::string part1 = recording("part1.avi"), part2 = recording("part2.avi");

    int32_t first = record(mirvo, part1, "", "stop --mode 1", 0);
    std::vector<std::string> lines = mirvo.out_lines();
    int32_t last = logged_last_serial(mirvo);
    std::vector<std::string> tail(lines.end() - 4, lines.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"zo_record_stop, filename = " + part1 + ", stop flag 1",
                                              "[record_avi]: last serial is " + std::to_string(last),
                                              "[record_avi]: stop rec by main process",
                                              "[avi_close]: "}));
    std::vector<indexed_chunk> chunks1 = indexed_chunks(part1);
    ASSERT_FALSE(chunks1.empty());
    EXPECT_EQ(chunks1.back().id, "00db");
    EXPECT_EQ(chunks1.back().flags, 0x10u) << "the part ends on a key frame";
    EXPECT_EQ(first + static_cast<int32_t>(chunks1.size()) - 1, last + 1)
        << "the key frame that ended the part is serial last + 1";

    int32_t first2 = record(mirvo, part2, "--parttime 1", "stop", 1);
    EXPECT_TRUE(mirvo.wait_for("[record_avi]: first serial is " + std::to_string(last)));
    EXPECT_EQ(first2, last + 1) << "the second part begins with that same key frame";
    std::vector<indexed_chunk> chunks2 = indexed_chunks(part2);
    ASSERT_FALSE(chunks2.empty());
    EXPECT_TRUE(chunks2.front().data == chunks1.back().data);

    // Both parts together, the shared key frame once: the source without a gap.
    std::vector<indexed_chunk> joined = chunks1;
    joined.insert(joined.end(), chunks2.begin() + 1, chunks2.end());
    expect_source_frames(joined, first, true);
    command_result join = run(program("mirvo-avi") + " join " + shell_quoted(recording("joined.avi")) + " " +
                              shell_quoted(part1) + " " + shell_quoted(part2));
    ASSERT_EQ(join.status, 0) << join.err;
    std::vector<indexed_chunk> written = indexed_chunks(recording("joined.avi"));
    ASSERT_EQ(written.size(), joined.size()) << "mirvo-avi join writes the same chunks";
    for (size_t i = 0; i < written.size(); ++i)
        EXPECT_TRUE(written[i].id == joined[i].id && written[i].data == joined[i].data) << "chunk " << i;

    // parttime 0 starts afresh, even with a serial remembered.
    record(mirvo, recording("fresh.avi"), "--parttime 0", "stop", 2, 100ms);
    EXPECT_TRUE(mirvo.wait_for("[record_avi]: first serial is -2", 2));
    EXPECT_EQ(mirvo.interrupt(), 0);
}

TEST_F(recorder_e2e, audio_switch_0_records_video_only_and_2_writes_audio_without_declaring_it)
{
    recorder_process mirvo(dir, {{"QEL_PACE", "realtime"}});
    std::string off = recording("off.avi"), undeclared = recording("two.avi");
    int32_t first_off = record(mirvo, off, "--audio 0", "stop", 0);
    int32_t first_two = record(mirvo, undeclared, "--audio 2", "stop", 1);
    EXPECT_EQ(mirvo.interrupt(), 0);

    std::vector<indexed_chunk> video_only = indexed_chunks(off);
    expect_source_frames(video_only, first_off, false);
    EXPECT_EQ(u32_at(read_file(off), 56), 1u) << "one stream";

    std::vector<indexed_chunk> with_audio = indexed_chunks(undeclared);
    expect_source_frames(with_audio, first_two, true);
    EXPECT_EQ(u32_at(read_file(undeclared), 56), 1u) << "no audio stream declared";
    EXPECT_TRUE(std::any_of(with_audio.begin(), with_audio.end(),
                            [](const indexed_chunk &c) { return c.id == "01wb"; }));
}

TEST_F(recorder_e2e, a_second_start_request_while_recording_leaves_the_running_file_going)
{
    recorder_process mirvo(dir, {{"QEL_PACE", "realtime"}});
    std::string running_file = recording("running.avi"), other = recording("other.avi");
    ASSERT_TRUE(mirvo.start_recording(running_file));
    ASSERT_EQ(mirvo.control("start " + shell_quoted(other) + " --audio 0").status, 0);
    ASSERT_TRUE(mirvo.wait_for("file name is " + other));
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(mirvo.stop_recording());
    std::this_thread::sleep_for(1500ms);  // the idle loop would pick up a pending request now
    EXPECT_EQ(mirvo.interrupt(), 0);

    std::vector<std::string> lines = mirvo.out_lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[avi_open]: "), 1);
    EXPECT_FALSE(std::filesystem::exists(other));
    std::smatch m;
    std::string out = mirvo.out();
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(cur serial is -?\d+, serial is (\d+))")));
    expect_source_frames(indexed_chunks(running_file), std::stoi(m[1]), true);
}

TEST_F(recorder_e2e, only_names_holding_dot_avi_are_recorded_and_a_missing_directory_is_retried)
{
    recorder_process mirvo(dir, {{"QEL_PACE", "realtime"}});
    std::string tmp_name = recording("clip.avi.tmp"), upper = recording("CLIP.AVI");
    record(mirvo, tmp_name, "", "stop", 0, 200ms);
    EXPECT_FALSE(indexed_chunks(tmp_name).empty());

    ASSERT_EQ(mirvo.control("start " + shell_quoted(upper)).status, 0);
    std::this_thread::sleep_for(2500ms);
    ASSERT_EQ(mirvo.control("stop").status, 0);
    EXPECT_FALSE(std::filesystem::exists(upper));

    std::string missing = dir.file("no/such/dir/x.avi");
    ASSERT_EQ(mirvo.control("start " + shell_quoted(missing)).status, 0);
    ASSERT_TRUE(mirvo.wait_for("avi file open failed!", 3, 10s)) << "retried about every 2 s";
    ASSERT_EQ(mirvo.control("stop").status, 0);
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(mirvo.interrupt(), 0);

    std::vector<std::string> lines = mirvo.out_lines();
    std::vector<std::string> failure = {"[avi_open]: ", "avi file open failed!",
                                        "open " + missing + " err No such file or directory"};
    auto first = std::search(lines.begin(), lines.end(), failure.begin(), failure.end());
    ASSERT_NE(first, lines.end()) << mirvo.out();
    long attempts = std::count(lines.begin(), lines.end(), "avi file open failed!");
    EXPECT_GE(attempts, 3);
    EXPECT_LE(attempts, 4) << "no retry after the stop";
    EXPECT_EQ(lines.back(), "zo_record_stop, filename = " + missing + ", stop flag 0")
        << "nothing after the stop";
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[avi_open]: "), 1 + attempts)
        << "the upper-case name was never opened";
}

TEST_F(recorder_e2e, sigint_while_idle_ends_quietly_and_while_recording_finalises_the_file)
{
    {
        recorder_process idle(dir, {{"QEL_BUS", dir.file("idle.sock")}});
        EXPECT_EQ(idle.interrupt(), 0);
        std::vector<std::string> lines = idle.out_lines();
        expect_banner(lines);
        EXPECT_EQ(lines.size(), 3u) << "nothing after the banner";
    }
    recorder_process mirvo(dir, {{"QEL_PACE", "realtime"}});
    std::string file = recording("cut.avi");
    ASSERT_TRUE(mirvo.start_recording(file));
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(mirvo.interrupt(), 0);
    std::vector<std::string> lines = mirvo.out_lines();
    EXPECT_EQ(lines.back(), "[avi_close]: ");
    EXPECT_EQ(mirvo.out().find("stop rec"), std::string::npos);

    std::vector<indexed_chunk> chunks = indexed_chunks(file);
    size_t video = video_chunks(chunks);
    ASSERT_GT(video, 10u);
    command_result probe = run("ffprobe -v error -select_streams v -count_packets -show_entries "
                               "stream=nb_read_packets,nb_frames -of csv=p=0 " + shell_quoted(file));
    EXPECT_EQ(probe.status, 0) << probe.err;
    EXPECT_EQ(probe.out, std::to_string(video) + "," + std::to_string(video) + "\n");
}

TEST_F(recorder_e2e, a_failed_frame_source_start_exits_with_its_result)
{
    recorder_process mirvo(dir, {{"QEL_INIT_RESULT", "3"}});
    EXPECT_EQ(mirvo.wait_exit(), 3);
    std::vector<std::string> lines = mirvo.out_lines();
    expect_banner(lines);
    EXPECT_EQ(lines_from(lines, 3), std::vector<std::string>{"[main]: mirvo get data init fail!"});
}

TEST_F(recorder_e2e, short_payloads_are_refused_and_a_full_length_name_is_cut_at_63)
{
    recorder_process mirvo(dir, {{"QEL_PACE", "realtime"}});
    send_datagram(mirvo.bus(), 0, bytes(50, 'a'));
    ASSERT_TRUE(mirvo.wait_for("[zo_record_start]: request of 50 bytes refused, 92 expected"));

    // 64 name bytes without a terminating zero; the first 63 name the file.
    std::string name = dir.path() + "/";
    name += std::string(63 - 4 - name.size(), 'n') + ".avi";
    ASSERT_EQ(name.size(), 63u);
    bytes payload(name.begin(), name.end());
    payload.push_back('Z');
    for (int32_t value : {0, 1, 0, 25, 0, 640, 360})  // stream, audio, parttime, fps, -, size
        for (int shift = 0; shift < 32; shift += 8)
            payload.push_back(static_cast<unsigned char>(value >> shift));
    ASSERT_EQ(payload.size(), 92u);
    send_datagram(mirvo.bus(), 0, payload);
    ASSERT_TRUE(mirvo.wait_for("cur serial is"));
    send_datagram(mirvo.bus(), 1, {});  // a stop with no payload: mode 0
    ASSERT_TRUE(mirvo.wait_closed());
    EXPECT_EQ(mirvo.interrupt(), 0);

    std::vector<std::string> lines = mirvo.out_lines();
    EXPECT_EQ(lines.at(3), "[zo_record_start]: request of 50 bytes refused, 92 expected");
    EXPECT_EQ(lines.at(4), "zo record start") << "the refused request printed one line";
    EXPECT_EQ(lines.at(5), "[zo_record_start]: file name is " + name + ", parttime is 0, resolution is 0");
    EXPECT_FALSE(indexed_chunks(name).empty());
}

TEST_F(recorder_e2e, a_stop_before_the_first_key_frame_still_records_that_key_frame)
{
    // A main clip that opens with almost four seconds of pictures that are not key frames, so
    // that the recording waits for its first key frame long enough to be stopped meanwhile.
    std::vector<access_unit> units = clip_units();
    ASSERT_TRUE(units[25].key);
    bytes clip;
    for (int copy = 0; copy < 4; ++copy)
        for (int u = 1; u < 25; ++u)
            clip.insert(clip.end(), units[u].data.begin(), units[u].data.end());
    for (int u = 25; u < 50; ++u)
        clip.insert(clip.end(), units[u].data.begin(), units[u].data.end());
    write_file(dir.file("late-key.h264"), clip);

    for (int mode : {0, 1}) {
        SCOPED_TRACE("stop mode " + std::to_string(mode));
        recorder_process mirvo(dir, {{"QEL_PACE", "realtime"}, {"QEL_CLIP_MAIN", dir.file("late-key.h264")}});
        std::string file = recording("late" + std::to_string(mode) + ".avi");
        ASSERT_EQ(mirvo.control("start " + shell_quoted(file)).status, 0);
        ASSERT_TRUE(mirvo.wait_for("first serial is -2"));
        ASSERT_TRUE(mirvo.stop_recording(1, "stop --mode " + std::to_string(mode)));
        EXPECT_EQ(mirvo.interrupt(), 0);

        std::string out = mirvo.out();
        size_t stop_at = out.find("zo_record_stop"), key_at = out.find("cur serial is");
        ASSERT_LT(stop_at, key_at) << "the stop came before the key frame\n" << out;
        std::vector<indexed_chunk> chunks = indexed_chunks(file);
        ASSERT_EQ(chunks.size(), 1u) << "the key frame alone";
        EXPECT_EQ(chunks[0].flags, 0x10u);
        EXPECT_TRUE(chunks[0].data == units[25].data);
        EXPECT_EQ(out.find("last serial is") != std::string::npos, mode == 1);
    }
}

TEST_F(recorder_e2e, a_stop_ends_a_recording_of_a_stream_without_frames_and_the_next_start_gets_its_own_file)
{
    recorder_process mirvo(dir, {{"QEL_PACE", "realtime"}});
    for (int mode : {0, 1}) {
        SCOPED_TRACE("stop mode " + std::to_string(mode));
        std::string silent = recording("silent" + std::to_string(mode) + ".avi");
        ASSERT_EQ(mirvo.control("start " + shell_quoted(silent) + " --stream 9").status, 0);
        ASSERT_TRUE(mirvo.wait_for("first serial is -2", 2 * mode + 1));
        ASSERT_EQ(mirvo.control("stop --mode " + std::to_string(mode)).status, 0);
        ASSERT_TRUE(mirvo.wait_closed(2 * mode + 1)) << "the stop took effect without a frame";
        EXPECT_EQ(mirvo.out_lines().back(), "[avi_close]: ");

        // A finished file without frames: its index is empty.
        bytes b = read_file(silent);
        ASSERT_EQ(b.size(), AVI_HEADER_BYTES + 8u);
        EXPECT_EQ(u32_at(b, 4), 2048u);
        EXPECT_EQ(text_at(b, AVI_HEADER_BYTES), "idx1");
        EXPECT_EQ(u32_at(b, 48), 0u) << "no frame";

        // The next request records into its own file, from the stream it names.
        std::string next = recording("next" + std::to_string(mode) + ".avi");
        ASSERT_TRUE(mirvo.start_recording(next, "", mode + 1));
        std::this_thread::sleep_for(300ms);
        ASSERT_TRUE(mirvo.stop_recording(2 * mode + 2));
        expect_source_frames(indexed_chunks(next), first_serial(mirvo, mode), true);
    }
    EXPECT_EQ(mirvo.interrupt(), 0);
    std::string out = mirvo.out();
    EXPECT_EQ(out.find("last serial is"), std::string::npos) << "no key frame ended a part";
    std::vector<std::string> lines = mirvo.out_lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[record_avi]: stop rec by main process"), 4);
}

// mirvo-avi repair and info on recordings cut off before their close, as a user runs them:
// info tells that a file was not finalised and what a repair recovers, repair finishes it
// in place (the bytes of a clean close), and refuses, on one line and without touching the
// file, what it must not or cannot write.
#include "tool_fixture.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

using namespace mirvo_test;

namespace {

class repair_tool : public ::testing::Test {
protected:
    void SetUp() override { chmod(dir.path().c_str(), 0755); }  // for the run as another user
    // Records `frames` video frames of the test clip, each with 320 bytes of audio, and
    // returns the finished file; `cut_off` gets the bytes written before the close, followed
    // by the first `partial` bytes of one more chunk.
    bytes record(const std::string &cut_off, int frames, size_t partial, int sync_every = 0)
    {
        recording r = record_clip(dir.file("finished.avi"),
                                  {.width = 160, .height = 120, .frames = frames, .sync_every = sync_every});
        const std::string next_chunk = "00db" + le32(1000);
        r.before_close.insert(r.before_close.end(), next_chunk.begin(), next_chunk.begin() + static_cast<long>(partial));
        write_file(cut_off, r.before_close);
        return r.closed;
    }
    temp_dir dir;
};

}  // namespace

TEST_F(repair_tool, info_tells_a_recording_was_not_finalised_and_repair_finishes_it)
{
    std::string file = dir.file("cut.avi");
    bytes finished = record(file, 30, 5);

    command_result info = mirvo_avi("info " + shell_quoted(file));
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("\nnot finalised: 30 frames recoverable, run mirvo-avi repair\n"
                            "checkpoints:   none (cut off before its first sync, or written by an earlier mirvo)\n"),
              std::string::npos)
        << info.out;
    EXPECT_NE(info.out.find("30 frames, 1.200 s, 2 key frames"), std::string::npos) << "the key frames repair finds";
    auto d = nlohmann::json::parse(mirvo_avi("info --json " + shell_quoted(file)).out);
    EXPECT_EQ(d["finalised"], false);
    EXPECT_EQ(d["recoverable_frames"], 30);
    EXPECT_EQ(d["checkpoints"], 0);
    EXPECT_TRUE(d["verified_checkpoint"].is_null());

    command_result repair = mirvo_avi("repair " + shell_quoted(file));
    ASSERT_EQ(repair.status, 0) << repair.err;
    EXPECT_EQ(repair.out, file + ": finalised: 30 video frames (2 key frames), 30 audio chunks, 1.20 s; "
                                 "no checkpoints, so not verified; 5 bytes of a chunk cut short moved to " +
                                 file + ".dropped\n");
    EXPECT_TRUE(read_file(file) == finished) << "not the bytes of a clean close";

    info = mirvo_avi("info " + shell_quoted(file));
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.out.find("not finalised"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("30 frames, 1.200 s, 2 key frames"), std::string::npos) << info.out;
    EXPECT_EQ(nlohmann::json::parse(mirvo_avi("info --json " + shell_quoted(file)).out)["finalised"], true);

    repair = mirvo_avi("repair " + shell_quoted(file));
    EXPECT_EQ(repair.status, 0);
    EXPECT_EQ(repair.out, file + ": already finished, left unchanged\n");
    EXPECT_TRUE(read_file(file) == finished);
}

TEST_F(repair_tool, a_recording_cut_off_before_its_first_frame_is_described_and_left_as_it_is)
{
    std::string file = dir.file("empty.avi");
    record(file, 0, 0);
    const bytes found = read_file(file);
    const std::string nothing = "not finalised: no frame was recorded before it was cut off, nothing to finish";

    command_result info = mirvo_avi("info " + shell_quoted(file));
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.out, "file:          " + file + "\nsize:          2048 bytes\n" + nothing + "\n" +
                        "checkpoints:   none (cut off before its first sync, or written by an earlier mirvo)\n");
    command_result repair = mirvo_avi("repair " + shell_quoted(file));
    EXPECT_EQ(repair.status, 0) << repair.err;
    EXPECT_EQ(repair.out, file + ": " + nothing + "; left unchanged\n");
    EXPECT_TRUE(read_file(file) == found);
    command_result frames = mirvo_avi("frames " + shell_quoted(file));
    EXPECT_EQ(frames.status, 1);
    EXPECT_EQ(frames.err, file + ": " + nothing + "\n");
}

TEST_F(repair_tool, a_recording_with_checkpoints_keeps_all_after_a_kill_and_what_they_verify_after_a_restart)
{
    // 30 frames with a sync after frames 12 and 24; then copies as a kill leaves it, as a
    // power cut does (repaired after a restart), and with its data damaged.
    std::string file = dir.file("synced.avi"), cut = dir.file("cut.avi"), damaged = dir.file("damaged.avi");
    const bytes all = record(file, 30, 0, 12);
    bytes as_cut = read_file(file);
    const bytes after_second_sync = record(dir.file("unused.avi"), 24, 0, 12);
    write_file(cut, as_cut);
    as_cut[2048 + 8 + 40] ^= 1;  // in the first frame: no checkpoint verifies
    write_file(damaged, as_cut);

    command_result info = mirvo_avi("info " + shell_quoted(file));
    EXPECT_NE(info.out.find("\nnot finalised: 30 frames recoverable, run mirvo-avi repair\n"
                            "checkpoints:   2, the data verified up to checkpoint 2\n"),
              std::string::npos)
        << info.out;
    auto d = nlohmann::json::parse(mirvo_avi("info --json " + shell_quoted(file)).out);
    EXPECT_EQ(d["checkpoints"], 2);
    EXPECT_EQ(d["verified_checkpoint"], 2);
    command_result repair = mirvo_avi("repair " + shell_quoted(file));
    EXPECT_EQ(repair.status, 0) << repair.err;
    EXPECT_EQ(repair.out, file + ": finalised: 30 video frames (2 key frames), 30 audio chunks, 1.20 s; "
                                 "verified by checkpoint 2, and the 12 chunks written after it kept (no "
                                 "restart since: every byte written was in the file)\n");
    EXPECT_TRUE(read_file(file) == all) << "a kill loses nothing that was written";
    EXPECT_NE(mirvo_avi("info " + shell_quoted(damaged)).out.find(
                  "\nnot finalised: no checkpoint verifies its data, nothing to finish\n"
                  "checkpoints:   2, none verifies: nothing of the data is known to be this recording's\n"),
              std::string::npos);

    if (!why_no_restart().empty())
        GTEST_SKIP() << "skipped, a repair after a restart: " << why_no_restart();
    repair = run(after_restart(program("mirvo-avi") + " repair " + shell_quoted(cut)));
    EXPECT_EQ(repair.status, 0) << repair.err;
    const uint64_t moved = as_cut.size() - (after_second_sync.size() - 8 - 24 * 2 * 16);
    EXPECT_EQ(repair.out, cut + ": finalised: 24 video frames (1 key frames), 24 audio chunks, 0.96 s; "
                                "verified by checkpoint 2; 12 chunks (" + std::to_string(moved) +
                                " bytes) written after the last sync moved to " + cut + ".dropped\n");
    EXPECT_TRUE(read_file(cut) == after_second_sync) << "not the bytes of a close after the second sync";
    // What was moved reads as a recording cut off: its 12 chunks, whole.
    EXPECT_NE(mirvo_avi("info " + shell_quoted(cut + ".dropped")).out.find(
                  "\nnot finalised: 6 frames recoverable, run mirvo-avi repair\n"), std::string::npos);
    command_result frames = mirvo_avi("frames " + shell_quoted(cut + ".dropped"));
    EXPECT_EQ(frames.status, 0) << frames.err;
    EXPECT_EQ(std::count(frames.out.begin(), frames.out.end(), '\n'), 1 + 12) << frames.out;

    repair = run(after_restart(program("mirvo-avi") + " repair " + shell_quoted(damaged)));
    EXPECT_EQ(repair.status, 1);
    EXPECT_EQ(repair.err, damaged + ": not finalised: no checkpoint verifies its data, nothing to finish; "
                                    "left unchanged\n");
    EXPECT_TRUE(read_file(damaged) == as_cut);
}

TEST_F(repair_tool, a_folder_of_finished_cut_off_and_junk_files_is_checked_and_repaired_in_one_call)
{
    std::string card = dir.file("DCIM"), sub = card + "/100CAM";
    ASSERT_EQ(mkdir(card.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    const bytes finished = record(card + "/b-cut.avi", 12, 3);
    write_file(card + "/a-done.avi", finished);
    write_file(card + "/c-junk.AVI", bytes(5, 'x'));
    write_file(card + "/notes.txt", bytes(5, 'x'));
    record(sub + "/d-cut.avi", 6, 0);
    const std::string junk_line = card + "/c-junk.AVI: not an AVI file\n";

    command_result info = mirvo_avi("info " + shell_quoted(card));
    EXPECT_EQ(info.status, 1) << "the junk file failed";
    EXPECT_EQ(info.err, junk_line);
    EXPECT_NE(info.out.find("file:          " + card + "/a-done.avi\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("\n\nfile:          " + card + "/b-cut.avi\n"), std::string::npos) << info.out;
    auto described = nlohmann::json::parse(mirvo_avi("info --json -r " + shell_quoted(card)).out);
    ASSERT_EQ(described.size(), 3u);
    EXPECT_EQ(described[0]["file"], sub + "/d-cut.avi") << "in name order, subfolders among the files";
    auto listed = nlohmann::json::parse(mirvo_avi("frames --json " + shell_quoted(card + "/a-done.avi") + " " +
                                                  shell_quoted(card + "/b-cut.avi")).out);
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[1]["file"], card + "/b-cut.avi");
    EXPECT_EQ(listed[1]["frames"].size(), 24u);

    command_result repair = mirvo_avi("repair -r " + shell_quoted(card));
    EXPECT_EQ(repair.status, 1);
    EXPECT_EQ(repair.err, junk_line);
    EXPECT_NE(repair.out.find(card + "/a-done.avi: already finished, left unchanged\n"), std::string::npos);
    EXPECT_NE(repair.out.find("\nrepair: 4 files: 2 repaired, 1 already finished, 1 failed\n"), std::string::npos)
        << repair.out;
    EXPECT_TRUE(read_file(card + "/a-done.avi") == finished);
    EXPECT_TRUE(read_file(card + "/b-cut.avi") == finished) << "repaired to the bytes of its close";
}

TEST_F(repair_tool, what_it_must_not_or_cannot_write_is_refused_on_one_line_and_left_untouched)
{
    auto expect_refused = [&](const std::string &file, const std::string &message, const std::string &prefix = "") {
        bytes before = read_file(file);
        command_result repair = mirvo_avi("repair " + shell_quoted(file), prefix);
        EXPECT_EQ(repair.status, 1) << file;
        EXPECT_EQ(repair.out, "");
        EXPECT_EQ(repair.err, file + ": " + message + "\n");
        EXPECT_TRUE(read_file(file) == before) << file;
    };

    std::string placeholder = dir.file("placeholder.avi");  // killed before the streams
    write_file(placeholder, bytes(2048, 0));
    expect_refused(placeholder, "not an AVI file");
    command_result info = mirvo_avi("info " + shell_quoted(placeholder));
    EXPECT_EQ(info.status, 1);
    EXPECT_EQ(info.err, placeholder + ": not an AVI file\n");

    std::string foreign = dir.file("foreign.avi");
    bytes peer = read_file(source_path("tests/data/peers/gst-avimux.avi"));
    write_file(foreign, bytes(peer.begin(), peer.begin() + 20001));
    expect_refused(foreign, "not finished, but its header is not the one mirvo writes; left unchanged");

    // A recording that this user may not write: as another user when the tests run as root.
    std::string locked = dir.file("locked.avi");
    record(locked, 3, 0);
    chmod(locked.c_str(), 0444);
    std::string as_other_user = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    expect_refused(locked, "cannot be opened: Permission denied", as_other_user);
    info = mirvo_avi("info " + shell_quoted(locked), as_other_user);
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("not finalised: 3 frames recoverable"), std::string::npos) << info.out;

    expect_refused(dir.file("none.avi"), "cannot be opened: No such file or directory");
    EXPECT_EQ(mirvo_avi("repair").status, 2);

}

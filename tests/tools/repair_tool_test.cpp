// mirvo-avi repair and info on recordings cut off before their close, as a user runs them:
// info tells that a file was not finalised and what a repair recovers, repair finishes it
// in place (the bytes of a clean close), and refuses, on one line and without touching the
// file, what it must not or cannot write.
#include "tool_fixture.h"

#include <nlohmann/json.hpp>
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
    bytes record(const std::string &cut_off, int frames, size_t partial)
    {
        std::string path = dir.file("finished.avi");
        clip_recording c;
        c.width = 160;
        c.height = 120;
        c.frames = frames;
        bytes before_close = record_clip(path, c);
        const std::string next_chunk = "00db" + le32(1000);
        before_close.insert(before_close.end(), next_chunk.begin(), next_chunk.begin() + static_cast<long>(partial));
        write_file(cut_off, before_close);
        return read_file(path);
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
    EXPECT_NE(info.out.find("\nnot finalised: 30 frames recoverable, run mirvo-avi repair\n"), std::string::npos)
        << info.out;
    EXPECT_NE(info.out.find("30 frames, 1.200 s, 2 key frames"), std::string::npos) << "the key frames repair finds";
    auto d = nlohmann::json::parse(mirvo_avi("info --json " + shell_quoted(file)).out);
    EXPECT_EQ(d["finalised"], false);
    EXPECT_EQ(d["recoverable_frames"], 30);

    command_result repair = mirvo_avi("repair " + shell_quoted(file));
    ASSERT_EQ(repair.status, 0) << repair.err;
    EXPECT_EQ(repair.out, file + ": finalised: 30 video frames (2 key frames), 30 audio chunks; "
                                 "5 bytes of a chunk cut short dropped\n");
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

TEST_F(repair_tool, a_recording_cut_off_before_its_first_frame_is_described_and_finished_empty)
{
    std::string file = dir.file("empty.avi");
    bytes finished = record(file, 0, 0);
    ASSERT_EQ(finished.size(), 2056u) << "the header and an empty index";

    command_result info = mirvo_avi("info " + shell_quoted(file));
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.out, "file:          " + file + "\nsize:          2048 bytes\n"
                        "not finalised: 0 frames recoverable, run mirvo-avi repair\n");

    command_result repair = mirvo_avi("repair " + shell_quoted(file));
    EXPECT_EQ(repair.status, 0) << repair.err;
    EXPECT_EQ(repair.out, file + ": finalised: 0 video frames (0 key frames), 0 audio chunks\n");
    EXPECT_TRUE(read_file(file) == finished);
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
    expect_refused(placeholder, "mirvo-avi - Not an AVI file");
    command_result info = mirvo_avi("info " + shell_quoted(placeholder));
    EXPECT_EQ(info.status, 1);
    EXPECT_EQ(info.err, placeholder + ": mirvo-avi - Not an AVI file\n");

    std::string foreign = dir.file("foreign.avi");
    bytes peer = read_file(source_path("tests/data/peers/gst-avimux.avi"));
    write_file(foreign, bytes(peer.begin(), peer.begin() + 20001));
    expect_refused(foreign, "not finished, but its header is not the one mirvo writes; left unchanged");

    // A recording that this user may not write: as another user when the tests run as root.
    std::string locked = dir.file("locked.avi");
    record(locked, 3, 0);
    chmod(locked.c_str(), 0444);
    std::string as_other_user = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    expect_refused(locked, "mirvo-avi - Error opening AVI file - Permission denied", as_other_user);
    info = mirvo_avi("info " + shell_quoted(locked), as_other_user);
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("not finalised: 3 frames recoverable"), std::string::npos) << info.out;

    expect_refused(dir.file("none.avi"), "mirvo-avi - Error opening AVI file - No such file or directory");
    EXPECT_EQ(mirvo_avi("repair").status, 2);
    EXPECT_EQ(mirvo_avi("repair " + shell_quoted(locked) + " " + shell_quoted(foreign)).status, 2);
}

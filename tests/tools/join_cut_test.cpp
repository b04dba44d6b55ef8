// mirvo-avi join and cut: parts stopped at a key frame and continued from it join into the
// very file a recording of all their frames makes, and a cut from a key frame is the file a
// recording of just those frames makes; what they must not join or cut is refused on one line.
#include "tool_fixture.h"

#include <sys/stat.h>

using namespace mirvo_test;

namespace {

// Frames [first, first + frames) of the test clip, every tenth held for one more frame time
// (a filler), 320 bytes of audio after each but the last one when the part was stopped there.
bytes clip_part(const std::string &path, int first, int frames, bool stopped_there = false, int width = 320)
{
    return record_clip(path, {.width = width, .first = first, .frames = frames, .repeat_every = 10,
                              .audio_after_last = !stopped_there}).closed;
}

}  // namespace

TEST(join_and_cut, make_the_files_a_recording_of_the_same_frames_makes)
{
    temp_dir dir;
    auto q = [&](const std::string &name) { return shell_quoted(dir.file(name)); };
    const bytes whole = clip_part(dir.file("whole.avi"), 0, 60);
    clip_part(dir.file("a.avi"), 0, 26, true);  // stopped at the key frame 25
    clip_part(dir.file("b.avi"), 25, 35);        // continued from it

    command_result joined = mirvo_avi("join " + q("joined.avi") + " " + q("a.avi") + " " + q("b.avi"));
    ASSERT_EQ(joined.status, 0) << joined.err;
    EXPECT_EQ(joined.out, dir.file("joined.avi") + ": joined 2 parts: 66 video frames, 60 audio chunks, 2.64 s\n");
    EXPECT_TRUE(read_file(dir.file("joined.avi")) == whole);

    // From 1.1 s: the key frame 25, shown at 1.08 s (after two fillers), up to 2.0 s (the
    // frame time of frame 45): times and numbers are the frames shown, fillers included.
    command_result cut = mirvo_avi("cut " + q("whole.avi") + " " + q("cut.avi") + " --from 1.1 --to 0:02");
    ASSERT_EQ(cut.status, 0) << cut.err;
    EXPECT_EQ(cut.out, dir.file("cut.avi") + ": video frames 27 to 49 (1.080 s to 2.000 s), 21 audio chunks\n");
    EXPECT_TRUE(read_file(dir.file("cut.avi")) == clip_part(dir.file("expected.avi"), 25, 21));
}

TEST(join_and_cut, what_they_must_not_join_or_cut_is_refused_on_one_line_and_writes_nothing)
{
    temp_dir dir;
    auto f = [&](const std::string &name) { return dir.file(name); };
    clip_part(f("a.avi"), 0, 26, true);
    clip_part(f("b.avi"), 25, 35);
    clip_part(f("narrow.avi"), 25, 35, false, 160);
    write_file(f("cut-off.avi"), record_clip(f("finished.avi"), {}).before_close);
    write_file(f("exists.avi"), bytes{'x'});

    struct refusal {
        std::string args, message;
    };
    const refusal table[] = {
        {"join " + f("out.avi") + " " + f("a.avi") + " " + f("a.avi"),
         f("a.avi") + ": does not continue " + f("a.avi") + ": its first video frame is not the last one of that part"},
        {"join " + f("out.avi") + " " + f("a.avi") + " " + f("narrow.avi"),
         f("narrow.avi") + ": cannot follow " + f("a.avi") + ": its video is 160x240, not 320x240"},
        {"join " + f("exists.avi") + " " + f("a.avi") + " " + f("b.avi"),
         f("exists.avi") + ": exists already: give a new name (a recording is never overwritten)"},
        {"join " + f("out.avi") + " " + f("cut-off.avi") + " " + f("b.avi"),
         f("cut-off.avi") + ": cut off before its close: run mirvo-avi repair on it first"},
        {"cut " + f("b.avi") + " " + f("out.avi") + " --from 3", f("b.avi") + ": its video ends at 1.560 s, before --from 3.000 s"},
    };
    for (const refusal &t : table) {
        command_result r = mirvo_avi(t.args);
        EXPECT_EQ(r.status, 1) << t.args;
        EXPECT_EQ(r.err, t.message + "\n") << t.args;
        struct stat st;
        EXPECT_NE(stat(f("out.avi").c_str(), &st), 0) << "nothing written for " << t.args;
    }
    EXPECT_TRUE(read_file(f("exists.avi")) == bytes{'x'});
    EXPECT_EQ(mirvo_avi("cut " + f("b.avi") + " " + f("out.avi") + " --from 2 --to 1").status, 2);
    EXPECT_EQ(mirvo_avi("join " + f("out.avi") + " " + f("a.avi")).status, 2);
}

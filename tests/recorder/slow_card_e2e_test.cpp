// mirvo on a slow card: a FUSE file system whose syncs take a second each (an SD card that is
// worn or cheap), and one whose sync stalls for fifteen seconds once. A slow card may cost
// durability, never frames: the recording keeps pace with the camera without a gap, and says
// once that the card is slow; a stall longer than the frame source's ring is a gap, which
// mirvo says with its size. A stop keeps every frame captured before it, however far behind
// the camera the recording is when it comes, and a start every frame after it, however long
// the new file's syncs take.
#include "failing_card.h"
#include "recorder_process.h"
#include "source_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <regex>
#include <thread>

using namespace mirvo_test;
using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

namespace {

class slow_card_e2e : public ::testing::Test {
protected:
    // The reference frames come from one frame source in this process, asked again from an
    // early serial by each test: its ring must hold everything it has given out. (mirvo
    // keeps the default ring.)
    static void SetUpTestSuite() { setenv("QEL_RING_SECONDS", "3600", 1); }

    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "skipped: a FUSE mount in a namespace of its own needs root";
        card = std::make_unique<failing_card>(dir);
        if (!card->why_not().empty())
            GTEST_SKIP() << "skipped: " << card->why_not();
    }

    // mirvo's own lines on standard error that contain `text`.
    static std::vector<std::string> said(const recorder_process &mirvo, const std::string &text)
    {
        std::vector<std::string> lines;
        for (const std::string &line : mirvo.err_lines())
            if (line.rfind("mirvo: ", 0) == 0 && line.find(text) != std::string::npos)
                lines.push_back(line);
        return lines;
    }

    temp_dir dir;
    std::unique_ptr<failing_card> card;
};

}  // namespace

TEST_F(slow_card_e2e, syncs_of_a_second_cost_no_frame_and_are_said_once)
{
    card->slow(1.0);
    recorder_process mirvo(dir, {{"QEL_PACE", "realtime"}, {"QEL_RING_SECONDS", "10"}});
    std::string file = card->file("slow.avi");
    ASSERT_TRUE(mirvo.start_recording(file, "", 1, 20s));
    steady::time_point started = steady::now();
    std::this_thread::sleep_for(40s);
    double seconds = std::chrono::duration<double>(steady::now() - started).count();
    ASSERT_TRUE(mirvo.stop_recording(1, "stop", 60s));
    EXPECT_EQ(mirvo.interrupt(), 0);

    std::vector<indexed_chunk> chunks = indexed_chunks(file);
    EXPECT_EQ(expect_source_frames_with_gaps(chunks, first_serial(mirvo, 0), true), 0u) << "no gap";
    size_t frames = video_chunks(chunks);
    EXPECT_GE(static_cast<double>(frames), 0.95 * 25 * seconds) << "the recording kept pace";
    EXPECT_EQ(said(mirvo, "the card is slow").size(), 1u) << mirvo.err();
    EXPECT_TRUE(said(mirvo, "skipped").empty()) << mirvo.err();
    printf("[ slow card ] syncs of 1 s: %zu video frames in %.1f s (%.1f%% of 25 fps)\n", frames,
           seconds, 100.0 * static_cast<double>(frames) / (25 * seconds));
}

TEST_F(slow_card_e2e, a_sync_that_stalls_past_the_ring_is_a_gap_that_is_said_with_its_size)
{
    recorder_process mirvo(dir, {{"QEL_PACE", "realtime"}, {"QEL_RING_SECONDS", "10"}});
    std::string file = card->file("stalled.avi");
    ASSERT_TRUE(mirvo.start_recording(file, "", 1, 20s));
    std::this_thread::sleep_for(3s);
    card->stall(15.0);
    ASSERT_TRUE(mirvo.wait_for_err("skipped", 1, 40s)) << mirvo.err();
    std::this_thread::sleep_for(3s);
    ASSERT_TRUE(mirvo.stop_recording(1, "stop", 30s));
    EXPECT_EQ(mirvo.interrupt(), 0);

    std::vector<std::string> skipped = said(mirvo, "the frame source skipped");
    ASSERT_EQ(skipped.size(), 1u) << mirvo.err();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(skipped[0], m, std::regex(R"(skipped (\d+) frames)"))) << skipped[0];
    size_t gap = expect_source_frames_with_gaps(indexed_chunks(file), first_serial(mirvo, 0), true);
    EXPECT_EQ(gap, std::stoul(m[1])) << "the gap in the file is the one said";
    EXPECT_GT(gap, 0u);
    EXPECT_EQ(said(mirvo, "the card is slow").size(), 1u) << mirvo.err();
    printf("[ slow card ] a 15 s stall: %s\n", mirvo.err().c_str());
}

TEST_F(slow_card_e2e, a_stop_keeps_every_frame_captured_before_it_however_far_behind_the_recording_is)
{
    // The stop (or SIGINT) comes late in a sync, when the recording is far behind the camera.
    // Syncs of 0 s: as fast as the disk, the recording is caught up.
    struct row {
        double sync_seconds;
        bool by_sigint;
    };
    for (const row &r : {row{0, false}, row{1, false}, row{2, false}, row{2, true}}) {
        SCOPED_TRACE("syncs of " + std::to_string(r.sync_seconds) + " s, " + (r.by_sigint ? "SIGINT" : "stop"));
        card->slow(r.sync_seconds);
        recorder_process mirvo(dir, {{"QEL_PACE", "realtime"}, {"QEL_RING_SECONDS", "10"}});
        std::string file = card->file(std::to_string(mirvo.pid()) + ".avi");
        ASSERT_TRUE(mirvo.start_recording(file, "", 1, 20s));
        steady::time_point started = steady::now();
        std::this_thread::sleep_for(10s);
        ASSERT_TRUE(card->wait_for_sync(20s));
        std::this_thread::sleep_for(std::chrono::duration<double>(0.75 * r.sync_seconds));
        steady::time_point stopping = steady::now();
        if (r.by_sigint) {
            mirvo.signal(SIGINT);
        } else {
            ASSERT_EQ(mirvo.control("stop").status, 0);
        }
        steady::time_point stopped = steady::now();
        if (r.by_sigint) {
            EXPECT_EQ(mirvo.wait_exit(15s), 0) << "SIGINT ends mirvo within seconds";
        } else {
            ASSERT_TRUE(mirvo.wait_closed(1, 30s));
        }

        // With audio and without a gap, chunk i is the frame of serial first + i; the video
        // frames after the one the camera had just captured at the start ("cur serial is")
        // are the camera's time from the start to the stop.
        std::smatch m;
        std::string out = mirvo.out();
        ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(cur serial is (\d+), serial is (\d+))")));
        int32_t current = std::stoi(m[1]), first = std::stoi(m[2]);
        std::vector<indexed_chunk> chunks = indexed_chunks(file);
        ASSERT_EQ(expect_source_frames_with_gaps(chunks, first, true), 0u) << "no gap";
        size_t video_after = 0;
        for (size_t i = 0; i < chunks.size(); ++i)
            video_after += chunks[i].id == "00db" && first + static_cast<int32_t>(i) > current;
        double kept = static_cast<double>(video_after) / 25;
        double before_stop = std::chrono::duration<double>(stopping - started).count();
        double by_stop = std::chrono::duration<double>(stopped - started).count();
        EXPECT_GE(kept, before_stop - 0.25) << "the frames captured before the stop are kept";
        if (!r.by_sigint) {  // the recording learns of SIGINT only after the sync it is in
            EXPECT_LE(kept, by_stop + 0.25) << "and the recording ends right after them";
        }
        EXPECT_TRUE(said(mirvo, "not in the file").empty()) << mirvo.err();
        printf("[ slow card ] syncs of %.0f s, %s: %.2f s kept of %.2f s to the stop\n", r.sync_seconds,
               r.by_sigint ? "SIGINT" : "stop", kept, before_stop);
        if (!r.by_sigint) {
            EXPECT_EQ(mirvo.interrupt(), 0);
        }
    }
}

TEST_F(slow_card_e2e, a_start_keeps_every_second_after_its_request_however_slow_the_new_file_is)
{
    // Between the start request and the first fetch lie the idle loop's look for requests
    // and the new file's syncs: on a slow card, seconds. The frames of that time are still in
    // the frame source's ring, and the recording begins with the last key frame captured at
    // or before the serial the request came at.
    for (double sync_seconds : {0.0, 1.0, 2.0}) {
        SCOPED_TRACE("syncs of " + std::to_string(sync_seconds) + " s");
        card->slow(sync_seconds);
        recorder_process mirvo(dir, {{"QEL_PACE", "realtime"}, {"QEL_RING_SECONDS", "10"}});
        std::string file = card->file(std::to_string(mirvo.pid()) + ".avi");
        steady::time_point requested = steady::now();
        ASSERT_EQ(mirvo.control("start " + file).status, 0);
        std::this_thread::sleep_until(requested + 10s);
        ASSERT_EQ(mirvo.control("stop --mode 0").status, 0);
        double to_stop = std::chrono::duration<double>(steady::now() - requested).count();
        ASSERT_TRUE(mirvo.wait_closed(1, 30s)) << mirvo.out();

        // The serial the request came at, as the recording says it; the file's first frame
        // (its first key frame) is no later, and with audio and without a gap chunk i is the
        // frame of serial first + i: its video frames after the request are the seconds held.
        std::smatch m;
        std::string out = mirvo.out();
        bool said_request = std::regex_search(out, m, std::regex(R"(start request at serial (\d+))"));
        EXPECT_TRUE(said_request) << out;
        int32_t request = said_request ? std::stoi(m[1]) : 0;
        int32_t first = first_serial(mirvo, 0);
        std::vector<indexed_chunk> chunks = indexed_chunks(file);
        ASSERT_EQ(expect_source_frames_with_gaps(chunks, first, true), 0u) << "no gap";
        size_t video_after = 0;
        for (size_t i = 0; i < chunks.size(); ++i)
            video_after += chunks[i].id == "00db" && first + static_cast<int32_t>(i) > request;
        double held = static_cast<double>(video_after) / 25;
        printf("[ slow card ] syncs of %.0f s: %.2f s held from the start request to the stop (%.2f s apart)\n",
               sync_seconds, held, to_stop);
        EXPECT_LE(first, request) << "the file begins at or before the request";
        EXPECT_GE(held, 9.9) << "every second from the request to the stop is kept";
        EXPECT_LE(held, to_stop + 0.25) << "and none from before the request's key frame";
        EXPECT_TRUE(said(mirvo, "not in the file").empty()) << mirvo.err();
        EXPECT_EQ(mirvo.interrupt(), 0);
    }
}

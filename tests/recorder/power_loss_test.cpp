// Killed, as a process sees it: mirvo recording from the stand-in is killed with SIGKILL at
// ten moments (five in realtime pacing, after a time; five in burst pacing, at a file size).
// The page cache then holds every byte mirvo wrote, and repair in the same boot keeps every
// whole chunk: the reader and repair must find exactly the source's frames up to a last chunk
// cut short, and ffprobe and ffmpeg must take the repaired file for what was recorded. The
// same bytes repaired after a restart keep what the newest checkpoint verified, and the rest
// is moved beside the file.
#include "recorder_process.h"
#include "source_frames.h"

#include "avi/avi.h"
#include "qel/qelmain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <filesystem>
#include <sys/stat.h>
#include <thread>

using namespace mirvo_test;
using namespace std::chrono_literals;

namespace {

struct kill_moment {
    const char *pace;                 // "realtime" or "burst"
    std::chrono::milliseconds after;  // realtime: after the first frame was fetched
    uint64_t at_size;                 // burst: once the file has grown to this size
};

std::string name_of(const kill_moment &m)
{
    return std::string(m.pace) + "_" +
           (std::string(m.pace) == "realtime" ? std::to_string(m.after.count()) + "ms"
                                              : std::to_string(m.at_size) + "bytes");
}

uint64_t size_of(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// The chunks of a file as the reader finds them (rebuilding the index of a file that was
// never closed), in file order; flags are those of the reader's index.
std::vector<indexed_chunk> chunks_by_reader(const std::string &path)
{
    std::vector<indexed_chunk> chunks;
    avi_handle *h = AVI_open_input(path.c_str(), 1);
    if (!h)
        return chunks;  // no video frame at all: the caller checks the count
    bytes buffer(AVI_largest_chunk(h));
    auto capacity = static_cast<int32_t>(buffer.size());
    for (int32_t i = 0;; ++i) {
        int32_t stream = AVI_index_entry_stream(h, i), key = 0, n = -1;
        if (stream < 0)
            break;
        if (stream == 0)
            n = AVI_read_video_frame(h, buffer.data(), capacity, &key);
        else
            n = AVI_next_audio_chunk(h, buffer.data());
        EXPECT_GE(n, 0) << "entry " << i << ": " << AVI_error_text();
        if (n < 0)
            break;
        chunks.push_back({stream == 0 ? "00db" : "01wb", key ? 0x10u : 0u,
                          bytes(buffer.begin(), buffer.begin() + n)});
    }
    AVI_close_handle(h);
    return chunks;
}

// The bytes a chunk takes in the file, its pad byte aside.
bytes chunk_bytes(const source_frame &f)
{
    std::string head = (f.type == QEL_FRAME_AUDIO ? "01wb" : "00db") + le32(static_cast<uint32_t>(f.data.size()));
    bytes b(head.begin(), head.end());
    b.insert(b.end(), f.data.begin(), f.data.end());
    return b;
}

class power_loss : public ::testing::TestWithParam<kill_moment> {
protected:
    // The reference frames come from one frame source in this process, asked again from
    // serial 1 by every burst trial: its ring must hold everything it has given out.
    // (mirvo keeps the default ring.)
    static void SetUpTestSuite() { setenv("QEL_RING_SECONDS", "3600", 1); }
    temp_dir dir;
};

}  // namespace

TEST_P(power_loss, a_kill_keeps_every_chunk_written_and_repair_finishes_the_file)
{
    const kill_moment &moment = GetParam();
    const bool realtime = std::string(moment.pace) == "realtime";
    std::string file = dir.file("cut.avi");

    // Record and kill.
    recorder_process mirvo(dir, {{"QEL_PACE", moment.pace}, {"QEL_RING_SECONDS", "10"}});
    ASSERT_EQ(mirvo.control("start " + shell_quoted(file)).status, 0);
    if (realtime) {
        ASSERT_TRUE(mirvo.wait_for("cur serial is")) << mirvo.out();
        std::this_thread::sleep_for(moment.after);
    } else {  // burst writes hundreds of megabytes a second: watch the file itself
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (size_of(file) < moment.at_size && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        ASSERT_GE(size_of(file), moment.at_size) << mirvo.out();
    }
    mirvo.signal(SIGKILL);
    ASSERT_EQ(mirvo.wait_exit(), 128 + SIGKILL);
    int32_t first = first_serial(mirvo, 0);
    ASSERT_GT(first, 0) << mirvo.out();

    // After a kill the page cache holds every byte written: the reader and repair find the
    // source's frames in order from the first, every whole chunk of them, up to a last write
    // cut short.
    std::vector<indexed_chunk> found = chunks_by_reader(file);
    avi_recovery examined;
    ASSERT_EQ(AVI_examine_file(file.c_str(), &examined), 0) << AVI_error_text();
    ASSERT_EQ(examined.state, AVI_FILE_CUT_OFF);
    ASSERT_GE(examined.checkpoints, 1) << "the first sync comes before the first frame";
    EXPECT_EQ(examined.checkpoint_used, examined.checkpoints);
    EXPECT_EQ(examined.past_checkpoint, AVI_PAST_SAME_BOOT);
    ASSERT_EQ(static_cast<size_t>(examined.video_frames), video_chunks(found));
    ASSERT_EQ(static_cast<size_t>(examined.video_frames + examined.audio_chunks), found.size());
    const bytes cut = read_file(file);
    std::vector<source_frame> source = source_frames(first, found.size() + 1, /*with_audio=*/true);
    for (size_t i = 0; i < found.size(); ++i) {
        ASSERT_EQ(found[i].id, source[i].type == QEL_FRAME_AUDIO ? "01wb" : "00db") << "chunk " << i;
        ASSERT_TRUE(found[i].data == source[i].data) << "chunk " << i << " differs from serial " << source[i].serial;
    }
    const uint64_t data_end = examined.data_end;
    bytes next = chunk_bytes(source[found.size()]);
    EXPECT_LT(cut.size() - std::min<uint64_t>(data_end, cut.size()), next.size()) << "less than a chunk left out";
    EXPECT_TRUE(std::equal(cut.begin() + static_cast<long>(std::min<uint64_t>(data_end, cut.size())), cut.end(), next.begin()))
        << "what follows is the start of the next frame's chunk";
    EXPECT_EQ(examined.stop_reason, cut.size() > data_end ? AVI_STOP_CUT_SHORT : AVI_STOP_END_OF_FILE);

    // After a restart the same bytes keep only what the newest checkpoint verified: a prefix,
    // with the rest moved beside the file.
    size_t after_checkpoint = static_cast<size_t>(examined.chunks_past);
    if (why_no_restart().empty()) {
        std::string copy = dir.file("restarted.avi");
        write_file(copy, cut);
        command_result restarted = run(after_restart(program("mirvo-avi") + " repair " + shell_quoted(copy)));
        std::vector<indexed_chunk> verified(found.begin(), found.end() - static_cast<long>(after_checkpoint));
        if (video_chunks(verified) == 0) {  // no frame verified: nothing to finish
            EXPECT_TRUE(read_file(copy) == cut) << restarted.out << restarted.err;
        } else {
            std::vector<indexed_chunk> kept = indexed_chunks(copy);
            EXPECT_TRUE(std::equal(kept.begin(), kept.end(), verified.begin(), verified.end(),
                                   [](const indexed_chunk &a, const indexed_chunk &b) { return a.id == b.id && a.data == b.data; }))
                << restarted.out << restarted.err;
            bytes moved = std::filesystem::exists(copy + ".dropped") ? read_file(copy + ".dropped") : bytes(AVI_HEADER_BYTES);
            EXPECT_TRUE(moved.size() > AVI_HEADER_BYTES || after_checkpoint == 0);
            EXPECT_TRUE(std::equal(moved.begin() + AVI_HEADER_BYTES, moved.end(), cut.end() - static_cast<long>(moved.size() - AVI_HEADER_BYTES)))
                << "what was not kept is beside it";
        }
    }
    if (realtime && moment.after >= 800ms) {  // past the start's catch-up of the ring's backlog
        EXPECT_LE(after_checkpoint, 3u * 25) << "about half a second is written between two syncs";
    }

    // mirvo-avi repair finishes it: the same frames, the source's key flags, and an index.
    // Killed before a frame reached the file (a slow machine), it has nothing to finish.
    repair_outcome repair = repair_cut_off(file, false);
    ASSERT_EQ(repair.status, 0) << repair.said;
    size_t frames = video_chunks(found);
    if (frames == 0) {
        EXPECT_TRUE(read_file(file) == cut) << repair.said;
        return;
    }
    ASSERT_EQ(repair.chunks.size(), found.size()) << repair.said;
    expect_source_frames(repair.chunks, first, true);

    // Peers take it for what was recorded.
    command_result probe = run("ffprobe -v error -select_streams v -count_packets -show_entries "
                               "stream=nb_read_packets,nb_frames,duration -of csv=p=0 " + shell_quoted(file));
    ASSERT_EQ(probe.status, 0) << probe.err;
    char want[96];
    snprintf(want, sizeof want, "%.6f,%zu,%zu\n", static_cast<double>(frames) / 25.0, frames, frames);
    EXPECT_EQ(probe.out, want);
    command_result decode = run("ffmpeg -v error -nostdin -i " + shell_quoted(file) + " -f null -");
    EXPECT_EQ(decode.status, 0);
    EXPECT_EQ(decode.err, "") << "ffmpeg decodes it silently";

    printf("[ power loss ] %s: %zu video frames and %zu audio chunks kept, %zu chunks of them after the last "
           "checkpoint; %" PRIu64 " bytes of a chunk cut short\n",
           name_of(moment).c_str(), frames, found.size() - frames, after_checkpoint,
           cut.size() - std::min<uint64_t>(data_end, cut.size()));
}

INSTANTIATE_TEST_SUITE_P(
    ten_kills, power_loss,
    ::testing::Values(kill_moment{"realtime", 0ms, 0}, kill_moment{"realtime", 100ms, 0},
                      kill_moment{"realtime", 350ms, 0}, kill_moment{"realtime", 800ms, 0},
                      kill_moment{"realtime", 1500ms, 0}, kill_moment{"burst", 0ms, 48 << 10},
                      kill_moment{"burst", 0ms, 256 << 10}, kill_moment{"burst", 0ms, 1 << 20},
                      kill_moment{"burst", 0ms, 4 << 20}, kill_moment{"burst", 0ms, 12 << 20}),
    [](const ::testing::TestParamInfo<kill_moment> &info) { return name_of(info.param); });

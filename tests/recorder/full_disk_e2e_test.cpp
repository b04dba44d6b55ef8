// mirvo end to end when its files cannot grow or its card fails: under a file-size limit
// (writes past it fail with EFBIG), on a small tmpfs that fills up (ENOSPC), and on a card
// whose syncs and then writes fail with EIO (a FUSE file system that plays a card going bad). The recorder must keep answering,
// say once on standard error that frames are refused and once that they are accepted again,
// keep its standard output as it always is, and close files that our reader and ffprobe read:
// with their index when there was room for it, else one that our reader rebuilds.
#include "failing_card.h"
#include "loop_disk.h"
#include "recorder_process.h"
#include "source_frames.h"

#include "avi/avi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <thread>

using namespace mirvo_test;
using namespace std::chrono_literals;

namespace {

const std::string refused_efbig =
    "mirvo: frames refused: mirvo-avi - Error writing to AVI file - File too large";
const std::string refused_enospc =
    "mirvo: frames refused: mirvo-avi - Error writing to AVI file - No space left on device";
const std::string accepted_again = "mirvo: frames accepted again";
const std::string index_failed = "mirvo: closing the file failed: mirvo-avi - Error writing index "
                                 "(file may still be useable) - File too large";

// Every line that mirvo may print on standard output; nothing about refused frames is among
// them.
void expect_only_progress_lines(const std::vector<std::string> &lines)
{
    static const std::regex known(
        R"(={27}|\[mirvo\] .+|zo record start|\[zo_record_start\]: file name is .+, parttime is -?\d+, resolution is -?\d+|)"
        R"(\[avi_open\]: |\[record_avi\]: first serial is -?\d+|\[record_avi\]: ret is -?\d+, type is \d+|)"
        R"(\[record_avi\]: start request at serial \d+, .+|)"
        R"(cur serial is -?\d+, serial is -?\d+|zo_record_stop, filename = .*, stop flag -?\d+|)"
        R"(\[record_avi\]: stop rec by main process|\[avi_close\]: |avi file open failed!|open .+ err .+)");
    for (const std::string &line : lines)
        EXPECT_TRUE(std::regex_match(line, known)) << "unexpected line on standard output: " << line;
}

// Sets the file-size limit of a running process (the writes of the test itself stay free).
void limit_file_size(pid_t pid, rlim_t bytes)
{
    rlimit old{};
    ASSERT_EQ(prlimit(pid, RLIMIT_FSIZE, nullptr, &old), 0) << strerror(errno);
    rlimit limit{bytes, old.rlim_max};
    ASSERT_EQ(prlimit(pid, RLIMIT_FSIZE, &limit, nullptr), 0) << strerror(errno);
}

// Starts mirvo with SIGXFSZ ignored, which it keeps across exec, so that a write past a file
// size limit fails with EFBIG instead of ending the process.
std::unique_ptr<recorder_process> start_ignoring_sigxfsz(const temp_dir &dir)
{
    sighandler_t old = signal(SIGXFSZ, SIG_IGN);
    auto mirvo = std::make_unique<recorder_process>(
        dir, std::map<std::string, std::string>{{"QEL_PACE", "realtime"}});
    signal(SIGXFSZ, old);
    return mirvo;
}

// Video and audio packets that ffprobe reads from a file, as "video,audio".
std::string probed_packets(const std::string &path)
{
    command_result probe = run("ffprobe -v error -count_packets -show_entries "
                               "stream=nb_read_packets -of csv=p=0 " + shell_quoted(path));
    EXPECT_EQ(probe.status, 0) << probe.err;
    EXPECT_EQ(probe.err, "") << "ffprobe complains about " << path;
    std::string out = probe.out;
    std::replace(out.begin(), out.end(), '\n', ',');
    return out.empty() ? out : out.substr(0, out.size() - 1);
}

std::string counted_packets(const std::vector<indexed_chunk> &chunks)
{
    size_t video = video_chunks(chunks);
    return std::to_string(video) + "," + std::to_string(chunks.size() - video);
}

// A file closed with its index: the index read by hand, our reader and ffprobe all find
// the same chunks, and those are the source's frames with the refused ones left out.
// Returns how many frames were left out.
size_t expect_closed_with_index(const std::string &path, int32_t first)
{
    std::vector<indexed_chunk> chunks = indexed_chunks(path);
    int32_t origin = -1;
    std::vector<indexed_chunk> read = reader_chunks(path, &origin);
    EXPECT_EQ(origin, AVI_INDEX_ABSOLUTE);
    EXPECT_EQ(read.size(), chunks.size());
    for (size_t i = 0; i < std::min(read.size(), chunks.size()); ++i)
        EXPECT_TRUE(read[i].id == chunks[i].id && read[i].data == chunks[i].data &&
                    read[i].flags == chunks[i].flags)
            << "our reader differs at chunk " << i;
    EXPECT_EQ(probed_packets(path), counted_packets(chunks));
    return expect_source_frames_with_gaps(chunks, first, true);
}

class full_disk_e2e : public ::testing::Test {
protected:
    temp_dir dir;
};

}  // namespace

TEST_F(full_disk_e2e, under_a_file_size_limit_frames_are_refused_and_every_file_still_closes)
{
    constexpr rlim_t limit = 100000;  // under two seconds of the stand-in's frames
    std::unique_ptr<recorder_process> started = start_ignoring_sigxfsz(dir);
    recorder_process &mirvo = *started;
    limit_file_size(mirvo.pid(), limit);

    // 1. The limit stays: frames are refused until the stop, said once; the index does not
    //    fit either, so the file closes without one, and our reader rebuilds it.
    std::string stuck = dir.file("stuck.avi");
    ASSERT_EQ(mirvo.control("start " + shell_quoted(stuck)).status, 0);
    ASSERT_TRUE(mirvo.wait_for_err("frames refused", 1, 20s)) << mirvo.err();
    std::this_thread::sleep_for(1500ms);  // key frames among the refused ones
    ASSERT_TRUE(mirvo.stop_recording()) << "the recorder still answers";
    ASSERT_TRUE(mirvo.wait_for_err("closing the file failed"));
    EXPECT_EQ(mirvo.err_lines(), (std::vector<std::string>{refused_efbig, index_failed}));

    bytes b = read_file(stuck);
    ASSERT_GE(b.size(), 2056u);
    EXPECT_LE(b.size(), limit);
    EXPECT_GT(b.size() + 8 + 320, limit) << "no room was left for even an audio frame";
    EXPECT_EQ(u32_at(b, 4) + 8, b.size()) << "the RIFF form ends with the last chunk";
    EXPECT_EQ(u32_at(b, 44), 0x100u) << "the header says there is no index";
    int32_t origin = -1;
    std::vector<indexed_chunk> rebuilt = reader_chunks(stuck, &origin);
    EXPECT_EQ(origin, AVI_INDEX_REBUILT);
    ASSERT_GT(rebuilt.size(), 25u);
    EXPECT_EQ(u32_at(b, 48), video_chunks(rebuilt)) << "total frames";
    EXPECT_EQ(probed_packets(stuck), counted_packets(rebuilt));
    // A rebuilt index knows no key frames: the bytes are compared, not the flags.
    expect_source_frames_with_gaps(rebuilt, first_serial(mirvo, 0), true, false);

    // 2. Room comes back in the middle of a recording: said once, and the file closes with
    //    its index, the frames refused meanwhile left out.
    std::string rescued = dir.file("rescued.avi");
    ASSERT_EQ(mirvo.control("start " + shell_quoted(rescued)).status, 0);
    ASSERT_TRUE(mirvo.wait_for_err("frames refused", 2, 20s)) << mirvo.err();
    std::this_thread::sleep_for(1s);
    limit_file_size(mirvo.pid(), RLIM_INFINITY);
    ASSERT_TRUE(mirvo.wait_for_err(accepted_again, 1, 10s)) << mirvo.err();
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(mirvo.stop_recording(2));
    EXPECT_GT(expect_closed_with_index(rescued, first_serial(mirvo, 1)), 0u)
        << "frames were refused between frames that were written";

    // 3. The next recording with room is whole.
    int32_t first = record(mirvo, dir.file("next.avi"), "", "stop", 2);
    expect_source_frames(indexed_chunks(dir.file("next.avi")), first, true);

    EXPECT_EQ(mirvo.interrupt(), 0);
    EXPECT_EQ(mirvo.err_lines(), (std::vector<std::string>{refused_efbig, index_failed,
                                                            refused_efbig, accepted_again}));
    expect_only_progress_lines(mirvo.out_lines());
}

namespace {

// A tmpfs of `size` at `where`, mounted in a mount namespace of this test process's own, so
// that the host never sees it; mirvo, started afterwards, shares the namespace.
class small_disk {
public:
    small_disk(const std::string &where, const std::string &size) : where_(where)
    {
        std::filesystem::create_directory(where);
        why_not_ = enter_private_mounts();
        if (!why_not_.empty())
            return;
        if (mount("tmpfs", where.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0) {
            why_not_ = std::string("cannot mount a tmpfs: ") + strerror(errno);
            return;
        }
        mounted_ = true;
    }
    ~small_disk()
    {
        if (mounted_)
            umount2(where_.c_str(), MNT_DETACH);
    }
    const std::string &why_not() const { return why_not_; }

    uint64_t free_bytes() const
    {
        struct statvfs st {};
        statvfs(where_.c_str(), &st);
        return uint64_t{st.f_bavail} * st.f_frsize;
    }
    // Fills the disk with a file until at most `left` bytes are free.
    void fill_leaving(const std::string &filler, uint64_t left) const
    {
        std::ofstream out(filler, std::ios::binary);
        std::string block(4096, 'f');
        while (free_bytes() > left && out.write(block.data(), 4096) && out.flush())
            ;
    }

private:
    std::string where_, why_not_;
    bool mounted_ = false;
};

}  // namespace

TEST_F(full_disk_e2e, on_a_disk_that_fills_up_frames_and_files_are_refused_until_room_is_made)
{
    small_disk disk(dir.file("disk"), "512k");
    if (!disk.why_not().empty())
        GTEST_SKIP() << "skipped, the file-size limit case covers this: " << disk.why_not();
    std::string filler = dir.file("disk/filler"), file = dir.file("disk/full.avi");
    disk.fill_leaving(filler, 96 * 1024);
    ASSERT_LT(disk.free_bytes(), 110 * 1024u);

    recorder_process mirvo(dir, {{"QEL_PACE", "realtime"}});
    ASSERT_EQ(mirvo.control("start " + shell_quoted(file)).status, 0);
    ASSERT_TRUE(mirvo.wait_for_err("frames refused", 1, 20s)) << mirvo.err();
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(std::filesystem::file_size(file) % 2, 0u);
    std::filesystem::remove(filler);
    ASSERT_TRUE(mirvo.wait_for_err(accepted_again, 1, 10s)) << mirvo.err();
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(mirvo.stop_recording()) << "the recorder still answers";
    EXPECT_EQ(mirvo.err_lines(), (std::vector<std::string>{refused_enospc, accepted_again}));
    EXPECT_GT(expect_closed_with_index(file, first_serial(mirvo, 0)), 0u)
        << "frames were refused between frames that were written";

    // A recording asked for while the disk is full cannot even be created: it is retried
    // until there is room, and then it is whole.
    disk.fill_leaving(filler, 0);
    ASSERT_EQ(disk.free_bytes(), 0u);
    std::string late = dir.file("disk/late.avi");
    ASSERT_EQ(mirvo.control("start " + shell_quoted(late)).status, 0);
    ASSERT_TRUE(mirvo.wait_for("open " + late + " err No space left on device", 2, 10s))
        << mirvo.out();
    std::filesystem::remove(filler);
    ASSERT_TRUE(mirvo.wait_for("cur serial is", 2));
    std::this_thread::sleep_for(700ms);
    ASSERT_TRUE(mirvo.stop_recording(2));
    expect_source_frames(indexed_chunks(late), first_serial(mirvo, 1), true);
    EXPECT_EQ(mirvo.interrupt(), 0);
    EXPECT_EQ(mirvo.err_lines().size(), 2u) << mirvo.err();
    expect_only_progress_lines(mirvo.out_lines());
}

TEST_F(full_disk_e2e, a_card_that_fails_its_syncs_then_is_pulled_out_is_reported_once_each_and_the_next_recording_is_whole)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "skipped: a FUSE mount in a namespace of its own needs root";
    failing_card card(dir);
    if (!card.why_not().empty())
        GTEST_SKIP() << "skipped: " << card.why_not();

    recorder_process mirvo(dir, {{"QEL_PACE", "realtime"}});
    std::string failing = card.file("failing.avi");
    ASSERT_TRUE(mirvo.start_recording(failing));
    card.become("sync");
    ASSERT_TRUE(mirvo.wait_for_err("syncing the file failed", 1, 10s)) << mirvo.err();
    std::this_thread::sleep_for(1500ms);  // several syncs fail: said once
    card.become("gone");
    ASSERT_TRUE(mirvo.wait_for_err("frames refused", 1, 10s)) << mirvo.err();
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(mirvo.stop_recording()) << "the recorder still answers";
    ASSERT_TRUE(mirvo.wait_for_err("closing the file failed"));

    card.become("");
    std::string next = card.file("next.avi");
    int32_t first = record(mirvo, next, "", "stop", 1);
    expect_source_frames(indexed_chunks(next), first, true);
    EXPECT_EQ(mirvo.interrupt(), 0);
    const std::string eio = " - Input/output error";
    EXPECT_EQ(mirvo.err_lines(),
              (std::vector<std::string>{
                  "mirvo: syncing the file failed: mirvo-avi - Error writing to AVI file" + eio,
                  "mirvo: frames refused: mirvo-avi - Error writing to AVI file" + eio,
                  "mirvo: closing the file failed: mirvo-avi - Error closing AVI file" + eio}));
    expect_only_progress_lines(mirvo.out_lines());
}

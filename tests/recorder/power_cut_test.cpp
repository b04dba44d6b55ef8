// Power cuts, as the card sees them: mirvo records in real time onto a file system on a loop
// device, and at chosen moments the loop's image is copied, which is what a power cut leaves
// (the page cache is lost, only what reached the device stays). Each copy is checked and
// mounted read-only as the camera would at its next start, and mirvo-avi repair finishes the
// recording found there. Every video frame that mirvo had written more than a second before
// the cut must come back byte for byte, and a file closed before the cut must be whole.
#include "loop_disk.h"
#include "recorder_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace mirvo_test;
using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

namespace {

// The sizes a file had while it was written, as (time, size) seen every few milliseconds.
class size_log {
public:
    explicit size_log(std::string path) : path_(std::move(path)), poller_([this] { poll(); }) {}
    ~size_log() { stop(); }
    void stop()
    {
        running_ = false;
        if (poller_.joinable())
            poller_.join();
    }
    // The largest size seen at or before `when` (0 before the file existed).
    uint64_t size_at(steady::time_point when) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        uint64_t size = 0;
        for (const auto &[at, seen] : samples_)
            if (at <= when)
                size = std::max(size, seen);
        return size;
    }

private:
    void poll()
    {
        while (running_) {
            struct stat st {};
            if (stat(path_.c_str(), &st) == 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                samples_.emplace_back(steady::now(), static_cast<uint64_t>(st.st_size));
            }
            std::this_thread::sleep_for(5ms);
        }
    }
    std::string path_;
    std::atomic<bool> running_{true};
    mutable std::mutex mutex_;
    std::vector<std::pair<steady::time_point, uint64_t>> samples_;
    std::thread poller_;
};

struct cut {
    std::string name;
    std::string image;
    bool second_closed = false;   // the second recording was closed before this cut
    uint64_t written = 0;         // its size when the cut came
    uint64_t a_second_before = 0; // its size a second before
};

bool same_chunk(const indexed_chunk &a, const indexed_chunk &b)
{
    return a.id == b.id && a.flags == b.flags && a.data == b.data;
}

class power_cut : public ::testing::TestWithParam<const filesystem_kind *> {
protected:
    temp_dir dir;
};

}  // namespace

TEST_P(power_cut, loses_at_most_the_last_second_and_nothing_of_a_closed_file)
{
    const filesystem_kind &kind = *GetParam();
    if (geteuid() != 0)
        GTEST_SKIP() << "skipped: loop devices and mounts need root";
    if (!why_no_restart().empty())
        GTEST_SKIP() << "skipped: repairing as after a restart: " << why_no_restart();
    std::string why_not = enter_private_mounts();
    if (!why_not.empty())
        GTEST_SKIP() << "skipped: " << why_not;
    loop_disk disk(dir, kind, 64);
    if (!disk.why_not().empty())
        GTEST_SKIP() << "skipped: " << disk.why_not();

    std::vector<cut> cuts;
    auto cut_now = [&](const std::string &name, const size_log *log, bool second_closed) {
        cut c{name, dir.file("cut-" + std::to_string(cuts.size()) + ".img"), second_closed};
        steady::time_point now = steady::now();
        if (log) {
            c.written = log->size_at(now);
            c.a_second_before = log->size_at(now - 1s);
        }
        disk.cut(c.image);
        cuts.push_back(c);
    };

    recorder_process mirvo(dir, {{"QEL_PACE", "realtime"}});
    std::string first = disk.file("a.avi"), second = disk.file("b.avi");
    ASSERT_TRUE(mirvo.start_recording(first));
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(mirvo.stop_recording(1));
    std::this_thread::sleep_for(300ms);
    cut_now("0.3 s after the first file was closed", nullptr, false);

    ASSERT_TRUE(mirvo.start_recording(second, "", 2));
    size_log log(second);
    steady::time_point started = steady::now();
    for (auto after : {500ms, 1500ms, 3000ms, 5000ms, 7500ms}) {
        std::this_thread::sleep_until(started + after);
        char name[64];
        snprintf(name, sizeof name, "%.1f s into the second recording", after.count() / 1000.0);
        cut_now(name, &log, false);
    }
    ASSERT_TRUE(mirvo.stop_recording(2));
    log.stop();
    std::this_thread::sleep_for(200ms);
    cut_now("0.2 s after the second file was closed", nullptr, true);
    ASSERT_EQ(mirvo.interrupt(), 0);
    EXPECT_EQ(mirvo.err(), "") << "no write or sync failed";

    // What mirvo wrote, as the live file system has it.
    bytes first_bytes = read_file(first), second_bytes = read_file(second);
    std::vector<indexed_chunk> written = indexed_chunks(second);
    ASSERT_FALSE(indexed_chunks(first).empty());
    ASSERT_GT(video_within(written, second_bytes.size()), 150u) << "about eight seconds";

    for (size_t i = 0; i < cuts.size(); ++i) {
        const cut &c = cuts[i];
        SCOPED_TRACE(kind.name + ", cut " + c.name);
        command_result check;
        std::string error;
        std::map<std::string, bytes> found =
            files_after_cut(kind, c.image, {"a.avi", "b.avi"}, check, error);
        ASSERT_EQ(error, "");
        EXPECT_LT(check.status, 4) << kind.check << " left errors uncorrected";
        EXPECT_TRUE(found.count("a.avi") && found["a.avi"] == first_bytes)
            << "the file closed before the cut is whole";
        if (c.second_closed) {
            EXPECT_TRUE(found.count("b.avi") && found["b.avi"] == second_bytes);
            continue;
        }

        size_t required = video_within(written, c.a_second_before);
        size_t by_the_cut = video_within(written, c.written);
        size_t recovered = 0;
        std::string repair_said = "no b.avi";
        if (found.count("b.avi")) {
            std::string copy = dir.file("cut-" + std::to_string(i) + "-b.avi");
            write_file(copy, found["b.avi"]);
            // As the camera after the cut: on the next boot.
            repair_outcome repair = repair_cut_off(copy, true);
            const std::vector<indexed_chunk> &back = repair.chunks;
            ASSERT_LE(back.size(), written.size());
            EXPECT_TRUE(std::equal(back.begin(), back.end(), written.begin(), same_chunk))
                << "what comes back is what was written, in order";
            recovered = video_within(back, UINT64_MAX);
            repair_said = repair.said;
        }
        EXPECT_GE(recovered, required) << "every frame written a second before the cut; repair: "
                                       << repair_said;
        size_t lost = by_the_cut > recovered ? by_the_cut - recovered : 0;
        printf("[ power cut ] %s, %s: %zu video frames written by the cut, %zu of them a second "
               "before; %zu recovered, %zu lost (%.2f s)\n",
               kind.name.c_str(), c.name.c_str(), by_the_cut, required, recovered, lost,
               static_cast<double>(lost) / 25.0);
    }
}

INSTANTIATE_TEST_SUITE_P(file_systems, power_cut, ::testing::Values(&ext4_disk, &exfat_disk),
                         [](const ::testing::TestParamInfo<const filesystem_kind *> &info) {
                             return info.param->name;
                         });

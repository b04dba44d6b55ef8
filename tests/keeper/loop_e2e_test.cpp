// mirvoctl loop with the real mirvo on a small card that old recordings fill: at its start
// it repairs what a power cut left, then records part after part, each continuing the one
// before at the same key frame, and makes room by deleting the oldest finished recordings of
// its naming only, so that the writer never runs out of space.
#include "indexed_file.h"
#include "keeper/keeper.h"
#include "recorder_process.h"
#include "recording.h"
#include "small_card.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sys/stat.h>

using namespace mirvo_test;

namespace {

std::string old_part(int minute)
{
    char name[KEEPER_PART_NAME_LENGTH + 1];
    keeper_part_name(1735689600 + int64_t{minute} * 60, 0, name, sizeof name);  // from 2025-01-01
    return name;
}

// What one of mirvo's lines says after `prefix`, for every line that has it.
std::vector<std::string> after(const std::vector<std::string> &lines, const std::string &prefix)
{
    std::vector<std::string> found;
    for (const std::string &line : lines)
        if (line.rfind(prefix, 0) == 0)
            found.push_back(line.substr(prefix.size()));
    return found;
}

bytes first_or_last_video(const std::string &path, bool last)
{
    indexed_file f = read_indexed_file(read_file(path));
    std::vector<bytes> video;
    for (const located_chunk &c : f.chunks)
        if (c.id == "00db" && !c.data.empty())
            video.push_back(c.data);
    return video.empty() ? bytes{} : last ? video.back() : video.front();
}

}  // namespace

TEST(loop_e2e, records_parts_that_continue_each_other_and_deletes_only_the_oldest_finished)
{
    temp_dir dir;
    small_card card(dir, 3072);
    if (!card.why_not().empty())
        GTEST_SKIP() << "skipped: " << card.why_not();
    clip_recording c;
    c.frames = 60;
    const bytes finished = record_clip(dir.file("finished.avi"), c).closed;
    const bytes cut_off = record_clip(dir.file("cut.avi"), c).before_close;
    const bytes empty = write_recording(dir.file("empty.avi"), streams{}, {}).before_close;

    // The card as a power cut left it: old parts up to less free than the loop wants for
    // its first part, the oldest of all protected, another program's file, and the part the
    // cut ended, with one cut off before its first frame.
    const std::string protected_part = old_part(0), cut_part = old_part(100000), empty_part = old_part(100001);
    write_file(card.file(protected_part), finished);
    chmod(card.file(protected_part).c_str(), 0444);
    write_file(card.file("clip.avi"), finished);
    std::vector<std::string> old_parts;
    for (int minute = 1; card.free_bytes() > (1200u << 10); ++minute) {
        old_parts.push_back(old_part(minute));
        write_file(card.file(old_parts.back()), finished);
    }
    write_file(card.file(cut_part), cut_off);
    write_file(card.file(empty_part), empty);

    recorder_process mirvo(dir, {{"QEL_PACE", "realtime"}});
    command_result loop = run("QEL_BUS=" + shell_quoted(mirvo.bus()) + " " + program("mirvoctl") + " loop " +
                              shell_quoted(card.path()) + " --part 1 & sleep 12; kill -TERM $!; wait $!");
    ASSERT_EQ(loop.status, 0) << loop.out << loop.err;
    EXPECT_EQ(loop.err, "");
    std::vector<std::string> said = lines_of(loop.out);
    EXPECT_EQ(after(said, "loop: repaired "), (std::vector<std::string>{card.file(cut_part) + ": 60 video frames (2.4 s) kept"}));
    EXPECT_EQ(after(said, "loop: deleted " + card.file(empty_part)),
              (std::vector<std::string>{": it was cut off before its first frame"}));

    // Deleted: the oldest old parts, oldest first, and nothing else.
    std::vector<std::string> deleted;
    for (const std::string &line : after(said, "loop: deleted " + card.path() + "/"))
        if (line.find("the oldest") != std::string::npos)
            deleted.push_back(line.substr(0, KEEPER_PART_NAME_LENGTH));
    ASSERT_GE(deleted.size(), 2u) << loop.out;
    ASSERT_LT(deleted.size(), old_parts.size()) << loop.out;
    EXPECT_TRUE(std::equal(deleted.begin(), deleted.end(), old_parts.begin())) << loop.out;
    for (size_t i = 0; i < old_parts.size(); ++i)
        EXPECT_EQ(access(card.file(old_parts[i]).c_str(), F_OK) == 0, i >= deleted.size()) << old_parts[i];
    EXPECT_TRUE(read_file(card.file(protected_part)) == finished);
    EXPECT_TRUE(read_file(card.file("clip.avi")) == finished);

    // The parts: finished, named by their start, each beginning with the key frame that
    // ended the one before (the recorder says where it ended and began).
    std::vector<std::string> parts = after(said, "loop: recording ");
    ASSERT_GE(parts.size(), 3u) << loop.out;
    EXPECT_EQ(said.back(), "loop: stopped after " + std::to_string(parts.size()) + " parts");
    std::vector<std::string> ended = after(mirvo.out_lines(), "[record_avi]: last serial is ");
    std::vector<std::string> began = after(mirvo.out_lines(), "[record_avi]: first serial is ");
    ASSERT_EQ(began.size(), parts.size());
    for (size_t i = 0; i < parts.size(); ++i) {
        std::string name = parts[i].substr(parts[i].rfind('/') + 1);
        EXPECT_EQ(keeper_parse_part_name(name.c_str(), nullptr, nullptr), 0) << name;
        EXPECT_EQ(read_indexed_file(read_file(parts[i])).problem, "") << parts[i];
        if (i == 0)
            continue;
        EXPECT_LT(parts[i - 1], parts[i]);
        EXPECT_EQ(began[i], ended.at(i - 1)) << parts[i];
        EXPECT_TRUE(first_or_last_video(parts[i], false) == first_or_last_video(parts[i - 1], true)) << parts[i];
    }
    EXPECT_EQ(mirvo.interrupt(), 0);
    EXPECT_EQ(after(mirvo.err_lines(), "mirvo: frames refused").size(), 0u) << mirvo.err();
}

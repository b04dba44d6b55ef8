// The card keeper's C API: part names that sort in time and read back, amounts of space, and
// on a small card of the test's own, which recordings making room deletes (only the oldest
// finished ones of the loop's naming) and what repairing a folder after a power cut does.
#include "keeper/keeper.h"
#include "recorder_process.h"
#include "recording.h"
#include "small_card.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

using namespace mirvo_test;

namespace {

std::string part_name(int64_t seconds, int32_t ms)
{
    char name[KEEPER_PART_NAME_LENGTH + 1];
    return keeper_part_name(seconds, ms, name, sizeof name) == 0 ? name : "";
}

}  // namespace

TEST(keeper, part_names_sort_in_time_order_and_read_back)
{
    struct known {
        int64_t seconds;
        int32_t ms;
        const char *name;
    };
    for (const known &k : {known{0, 0, "19700101T000000.000Z.avi"},
                           known{951782400, 5, "20000229T000000.005Z.avi"},  // a leap day
                           known{1796904231, 250, "20261210T120351.250Z.avi"},
                           known{253402300799, 999, "99991231T235959.999Z.avi"}}) {
        EXPECT_EQ(part_name(k.seconds, k.ms), k.name);
        int64_t seconds = -1;
        int32_t ms = -1;
        ASSERT_EQ(keeper_parse_part_name(k.name, &seconds, &ms), 0) << k.name;
        EXPECT_EQ(seconds, k.seconds) << k.name;
        EXPECT_EQ(ms, k.ms) << k.name;
    }
    char small[KEEPER_PART_NAME_LENGTH];
    EXPECT_EQ(keeper_part_name(0, 0, small, sizeof small), -1) << "no room for the zero";
    EXPECT_EQ(part_name(253402300800, 0), "") << "year 10000";
    EXPECT_EQ(part_name(0, 1000), "");

    // Every name of a time reads back as that time, and names sort as their times do.
    std::mt19937_64 draw(1);
    std::vector<std::pair<int64_t, std::string>> parts;
    for (int i = 0; i < 2000; ++i) {
        int64_t seconds = static_cast<int64_t>(draw() % 253402300800);
        int32_t ms = static_cast<int32_t>(draw() % 1000);
        std::string name = part_name(seconds, ms);
        int64_t back_s = -1;
        int32_t back_ms = -1;
        ASSERT_EQ(keeper_parse_part_name(name.c_str(), &back_s, &back_ms), 0) << name;
        ASSERT_EQ(back_s * 1000 + back_ms, seconds * 1000 + ms) << name;
        parts.emplace_back(seconds * 1000 + ms, name);
    }
    std::sort(parts.begin(), parts.end());
    EXPECT_TRUE(std::is_sorted(parts.begin(), parts.end(),
                               [](const auto &a, const auto &b) { return a.second < b.second; }));

    for (const char *other : {"20261210T120351.250Z.avi.dropped", "20261210T120351.250Z.AVI",
                              "20261210T120351Z.avi", "20261310T120351.250Z.avi", "20250229T120351.250Z.avi",
                              "20261210T240351.250Z.avi", "20261210T126051.250Z.avi", "x0261210T120351.250Z.avi",
                              "19691231T235959.999Z.avi", "20261210 120351.250Z.avi", "", "clip.avi"})
        EXPECT_EQ(keeper_parse_part_name(other, nullptr, nullptr), -1) << other;
}

TEST(keeper, amounts_are_bytes_or_a_share_of_the_card)
{
    struct row {
        const char *text;
        int result;
        uint64_t on_a_card_of_1000;
    };
    for (const row &r : {row{"0", 0, 0}, row{"123", 0, 123}, row{"2K", 0, 2048}, row{"3m", 0, 3 << 20},
                         row{"1G", 0, 1ull << 30}, row{"2T", 0, 2ull << 40}, row{"10%", 0, 100},
                         row{"100%", 0, 1000}, row{"0%", 0, 0}, row{"101%", -1, 0}, row{"", -1, 0},
                         row{"-1", -1, 0}, row{"1.5G", -1, 0}, row{"1GB", -1, 0}, row{"G", -1, 0},
                         row{"99999999999999999999", -1, 0}, row{"17179869184G", -1, 0}, row{"5 %", -1, 0}}) {
        keeper_amount a{7, 7};
        ASSERT_EQ(keeper_parse_amount(r.text, &a), r.result) << r.text;
        if (r.result == 0) {
            EXPECT_EQ(keeper_amount_bytes(&a, 1000), r.on_a_card_of_1000) << r.text;
        }
    }
}

class keeper_card : public ::testing::Test {
protected:
    void SetUp() override
    {
        card = std::make_unique<small_card>(dir, 4096);
        if (!card->why_not().empty())
            GTEST_SKIP() << "skipped: " << card->why_not();
        clip_recording c;
        finished = record_clip(dir.file("finished.avi"), c).closed;
        c.frames = 20;
        cut_off = record_clip(dir.file("cut.avi"), c).before_close;
        empty = write_recording(dir.file("empty.avi"), streams{}, {}).before_close;
    }

    void put(const std::string &name, const bytes &content, bool protect = false)
    {
        write_file(card->file(name), content);
        if (protect)
            chmod(card->file(name).c_str(), 0444);
    }

    bool on_card(const std::string &name) const { return access(card->file(name).c_str(), F_OK) == 0; }

    temp_dir dir;
    std::unique_ptr<small_card> card;
    bytes finished, cut_off, empty;
};

void note_deleted(const char *path, uint64_t, void *list)
{
    std::string p = path;
    static_cast<std::vector<std::string> *>(list)->push_back(p.substr(p.rfind('/') + 1));
}

TEST_F(keeper_card, making_room_deletes_the_oldest_finished_recordings_of_the_loop_only)
{
    const std::string oldest = "20250101T000000.000Z.avi", kept_safe = "20250102T000000.000Z.avi",
                      unfinished = "20250103T000000.000Z.avi", second = "20250104T000000.000Z.avi",
                      third = "20250105T000000.000Z.avi", writing = "20250106T000000.000Z.avi";
    put(kept_safe, finished, true);  // protected
    put(oldest, finished);
    put(unfinished, cut_off);
    put(second, finished);
    put(third, finished);
    put(writing, finished);  // as good as finished, but the loop writes it
    put("19990101T000000.000Z.avi.dropped", cut_off);
    put("clip.avi", finished);  // another program's
    mkdir(card->file("20000101T000000.000Z.avi").c_str(), 0755);

    // Room for two recordings more than is free: the oldest and the second go, in that order.
    const uint64_t one = card->bytes_taken(oldest), free_before = card->free_bytes();
    keeper_policy policy{free_before + one + 1, writing.c_str(), 10, 1};
    std::vector<std::string> chosen, deleted;
    keeper_room room;
    ASSERT_EQ(keeper_make_room(card->path().c_str(), &policy, note_deleted, &chosen, &room), 0);
    EXPECT_EQ(chosen, (std::vector<std::string>{oldest, second})) << "the dry run";
    EXPECT_TRUE(on_card(oldest) && on_card(second)) << "a dry run deletes nothing";
    EXPECT_EQ(room.free_after, free_before + 2 * one);

    policy.dry_run = 0;
    ASSERT_EQ(keeper_make_room(card->path().c_str(), &policy, note_deleted, &deleted, &room), 0);
    EXPECT_EQ(deleted, chosen);
    EXPECT_FALSE(on_card(oldest) || on_card(second));
    EXPECT_EQ(room.free_before, free_before);
    EXPECT_EQ(room.free_after, card->free_bytes());
    EXPECT_EQ(room.deleted, 2u);
    EXPECT_EQ(room.deleted_bytes, 2 * one);
    EXPECT_EQ(room.unfinished, 1u);
    EXPECT_EQ(room.protected_files, 1u);
    EXPECT_EQ(room.protected_bytes, one);
    EXPECT_EQ(room.enough, 1);
    EXPECT_EQ(room.over_protected, 0) << "one recording is far below a tenth of the card";

    // Asking for the whole card: only the third can go, and the rest is said.
    deleted.clear();
    policy = {room.card_bytes, writing.c_str(), 0, 0};
    ASSERT_EQ(keeper_make_room(card->path().c_str(), &policy, note_deleted, &deleted, &room), 0);
    EXPECT_EQ(deleted, (std::vector<std::string>{third}));
    EXPECT_EQ(room.enough, 0);
    EXPECT_EQ(room.over_protected, 1) << "protected recordings may take none of it";
    for (const std::string &name : {kept_safe, unfinished, writing, std::string("clip.avi"),
                                    std::string("19990101T000000.000Z.avi.dropped")})
        EXPECT_TRUE(on_card(name)) << name;
    EXPECT_TRUE(read_file(card->file(kept_safe)) == finished);
    EXPECT_EQ(keeper_make_room((card->path() + "/none").c_str(), &policy, nullptr, nullptr, &room), -1);
}

void note_repaired(const char *path, int result, const avi_recovery *found, void *list)
{
    std::string p = path;
    static_cast<std::vector<std::string> *>(list)->push_back(
        p.substr(p.rfind('/') + 1) + " " + std::to_string(result) + " " + std::to_string(found->video_frames));
}

TEST_F(keeper_card, repairing_a_folder_finishes_what_a_cut_left_and_deletes_only_what_holds_nothing)
{
    put("20250101T000000.000Z.avi", finished);
    put("20250102T000000.000Z.avi", cut_off);
    put("20250103T000000.000Z.avi", empty);
    put("clip.avi", cut_off);                     // not the loop's: left alone
    put("20250104T000000.000Z.avi", cut_off, true);  // protected: nobody may write it
    put("20250105T000000.000Z.avi", bytes(100, 'x'));   // named so, but no recording at all
    std::vector<std::string> said;
    EXPECT_EQ(keeper_repair_folder(card->path().c_str(), note_repaired, &said), 1);
    EXPECT_EQ(said, (std::vector<std::string>{"20250102T000000.000Z.avi 0 20", "20250103T000000.000Z.avi 1 0",
                                              "20250105T000000.000Z.avi -1 0"}));
    EXPECT_TRUE(read_file(card->file("20250104T000000.000Z.avi")) == cut_off);
    EXPECT_TRUE(read_file(card->file("20250105T000000.000Z.avi")) == bytes(100, 'x'));
    EXPECT_TRUE(read_file(card->file("20250101T000000.000Z.avi")) == finished);
    EXPECT_FALSE(on_card("20250103T000000.000Z.avi"));
    EXPECT_TRUE(read_file(card->file("clip.avi")) == cut_off);
    avi_recovery found;
    ASSERT_EQ(AVI_examine_file(card->file("20250102T000000.000Z.avi").c_str(), &found), 0);
    EXPECT_EQ(found.state, AVI_FILE_FINISHED);
    EXPECT_EQ(keeper_repair_folder(card->path().c_str(), nullptr, nullptr), 1) << "the one it cannot repair";
}

TEST_F(keeper_card, prune_deletes_by_hand_what_the_loop_would_and_says_each)
{
    const std::string a = "20250101T000000.000Z.avi", b = "20250102T000000.000Z.avi";
    put(a, finished);
    put(b, finished, true);
    const std::string folder = shell_quoted(card->path()), prune = program("mirvo-avi") + " prune ";
    const uint64_t want = card->free_bytes() + card->bytes_taken(a) / 2;
    const std::string keep_free = "--keep-free " + std::to_string(want) + " ";

    command_result dry = run(prune + keep_free + "--dry-run " + folder);
    EXPECT_EQ(dry.status, 0) << dry.err;
    EXPECT_EQ(dry.out.rfind("would delete " + card->file(a) + " (", 0), 0u) << dry.out;
    EXPECT_TRUE(on_card(a)) << "a dry run deletes nothing";

    command_result done = run(prune + keep_free + folder);
    EXPECT_EQ(done.status, 0) << done.err;
    std::vector<std::string> said = lines_of(done.out);
    ASSERT_EQ(said.size(), 2u) << done.out;
    EXPECT_EQ(said[0].rfind("deleted " + card->file(a) + " (", 0), 0u) << done.out;
    EXPECT_EQ(said[1].rfind("prune: 1 recordings (", 0), 0u) << done.out;
    EXPECT_FALSE(on_card(a));

    command_result short_of_room = run(prune + "--keep-free 100% " + folder);
    EXPECT_EQ(short_of_room.status, 1);
    EXPECT_TRUE(on_card(b)) << "protected";
    EXPECT_EQ(short_of_room.err, card->path() + ": cannot make room: what is left is protected (1 recordings), "
                                                "unfinished (0) or not the loop's\n");
    for (const char *wrong : {"", "--keep-free 5X ", "--keep-free 1M --dry-run=1 "})
        EXPECT_EQ(run(prune + wrong + folder).status, 2) << wrong;
}

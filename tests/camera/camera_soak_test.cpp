// The camera as it lives: the box (camera_box.h) boots on a FAT32 or exFAT card that a
// camera has used before (older recordings of the loop's naming, one of them locked by the
// user, another program's files, a folder), records part after part with `mirvoctl loop`,
// which makes room as the card fills, and loses its power at moments drawn from the seed;
// it boots again on the same card, the loop repairs what the cut left and goes on. The last
// boot stops cleanly. Checked at each cut: at most a second of video lost against the last
// heartbeat, what was kept exactly the source's frames, and a check of the card that finds
// nothing but the dirty bit. At each deletion: it is the oldest unlocked recording of the
// loop's naming on the card. At the end: every recording finished and read by our tools
// and by ffprobe, every part the source's frames from its first serial on, the parts of a
// boot continuing each other (the next begins with the last key frame of the one before,
// and `mirvo-avi join` takes them), the writer never refusing a frame, the locked recording
// and every file not of the loop's byte for byte as the camera found them.
//
// Run by `make camera-test`; MIRVO_CAMERA_SOAK_PARTS (24) parts in all on each card,
// MIRVO_CAMERA_SOAK_CUTS (4) cuts, MIRVO_CAMERA_SEED their moments (1).
#include "camera_box.h"
#include "recording.h"
#include "source_frames.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <regex>
#include <set>
#include <thread>

using namespace mirvo_test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr int card_megabytes = 34;          // FAT32's smallest card of a full cluster count
constexpr uint64_t free_at_start = 1600000; // what the camera's earlier life left free
constexpr int part_seconds = 1;
constexpr double video_fps = 25;            // the stand-in's default

// The loop's names: its parts' start times in UTC.
bool loop_named(const std::string &name)
{
    static const std::regex part(R"(\d{8}T\d{6}\.\d{3}Z\.avi)");
    return std::regex_match(name, part);
}

// What one boot said on its console.
struct boot_log {
    std::map<std::string, std::string> card;    // at the start: name -> mode (ls -l's)
    std::vector<std::string> parts;             // "loop: recording NAME", in order
    std::vector<int32_t> serials;               // the first serial of each part
    std::vector<std::pair<char, std::string>> events;  // 'R'ecording, 'D'eleted, in order
    int repaired = 0;
    std::map<std::string, uint64_t> beat;       // the last heartbeat's size per part
    std::vector<std::string> problems;
    bool stopped = false;
};

boot_log read_boot(const std::string &console)
{
    static const std::regex card(R"(camera: card (\S+) \d+ (\S+))"), recording(R"(camera: loop: recording (?:\S*/)?(\S+).*)"),
        deleted(R"(camera: loop: deleted (?:\S*/)?(\S+?):? (.*))"), serial(R"(camera: serial (-?\d+))"),
        beat(R"(camera: beat (\S+) (\d+))");
    boot_log log;
    std::smatch m;
    for (const std::string &line : console_lines(console)) {
        if (std::regex_match(line, m, card)) {
            log.card[m[1]] = m[2];
        } else if (std::regex_match(line, m, recording)) {
            log.parts.push_back(m[1]);
            log.events.emplace_back('R', m[1]);
        } else if (std::regex_match(line, m, deleted)) {
            // To make room ('D'), or a part cut off before its first frame, holding nothing ('E').
            log.events.emplace_back(m[2].str().starts_with("it was cut off before its first frame") ? 'E' : 'D', m[1]);
        } else if (std::regex_match(line, m, serial)) {
            log.serials.push_back(std::stoi(m[1]));
        } else if (std::regex_match(line, m, beat)) {
            log.beat[m[1]] = std::stoull(m[2]);
        } else if (line.rfind("camera: loop: repaired ", 0) == 0) {
            ++log.repaired;
        } else if (line == "camera: stopped cleanly") {
            log.stopped = true;
        } else if (line.rfind("camera: FAILED", 0) == 0 || line.rfind("mirvo: ", 0) == 0 ||
                   line.rfind("mirvoctl: ", 0) == 0 || line.rfind("camera: loop: cannot make room", 0) == 0) {
            log.problems.push_back(line);
        }
    }
    return log;
}

// `count` of the source's frames from serial `first` on. The frame source of this process
// only moves forward, and every boot starts again at serial 1: the frames are kept from 1 on.
std::vector<source_frame> source_from(int32_t first, size_t count)
{
    static std::vector<source_frame> from_1;
    size_t end = static_cast<size_t>(first - 1) + count;
    if (from_1.size() < end) {
        std::vector<source_frame> more = source_frames(static_cast<int32_t>(from_1.size()) + 1, end - from_1.size(), true);
        from_1.insert(from_1.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
    }
    return {from_1.begin() + (first - 1), from_1.begin() + static_cast<std::ptrdiff_t>(end)};
}

int32_t serial_of(const boot_log &log, const std::string &part)
{
    for (size_t i = 0; i < log.parts.size() && i < log.serials.size(); ++i)
        if (log.parts[i] == part)
            return log.serials[i];
    return -1;
}

// The deletions of a boot, against the card it found: each must be the oldest recording of
// the loop's naming that no one locked, other than the part being written; only the part the
// last cut left without a frame (`empty`, if any) goes for holding nothing. `kept` is what
// the card holds of them at the start and is brought up to date; the deleted are counted.
void expect_oldest_deleted(const boot_log &log, std::set<std::string> &kept, int boot, const std::string &empty,
                           std::vector<std::string> &deleted)
{
    std::string writing;
    for (const auto &[what, name] : log.events) {
        if (what == 'R') {
            kept.insert(name);
            writing = name;
            continue;
        }
        if (what == 'E') {
            EXPECT_EQ(name, empty) << "boot " << boot << ": the loop deleted a recording as holding no frame";
            kept.erase(name);
            continue;
        }
        std::set<std::string> others = kept;
        others.erase(writing);
        if (others.empty() || *others.begin() != name)
            ADD_FAILURE() << "boot " << boot << ": the loop deleted " << name << ", but the oldest it may delete is "
                          << (others.empty() ? "none" : *others.begin());
        kept.erase(name);
        deleted.push_back(name);
    }
}

struct soak_plan {
    int parts, cuts;
    std::vector<int> parts_of_boot;   // per boot
    std::vector<double> cut_after;    // per cut: seconds after the boot's last part began
};

soak_plan plan_of(const card_kind &kind)
{
    soak_plan p;
    p.parts = static_cast<int>(number_from_environment("MIRVO_CAMERA_SOAK_PARTS", 24));
    p.cuts = static_cast<int>(number_from_environment("MIRVO_CAMERA_SOAK_CUTS", 4));
    std::vector<int> words(kind.name.begin(), kind.name.end());
    words.push_back(static_cast<int>(number_from_environment("MIRVO_CAMERA_SEED", 1)));
    std::seed_seq seed(words.begin(), words.end());
    std::mt19937 draw(seed);
    int boots = p.cuts + 1;
    for (int b = 0; b < boots; ++b)
        p.parts_of_boot.push_back(std::max(1, p.parts / boots + (b < p.parts % boots)));
    // Anywhere in a part, its stop and the next start included: a part holds up to two
    // seconds more than its length (it begins with the last key frame of the one before, its
    // stop waits for a key frame).
    for (int c = 0; c < p.cuts; ++c)
        p.cut_after.push_back(std::uniform_real_distribution<double>(0.0, part_seconds + 2.5)(draw));
    return p;
}

// What the camera found on its card, made on the host: recordings of the loop's naming from
// a year before (the oldest locked by the user on the first boot), what a repair of them
// dropped, another program's recording and files, a folder named like a recording, and a
// file of another program that takes the card's space but `free_at_start`.
struct earlier_life {
    std::string fill, locked;
    std::vector<std::string> old;
};

std::string make_earlier_life(const card_kind &kind, const std::string &card, const temp_dir &dir,
                              earlier_life &e)
{
    e.fill = dir.file("fill");
    fs::create_directories(e.fill + "/20240101T000000.000Z.avi");
    write_file(e.fill + "/20240101T000000.000Z.avi/note.txt", pattern(3000, 1));
    write_file(e.fill + "/other.h264", read_file(source_path("device/clips/main.h264")));
    record_clip(e.fill + "/clip0001.avi", {.frames = 40});
    for (int i = 0; i < 6; ++i) {
        char name[64];
        snprintf(name, sizeof name, "20250101T0000%02d.000Z.avi", i * 10);
        record_clip(e.fill + "/" + name, {.clip = "device/clips/main.h264", .width = 640, .height = 360,
                                          .first = i * 25, .frames = 75, .audio_bytes = 640});
        e.old.push_back(name);
    }
    e.locked = e.old.front();
    write_file(e.fill + "/" + e.old[1] + ".dropped", pattern(5000, 2));
    std::string why_not = fill_card(kind, card, e.fill);
    if (!why_not.empty())
        return why_not;
    uint64_t free_bytes = card_free_bytes(kind, card);
    if (free_bytes < free_at_start + 100000)
        return "the card has " + std::to_string(free_bytes) + " bytes free after filling";
    temp_dir more;
    write_file(more.file("backup.bin"), pattern(free_bytes - free_at_start, 3));
    write_file(e.fill + "/backup.bin", read_file(more.file("backup.bin")));
    return fill_card(kind, card, more.path());
}

std::string joined(const std::vector<std::string> &words, const char *between = ", ")
{
    std::string s;
    for (const std::string &w : words)
        s += (s.empty() ? "" : between) + w;
    return s;
}

class camera_soak : public ::testing::TestWithParam<const card_kind *> {
protected:
    temp_dir dir;
};

}  // namespace

TEST_P(camera_soak, a_camera_records_part_after_part_through_power_cuts_and_a_full_card)
{
    const card_kind &kind = *GetParam();
    std::string why_not = why_no_box(kind);
    if (!why_not.empty())
        GTEST_SKIP() << "skipped: " << why_not;
    const soak_plan plan = plan_of(kind);

    std::string card = dir.file("card.img");
    ASSERT_TRUE(format_card(kind, card, card_megabytes)) << "cannot format " << kind.name;
    earlier_life life;
    why_not = make_earlier_life(kind, card, dir, life);
    ASSERT_EQ(why_not, "");

    std::vector<boot_log> boots;
    std::vector<std::string> losses, cut_checks, deleted;
    std::set<std::string> kept;  // the unlocked recordings of the loop's naming on the card
    std::string cut_part;        // the part written at the last cut
    bool cut_empty = false;      // and it held no frame after it
    int vanished = 0, undone = 0;
    std::vector<std::string> deleted_before;  // by the boot before
    size_t deleted_so_far = 0;
    for (const std::string &name : life.old)
        if (name != life.locked)
            kept.insert(name);
    for (int b = 0; b <= plan.cuts; ++b) {
        const bool last = b == plan.cuts;
        const int parts = plan.parts_of_boot[static_cast<size_t>(b)];
        std::string console = dir.file("console." + std::to_string(b));
        std::string arguments = "camera.mode=soak camera.part=" + std::to_string(part_seconds);
        if (b == 0)
            arguments += " camera.protect=" + life.locked;
        if (last)
            arguments += " camera.stop=" + std::to_string(parts);
        pid_t qemu = boot_camera(kind, card, console, arguments);
        ASSERT_GT(qemu, 0) << "qemu-system-arm did not start";
        const auto timeout = std::chrono::seconds(120 + 5 * parts * part_seconds);
        bool reached = last ? wait_for_console(console, "camera: stopped cleanly", qemu, 1, timeout)
                            : wait_for_console(console, "camera: loop: recording ", qemu, parts, timeout);
        if (!last && reached)
            std::this_thread::sleep_for(std::chrono::duration<double>(plan.cut_after[static_cast<size_t>(b)]));
        if (last && reached)
            wait_for_console(console, "reboot: Power down", qemu, 1, 10s);
        cut_power(qemu);
        boots.push_back(read_boot(console));
        const boot_log &log = boots.back();
        ASSERT_TRUE(reached) << "boot " << b << " did not get as far as it should:\n"
                             << read_text(console) << read_text(console + ".qemu");
        for (const std::string &problem : log.problems)
            ADD_FAILURE() << "boot " << b << ": " << problem;
        auto locked = log.card.find(life.locked);
        EXPECT_TRUE(locked != log.card.end() && locked->second.find('w') == std::string::npos)
            << "boot " << b << ": the locked recording is there and locked";
        // The card holds the recordings made and not deleted, as far as the last cut let the
        // folder reach the card: the part written then may be gone, when the cut came before
        // its name was on the card, and the deletions of the boot before may be undone.
        std::set<std::string> listed;
        for (const auto &[name, mode] : log.card)
            if (loop_named(name) && mode[0] == '-' && mode.find('w') != std::string::npos)
                listed.insert(name);
        if (!cut_part.empty() && !listed.count(cut_part) && kept.erase(cut_part))
            ++vanished;
        for (const std::string &name : deleted_before)
            if (listed.count(name) && kept.insert(name).second)
                ++undone;
        EXPECT_EQ(joined({listed.begin(), listed.end()}), joined({kept.begin(), kept.end()}))
            << "boot " << b << ": the unlocked recordings on the card are those recorded and not deleted";
        deleted_so_far = deleted.size();
        expect_oldest_deleted(log, kept, b, cut_empty ? cut_part : "", deleted);
        deleted_before.assign(deleted.begin() + static_cast<std::ptrdiff_t>(deleted_so_far), deleted.end());
        if (last)
            break;

        // The card as the cut left it, in a card reader: checked, and the part cut off repaired.
        std::string cut = dir.file("cut" + std::to_string(b) + ".img"), out = dir.file("cut" + std::to_string(b));
        ASSERT_EQ(run("cp --sparse=always " + shell_quoted(card) + " " + shell_quoted(cut)).status, 0);
        command_result check;
        copy_card(kind, cut, out, check, why_not);
        ASSERT_EQ(why_not, "");
        for (const std::string &line : beyond_dirty_bit(check))
            ADD_FAILURE() << "cut " << b << ": the check said " << line;
        cut_checks.push_back(check_said(check));
        const std::string &part = cut_part = log.parts.back();
        int32_t first = serial_of(log, part);
        size_t written = 0, kept_video = 0;
        std::string repair_said = "not repaired";
        if (first >= 0) {
            std::vector<source_frame> source = source_from(first, 1500);
            written = video_within(chunks_of(source), log.beat.count(part) ? log.beat.at(part) : 0);
            if (fs::exists(out + "/" + part)) {
                repair_outcome repair = repair_cut_off(out + "/" + part, false);
                repair_said = repair.said;
                expect_source_frames(repair.chunks, source);
                kept_video = video_chunks(repair.chunks);
            }
        }
        cut_empty = kept_video == 0;
        double lost = written > kept_video ? static_cast<double>(written - kept_video) / video_fps : 0;
        EXPECT_LE(lost, 1.0) << "cut " << b << " in " << part << ": " << written << " video frames by the last beat, "
                             << kept_video << " kept; repair: " << repair_said;
        char said[64];
        snprintf(said, sizeof said, "%.2f s", lost);
        losses.push_back(said);
        fs::remove(cut);
        fs::remove_all(out);
    }

    // The card at the end, in a card reader.
    std::string out = dir.file("end");
    command_result check;
    copy_card(kind, card, out, check, why_not);
    ASSERT_EQ(why_not, "");
    for (const std::string &line : beyond_dirty_bit(check))
        ADD_FAILURE() << "at the end, the check said " << line;
    for (const std::string &line : files_touched(check))
        ADD_FAILURE() << "at the end, the check changed a file: " << line;

    // Not the loop's, or locked, or not deleted: as the camera found it.
    std::set<std::string> gone(deleted.begin(), deleted.end());
    for (const std::string &name : kept)  // a deletion that a cut undid, and not done again
        gone.erase(name);
    for (const auto &entry : fs::recursive_directory_iterator(life.fill)) {
        if (!entry.is_regular_file())
            continue;
        std::string name = fs::relative(entry.path(), life.fill).string();
        if (gone.count(name)) {
            EXPECT_FALSE(fs::exists(out + "/" + name)) << name << " was deleted and is still there";
            continue;
        }
        EXPECT_TRUE(fs::exists(out + "/" + name) && read_file(out + "/" + name) == read_file(entry.path()))
            << name << " is on the card byte for byte as it was";
    }

    // Every part still there: finished, read by our tools and ffprobe, the source's frames.
    bool ffprobe = run("command -v ffprobe").status == 0;
    int on_card = 0, dropped = 0, joins = 0;
    for (const auto &entry : fs::directory_iterator(out)) {
        std::string name = entry.path().filename().string();
        dropped += name.ends_with(".avi.dropped") && !fs::exists(life.fill + "/" + name);
        if (!loop_named(name) || !entry.is_regular_file() || std::find(life.old.begin(), life.old.end(), name) != life.old.end())
            continue;
        ++on_card;
        std::string path = entry.path().string();
        command_result info = run(program("mirvo-avi") + " info " + shell_quoted(path));
        EXPECT_EQ(info.status, 0) << name << ": " << info.err;
        EXPECT_EQ(info.out.find("not finalised"), std::string::npos) << name << " is not finished";
        if (ffprobe) {
            command_result probe = run("ffprobe -v error -show_entries format=duration -of csv=p=0 " + shell_quoted(path));
            EXPECT_TRUE(probe.status == 0 && probe.err.empty()) << "ffprobe on " << name << ": " << probe.err;
        }
        int32_t first = -1;
        for (const boot_log &log : boots)
            first = std::max(first, serial_of(log, name));
        if (first < 0) {
            ADD_FAILURE() << name << " is on the card, but no boot recorded it";
            continue;
        }
        std::vector<indexed_chunk> chunks = indexed_chunks(path);
        expect_source_frames(chunks, source_from(first, chunks.size()));
    }

    // The parts of a boot continue each other: a part's first frame is the last key frame of
    // the one before (the same serial), and join takes each run of them still on the card.
    for (size_t b = 0; b < boots.size(); ++b) {
        const boot_log &log = boots[b];
        std::vector<std::string> run_of_parts;
        auto join_run = [&] {
            if (run_of_parts.size() >= 2) {
                std::string joined_file = dir.file("joined" + std::to_string(joins++) + ".avi"), parts;
                for (const std::string &p : run_of_parts)
                    parts += " " + shell_quoted(out + "/" + p);
                command_result j = run(program("mirvo-avi") + " join " + shell_quoted(joined_file) + parts);
                EXPECT_EQ(j.status, 0) << "boot " << b << ": join " << joined(run_of_parts, " ") << ": " << j.err;
                fs::remove(joined_file);
            }
            run_of_parts.clear();
        };
        for (size_t i = 0; i < log.parts.size(); ++i) {
            std::string path = out + "/" + log.parts[i];
            if (!fs::exists(path)) {
                join_run();
                continue;
            }
            if (!run_of_parts.empty() && i < log.serials.size()) {
                std::vector<indexed_chunk> before = indexed_chunks(out + "/" + run_of_parts.back());
                int32_t last_video = -1;
                for (size_t c = 0; c < before.size(); ++c)
                    if (before[c].id == "00db")
                        last_video = log.serials[i - 1] + static_cast<int32_t>(c);
                EXPECT_EQ(log.serials[i], last_video)
                    << "boot " << b << ": " << log.parts[i] << " continues " << run_of_parts.back();
            }
            run_of_parts.push_back(log.parts[i]);
        }
        join_run();
    }

    if (HasFailure())
        for (size_t b = 0; b < boots.size(); ++b)
            for (const std::string &line : console_lines(dir.file("console." + std::to_string(b))))
                if (line.rfind("camera: beat", 0) != 0 && line.rfind("camera: ", 0) == 0)
                    printf("boot %zu: %s\n", b, line.c_str());
    int parts = 0, repaired = 0, old_deleted = 0;
    for (const boot_log &log : boots) {
        parts += static_cast<int>(log.parts.size());
        repaired += log.repaired;
    }
    for (const std::string &name : deleted)
        old_deleted += std::find(life.old.begin(), life.old.end(), name) != life.old.end();
    printf("[ camera soak ] %s: %d parts of %d s, %d cuts, %zu boots; %zu deleted (%d of the camera's earlier "
           "life, %zu of the loop's), %d on the card at the end, %d repaired at a start, %d .dropped, %d parts gone with "
           "a cut before their name was on the card, %d deletions undone by a cut; lost at "
           "the cuts: %s; the check after the cuts: %s; at the end: %s; %d joins%s\n",
           kind.name.c_str(), parts, part_seconds, plan.cuts, boots.size(), deleted.size(), old_deleted,
           deleted.size() - static_cast<size_t>(old_deleted), on_card, repaired, dropped, vanished, undone, joined(losses).c_str(),
           joined(cut_checks, " | ").c_str(), check_said(check).c_str(), joins,
           ffprobe ? "" : "; ffprobe is not installed: not checked with it");
}

INSTANTIATE_TEST_SUITE_P(cards, camera_soak, ::testing::Values(&fat32, &exfat),
                         [](const auto &info) { return info.param->name; });

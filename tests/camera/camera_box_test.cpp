// Power cuts on the camera's own card file systems, through a real ARM kernel: the camera box
// (scripts/camera-box.sh) boots under qemu-system-arm with a FAT32 or exFAT card image on a
// virtio disk, records with the uClibc build of mirvo (guest_init.sh), and the host kills
// the emulator at a moment drawn from a seed. The card then goes through what a card reader
// would do: the file system's check, the files copied out, mirvo-avi repair. At every cut:
// at most a second of video lost against the size the guest last reported, every frame kept
// exactly the source's, the recording closed before the cut and the card's other file
// byte for byte as written, and nothing that the check did to any of them.
//
// The disk runs with cache=writethrough: the guest sees a disk without a volatile cache, as
// an SD card presents itself, so a write it has seen complete is on the image and a flush
// promises nothing more. Killing the emulator loses the guest's page cache and nothing that
// reached the image, which is a power cut as the card sees it.
//
// Run by `make camera-test`, which builds the box and names it in MIRVO_CAMERA_BOX;
// MIRVO_CAMERA_CUTS_FAT32 and MIRVO_CAMERA_CUTS_EXFAT set the number of cuts (3 and 2),
// MIRVO_CAMERA_SEED their moments (1).
#include "camera_box.h"
#include "source_frames.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <regex>
#include <thread>

using namespace mirvo_test;
using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

namespace {

// The cards as the camera formats them (64 MB), and how many cuts each gets.
constexpr int card_megabytes = 64;
struct cuts_of_kind {
    const card_kind *kind;
    const char *variable;
    int otherwise;
};
const cuts_of_kind fat32_cuts{&fat32, "MIRVO_CAMERA_CUTS_FAT32", 3}, exfat_cuts{&exfat, "MIRVO_CAMERA_CUTS_EXFAT", 2};

constexpr double video_fps = 25;  // the stand-in's default
const std::vector<std::string> card_files{"a.avi", "b.avi", "other.h264"};

struct cut_case {
    const card_kind *kind;
    int index;
};

void PrintTo(const cut_case &c, std::ostream *out)
{
    *out << c.kind->name << " cut " << c.index;
}

std::vector<cut_case> cuts_of(const cuts_of_kind &kind)
{
    std::vector<cut_case> cuts;
    uint64_t count = number_from_environment(kind.variable, kind.otherwise);
    for (int i = 0; static_cast<uint64_t>(i) < count; ++i)
        cuts.push_back({kind.kind, i});
    return cuts;
}

// When the power goes, in seconds after b.avi began: the same for the same seed, card and cut.
double cut_moment(const cut_case &c)
{
    std::vector<int> words(c.kind->name.begin(), c.kind->name.end());
    words.push_back(static_cast<int>(number_from_environment("MIRVO_CAMERA_SEED", 1)));
    words.push_back(c.index);
    std::seed_seq seed(words.begin(), words.end());
    std::mt19937 draw(seed);
    return std::uniform_real_distribution<double>(0.3, 8.0)(draw);
}

// What the guest said on its console before the cut.
struct guest_report {
    std::string a_md5;
    int32_t a_serial = -1, b_serial = -1;
    uint64_t last_beat = 0;  // b.avi's size in the last heartbeat
    std::vector<std::string> problems;  // "camera: FAILED" lines, mirvo's complaints
};

guest_report read_console(std::string text)
{
    std::erase(text, '\r');  // the serial console ends its lines with CR LF
    guest_report r;
    std::smatch m;
    static const std::regex closed(R"(camera: closed a\.avi \d+ ([0-9a-f]{32}) from serial (-?\d+))");
    static const std::regex began(R"(camera: recording b\.avi from serial (-?\d+))");
    static const std::regex beat(R"(camera: beat (\d+))");
    for (const std::string &line : lines_of(text)) {
        if (std::regex_match(line, m, closed)) {
            r.a_md5 = m[1];
            r.a_serial = std::stoi(m[2]);
        } else if (std::regex_match(line, m, began)) {
            r.b_serial = std::stoi(m[1]);
        } else if (std::regex_match(line, m, beat)) {
            r.last_beat = std::stoull(m[1]);
        } else if (line.rfind("camera: FAILED", 0) == 0 || line.rfind("mirvo: ", 0) == 0) {
            r.problems.push_back(line);
        }
    }
    return r;
}

// The card's files after the check, as a card reader copies them off.
std::map<std::string, bytes> files_on_card(const card_kind &kind, const std::string &image,
                                           command_result &check, std::string &error)
{
    std::string out = image + ".files";
    copy_card(kind, image, out, check, error);
    std::map<std::string, bytes> files;
    for (const std::string &name : card_files)
        if (std::filesystem::exists(out + "/" + name))
            files[name] = read_file(out + "/" + name);
    return files;
}

class camera_box : public ::testing::TestWithParam<cut_case> {
protected:
    temp_dir dir;
};

}  // namespace

TEST_P(camera_box, a_power_cut_loses_at_most_a_second_and_nothing_closed_or_other)
{
    const cut_case &c = GetParam();
    const card_kind &kind = *c.kind;
    std::string why_not = why_no_box(kind);
    if (!why_not.empty())
        GTEST_SKIP() << "skipped: " << why_not;

    std::string card = dir.file("card.img"), console = dir.file("console.log");
    ASSERT_TRUE(format_card(kind, card, card_megabytes)) << "cannot format " << kind.name;

    pid_t qemu = boot_camera(kind, card, console);
    ASSERT_GT(qemu, 0) << "qemu-system-arm did not start";
    steady::time_point booted = steady::now();
    bool recording = wait_for_console(console, "camera: recording b.avi", qemu);
    double boot_seconds = std::chrono::duration<double>(steady::now() - booted).count();
    const double cut_after = cut_moment(c);
    if (recording)
        std::this_thread::sleep_for(std::chrono::duration<double>(cut_after));
    cut_power(qemu);
    std::string said = read_text(console);
    ASSERT_TRUE(recording) << "the camera did not reach its second recording:\n"
                           << said << read_text(console + ".qemu");
    guest_report guest = read_console(said);
    EXPECT_TRUE(guest.problems.empty()) << guest.problems.front();

    command_result check;
    std::string error;
    std::map<std::string, bytes> found = files_on_card(kind, card, check, error);
    ASSERT_EQ(error, "");
    EXPECT_LT(check.status, 4) << "the check left errors uncorrected: " << check_said(check);
    for (const std::string &line : files_touched(check))
        ADD_FAILURE() << "the check changed a file: " << line;

    EXPECT_TRUE(found["other.h264"] == read_file(source_path("device/clips/main.h264")))
        << "the card's other file is as it was written";
    if (found.count("a.avi")) {
        std::string a_copy = dir.file("a.avi");
        write_file(a_copy, found["a.avi"]);
        EXPECT_EQ(md5_of(a_copy), guest.a_md5) << "the recording closed before the cut is whole";
        expect_source_frames(indexed_chunks(a_copy), guest.a_serial, true);
    } else {
        ADD_FAILURE() << "the recording closed before the cut is gone";
    }

    // b.avi as mirvo-avi finishes it on a PC, which is another boot than the camera's.
    std::vector<source_frame> source = source_frames(guest.b_serial, 4000, true);
    size_t written = video_within(chunks_of(source), guest.last_beat), kept = 0;
    std::string b_copy = dir.file("b.avi"), repair_said = "no b.avi on the card";
    if (found.count("b.avi")) {
        write_file(b_copy, found["b.avi"]);
        repair_outcome repair = repair_cut_off(b_copy, false);
        repair_said = repair.said;
        expect_source_frames(repair.chunks, source);
        kept = video_chunks(repair.chunks);
    }
    double lost = written > kept ? static_cast<double>(written - kept) / video_fps : 0;
    EXPECT_LE(lost, 1.0) << "b.avi: " << repair_said;
    printf("[ camera box ] %s, cut %.2f s into b.avi (booted to it in %.1f s): %zu video frames "
           "written by the last heartbeat, %zu kept, %.2f s lost; the check said: %s; repair: %s\n",
           kind.name.c_str(), cut_after, boot_seconds, written, kept, lost,
           check_said(check).c_str(), repair_said.c_str());
}

INSTANTIATE_TEST_SUITE_P(FAT32, camera_box, ::testing::ValuesIn(cuts_of(fat32_cuts)),
                         [](const auto &info) { return "cut_" + std::to_string(info.param.index); });
INSTANTIATE_TEST_SUITE_P(exFAT, camera_box, ::testing::ValuesIn(cuts_of(exfat_cuts)),
                         [](const auto &info) { return "cut_" + std::to_string(info.param.index); });

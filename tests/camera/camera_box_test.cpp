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
#include "loop_disk.h"
#include "source_frames.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <random>
#include <regex>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

using namespace mirvo_test;
using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

namespace {

// A card as the camera formats it (64 MB), and the host's commands it needs.
struct card_kind {
    std::string name;      // for test names and messages
    std::string guest_fs;  // the guest kernel's name of the file system
    std::string make;      // formats the image named IMAGE
    const char *cuts_variable;
    int default_cuts;
    std::vector<std::string> tools;
};

const card_kind fat32{"FAT32", "vfat", "mkfs.fat -F 32 -C IMAGE 65536", "MIRVO_CAMERA_CUTS_FAT32", 3,
                      {"mkfs.fat", "fsck.fat", "mcopy"}};
// The host kernel may lack exFAT: its image is read through the FUSE driver, as root.
const card_kind exfat{"exFAT", "exfat", "truncate -s 64M IMAGE && mkfs.exfat IMAGE",
                      "MIRVO_CAMERA_CUTS_EXFAT", 2, {"mkfs.exfat", "fsck.exfat", "mount.exfat-fuse"}};

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

std::vector<cut_case> cuts_of(const card_kind &kind)
{
    std::vector<cut_case> cuts;
    uint64_t count = number_from_environment(kind.cuts_variable, kind.default_cuts);
    for (int i = 0; static_cast<uint64_t>(i) < count; ++i)
        cuts.push_back({&kind, i});
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

// Boots the box with the card; its console goes to `console`. The emulator's pid.
pid_t boot_camera(const std::string &box, const card_kind &kind, const std::string &card,
                  const std::string &console)
{
    std::string command =
        "exec qemu-system-arm -M virt -cpu cortex-a15 -m 256 -nic none -display none "
        "-monitor none -no-reboot -kernel " + shell_quoted(box + "/vmlinuz") +
        " -initrd " + shell_quoted(box + "/initramfs.cpio.gz") +
        " -append 'console=ttyAMA0 quiet camera.fs=" + kind.guest_fs + "'" +
        " -drive file=" + shell_quoted(card) + ",format=raw,if=none,id=card,cache=writethrough" +
        " -device virtio-blk-device,drive=card -serial file:" + shell_quoted(console) +
        " >" + shell_quoted(console + ".qemu") + " 2>&1";
    const char *argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char **>(argv), environ) != 0)
        return -1;
    return pid;
}

// Waits until the console holds `text` (true), or the guest failed or the emulator ended.
bool wait_for_console(const std::string &console, const std::string &text, pid_t qemu)
{
    for (steady::time_point until = steady::now() + 180s; steady::now() < until;) {
        std::string seen = read_text(console);
        if (seen.find(text) != std::string::npos)
            return true;
        if (seen.find("camera: FAILED") != std::string::npos || waitpid(qemu, nullptr, WNOHANG) != 0)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// The card's files after the check, as a card reader copies them off.
std::map<std::string, bytes> files_on_card(const card_kind &kind, const std::string &image,
                                           command_result &check, std::string &error)
{
    std::map<std::string, bytes> files;
    if (&kind == &exfat) {
        files = files_after_cut(exfat_disk, image, card_files, check, error);
    } else {
        check = run("fsck.fat -a " + shell_quoted(image));
        for (const std::string &name : card_files) {
            std::string copy = image + "." + name;
            if (run("MTOOLS_SKIP_CHECK=1 mcopy -n -i " + shell_quoted(image) + " ::" + name + " " +
                    shell_quoted(copy)).status == 0)
                files[name] = read_file(copy);
        }
    }
    // The image's name is random: keep it out of the lines read for what the check did.
    for (std::string *said : {&check.out, &check.err})
        for (size_t at; (at = said->find(image)) != std::string::npos;)
            said->replace(at, image.size(), "card.img");
    return files;
}

// What the check said, without its banner; and the lines that did something to a file.
std::string check_said(const command_result &check)
{
    std::string said;
    for (const std::string &line : lines_of(check.out + check.err))
        if (!line.empty() && line.rfind("fsck.", 0) != 0 && line.rfind("exfatprogs", 0) != 0)
            said += (said.empty() ? "" : " / ") + line;
    return said;
}

std::vector<std::string> files_touched(const command_result &check)
{
    static const std::regex harm(R"(\.avi|\.h264|truncat|cross.?link|orphan|reclaim|recover|lost)",
                                 std::regex::icase);
    std::vector<std::string> touched;
    for (const std::string &line : lines_of(check.out + check.err))
        if (std::regex_search(line, harm))
            touched.push_back(line);
    return touched;
}

std::string md5_of(const std::string &path)
{
    return run("md5sum " + shell_quoted(path)).out.substr(0, 32);
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
    const char *box = getenv("MIRVO_CAMERA_BOX");
    if (!box || !*box)
        GTEST_SKIP() << "skipped: the camera box runs in `make camera-test`, which builds it";
    for (const std::string &tool : kind.tools)
        if (run("command -v " + tool).status != 0)
            GTEST_SKIP() << "skipped: no " << tool << " (scripts/install-deps.sh camera)";
    if (&kind == &exfat) {
        if (geteuid() != 0)
            GTEST_SKIP() << "skipped: reading an exFAT image needs root (loop device, FUSE)";
        std::string why_not = enter_private_mounts();
        if (!why_not.empty())
            GTEST_SKIP() << "skipped: " << why_not;
    }

    std::string card = dir.file("card.img"), console = dir.file("console.log");
    ASSERT_EQ(run(std::regex_replace(kind.make, std::regex("IMAGE"), shell_quoted(card))).status, 0)
        << "cannot format " << kind.name;

    pid_t qemu = boot_camera(box, kind, card, console);
    ASSERT_GT(qemu, 0) << "qemu-system-arm did not start";
    steady::time_point booted = steady::now();
    bool recording = wait_for_console(console, "camera: recording b.avi", qemu);
    double boot_seconds = std::chrono::duration<double>(steady::now() - booted).count();
    const double cut_after = cut_moment(c);
    if (recording)
        std::this_thread::sleep_for(std::chrono::duration<double>(cut_after));
    kill(qemu, SIGKILL);
    waitpid(qemu, nullptr, 0);
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

INSTANTIATE_TEST_SUITE_P(FAT32, camera_box, ::testing::ValuesIn(cuts_of(fat32)),
                         [](const auto &info) { return "cut_" + std::to_string(info.param.index); });
INSTANTIATE_TEST_SUITE_P(exFAT, camera_box, ::testing::ValuesIn(cuts_of(exfat)),
                         [](const auto &info) { return "cut_" + std::to_string(info.param.index); });

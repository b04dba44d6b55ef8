// The camera box seen from the host: see camera_box.h.
#include "camera_box.h"

#include "recorder_process.h"

#include <csignal>
#include <regex>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

namespace mirvo_test {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

const card_kind fat32{"FAT32", "vfat", "mkfs.fat -F 32 -C IMAGE $((MB * 1024))", {"mkfs.fat", "fsck.fat", "mcopy"}};
const card_kind exfat{"exFAT", "exfat", "truncate -s MBM IMAGE && mkfs.exfat IMAGE",
                      {"mkfs.exfat", "fsck.exfat", "mount.exfat-fuse", "losetup"}};

namespace {

const std::string mtools = "MTOOLS_SKIP_CHECK=1 ";

std::string replaced(std::string text, const std::string &what, const std::string &with)
{
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += with.size())
        text.replace(at, what.size(), with);
    return text;
}

// `commands` run with the exFAT image mounted at $m (read-only unless `writable`), through
// a loop device and the FUSE driver.
command_result with_exfat_mounted(const std::string &image, bool writable, const std::string &commands)
{
    std::string m = shell_quoted(image + ".mnt");
    std::string ro = writable ? "" : " -r", mount_ro = writable ? "" : " -o ro";
    return run("mkdir -p " + m + " && d=$(losetup -f --show" + ro + " " + shell_quoted(image) +
               ") || exit 9; m=" + m + "; if mount.exfat-fuse" + mount_ro + " $d $m >/dev/null; then (" +
               commands + "); s=$?; umount $m; else s=8; fi; losetup -d $d; exit $s");
}

}  // namespace

std::string box_dir()
{
    const char *box = getenv("MIRVO_CAMERA_BOX");
    return box ? box : "";
}

std::string why_no_box(const card_kind &kind)
{
    if (box_dir().empty())
        return "the camera box runs in `make camera-test`, which builds it";
    for (const std::string &tool : kind.tools)
        if (run("command -v " + tool).status != 0)
            return "no " + tool + " (scripts/install-deps.sh camera)";
    if (&kind == &exfat) {
        if (geteuid() != 0)
            return "reading an exFAT image needs root (loop device, FUSE)";
        return enter_private_mounts();
    }
    return "";
}

bool format_card(const card_kind &kind, const std::string &image, int megabytes)
{
    std::string command = replaced(replaced(kind.make, "MB", std::to_string(megabytes)), "IMAGE", shell_quoted(image));
    return run(command).status == 0;
}

pid_t boot_camera(const card_kind &kind, const std::string &card, const std::string &console,
                  const std::string &arguments)
{
    std::string box = box_dir();
    std::string command =
        "exec qemu-system-arm -M virt -cpu cortex-a15 -m 256 -nic none -display none "
        "-monitor none -no-reboot -kernel " + shell_quoted(box + "/vmlinuz") +
        " -initrd " + shell_quoted(box + "/initramfs.cpio.gz") +
        " -append 'console=ttyAMA0 quiet camera.fs=" + kind.guest_fs +
        (arguments.empty() ? "" : " " + arguments) + "'" +
        " -drive file=" + shell_quoted(card) + ",format=raw,if=none,id=card,cache=writethrough" +
        " -device virtio-blk-device,drive=card -serial file:" + shell_quoted(console) +
        " >" + shell_quoted(console + ".qemu") + " 2>&1";
    const char *argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char **>(argv), environ) != 0)
        return -1;
    return pid;
}

void cut_power(pid_t qemu)
{
    kill(qemu, SIGKILL);
    waitpid(qemu, nullptr, 0);
}

bool wait_for_console(const std::string &console, const std::string &text, pid_t qemu, int count,
                      std::chrono::seconds timeout)
{
    for (steady::time_point until = steady::now() + timeout; steady::now() < until;) {
        std::string seen = read_text(console);
        int found = 0;
        for (size_t at = 0; (at = seen.find(text, at)) != std::string::npos; at += text.size())
            ++found;
        if (found >= count)
            return true;
        if (seen.find("camera: FAILED") != std::string::npos || waitpid(qemu, nullptr, WNOHANG) != 0)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

std::vector<std::string> console_lines(const std::string &console)
{
    std::string text = read_text(console);
    std::erase(text, '\r');  // the serial console ends its lines with CR LF
    return lines_of(text);
}

void copy_card(const card_kind &kind, const std::string &image, const std::string &out,
               command_result &check, std::string &error)
{
    run("mkdir -p " + shell_quoted(out));
    command_result copied;
    if (&kind == &exfat) {
        check = run("fsck.exfat -y " + shell_quoted(image));
        copied = with_exfat_mounted(image, false, "cp -r $m/. " + shell_quoted(out));
    } else {
        check = run("fsck.fat -a " + shell_quoted(image));
        copied = run(mtools + "mcopy -s -n -i " + shell_quoted(image) + " '::*' " + shell_quoted(out));
    }
    if (copied.status != 0)
        error = "cannot copy the card's files: " + copied.err;
    // The image's name is random: keep it out of the lines read for what the check did.
    for (std::string *said : {&check.out, &check.err})
        *said = replaced(*said, image, "card.img");
}

std::string fill_card(const card_kind &kind, const std::string &image, const std::string &from)
{
    command_result copied =
        &kind == &exfat ? with_exfat_mounted(image, true, "cp -r " + shell_quoted(from) + "/. $m/")
                        : run(mtools + "mcopy -s -i " + shell_quoted(image) + " " + shell_quoted(from) + "/* ::");
    return copied.status == 0 ? "" : "cannot fill the card: " + copied.err;
}

uint64_t card_free_bytes(const card_kind &kind, const std::string &image)
{
    command_result said = &kind == &exfat
                              ? with_exfat_mounted(image, false, "df -B1 --output=avail $m | tail -n1")
                              : run(mtools + "mdir -i " + shell_quoted(image) + " :: | sed -n 's/ *\\([0-9 ]*\\) bytes free/\\1/p' | tr -d ' '");
    return said.status == 0 ? strtoull(said.out.c_str(), nullptr, 10) : 0;
}

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

std::vector<std::string> beyond_dirty_bit(const command_result &check)
{
    // fsck.fat also compares the boot sector with its backup, which differ in the dirty bit
    // (offset 65), and corrects the free cluster count of the FSInfo sector, which Linux
    // writes at an unmount: both are what a card not unmounted looks like.
    static const std::regex fine(
        R"(^(fsck\.|exfatprogs|$|.*[Dd]irty bit|.*not properly unmounted|.*[Aa]utomatically removing|Performing changes|card\.img: (clean\. )?.*(files|clusters)|There are differences between boot sector and its backup\.|This is mostly harmless\. Differences: \(offset:original/backup\)|  +65:01/00|  +Not automatically fixing this\.|Free cluster summary wrong \(\d+ vs\. really \d+\)|  +Auto-correcting\.|\*\*\* Filesystem was changed \*\*\*|Writing changes\.).*)");
    std::vector<std::string> beyond;
    for (const std::string &line : lines_of(check.out + check.err))
        if (!std::regex_match(line, fine))
            beyond.push_back(line);
    return beyond;
}

std::string md5_of(const std::string &path)
{
    return run("md5sum " + shell_quoted(path)).out.substr(0, 32);
}

}  // namespace mirvo_test

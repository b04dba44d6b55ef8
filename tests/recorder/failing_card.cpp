// The FUSE card of failing_card.h: started in the background, told what to do through
// control files beside its mount point.
#include "failing_card.h"

#include "loop_disk.h"

#include <chrono>
#include <filesystem>
#include <thread>

namespace mirvo_test {

namespace {

// Writes a control file whole before the file system can see it.
void put_control(const std::string &path, const std::string &text)
{
    write_file(path + ".new", bytes(text.begin(), text.end()));
    std::filesystem::rename(path + ".new", path);
}

}  // namespace

failing_card::failing_card(const temp_dir &dir) : mount_point_(dir.file("card")), control_(dir.file("card-state"))
{
    std::filesystem::create_directories(dir.file("card-backing"));
    std::filesystem::create_directories(mount_point_);
    why_not_ = enter_private_mounts();
    if (!why_not_.empty())
        return;
    command_result can = run("/usr/bin/python3 -c 'import fusepy' 2>&1 || "
                             "/usr/bin/python3 -c 'import fuse'");
    if (can.status != 0) {
        why_not_ = "no FUSE for Python (python3-fusepy): " + can.out;
        return;
    }
    run("/usr/bin/python3 " + shell_quoted(source_path("tests/support/failing_fs.py")) + " " +
        shell_quoted(dir.file("card-backing")) + " " + shell_quoted(mount_point_) + " " +
        shell_quoted(control_) + " >" + shell_quoted(dir.file("card.log")) + " 2>&1 &");
    for (int i = 0; i < 500 && !mounted_; ++i) {
        mounted_ = run("grep -q " + shell_quoted(" " + mount_point_ + " ") + " /proc/self/mounts").status == 0;
        if (!mounted_)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!mounted_)
        why_not_ = "the FUSE file system did not mount: " + read_text(dir.file("card.log"));
}

failing_card::~failing_card()
{
    if (mounted_)
        run("umount " + shell_quoted(mount_point_));
}

void failing_card::become(const std::string &state) const
{
    std::filesystem::remove(control_ + ".sync");
    std::filesystem::remove(control_ + ".gone");
    if (!state.empty())
        write_file(control_ + "." + state, {});
}

void failing_card::slow(double seconds) const
{
    put_control(control_ + ".slow", std::to_string(seconds));
}

void failing_card::stall(double seconds) const
{
    put_control(control_ + ".stall", std::to_string(seconds));
}

bool failing_card::wait_for_sync(std::chrono::milliseconds timeout) const
{
    // A stall shorter than the slow syncs leaves the sync as long as they are; the file
    // system removes the stall's control file as the sync begins.
    stall(0.001);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::filesystem::exists(control_ + ".stall")) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace mirvo_test

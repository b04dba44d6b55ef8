// Loop-device disks and power cuts for end-to-end tests (see loop_disk.h).
#include "loop_disk.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace mirvo_test {

const filesystem_kind ext4_disk{"ext4", "mkfs.ext4 -q", "e2fsck -fy", "mount -t ext4",
                                "mount -t ext4 -o ro"};
const filesystem_kind exfat_disk{"exfat", "mkfs.exfat", "fsck.exfat -y", "mount.exfat-fuse",
                                 "mount.exfat-fuse -o ro"};

namespace {

std::string first_line(const std::string &text)
{
    return text.substr(0, text.find('\n'));
}

// Attaches image to a free loop device; the device's path, or "" with error set.
std::string attach(const std::string &image, bool read_only, std::string &error)
{
    command_result r = run(std::string("losetup ") + (read_only ? "-r " : "") + "--find --show " +
                           shell_quoted(image));
    if (r.status != 0) {
        error = "no loop device: " + first_line(r.err);
        return "";
    }
    return first_line(r.out);
}

void detach(const std::string &device)
{
    run("losetup -d " + shell_quoted(device));
}

}  // namespace

loop_disk::loop_disk(const temp_dir &dir, const filesystem_kind &kind, int megabytes)
    : image_(dir.file(kind.name + ".img")), mount_point_(dir.file("disk"))
{
    std::filesystem::create_directory(mount_point_);
    command_result made = run("truncate -s " + std::to_string(megabytes) + "M " +
                              shell_quoted(image_) + " && " + kind.make + " " +
                              shell_quoted(image_));
    if (made.status != 0) {
        why_not_ = "cannot make " + kind.name + ": " + first_line(made.err);
        return;
    }
    device_ = attach(image_, false, why_not_);
    if (device_.empty())
        return;
    command_result mounted = run(kind.mount + " " + device_ + " " + shell_quoted(mount_point_));
    if (mounted.status != 0) {
        why_not_ = "cannot mount " + kind.name + ": " + first_line(mounted.err);
        return;
    }
    mounted_ = true;
}

loop_disk::~loop_disk()
{
    if (mounted_)
        run("umount " + shell_quoted(mount_point_));
    if (!device_.empty())
        detach(device_);
}

void loop_disk::cut(const std::string &copy) const
{
    command_result r = run("cp --sparse=always " + shell_quoted(image_) + " " + shell_quoted(copy));
    if (r.status != 0)
        ADD_FAILURE_AT(__FILE__, __LINE__) << "cannot copy the image: " << r.err;
}

std::map<std::string, bytes> files_after_cut(const filesystem_kind &kind, const std::string &image,
                                             const std::vector<std::string> &names,
                                             command_result &check, std::string &error)
{
    std::map<std::string, bytes> files;
    check = run(kind.check + " " + shell_quoted(image));
    std::string device = attach(image, true, error);
    if (device.empty())
        return files;
    std::string at = image + ".mnt";
    std::filesystem::create_directory(at);
    command_result mounted = run(kind.mount_ro + " " + device + " " + shell_quoted(at));
    if (mounted.status != 0) {
        error = "the cut image does not mount: " + first_line(mounted.err);
    } else {
        for (const std::string &name : names)
            if (std::filesystem::exists(at + "/" + name))
                files[name] = read_file(at + "/" + name);
        run("umount " + shell_quoted(at));
    }
    detach(device);
    return files;
}

}  // namespace mirvo_test

// Disks for end-to-end tests: a file system on a loop device, mounted in a mount namespace of
// the test process's own (mirvo, started afterwards, shares it), and what a power cut leaves
// of such a disk: a copy of its image taken while it is in use, checked and mounted read-only.
#pragma once

#include "test_support.h"

#include <map>
#include <string>
#include <vector>

namespace mirvo_test {

// How to make, check and mount one kind of file system.
struct filesystem_kind {
    std::string name;      // for test names and messages: "ext4", "exfat"
    std::string make;      // the command that formats an image, which follows it
    std::string check;     // the command that checks and repairs an image, which follows it
    std::string mount;     // the command that mounts a device (then the mount point)
    std::string mount_ro;  // the same, read-only
};
extern const filesystem_kind ext4_disk;
extern const filesystem_kind exfat_disk;  // through the FUSE driver

class loop_disk {
public:
    // Formats an image of `megabytes` in dir, attaches it to a loop device and mounts it at
    // dir/disk. Call enter_private_mounts() first.
    loop_disk(const temp_dir &dir, const filesystem_kind &kind, int megabytes);
    ~loop_disk();
    loop_disk(const loop_disk &) = delete;
    loop_disk &operator=(const loop_disk &) = delete;

    const std::string &why_not() const { return why_not_; }  // empty when mounted
    std::string file(const std::string &name) const { return mount_point_ + "/" + name; }

    // What the storage holds this moment, and nothing of what is only in memory: a copy of the
    // loop device's image, as a power cut would leave the card.
    void cut(const std::string &copy) const;

private:
    std::string image_, mount_point_, device_, why_not_;
    bool mounted_ = false;
};

// What a power cut left: the image is checked and repaired as a camera would at its next
// start, mounted read-only, and the named files that are there are read. `check` gets what
// the checker said and its exit status; `error` says what failed, if anything did.
std::map<std::string, bytes> files_after_cut(const filesystem_kind &kind, const std::string &image,
                                             const std::vector<std::string> &names,
                                             command_result &check, std::string &error);

}  // namespace mirvo_test

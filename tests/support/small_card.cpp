// A tmpfs card (see small_card.h).
#include "small_card.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace mirvo_test {

small_card::small_card(const temp_dir &dir, int kilobytes) : path_(dir.file("card"))
{
    if (geteuid() != 0) {
        why_not_ = "a card of its own (a tmpfs mount) needs root";
        return;
    }
    static const std::string private_mounts = enter_private_mounts();
    why_not_ = private_mounts;
    std::string options = "size=" + std::to_string(kilobytes) + "k";
    if (why_not_.empty() && (mkdir(path_.c_str(), 0755) != 0 ||
                             mount("card", path_.c_str(), "tmpfs", 0, options.c_str()) != 0))
        why_not_ = "cannot mount a tmpfs card";
}

small_card::~small_card()
{
    if (why_not_.empty())
        umount2(path_.c_str(), MNT_DETACH);
}

uint64_t small_card::free_bytes() const
{
    struct statvfs s;
    return statvfs(path_.c_str(), &s) == 0 ? static_cast<uint64_t>(s.f_bavail) * s.f_frsize : 0;
}

uint64_t small_card::bytes_taken(const std::string &name) const
{
    struct stat st;
    return stat(file(name).c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_blocks) * 512 : 0;
}

}  // namespace mirvo_test

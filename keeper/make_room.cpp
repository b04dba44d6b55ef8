// Making room on the card: the oldest finished recordings of the keeper's go first, until
// the free space asked for is there (see keeper.h for which recordings may go).
#include "keeper/recordings.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// The card's size and what is free for an unprivileged writer; false with errno set.
bool card_space(const char *folder, uint64_t &card, uint64_t &free_bytes)
{
    struct statvfs s;
    if (statvfs(folder, &s) != 0)
        return false;
    card = static_cast<uint64_t>(s.f_blocks) * s.f_frsize;
    free_bytes = static_cast<uint64_t>(s.f_bavail) * s.f_frsize;
    return true;
}

bool is_finished(const char *path)
{
    avi_recovery found;
    return AVI_examine_file(path, &found) == 0 && found.state == AVI_FILE_FINISHED;
}

// Makes the deletions durable: a power cut must not bring a deleted name back while its
// clusters go to the next part (a cross-link). An fsync of the folder is not enough on every
// file system: on FAT cards, power cuts in the camera box brought deleted names back after
// one. So the whole file system is synced, once per call that deleted something.
void sync_deletions()
{
    sync();
}

}  // namespace

extern "C" int keeper_make_room(const char *folder, const keeper_policy *policy,
                                keeper_deleted_fn said, void *arg, keeper_room *out)
{
    keeper_room room{};
    if (out)
        *out = room;
    if (!folder || !policy || !out) {
        errno = EINVAL;
        return -1;
    }
    keeper::recording_list list;
    if (!list.read(folder) || !card_space(folder, room.card_bytes, room.free_before))
        return -1;
    for (uint32_t i = 0; i < list.size(); ++i) {
        if (list[i].is_protected) {
            ++room.protected_files;
            room.protected_bytes += list[i].bytes;
        }
    }
    const keeper_amount share{0, policy->protected_percent};
    room.over_protected = room.protected_bytes > keeper_amount_bytes(&share, room.card_bytes);
    uint64_t free_now = room.free_before;
    int result = 0;
    for (uint32_t i = 0; i < list.size() && free_now < policy->free_bytes; ++i) {
        const keeper::recording &r = list[i];
        char path[PATH_MAX];
        if (r.is_protected || (policy->writing && strcmp(r.name, policy->writing) == 0) ||
            !keeper::join_path(folder, r.name, path))
            continue;
        if (!is_finished(path)) {
            ++room.unfinished;
            continue;
        }
        if (!policy->dry_run && unlink(path) != 0) {
            result = -1;
            break;
        }
        uint64_t card = 0, measured = 0;
        free_now = !policy->dry_run && card_space(folder, card, measured) ? measured : free_now + r.bytes;
        ++room.deleted;
        room.deleted_bytes += r.bytes;
        if (said)
            said(path, r.bytes, arg);
    }
    const int saved = errno;
    if (room.deleted && !policy->dry_run)
        sync_deletions();
    room.free_after = free_now;
    room.enough = free_now >= policy->free_bytes;
    *out = room;
    errno = saved;
    return result;
}

// Lists the keeper's recordings in a folder (see recordings.h). Names are compared as text:
// part names sort in time order.
#include "keeper/recordings.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

namespace keeper {
namespace {

int by_name(const void *a, const void *b)
{
    return strcmp(static_cast<const recording *>(a)->name, static_cast<const recording *>(b)->name);
}

// Whether the entry is a recording of the keeper's; fills r if so. lstat: a link is not one.
bool recording_at(const char *folder, const char *name, recording &r)
{
    char path[PATH_MAX];
    struct stat st;
    if (keeper_parse_part_name(name, nullptr, nullptr) != 0 || !join_path(folder, name, path) ||
        lstat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    memcpy(r.name, name, sizeof r.name);
    r.bytes = static_cast<uint64_t>(st.st_blocks) * 512;
    r.is_protected = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    return true;
}

}  // namespace

recording_list::~recording_list()
{
    free(items_);
}

bool join_path(const char *folder, const char *name, char *out)
{
    int n = snprintf(out, PATH_MAX, "%s/%s", folder, name);
    return n > 0 && n < PATH_MAX;
}

bool recording_list::read(const char *folder)
{
    free(items_);
    items_ = nullptr;
    count_ = 0;
    DIR *dir = opendir(folder);
    if (!dir)
        return false;
    uint32_t capacity = 0;
    bool ok = true;
    for (;;) {
        errno = 0;
        const dirent *entry = readdir(dir);
        if (!entry) {
            ok = errno == 0;
            break;
        }
        recording r;
        if (!recording_at(folder, entry->d_name, r))
            continue;
        if (count_ == capacity) {
            capacity = capacity ? 2 * capacity : 64;
            void *grown = realloc(items_, capacity * sizeof(recording));
            if (!grown) {
                ok = false;
                errno = ENOMEM;
                break;
            }
            items_ = static_cast<recording *>(grown);
        }
        items_[count_++] = r;
    }
    const int saved = errno;
    closedir(dir);
    errno = saved;
    if (ok && count_ > 1)
        qsort(items_, count_, sizeof(recording), by_name);
    return ok;
}

}  // namespace keeper

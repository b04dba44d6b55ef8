// Durability: what a writer has put into the file reaches the storage, so that a power cut
// (which keeps nothing of the page cache) cannot take it. The data and length of the file
// through fdatasync, with a checkpoint that tells repair how far they are the recording's
// own; the name of a new file through an fsync of its directory.
#include "avi/avi_internal.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Descriptors that do not support syncing (pipes, sockets, some special files) report
// EINVAL or EROFS: there is nothing of theirs that a power cut could take.
bool nothing_to_sync(int error)
{
    return error == EINVAL || error == EROFS || error == ENOTSUP || error == ENOSYS;
}

}  // namespace

bool avi_detail::sync_data(int fd)
{
    int result;
    do
        result = fdatasync(fd);
    while (result != 0 && errno == EINTR);
    return result == 0 || nothing_to_sync(errno);
}

bool avi_detail::sync_directory_of(const char *path)
{
    // The directory is the path up to its last slash ("/" for "/x", "." for a bare name).
    char directory[PATH_MAX] = ".";
    if (const char *slash = strrchr(path, '/')) {
        size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
        if (length >= sizeof directory) {
            errno = ENAMETOOLONG;
            return false;
        }
        memcpy(directory, path, length);
        directory[length] = '\0';
    }

    int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool synced = sync_data(fd);
    keeping_errno([fd] { close(fd); });
    return synced;
}

int AVI_sync(avi_handle *handle)
{
    if (handle->mode != AVI_MODE_WRITE)
        return avi_detail::fail(AVI_ERROR_NOT_PERMITTED);
    // The checkpoint goes to the storage with the data it describes; until the sync is done,
    // the other slot still holds the previous one.
    bool noted = avi_detail::write_checkpoint(*handle);
    int cause = errno;
    if (!avi_detail::sync_data(handle->fd))
        return avi_detail::fail(AVI_ERROR_WRITE);
    return noted ? 0 : avi_detail::fail_because(AVI_ERROR_WRITE, cause);
}

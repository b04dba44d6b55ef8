// Creating an output file (durable under its name from the start) and its writing handle,
// and choosing the current audio track.
#include "avi/avi_internal.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

avi_handle *AVI_create_output_file(const char *path)
{
    auto *handle = static_cast<avi_handle *>(calloc(1, sizeof(avi_handle)));
    if (!handle)
        return avi_detail::fail(AVI_ERROR_NO_MEMORY), nullptr;

    // The mask can only be read by setting it; put it back at once.
    mode_t mask = umask(0);
    umask(mask);

    // Truncate: bytes of an older, longer file past our end would be taken for ours by
    // readers that walk to the end of the file.
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0644 & ~mask);
    if (fd < 0)
        return avi_detail::fail_undoing(AVI_ERROR_OPEN, [handle] { free(handle); }), nullptr;

    // The placeholder, then the name, are made durable at once: a power cut a moment later
    // must not take a file whose frames are synced as they come (AVI_sync), nor leave in its
    // first bytes what a card held there before (an older recording's header, whose
    // checkpoints would vouch for that recording's chunks).
    static const avi_detail::header_bytes placeholder{};
    if (write_fully(fd, placeholder.data(), placeholder.size()) != AVI_HEADER_BYTES ||
        !avi_detail::sync_data(fd) || !avi_detail::sync_directory_of(path)) {
        avi_detail::fail_undoing(AVI_ERROR_WRITE, [=] {
            close(fd);
            free(handle);
        });
        return nullptr;
    }

    handle->fd = fd;
    handle->mode = AVI_MODE_WRITE;
    handle->write_offset = AVI_HEADER_BYTES;
    avi_detail::start_recording_identity(*handle);
    return handle;
}

int AVI_select_audio_track(avi_handle *handle, int32_t track)
{
    if (track < 0 || track >= handle->track_count)
        return -1;
    handle->current_track = track;
    return 0;
}

int32_t AVI_current_audio_track(const avi_handle *handle)
{
    return handle->current_track;
}

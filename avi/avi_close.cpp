// Finishing a file and ending a handle's life: the "idx1" index goes after the last media
// chunk, the final header (real sizes and counts) over the first 2048 bytes; then the
// descriptor is closed and every block hung on the handle freed.
#include "avi_internal.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

int AVI_close_output_file(avi_handle *handle)
{
    uint32_t movi_size = handle->write_offset - (AVI_HEADER_BYTES - 4);
    bool index_written =
        AVI_write_chunk(handle, "idx1", handle->index,
                        static_cast<int32_t>(16 * static_cast<uint32_t>(handle->index_count))) == 0;
    if (!index_written)
        avi_error = AVI_ERROR_WRITE_INDEX;
    // A chunk whose write failed part-way may have left bytes past the end of the data;
    // readers walk to the end of the file, so the file ends where the data ends. A descriptor
    // without a length to cut (EINVAL: not a regular file) has nothing past it.
    int cause = errno;
    bool cut = ftruncate(handle->fd, handle->write_offset) == 0 || errno == EINVAL;
    int cut_failure = errno;
    errno = cause;

    avi_detail::final_header_values values{handle->write_offset - 8, movi_size, index_written};
    avi_detail::header_bytes bytes;
    avi_detail::build_header(*handle, &values, bytes);
    if (!avi_detail::write_header_region(handle->fd, bytes))
        return avi_detail::fail(AVI_ERROR_CLOSE);
    if (!cut) {
        errno = cut_failure;
        return avi_detail::fail(AVI_ERROR_CLOSE);
    }
    return index_written ? 0 : -1;
}

int AVI_close_handle(avi_handle *handle)
{
    if (!handle)
        return -1;
    int result = handle->mode == AVI_MODE_WRITE ? AVI_close_output_file(handle) : 0;

    int cause = errno;  // AVI_error_text may still want the cause of a failure
    close(handle->fd);
    free(handle->index);
    free(handle->video_frame_table);
    free(handle->video_format);
    free(handle->file_order);
    for (int t = 0; t < AVI_MAX_TRACKS; ++t) {
        free(handle->track_formats[t]);
        free(handle->tracks[t].chunk_table);
    }
    free(handle);
    errno = cause;
    return result;
}

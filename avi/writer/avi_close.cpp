// Finishing a file and ending a handle's life: the "idx1" index goes after the last media
// chunk, the final header (real sizes and counts) over the first 2048 bytes; then the
// descriptor is closed and every block hung on the handle freed.
#include "avi/avi_internal.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

int AVI_close_output_file(avi_handle *handle)
{
    if (handle->mode != AVI_MODE_WRITE)
        return avi_detail::fail(AVI_ERROR_NOT_PERMITTED);
    uint32_t movi_size = handle->write_offset - (AVI_HEADER_BYTES - 4);
    // A recording that keeps checkpoints gets one for all its chunks, made durable with the
    // index: a power cut before the final header is written leaves every chunk verified.
    if (handle->checkpoint_count > 0)
        avi_detail::write_checkpoint(*handle);  // a failing card shows in the writes below
    bool index_written =
        AVI_write_chunk(handle, "idx1", handle->index,
                        static_cast<int32_t>(avi_detail::index_entry_bytes * static_cast<uint32_t>(handle->index_count))) == 0;
    if (!index_written)
        avi_detail::fail(AVI_ERROR_WRITE_INDEX);
    // The first of the steps below to fail is the cause told; the later ones still run.
    int cause = 0;
    bool closed = true;
    auto check = [&](bool ok) {
        if (!ok && closed) {
            closed = false;
            cause = errno;
        }
    };

    // A chunk whose write failed part-way may have left bytes past the end of the data;
    // readers walk to the end of the file, so the file ends where the data ends. The data
    // and index are durable before the header that claims them is written, and the header
    // before the close returns: a power cut leaves either the recording-time header (the
    // file can be repaired) or a finished file, never a header without its index.
    check(ftruncate(handle->fd, handle->write_offset) == 0 || errno == EINVAL);  // EINVAL: no file
    check(avi_detail::sync_data(handle->fd));
    avi_detail::final_header_values values{handle->write_offset - 8, movi_size, index_written};
    avi_detail::header_bytes bytes;
    if (!avi_detail::build_header(*handle, &values, bytes))
        avi_detail::header_too_long("AVI_close_output_file");
    check(avi_detail::write_header_region(handle->fd, bytes) && avi_detail::sync_data(handle->fd));
    if (!closed)
        return avi_detail::fail_because(AVI_ERROR_CLOSE, cause);
    return index_written ? 0 : -1;
}

int AVI_close_handle(avi_handle *handle)
{
    if (!handle)
        return -1;
    int result = handle->mode == AVI_MODE_WRITE ? AVI_close_output_file(handle) : 0;

    avi_detail::keeping_errno([handle] {  // AVI_error_text may still want the cause of a failure
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
    });
    return result;
}

// The recorder's adapter to the AVI module: what it prints around opening and closing, and
// the mapping of the recorder's frame kinds to the module's operations.
#include "recorder/avi_adapter.h"

#include <cerrno>
#include <cstdio>

namespace {

// Whether the writer refused the last frame, so that a run of refusals (a full disk, the
// size limit) is reported once when it starts and once when frames are accepted again.
bool refusing = false;

void note_write_result(int result)
{
    if (result != 0 && !refusing)
        fprintf(stderr, "mirvo: frames refused: %s\n", AVI_error_text());
    else if (result == 0 && refusing)
        fputs("mirvo: frames accepted again\n", stderr);
    refusing = result != 0;
}

}  // namespace

avi_handle *avi_open(const char *path)
{
    printf("[%s]: \n", "avi_open");
    refusing = false;
    avi_handle *handle = AVI_create_output_file(path);
    if (!handle) {
        int cause = errno;  // the caller reports it
        puts("avi file open failed!");
        errno = cause;
    }
    return handle;
}

int avi_set_video(avi_handle *handle, int32_t width, int32_t height, int32_t frame_rate,
                  const char *compressor)
{
    AVI_define_video(handle, width, height, static_cast<double>(frame_rate), compressor);
    return 0;
}

int avi_set_audio(avi_handle *handle, int32_t channels, int32_t rate, int32_t bits,
                  int32_t format, int32_t bitrate)
{
    AVI_add_audio_track(handle, channels, rate, bits, format, bitrate);
    return 0;
}

int avi_write(int kind, avi_handle *handle, const void *data, int32_t length, int32_t key_frame)
{
    note_write_result(kind == AVI_WRITE_VIDEO ? AVI_put_video_frame(handle, data, length, key_frame)
                                              : AVI_put_audio(handle, data, length));
    return 0;
}

int avi_close(avi_handle *handle)
{
    printf("[%s]: \n", "avi_close");
    AVI_close_handle(handle);
    return 0;
}

// The recorder's adapter to the AVI module: what it prints around opening and closing, and
// the mapping of the recorder's frame kinds to the module's operations.
#include "recorder/avi_adapter.h"

#include <cerrno>
#include <cstdio>

namespace {

// Whether the writer is refusing frames (a full disk, a write error, the size limit). A run
// of refusals is reported once when it begins, and its end once a video key frame is written
// again: near a limit, small frames (audio, pictures that are not key frames) still fit
// between refused ones, and reporting each of them would flood the log; besides, the
// pictures after a lost key frame cannot be shown before the next key frame.
bool refusing = false;

void note_write_result(int result, bool key_frame)
{
    if (result != 0 && !refusing) {
        fprintf(stderr, "mirvo: frames refused: %s\n", AVI_error_text());
        refusing = true;
    } else if (result == 0 && refusing && key_frame) {
        fputs("mirvo: frames accepted again\n", stderr);
        refusing = false;
    }
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
    if (kind == AVI_WRITE_VIDEO)
        note_write_result(AVI_put_video_frame(handle, data, length, key_frame), key_frame != 0);
    else
        note_write_result(AVI_put_audio(handle, data, length), false);
    return 0;
}

int avi_close(avi_handle *handle)
{
    printf("[%s]: \n", "avi_close");
    // The file stays readable when only its index could not be written (our reader rebuilds
    // it), but a user must learn that closing did not go as it should.
    if (AVI_close_handle(handle) != 0)
        fprintf(stderr, "mirvo: closing the file failed: %s\n", AVI_error_text());
    return 0;
}

/* The start-record payload (message 0) that the device's main process sends the recorder,
 * and the ids of the two messages. The layout is fixed: 92 bytes, int32 fields in the
 * device's own (little-endian) byte order. */
#ifndef MIRVO_RECORD_REQUEST_H
#define MIRVO_RECORD_REQUEST_H

#include <stdint.h>

#include "qel/layout_check.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { MSG_RECORD_START = 0, MSG_RECORD_STOP = 1 };
enum { RECORD_FILENAME_BYTES = 64, RECORD_REQUEST_BYTES = 92 };

typedef struct record_request {
    char filename[RECORD_FILENAME_BYTES]; /* path of the .avi file, zero-terminated */
    int32_t resolution;   /* stream selector for the frame source */
    int32_t audio_enable; /* 1 = record audio into a declared PCM track; 0 = video only */
    int32_t parttime;     /* non-zero = continue from the remembered serial */
    int32_t frame_rate;   /* frames per second, for the AVI header */
    int32_t reserved;     /* not read */
    int32_t width;
    int32_t height;
} record_request;

MIRVO_LAYOUT_CHECK(sizeof(record_request) == RECORD_REQUEST_BYTES, "92-byte payload");

/* The stop-record payload is one int32, the stop mode: 1 = stop at the next video key frame
 * and remember where the next part starts; anything else = stop after the frames captured so
 * far (the next frame, for a recording that keeps pace with the camera). */
enum { STOP_AT_KEY_FRAME = 1 };

#ifdef __cplusplus
}
#endif

#endif /* MIRVO_RECORD_REQUEST_H */

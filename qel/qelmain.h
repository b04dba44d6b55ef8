/* The device library (libqelmain.so) as the recorder sees it: the frame source, which fills
 * a caller-owned frame descriptor one frame at a time, and the message bus, which calls
 * registered handlers on its own thread. On the camera the vendor's library provides these
 * functions; on a PC the stand-in in device/ does. */
#ifndef MIRVO_QELMAIN_H
#define MIRVO_QELMAIN_H

#include <stddef.h>
#include <stdint.h>

#include "qel/layout_check.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Frame types in av_frame_info.type; any other value is a video frame that is not a key
 * frame. */
enum { QEL_FRAME_AUDIO = 1, QEL_FRAME_VIDEO_KEY = 2 };

/* The frame descriptor: owned by the caller, zeroed before the first fetch and handed to
 * every fetch of a recording. The library advances serial, fills the rest, and keeps the
 * frame's bytes in a malloc'ed buffer at data that it may reuse or grow at the next fetch;
 * the caller frees it once, when it is done fetching. */
typedef struct av_frame_info {
    int32_t serial;       /* in: where to continue (-2: no known position); out: this frame */
    int32_t source_a[2];  /* the library's own */
    int32_t length;       /* bytes at data */
    int32_t source_b[2];  /* the library's own */
    int32_t type;         /* QEL_FRAME_AUDIO, QEL_FRAME_VIDEO_KEY, or another video type */
    int32_t source_c[2];  /* the library's own */
    unsigned char *data;  /* the frame's bytes */
} av_frame_info;

/* A message handler: the payload and its length in bytes; returns 0. */
typedef int (*msg_handler_fn)(void *payload, int length);

/* One row of the handler table given to zo_msg_register. */
typedef struct msg_handler_entry {
    int32_t message_id;
    msg_handler_fn handler_fn;
} msg_handler_entry;

/* The layout the vendor's library expects on the 32-bit camera, and the host's own. */
#if UINTPTR_MAX == 0xffffffffu
MIRVO_LAYOUT_CHECK(sizeof(av_frame_info) == 40, "frame descriptor is 40 bytes");
MIRVO_LAYOUT_CHECK(offsetof(av_frame_info, data) == 36, "data at offset 36");
MIRVO_LAYOUT_CHECK(sizeof(msg_handler_entry) == 8, "handler rows are 8 bytes");
#else
MIRVO_LAYOUT_CHECK(offsetof(av_frame_info, data) == 40, "data after the 36 bytes of integers");
MIRVO_LAYOUT_CHECK(sizeof(msg_handler_entry) == 16, "an int32 and a pointer");
#endif
MIRVO_LAYOUT_CHECK(offsetof(av_frame_info, length) == 12, "length at offset 12");
MIRVO_LAYOUT_CHECK(offsetof(av_frame_info, type) == 24, "type at offset 24");

/* Prepares the frame source. 0 = ready; anything else is the failure to exit with. */
int zo_get_data_init(void);

/* Registers a table of message handlers; size is the table's size in bytes. */
int zo_msg_register(const msg_handler_entry *table, int size);

/* Starts message delivery (the recorder passes 5); from then on the handlers may run at
 * any time on the bus's own thread. */
int qel_start_msg(int value);

/* Fetches the frame after descriptor->serial on the given stream into the descriptor.
 * 0 = a frame was delivered; non-zero = none now. */
int zo_get_av_data(int stream, av_frame_info *descriptor);

/* Stores the stream's current serial at *serial. */
int zo_get_cur_serial(int stream, int32_t *serial);

#ifdef __cplusplus
}
#endif

#endif /* MIRVO_QELMAIN_H */

/* The records whose layout is an interface: the start-record payload and the frame
 * descriptor and handler rows shared with the device library (fixed on the 32-bit camera),
 * and the AVI module's 16-byte index entry. Compiled as C, so it also shows that the headers
 * are usable from C; the checks hold at compile time, and the probe prints the layout for a
 * test that runs it on the target. */
#include "avi/avi.h"
#include "qel/qelmain.h"
#include "qel/record_request.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

/* The recorder's handler table: a start row and a stop row. */
static const msg_handler_entry two_rows[2];

_Static_assert(sizeof(record_request) == 92, "start-record payload is 92 bytes");
_Static_assert(offsetof(record_request, height) == 88, "height is the last field");
_Static_assert(sizeof(avi_index_entry) == 16, "index entries are 16 bytes");
_Static_assert(sizeof(off_t) == 8, "64-bit file offsets (_FILE_OFFSET_BITS=64)");
#if UINTPTR_MAX == 0xffffffffu
_Static_assert(sizeof(av_frame_info) == 40, "frame descriptor is 40 bytes");
_Static_assert(offsetof(av_frame_info, data) == 36, "data at offset 36");
_Static_assert(sizeof(msg_handler_entry) == 8, "handler rows are 8 bytes");
_Static_assert(sizeof two_rows == 16, "the handler table is 16 bytes");
#endif

int main(void)
{
    printf("pointer %u\n", (unsigned)sizeof(void *));
    printf("record_request %u\n", (unsigned)sizeof(record_request));
    printf("av_frame_info %u data at %u\n", (unsigned)sizeof(av_frame_info),
           (unsigned)offsetof(av_frame_info, data));
    printf("msg_handler_entry %u table %u\n", (unsigned)sizeof(msg_handler_entry),
           (unsigned)sizeof two_rows);
    printf("avi_index_entry %u\n", (unsigned)sizeof(avi_index_entry));
    printf("off_t %u\n", (unsigned)sizeof(off_t));
    return 0;
}

/* mirvo's AVI container module: writes AVI files frame by frame (a header that is valid
 * from the first frame, media chunks, an in-memory index, a final header at close) and
 * reads AVI files back. Usable from C and C++. One thread uses a handle at a time; the
 * last error code is one process-wide value. */
#ifndef MIRVO_AVI_H
#define MIRVO_AVI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- error codes (stored in avi_error; never reset on success) ---- */
enum {
    AVI_ERROR_NONE = 0,
    AVI_ERROR_SIZE_LIMIT = 1,    /* a chunk would take the file past AVI_size_limit() */
    AVI_ERROR_OPEN = 2,          /* open() failed; errno tells why */
    AVI_ERROR_READ = 3,          /* a read came up short; errno may tell why */
    AVI_ERROR_WRITE = 4,         /* a write failed or came up short; errno tells why */
    AVI_ERROR_WRITE_INDEX = 5,   /* the "idx1" chunk could not be written at close */
    AVI_ERROR_CLOSE = 6,         /* the 2048-byte header could not be (re)written */
    AVI_ERROR_NOT_PERMITTED = 7, /* wrong mode for the operation, or a misuse it refuses */
    AVI_ERROR_NO_MEMORY = 8,
    AVI_ERROR_NOT_AVI = 9,
    AVI_ERROR_NO_HEADER_LIST = 10,
    AVI_ERROR_NO_MOVI = 11,
    AVI_ERROR_NO_VIDEO = 12,
    AVI_ERROR_NEEDS_INDEX = 13,
    AVI_ERROR_UNKNOWN = 14,
    AVI_ERROR_COUNT = 15
};

/* Code of the last failure of any operation of the module (0 before the first failure). */
extern int32_t avi_error;

enum { AVI_MODE_WRITE = 0, AVI_MODE_READ = 1 };
enum { AVI_MAX_TRACKS = 8, AVI_HEADER_BYTES = 2048 };
/* Index flag of a key frame. */
enum { AVI_KEY_FRAME = 0x10 };

/* One index entry, held in memory exactly as it is stored in the "idx1" chunk: every
 * integer little-endian, byte by byte. */
typedef struct avi_index_entry {
    unsigned char chunk_id[4];
    unsigned char flags[4];  /* 0x10 = key frame */
    unsigned char offset[4]; /* file offset of the chunk head (writer: absolute) */
    unsigned char size[4];   /* data length without the pad byte */
} avi_index_entry;

/* Reader's table of video frames, in index order. */
typedef struct avi_video_frame_entry {
    uint32_t flags;  /* the index entry's flags word */
    uint32_t offset; /* file offset of the frame's data (after its chunk head) */
    uint32_t length; /* data length */
} avi_video_frame_entry;

/* Reader's table of one track's audio chunks, in index order, ending in an all-zero entry. */
typedef struct avi_audio_chunk_entry {
    uint32_t offset;     /* file offset of the chunk's data */
    uint32_t length;     /* data length */
    uint32_t start_byte; /* audio bytes of the track before this chunk */
} avi_audio_chunk_entry;

typedef struct avi_audio_track {
    int32_t format;     /* wave format tag, 1 = PCM */
    int32_t channels;
    int32_t rate;       /* samples per second */
    int32_t bits;       /* bits per sample */
    int32_t bitrate;    /* kbit/s */
    int32_t stream_no;  /* reading: stream number */
    int32_t byte_count; /* audio bytes written to / found in the track */
    int32_t chunk_count; /* reading: chunks of the track */
    char tag[4];        /* reading: chunk id of the track's chunks */
    int32_t read_chunk; /* reading: next chunk to read */
    int32_t read_offset; /* reading: byte position inside it */
    int32_t strh_offset; /* reading: file offset of the stream header data */
    int32_t strf_offset; /* reading: file offset of the stream format data */
    avi_audio_chunk_entry *chunk_table; /* reading: chunk_count + 1 entries, or null */
} avi_audio_track;

/* Everything the module knows about one open file. Created zero-filled by
 * AVI_create_output_file or the reader's open operations; freed only by AVI_close_handle,
 * which also closes fd and frees every block hung on the handle. */
typedef struct avi_handle {
    int32_t fd;
    int32_t mode; /* AVI_MODE_WRITE or AVI_MODE_READ */
    int32_t width;
    int32_t height;
    double fps;
    char compressor[8];        /* 4 characters and a terminating zero */
    char video_compression[8]; /* reading: compression code of the video format */
    int32_t video_stream_no;   /* reading */
    int32_t video_frame_count; /* frames written (repeats included) or found */
    char video_tag[4];         /* reading: chunk id of the video chunks */
    int32_t video_read_pos;    /* reading: next video frame */
    uint32_t max_chunk_len;    /* largest chunk entered into the index */
    avi_audio_track tracks[AVI_MAX_TRACKS];
    uint32_t write_offset;     /* writing: where the next chunk goes (end of the data) */
    int32_t index_count;
    int32_t index_capacity;
    int32_t video_strh_offset; /* reading */
    int32_t video_strf_offset; /* reading */
    avi_index_entry *index;
    avi_video_frame_entry *video_frame_table; /* reading */
    uint32_t last_video_offset; /* writing: chunk head of the last video frame, 0 = none */
    uint32_t last_video_len;    /* writing */
    int32_t needs_index;        /* writing: 1 once a frame was repeated */
    int32_t movi_offset;        /* reading: first chunk inside the "movi" list */
    int32_t track_count;
    int32_t current_track;
    unsigned char *video_format;                  /* reading: copy of the video format */
    unsigned char *track_formats[AVI_MAX_TRACKS]; /* reading: copies of the audio formats */
} avi_handle;

/* ---- creating a file and choosing the audio track ---- */

/* Creates (or truncates) path with mode 0644 less the umask, writes the 2048-byte zero
 * placeholder and returns a writing handle positioned at 2048. Null on failure:
 * avi_error 8 (no memory), 2 (open failed), 4 (placeholder write failed). */
avi_handle *AVI_create_output_file(const char *path);

/* Makes track (0-based) the current audio track. -1 when it is out of range (avi_error
 * untouched), else 0. Works for reading and writing handles. */
int AVI_select_audio_track(avi_handle *handle, int32_t track);

/* The current audio track, 0-based. */
int32_t AVI_current_audio_track(const avi_handle *handle);

/* ---- declaring the streams (each call rewrites the 2048-byte header) ---- */

/* Stores the video description and rewrites the header. A code beginning "RGB" is stored
 * as four zero bytes; a code shorter than 4 characters is padded with zeros. Ignored on a
 * reading handle. Seeks to 0 and back to write_offset. */
void AVI_define_video(avi_handle *handle, int32_t width, int32_t height, double fps,
                      const char *compressor);

/* Adds an audio track (it becomes the current one) and rewrites the header. Ignored on a
 * reading handle. A ninth track prints a message and ends the process with status 1. */
void AVI_add_audio_track(avi_handle *handle, int32_t channels, int32_t rate, int32_t bits,
                         int32_t format, int32_t bitrate_kbps);

/* Builds the recording-time header from the handle and writes it over bytes 0..2047, then
 * seeks back to write_offset. 0, or -1 with avi_error 6. */
int AVI_write_header(avi_handle *handle);

/* Bytes per audio block of track: ((bits + 7) / 8) * channels, at least 4. */
int AVI_audio_block_size(const avi_handle *handle, int track);

/* ---- chunks, index and frames ---- */

/* Writes one chunk (head, data, pad byte for odd len) at the current position, which is
 * write_offset, in one system call in the common case. 0; or -1 with avi_error 4 (write
 * failed: position back at write_offset) or 1 (negative len, nothing written). */
int AVI_write_chunk(avi_handle *handle, const char *id, const void *data, int32_t len);

/* Appends one entry to the in-memory index, growing it by 4096 entries when full.
 * 0, or -1 with avi_error 8. */
int AVI_append_index(avi_handle *handle, const char *id, uint32_t flags, uint32_t offset,
                     uint32_t size);

/* Size test, index entry and chunk for a piece of video ("00db") or audio ("0Nwb" of the
 * current track). 0; -1 with avi_error 1 (the file would pass the size limit; nothing
 * written), 8 or 4 (nothing of the chunk is kept in the index). */
int AVI_write_media_chunk(avi_handle *handle, const void *data, uint32_t len,
                          int32_t is_audio, int32_t key_frame);

/* One video frame; key_frame non-zero flags it as a key frame. 0, or -1 with avi_error
 * 7 (reading handle), 1, 8 or 4. */
int AVI_put_video_frame(avi_handle *handle, const void *data, int32_t len, int32_t key_frame);

/* Shows the last video frame once more: a second index entry for its chunk (flagged key
 * frame), no bytes written. 0 (also when no frame was written yet), or -1 with avi_error
 * 7, 1 (index would pass the size limit) or 8. */
int AVI_repeat_video_frame(avi_handle *handle);

/* One audio chunk for the current track. 0, or -1 with avi_error 7, 1, 8 or 4. */
int AVI_put_audio(avi_handle *handle, const void *data, int32_t len);

/* Appends len bytes to the last chunk of the file, which must be the current track's
 * audio chunk ending at write_offset (otherwise -1 with avi_error 7, nothing touched).
 * Seeks to rewrite the chunk's size field. 0, or -1 with avi_error 1 or 4. */
int AVI_extend_audio(avi_handle *handle, const void *data, int32_t len);

/* Bytes that may still be written before the size limit (0 for a reading handle). */
uint32_t AVI_space_left(const avi_handle *handle);

/* Length the file would have if closed now, index included (0 for a reading handle). */
uint32_t AVI_size_written(const avi_handle *handle);

/* The file-size limit, 0xfefff7ff bytes. */
uint64_t AVI_size_limit(void);

/* ---- closing ---- */

/* Appends the "idx1" index and writes the final header. Neither closes nor frees.
 * 0; -1 with avi_error 5 (index not written, header still rewritten) or 6 (header not
 * written). Leaves the file position at 2048. */
int AVI_close_output_file(avi_handle *handle);

/* Ends a handle's life: finalises a writing handle (AVI_close_output_file), closes the
 * descriptor and frees the handle and everything hung on it, whatever the result.
 * Returns the finalising result (0 for a reading handle); -1 for a null handle. */
int AVI_close_handle(avi_handle *handle);

/* ---- error reporting ---- */

/* Prints "prefix: message" for avi_error to standard error, and a "REASON: ..." line with
 * errno's text for the system-call codes 2 to 6. */
void AVI_report_error(const char *prefix);

/* The message for avi_error; for codes 2 to 6 followed by " - " and errno's text, in a
 * static buffer that the next call overwrites. Not to be freed. */
const char *AVI_error_text(void);

#ifdef __cplusplus
}
#endif

#endif /* MIRVO_AVI_H */

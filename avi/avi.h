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
    AVI_ERROR_TOO_MANY_TRACKS = 15, /* a file with more audio streams than AVI_MAX_TRACKS */
    AVI_ERROR_COUNT = 16
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
    int32_t needs_index;        /* writing: 1 asks players to use the index (no writer of
                                   this module sets it: its chunks are in showing order) */
    int32_t movi_offset;        /* reading: first chunk inside the "movi" list */
    int32_t track_count;
    int32_t current_track;
    unsigned char *video_format;                  /* reading: copy of the video format */
    unsigned char *track_formats[AVI_MAX_TRACKS]; /* reading: copies of the audio formats */
    int32_t index_origin;       /* reading: how the index was found, AVI_INDEX_... */
    struct avi_file_order *file_order; /* reading: AVI_read_next_chunk's buffer, or null */
    int32_t position_lost; /* writing: a failed write could not seek back to write_offset;
                              the next chunk seeks there first */
    /* writing: what the checkpoints of AVI_sync need */
    unsigned char recording_id[8]; /* drawn at creation, different for every recording */
    uint32_t data_crc;         /* CRC-32 of recording_id, then of every byte from 2048 on */
    int32_t data_crc_stale;    /* bytes were rewritten in place: counted again at the next sync */
    int32_t chunk_total;       /* chunks written from 2048 on */
    uint32_t checkpoint_count; /* checkpoints written; number n went to slot n % 2 */
    unsigned char checkpoint_slots[2][52]; /* as last written, kept by header rewrites */
    unsigned char boot_id[16]; /* the kernel's boot id at creation; zeros when unknown */
} avi_handle;

/* ---- creating a file and choosing the audio track ---- */

/* Creates (or truncates) path with mode 0644 less the umask, writes the 2048-byte zero
 * placeholder, makes the new directory entry durable (fsync of the file's directory, so
 * that a power cut cannot take the file's name) and returns a writing handle positioned at
 * 2048. Null on failure: avi_error 8 (no memory), 2 (open failed), 4 (placeholder write or
 * directory sync failed; the file stays on disk). */
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

/* Sets the current track's bit rate (kbit/s) that the header carries; the header is
 * rewritten by the next declaration or the close. 0, or -1 with avi_error 7 on a reading
 * handle. */
int AVI_set_track_bitrate(avi_handle *handle, int32_t kbps);

/* Builds the recording-time header from the handle and writes it over bytes 0..2047, then
 * seeks back to write_offset. 0, or -1 with avi_error 4 (the write or the seek back failed)
 * or 7 (a reading handle). */
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

/* Shows the last video frame once more, for one more frame time: writes an empty video
 * chunk (8 bytes, index flags 0), which players take as the previous picture held. Writes
 * at the end of the data, no seek. 0 (also when no frame was written yet, then nothing is
 * written), or -1 with avi_error 7, 1, 8 or 4. */
int AVI_repeat_video_frame(avi_handle *handle);

/* One audio chunk for the current track. 0, or -1 with avi_error 7, 1, 8 or 4. */
int AVI_put_audio(avi_handle *handle, const void *data, int32_t len);

/* Appends len bytes to the last chunk of the file, which must be the current track's
 * audio chunk ending at write_offset (otherwise -1 with avi_error 7, nothing touched).
 * Seeks to rewrite the chunk's size field. 0, or -1 with avi_error 1 or 4. */
int AVI_extend_audio(avi_handle *handle, const void *data, int32_t len);

/* Makes what the file holds so far durable: its data and its length reach the storage
 * (fdatasync), so that a power cut cannot take them. Writes nothing and does not seek.
 * Files that cannot be synced (a pipe, a terminal) count as synced. 0, or -1 with avi_error
 * 7 (reading handle) or 4 (the storage reported an error: errno tells which; what was
 * written since the last successful sync may be lost). */
int AVI_sync(avi_handle *handle);

/* Bytes that may still be written before the size limit (0 for a reading handle). */
uint32_t AVI_space_left(const avi_handle *handle);

/* Length the file would have if closed now, index included (0 for a reading handle). */
uint32_t AVI_size_written(const avi_handle *handle);

/* The file-size limit, 0xfefff7ff bytes. */
uint64_t AVI_size_limit(void);

/* ---- closing ---- */

/* Appends the "idx1" index, cuts the file where the written data ends and writes the final
 * header; the data and index are made durable (AVI_sync) before the header, and the header
 * before the call returns, so that the header never claims an index that a power cut could
 * still take. Neither closes nor frees. 0; -1 with avi_error 5 (index not written, header
 * still rewritten) or 6 (header not written, a sync failed, or the file could not be cut:
 * bytes of a failed write may follow the data). Leaves the file position at 2048. */
int AVI_close_output_file(avi_handle *handle);

/* Ends a handle's life: finalises a writing handle (AVI_close_output_file), closes the
 * descriptor and frees the handle and everything hung on it, whatever the result.
 * Returns the finalising result (0 for a reading handle); -1 for a null handle. */
int AVI_close_handle(avi_handle *handle);

/* ---- error reporting ---- */

/* Prints "prefix: message" for avi_error to standard error, and a "REASON: ..." line with
 * the text of the failure's errno (AVI_error_cause) for the system-call codes 2 to 6. */
void AVI_report_error(const char *prefix);

/* The message for avi_error; for codes 2 to 6 followed by " - " and the text of the
 * failure's errno (AVI_error_cause), in a
 * static buffer that the next call overwrites. Not to be freed. */
const char *AVI_error_text(void);

/* The reader says a few refusals on standard error itself (a file's ninth audio stream);
 * quiet non-zero keeps them back, for a program that words every failure on its own line.
 * The failure's code is set either way. */
void AVI_set_quiet(int quiet);

/* The errno that the last failure with a system-call code (2 to 6) found, kept whatever
 * later calls do to errno; 0 for the other codes. */
int AVI_error_cause(void);

/* ---- reading a file ----
 * A reading handle owns its descriptor and every table; AVI_close_handle releases them.
 * Chunk ids and list types are compared without regard to ASCII case. Every walk over the
 * file moves strictly forward, so no file can make a reader loop for ever. */

/* How the reader found the index of a file (index_origin). */
enum {
    AVI_INDEX_NONE = 0,     /* opened without the index */
    AVI_INDEX_ABSOLUTE = 1, /* "idx1" offsets are file offsets of the chunk heads */
    AVI_INDEX_RELATIVE = 2, /* "idx1" offsets count from the "movi" list type */
    AVI_INDEX_REBUILT = 3   /* no usable "idx1": rebuilt by scanning the chunks */
};

/* Opens path read-only and parses it (AVI_parse_input). with_index non-zero also loads or
 * rebuilds the index and builds the frame and chunk tables. Returns the handle, positioned
 * at the first chunk of "movi", or null with avi_error 8 (no memory), 2 (open failed) or
 * any code of AVI_parse_input. */
avi_handle *AVI_open_input(const char *path, int32_t with_index);

/* As AVI_open_input, on a descriptor that stands at the start of the file. The call owns fd
 * from then on: a failure closes it, a handle closes it in AVI_close_handle. */
avi_handle *AVI_open_input_fd(int fd, int32_t with_index);

/* Parses the file of a fresh reading handle (used by the two opens). 0, or -1 after
 * releasing the handle (descriptor closed, memory freed) with avi_error 3 (short read),
 * 9 (not RIFF "AVI "), 8 (no memory, rebuild included), 10 (no "hdrl"), 11 (no "movi") or
 * 12 (no video stream, format or frame); a ninth audio stream prints a message and fails
 * with avi_error 15. A rebuild leaves out a last chunk that the file cuts short. */
int AVI_parse_input(avi_handle *handle, int32_t with_index);

/* Field queries: each returns its field unchanged and tests nothing; the track queries
 * read the current track. AVI_codec_fourcc points into the handle (4 characters and a
 * zero). AVI_largest_chunk is the largest data length found in the index. */
int32_t AVI_frame_count(const avi_handle *handle);
int32_t AVI_frame_width(const avi_handle *handle);
int32_t AVI_frame_height(const avi_handle *handle);
double AVI_frames_per_second(const avi_handle *handle);
const char *AVI_codec_fourcc(const avi_handle *handle);
uint32_t AVI_largest_chunk(const avi_handle *handle);
int32_t AVI_index_origin(const avi_handle *handle);
int32_t AVI_track_count(const avi_handle *handle);
int32_t AVI_track_channels(const avi_handle *handle);
int32_t AVI_track_bitrate(const avi_handle *handle);
int32_t AVI_track_bits(const avi_handle *handle);
int32_t AVI_track_format(const avi_handle *handle);
int32_t AVI_track_rate(const avi_handle *handle);
int32_t AVI_track_bytes(const avi_handle *handle);
int32_t AVI_track_chunks(const avi_handle *handle);
int32_t AVI_track_strh_offset(const avi_handle *handle);
int32_t AVI_track_strf_offset(const avi_handle *handle);
int32_t AVI_video_strh_offset(const avi_handle *handle);
int32_t AVI_video_strf_offset(const avi_handle *handle);
/* The video stream header's handler code (4 characters and a zero), beside the format's
 * AVI_codec_fourcc. */
const char *AVI_video_handler(const avi_handle *handle);
/* The entries of the index in memory (loaded from "idx1" or rebuilt). */
int32_t AVI_index_count(const avi_handle *handle);
/* The current track's format as the file stores it (WAVEFORMATEX: 20 bytes and the extra
 * bytes its field at 16 counts), with *length its size; null (and 0) when it had none. */
const unsigned char *AVI_track_format_bytes(const avi_handle *handle, int32_t *length);

/* Lookups by number in the tables; none of them seeks. Each returns -1 with avi_error 7
 * (writing handle) or 13 (no table: opened without the index, or the current track has no
 * chunks), 0 for a number out of range, else the value asked for. Lengths and offsets are
 * what the index says: a damaged index may claim a frame longer than the whole file, so a
 * caller compares a length with the file's size before it allocates that much (a read of
 * data past the end of the file fails with 3, and nothing here allocates for the caller). */
int64_t AVI_frame_length(const avi_handle *handle, int32_t n);      /* data length */
int64_t AVI_frame_file_offset(const avi_handle *handle, int32_t n); /* offset of the data */
int32_t AVI_frame_is_key(const avi_handle *handle, int32_t n);      /* flags have 0x10 set */
int64_t AVI_audio_chunk_length(const avi_handle *handle, int32_t n);
int64_t AVI_audio_chunk_file_offset(const avi_handle *handle, int32_t n);

/* What index entry i (0-based, in index order) holds: 0 a video frame, 1 + t a chunk of
 * audio track t, -1 anything else or i out of range; -1 with avi_error 7 or 13 as above. */
int32_t AVI_index_entry_stream(const avi_handle *handle, int32_t i);

/* Seeks to the first chunk of "movi" and sets the next video frame to 0; audio positions
 * stay. 0, or -1 with avi_error 7 or 3 (the seek failed). */
int AVI_rewind(avi_handle *handle);

/* Sets the next video frame to n (negative: 0; no upper limit). No seek. 0, or -1 with
 * avi_error 7 or 13. */
int AVI_seek_video_frame(avi_handle *handle, int32_t n);

/* Sets the current track's read position to audio byte `byte` (negative: 0). No seek.
 * 0, or -1 with avi_error 7 or 13. */
int AVI_seek_audio_byte(avi_handle *handle, int32_t byte);

/* Reads the next video frame into buffer (capacity bytes) and stores its key flag (1 when
 * the index flags are exactly 0x10) in *key_frame unless key_frame is null. Seeks. Returns
 * the length; -1 at the end of the frames (avi_error untouched); -1 with avi_error 7
 * (writing handle, or a frame longer than capacity: nothing written, position kept), 13
 * or 3 (short read, position kept). */
int32_t AVI_read_video_frame(avi_handle *handle, void *buffer, int32_t capacity,
                             int32_t *key_frame);

/* Reads up to count bytes of the current track's audio from its read position on, across
 * chunks. Seeks. Returns the bytes read (0 at the end), or -1 with avi_error 7, 13 or 3. */
int32_t AVI_read_audio_bytes(avi_handle *handle, void *buffer, int32_t count);

/* Reads the rest of the current chunk of the current track into buffer and moves to the
 * next chunk; empty chunks are stepped over, so 0 means the end of the track. With a null
 * buffer only tells how many bytes that read would return (negative past the end of a
 * chunk). Seeks. Bytes, or -1 with avi_error 7, 13 or 3. */
int32_t AVI_next_audio_chunk(avi_handle *handle, void *buffer);

/* Reads the next video or current-track audio chunk in file order from the current file
 * position, without the index (entering lists, skipping other chunks); meant to follow
 * AVI_rewind or the open. Stores the padded length in *length and returns 1 (video) or 2
 * (audio); -1 or -2 when the chunk is larger than the capacity (chunk skipped); 0 at the
 * end of the file, on a short read, on a writing handle or at a chunk size of 0x7fffffff
 * or more. Counts video chunks in the next video frame number. avi_error untouched (but 8
 * when its buffer cannot be had). Reads through a 64 KB buffer hung on the handle: it
 * starts at the descriptor's file position (which the table reads and AVI_rewind move) and
 * leaves the position after the chunk returned or skipped; bytes it buffered are not read
 * again, so a file changed in place by another writer meanwhile may be seen as it was. */
int AVI_read_next_chunk(avi_handle *handle, void *video, int32_t video_capacity, void *audio,
                        int32_t audio_capacity, int32_t *length);

/* ---- finishing a recording that was never closed ----
 * A writer that is killed (power loss, SIGKILL) leaves its recording-time header, with
 * placeholder sizes and no "idx1" index, and perhaps a last chunk written only in part.
 * Every whole chunk can be recovered, the empty ones that hold a picture for one more
 * frame time (AVI_repeat_video_frame) included. */

/* What a file is, as AVI_examine_file and AVI_repair_file find it. */
enum {
    AVI_FILE_UNKNOWN = -1, /* the file could not be examined (see avi_error) */
    AVI_FILE_FINISHED = 0, /* as a close leaves it: the RIFF and "movi" sizes are real, an
                              "idx1" index that the reader accepts follows the data */
    AVI_FILE_CUT_OFF = 1,  /* a recording of this writer that was never finished */
    AVI_FILE_OTHER = 2     /* not finished, and its header region is not the one this writer
                              writes for its streams: repair leaves it alone */
};

/* Why the chunks kept from a file that was not finished end where they do. */
enum {
    AVI_STOP_END_OF_FILE = 0, /* the file ends there: nothing is dropped */
    AVI_STOP_CUT_SHORT = 1,   /* the file ends inside the next chunk, which is dropped */
    AVI_STOP_NOT_A_CHUNK = 2, /* the next head is not a media chunk of the recording's streams
                                 (zeros, an index, bytes of another file): nothing after it is
                                 taken, since nothing tells what it is */
    AVI_STOP_CHECKPOINT = 3,  /* the data its newest verified checkpoint covers ends there:
                                 what follows was written after the last sync, and a power cut
                                 may have left it torn, or stale bytes in its place */
    AVI_STOP_UNVERIFIED = 4   /* the recording carries checkpoints but none verifies: nothing
                                 of its data is known to be its own */
};

/* Why chunks past the data of the newest verified checkpoint are kept, or not. */
enum {
    AVI_PAST_NOTHING = 0,     /* they are not: a power cut may have left what followed the
                                 last sync torn or stale (also when the boot cannot be told) */
    AVI_PAST_SAME_BOOT = 1,   /* the machine has not restarted since that checkpoint: the
                                 writer was killed, and every byte it wrote is in the file */
    AVI_PAST_CLOSE_SYNCED = 2 /* the close had synced them before its header was torn */
};

typedef struct avi_recovery {
    int32_t state;          /* AVI_FILE_... */
    int32_t video_frames;   /* not finished: the whole video chunks kept */
    int32_t audio_chunks;   /* not finished: the whole chunks of the declared audio tracks */
    int32_t key_frames;     /* not finished: video chunks holding an H.264 IDR slice */
    uint64_t file_size;     /* the file's length as found */
    uint64_t data_end;      /* not finished: the end of the last chunk kept, where the index
                               goes; bytes past it are dropped */
    int32_t checkpoints;    /* not finished: the number of the newest checkpoint found (AVI_sync
                               writes them, one each); 0 when the recording carries none */
    int32_t checkpoint_used; /* not finished: the number of the checkpoint whose data verified;
                               0 when none did */
    int32_t past_checkpoint; /* not finished: AVI_PAST_..., why chunks past that data are kept */
    int32_t chunks_past;    /* not finished: the chunks kept past that data */
    int32_t stop_reason;    /* not finished: AVI_STOP_... */
    int32_t dropped_chunks; /* not finished: whole chunks of the recording's streams found past
                               data_end and dropped (with AVI_STOP_CHECKPOINT) */
    double seconds;         /* not finished: the video kept, at the declared frame rate */
    uint64_t saved_bytes;   /* repair: the bytes past data_end saved beside the file */
} avi_recovery;

/* Tells whether path is finished, and for a file that is not, what a repair would recover
 * (key frames included: the scan reads every video chunk of an H.264 file). Reads only.
 * 0 with *out filled, or -1 with avi_error 2 (open failed), 9 (not a regular file, or not
 * RIFF "AVI "), or a code of AVI_parse_input for a file whose header cannot be read. */
int AVI_examine_file(const char *path, avi_recovery *out);

/* Examines the file open on fd (reading only; the caller keeps fd; its position
 * afterwards is unspecified). As AVI_examine_file otherwise. */
int AVI_examine_fd(int fd, avi_recovery *out);

/* Called by long scans (examine, repair, the rebuilding open) about every few MB and
 * once at the end with done == total; null turns it off. Process-wide, like avi_error. */
typedef void (*avi_progress_fn)(uint64_t done, uint64_t total, void *arg);
void AVI_set_progress(avi_progress_fn fn, void *arg);

/* Finishes a recording that was never closed, in place: the chunks are found by scanning
 * the file, bytes of a last chunk that was written only in part are cut away, key frames
 * are found again in the data where the video is H.264 (an IDR slice), then the "idx1"
 * index and the final header are written as AVI_close_output_file writes them. The file
 * becomes byte for byte what a close would have made of the same chunks (the microseconds
 * per frame are computed again from the stored frame rate). A recording of this writer
 * keeps what its newest verified checkpoint covers and, past it, every whole chunk when the
 * machine has not restarted since that checkpoint (see AVI_PAST_...). What is not kept is
 * saved first to path + ".dropped" (as AVI_repair_fd_saving does).
 * Returns 0 when repaired; 1 when the file was finished already (nothing written); -1 with
 * nothing written and avi_error 2 (cannot be opened for writing: errno tells why; or the
 * ".dropped" file exists or cannot be created), 9, a code of AVI_parse_input, 7 (state
 * AVI_FILE_OTHER), 12 (no video frame was recorded: nothing to finish), 1 (the index would
 * take the file past the size limit), 3 (a chunk cannot be read) or 4 (the dropped bytes
 * cannot be saved, or the cut cannot be made); or -1 with
 * avi_error 5 or 6 when the close failed part-way (the file can be repaired again).
 * *out tells what was found, also on failure. */
int AVI_repair_file(const char *path, avi_recovery *out);

/* Repairs the file open on fd, as AVI_repair_file does with a file it opened (the caller
 * keeps fd; its position afterwards is unspecified), but the bytes past data_end are cut
 * away for good. A descriptor open for reading only is examined: -1 with avi_error 2 and
 * errno EBADF when the file would need a repair. */
int AVI_repair_fd(int fd, avi_recovery *out);

/* Repairs the file open on fd as AVI_repair_fd does, but what the repair would drop is saved
 * first, when there is any: rest_path is created (never replaced) and made durable with the
 * file's header region as found, its checkpoints cleared, then every byte past data_end, in
 * order, so that it reads as an unfinished recording of the same streams whose chunks this
 * module's examine and reader find again. out->saved_bytes tells how many bytes were saved.
 * When rest_path cannot be created or written: -1 with avi_error 2 (it exists, or cannot be
 * created: errno tells why) or 4, and the file is left as it was found. */
int AVI_repair_fd_saving(int fd, const char *rest_path, avi_recovery *out);

#ifdef __cplusplus
}
#endif

#endif /* MIRVO_AVI_H */

/* The log of file operations that file_ops_shim.c writes and file_ops_log.cpp reads: one
 * record per operation that completed on the watched file or the fsync of its directory, in
 * the order the program made them. Usable from C and C++. */
#ifndef MIRVO_FILE_OPS_FORMAT_H
#define MIRVO_FILE_OPS_FORMAT_H

/* A record is a 24-byte head of little-endian fields, then, for a write, the bytes written:
 *   0  u32 operation (FILE_OP_...)
 *   4  u32 descriptor the program used
 *   8  u64 offset: where a write began; the open's flags; a truncation's new length
 *  16  u64 length: the bytes that follow (a write's, as many as the call wrote) */
enum {
    FILE_OP_HEAD_BYTES = 24,
    FILE_OP_OPEN = 1,      /* the watched path opened (O_TRUNC in the flags empties it) */
    FILE_OP_WRITE = 2,     /* write, writev, pwrite, pwritev: bytes at an offset */
    FILE_OP_TRUNCATE = 3,  /* ftruncate */
    FILE_OP_SYNC = 4,      /* fsync or fdatasync of the file returned 0 */
    FILE_OP_DIR_SYNC = 5,  /* fsync or fdatasync of the file's directory returned 0 */
    FILE_OP_CLOSE = 6
};

/* The environment variables the shim reads: the path to watch, exactly as the program opens
 * it, and the log to append to. */
#define FILE_OPS_WATCH_VARIABLE "MIRVO_FILE_OPS_WATCH"
#define FILE_OPS_LOG_VARIABLE "MIRVO_FILE_OPS_LOG"

#endif

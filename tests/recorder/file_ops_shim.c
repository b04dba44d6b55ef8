/* Test shim, loaded with LD_PRELOAD into mirvo: logs every operation on one watched file
 * (opens, writes with their offsets and bytes, truncations, syncs, the close) and the syncs
 * of its directory, in the format of file_ops_format.h, for the crash-state test. Never
 * installed; calls pass through unchanged, whatever the log does. */
#undef _FILE_OFFSET_BITS /* open and open64, pwrite and pwrite64 are different symbols here */
#undef _FORTIFY_SOURCE
#define _GNU_SOURCE
#include "file_ops_format.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

/* The next definition of each call (the C library's, or a sanitizer's), found once. */
static void *next_definition(void **slot, const char *name)
{
    if (!*slot)
        *slot = dlsym(RTLD_NEXT, name);
    return *slot;
}
#define NEXT(fn) ((__typeof__(next_##fn))next_definition((void **)&next_##fn, #fn))
static int (*next_open)(const char *, int, ...);
static int (*next_open64)(const char *, int, ...);
static int (*next_openat)(int, const char *, int, ...);
static int (*next_openat64)(int, const char *, int, ...);
static int (*next___open_2)(const char *, int);
static int (*next___open64_2)(const char *, int);
static int (*next_creat)(const char *, mode_t);
static int (*next_creat64)(const char *, mode_t);
static ssize_t (*next_write)(int, const void *, size_t);
static ssize_t (*next_writev)(int, const struct iovec *, int);
static ssize_t (*next_pwrite)(int, const void *, size_t, off_t);
static ssize_t (*next_pwrite64)(int, const void *, size_t, off64_t);
static ssize_t (*next_pwritev)(int, const struct iovec *, int, off_t);
static ssize_t (*next_pwritev64)(int, const struct iovec *, int, off64_t);
static off64_t (*next_lseek64)(int, off64_t, int);
static int (*next_ftruncate)(int, off_t);
static int (*next_ftruncate64)(int, off64_t);
static int (*next_fsync)(int);
static int (*next_fdatasync)(int);
static int (*next_close)(int);

enum { NOT_WATCHED = 0, WATCHED_FILE = 1, WATCHED_DIRECTORY = 2, MARKED_FDS = 4096 };
static unsigned char marks[MARKED_FDS];
static int log_fd = -1;
static int watched_opened; /* directory syncs count from the file's first open on */

static int mark_of(int fd)
{
    return fd >= 0 && fd < MARKED_FDS ? marks[fd] : NOT_WATCHED;
}

static void put_u32(unsigned char *at, uint64_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = (unsigned char)(value >> (8 * i));
}

static void put_u64(unsigned char *at, uint64_t value)
{
    put_u32(at, value);
    put_u32(at + 4, value >> 32);
}

/* Appends one record: its head, then the first `length` bytes of the parts. errno is kept. */
static void log_record(int op, int fd, uint64_t offset, const struct iovec *parts, int count,
                       uint64_t length)
{
    int saved = errno;
    if (log_fd < 0) {
        const char *path = getenv(FILE_OPS_LOG_VARIABLE);
        if (path)
            log_fd = NEXT(open)(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    struct iovec *all = malloc(sizeof *all * (size_t)(count + 1));
    if (log_fd >= 0 && all) {
        unsigned char head[FILE_OP_HEAD_BYTES];
        put_u32(head, (uint64_t)op);
        put_u32(head + 4, (uint64_t)fd);
        put_u64(head + 8, offset);
        put_u64(head + 16, length);
        all[0].iov_base = head;
        all[0].iov_len = sizeof head;
        int used = 1;
        for (int i = 0; i < count && length > 0; ++i, ++used) {
            all[used] = parts[i];
            if (all[used].iov_len > length)
                all[used].iov_len = (size_t)length;
            length -= all[used].iov_len;
        }
        /* One record per call, finished by further calls if the first one falls short. */
        struct iovec *left = all;
        while (used > 0) {
            ssize_t put = NEXT(writev)(log_fd, left, used);
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0)
                break;
            while (used > 0 && (size_t)put >= left->iov_len) {
                put -= (ssize_t)left->iov_len;
                ++left;
                --used;
            }
            if (used > 0) {
                left->iov_base = (char *)left->iov_base + put;
                left->iov_len -= (size_t)put;
            }
        }
    }
    free(all);
    errno = saved;
}

static void log_plain(int op, int fd, uint64_t offset)
{
    log_record(op, fd, offset, NULL, 0, 0);
}

/* Whether a new descriptor is the watched file or its directory; the open is logged. */
static int noted_open(int fd, const char *path, int flags)
{
    const char *watched = getenv(FILE_OPS_WATCH_VARIABLE);
    if (fd < 0 || fd >= MARKED_FDS || !watched)
        return fd;
    int saved = errno;
    marks[fd] = NOT_WATCHED;
    if (strcmp(path, watched) == 0) {
        marks[fd] = WATCHED_FILE;
        watched_opened = 1;
        log_plain(FILE_OP_OPEN, fd, (uint64_t)flags);
    } else if (watched_opened) {
        /* The directory is the one holding the watched path, however it was named. */
        char directory[PATH_MAX] = ".";
        const char *slash = strrchr(watched, '/');
        size_t length = slash ? (slash == watched ? 1 : (size_t)(slash - watched)) : 1;
        if (slash && length < sizeof directory) {
            memcpy(directory, watched, length);
            directory[length] = '\0';
        }
        struct stat opened, wanted;
        if (fstat(fd, &opened) == 0 && S_ISDIR(opened.st_mode) && stat(directory, &wanted) == 0 &&
            opened.st_dev == wanted.st_dev && opened.st_ino == wanted.st_ino)
            marks[fd] = WATCHED_DIRECTORY;
    }
    errno = saved;
    return fd;
}

static mode_t mode_argument(int flags, va_list modes)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(modes, int) : 0;
}

int open(const char *path, int flags, ...)
{
    va_list modes;
    va_start(modes, flags);
    mode_t mode = mode_argument(flags, modes);
    va_end(modes);
    return noted_open(NEXT(open)(path, flags, mode), path, flags);
}

int open64(const char *path, int flags, ...)
{
    va_list modes;
    va_start(modes, flags);
    mode_t mode = mode_argument(flags, modes);
    va_end(modes);
    return noted_open(NEXT(open64)(path, flags, mode), path, flags);
}

int openat(int dir, const char *path, int flags, ...)
{
    va_list modes;
    va_start(modes, flags);
    mode_t mode = mode_argument(flags, modes);
    va_end(modes);
    return noted_open(NEXT(openat)(dir, path, flags, mode), path, flags);
}

int openat64(int dir, const char *path, int flags, ...)
{
    va_list modes;
    va_start(modes, flags);
    mode_t mode = mode_argument(flags, modes);
    va_end(modes);
    return noted_open(NEXT(openat64)(dir, path, flags, mode), path, flags);
}

int __open_2(const char *path, int flags)
{
    return noted_open(NEXT(__open_2)(path, flags), path, flags);
}

int __open64_2(const char *path, int flags)
{
    return noted_open(NEXT(__open64_2)(path, flags), path, flags);
}

int creat(const char *path, mode_t mode)
{
    return noted_open(NEXT(creat)(path, mode), path, O_CREAT | O_WRONLY | O_TRUNC);
}

int creat64(const char *path, mode_t mode)
{
    return noted_open(NEXT(creat64)(path, mode), path, O_CREAT | O_WRONLY | O_TRUNC);
}

/* Writes at the descriptor's position: the position is asked before the call. */
static ssize_t logged_write_at(int fd, const struct iovec *parts, int count, ssize_t put,
                               off64_t at)
{
    if (put > 0 && at >= 0)
        log_record(FILE_OP_WRITE, fd, (uint64_t)at, parts, count, (uint64_t)put);
    return put;
}

static off64_t position(int fd)
{
    int saved = errno;
    off64_t at = NEXT(lseek64)(fd, 0, SEEK_CUR);
    errno = saved;
    return at;
}

ssize_t write(int fd, const void *buffer, size_t n)
{
    if (mark_of(fd) != WATCHED_FILE)
        return NEXT(write)(fd, buffer, n);
    struct iovec part = {(void *)buffer, n};
    off64_t at = position(fd);
    return logged_write_at(fd, &part, 1, NEXT(write)(fd, buffer, n), at);
}

ssize_t writev(int fd, const struct iovec *parts, int count)
{
    if (mark_of(fd) != WATCHED_FILE)
        return NEXT(writev)(fd, parts, count);
    off64_t at = position(fd);
    return logged_write_at(fd, parts, count, NEXT(writev)(fd, parts, count), at);
}

ssize_t pwrite(int fd, const void *buffer, size_t n, off_t at)
{
    struct iovec part = {(void *)buffer, n};
    ssize_t put = NEXT(pwrite)(fd, buffer, n, at);
    return mark_of(fd) == WATCHED_FILE ? logged_write_at(fd, &part, 1, put, at) : put;
}

ssize_t pwrite64(int fd, const void *buffer, size_t n, off64_t at)
{
    struct iovec part = {(void *)buffer, n};
    ssize_t put = NEXT(pwrite64)(fd, buffer, n, at);
    return mark_of(fd) == WATCHED_FILE ? logged_write_at(fd, &part, 1, put, at) : put;
}

ssize_t pwritev(int fd, const struct iovec *parts, int count, off_t at)
{
    ssize_t put = NEXT(pwritev)(fd, parts, count, at);
    return mark_of(fd) == WATCHED_FILE ? logged_write_at(fd, parts, count, put, at) : put;
}

ssize_t pwritev64(int fd, const struct iovec *parts, int count, off64_t at)
{
    ssize_t put = NEXT(pwritev64)(fd, parts, count, at);
    return mark_of(fd) == WATCHED_FILE ? logged_write_at(fd, parts, count, put, at) : put;
}

int ftruncate(int fd, off_t length)
{
    int result = NEXT(ftruncate)(fd, length);
    if (result == 0 && mark_of(fd) == WATCHED_FILE)
        log_plain(FILE_OP_TRUNCATE, fd, (uint64_t)length);
    return result;
}

int ftruncate64(int fd, off64_t length)
{
    int result = NEXT(ftruncate64)(fd, length);
    if (result == 0 && mark_of(fd) == WATCHED_FILE)
        log_plain(FILE_OP_TRUNCATE, fd, (uint64_t)length);
    return result;
}

static int logged_sync(int fd, int result)
{
    if (result == 0 && mark_of(fd) != NOT_WATCHED)
        log_plain(mark_of(fd) == WATCHED_FILE ? FILE_OP_SYNC : FILE_OP_DIR_SYNC, fd, 0);
    return result;
}

int fsync(int fd)
{
    return logged_sync(fd, NEXT(fsync)(fd));
}

int fdatasync(int fd)
{
    return logged_sync(fd, NEXT(fdatasync)(fd));
}

int close(int fd)
{
    int mark = mark_of(fd);
    if (mark != NOT_WATCHED)
        marks[fd] = NOT_WATCHED;  /* before the number can be given out again */
    int result = NEXT(close)(fd);
    if (mark == WATCHED_FILE)
        log_plain(FILE_OP_CLOSE, fd, 0);
    return result;
}

// Examining and finishing a recording whose writer never reached the close (power loss,
// SIGKILL): recover_index finds the chunks to keep and the H.264 key frames among them, what
// is not kept (a last chunk written only in part, bytes past the trusted data) is moved to a
// file beside it and cut away, and the close then appends the "idx1" index and writes the
// final header in place. Finished files, recordings without a frame to keep and
// files of other writers are never written.
#include "avi/recovery/avi_recovery.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using avi_detail::file_scan;
using avi_detail::padded;
using avi_detail::same_id;

namespace {

// Whether the file is as a close leaves it: the RIFF form covers the whole file (or is
// followed by an extension part, "RIFF" "AVIX"), the "movi" size is not the placeholder, an
// "idx1" chunk follows the "movi" list inside the form, and the reader accepts that index.
bool is_finished(avi_handle &r, file_scan &s)
{
    uint64_t file_size = s.end();
    uint64_t movi_at = static_cast<uint32_t>(r.movi_offset);  // after the list type
    unsigned char riff[4], movi_size_field[4], index_head[8], next[4];
    if (!s.read_at(avi_detail::header_at::riff_size, riff, 4) || !s.read_at(movi_at - 8, movi_size_field, 4))
        return false;
    uint64_t riff_end = 8 + padded(get_u32_le(riff));
    uint32_t movi_size = get_u32_le(movi_size_field);
    if (movi_size == avi_detail::size_placeholder || riff_end > file_size)
        return false;
    if (riff_end < file_size && !(s.read_at(riff_end, next, 4) && same_id(next, "RIFF")))
        return false;
    uint64_t index_at = movi_at - 4 + padded(movi_size);
    if (index_at + 8 > riff_end || !s.read_at(index_at, index_head, 8) ||
        !same_id(index_head, "idx1"))
        return false;
    uint32_t index_size = get_u32_le(index_head + 4);
    if (index_at + 8 + padded(index_size) > riff_end)
        return false;
    // An empty index (a file closed without any chunk) leaves the reader nothing to judge.
    if (index_size < avi_detail::index_entry_bytes)
        return true;
    // Whether the reader takes the "idx1" index that the walk loaded as it stands. A
    // refusal here is an answer, not a failure: the error state stays as it was.
    int32_t code = 0;
    avi_detail::error_state before = avi_detail::error_state::now();
    int32_t origin = avi_detail::judge_index(&r, s, code);
    before.restore();
    return code == 0 && (origin == AVI_INDEX_ABSOLUTE || origin == AVI_INDEX_RELATIVE);
}

// What the rebuilt index of a file that is not finished holds: the counts a close would
// have written for the same chunks.
void count_chunks(const avi_handle &r, avi_handle &streams, uint64_t unverified_from, avi_recovery &out)
{
    int64_t bytes[AVI_MAX_TRACKS] = {};
    for (int32_t i = 0; i < r.index_count; ++i) {
        const avi_index_entry &e = r.index[i];
        uint32_t size = get_u32_le(e.size);
        int32_t stream = avi_detail::chunk_stream(r, e.chunk_id);
        if (stream == 0) {
            out.video_frames += 1;
            out.key_frames += avi_detail::is_key(get_u32_le(e.flags));
        } else if (stream > 0) {
            out.audio_chunks += 1;
            bytes[stream - 1] += size;
        }
        out.chunks_past += get_u32_le(e.offset) >= unverified_from;
    }
    streams.video_frame_count = out.video_frames;
    for (int t = 0; t < r.track_count; ++t)  // saturating, as the writer counts
        streams.tracks[t].byte_count = static_cast<int32_t>(std::min<int64_t>(bytes[t], INT32_MAX));
    out.seconds = frame_time(out.video_frames, r.fps);
}

// Reads the header of the file on fd (owned from here on) and finds out what the file is.
// Returns the reading handle, with the index rebuilt by one scan (key frames flagged for
// H.264) when the file is not finished, and fills out and streams; null with avi_error set
// (fd closed) when the file cannot be read.
avi_handle *examine(int fd, avi_recovery &out, avi_handle &streams)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 12) {
        close(fd);  // not a file, or too short to be an AVI file
        return avi_detail::fail(AVI_ERROR_NOT_AVI), nullptr;
    }
    avi_detail::heap_bytes buffer = avi_detail::new_scan_buffer();
    if (!buffer || lseek(fd, 0, SEEK_SET) != 0) {
        close(fd);
        return avi_detail::fail(buffer ? AVI_ERROR_READ : AVI_ERROR_NO_MEMORY), nullptr;
    }
    out.file_size = static_cast<uint64_t>(st.st_size);
    avi_handle *r = avi_detail::open_reading_fd(fd, avi_detail::index_use::loaded);
    if (!r)
        return nullptr;
    streams = avi_detail::described_streams(*r);
    file_scan s(r->fd, buffer.get(), avi_detail::scan_buffer_bytes, 0, out.file_size);
    if (is_finished(*r, s)) {
        out.state = AVI_FILE_FINISHED;
        return r;
    }
    avi_detail::recovery_verdict verdict;
    if (int32_t code = avi_detail::recover_index(r, s, is_h264_code(streams.compressor), verdict))
        return avi_detail::fail(code, r), nullptr;
    count_chunks(*r, streams, verdict.unverified_from, out);
    out.data_end = verdict.stop_at;
    out.state = verdict.ours ? AVI_FILE_CUT_OFF : AVI_FILE_OTHER;
    out.checkpoints = verdict.checkpoints;
    out.checkpoint_used = verdict.checkpoint_used;
    out.past_checkpoint = verdict.past_checkpoint;
    out.stop_reason = verdict.stop_reason;
    out.dropped_chunks = verdict.dropped_chunks;
    return r;
}

// The writing handle that finishes the file: the stream descriptions and counts, and the
// descriptor and rebuilt index taken over from the reading handle, which is released.
avi_handle *take_over(avi_handle *r, const avi_handle &streams, uint32_t data_end)
{
    auto *w = static_cast<avi_handle *>(malloc(sizeof(avi_handle)));
    if (!w)
        return avi_detail::fail(AVI_ERROR_NO_MEMORY, r), nullptr;
    *w = streams;
    w->fd = r->fd;
    w->index = r->index;
    w->index_count = r->index_count;
    w->index_capacity = r->index_capacity;
    w->write_offset = data_end;
    r->fd = -1;
    r->index = nullptr;
    AVI_close_handle(r);
    return w;
}

// Opens path for reading and writing; a file that may not be written is opened for reading
// only (writable false), so that it can still be examined. -1 with avi_error 2.
int open_for_repair(const char *path, bool &writable, int &refusal)
{
    int fd = open(path, O_RDWR);
    writable = fd >= 0;
    refusal = errno;
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS || errno == ETXTBSY))
        fd = open(path, O_RDONLY);
    if (fd < 0)
        return avi_detail::fail_because(AVI_ERROR_OPEN, refusal);
    return fd;
}

// Copies what a repair drops, the bytes from data_end to the end of the file, into a new
// file at rest_path behind the header region as found (its checkpoints cleared, since they
// vouch for other data), and makes it durable. Nothing is written when nothing is dropped.
// False with avi_error set, the new file removed, when it cannot be done.
bool save_rest(int fd, const char *rest_path, avi_recovery &out)
{
    if (!rest_path || out.data_end >= out.file_size)
        return true;
    avi_detail::heap_bytes buffer = avi_detail::new_scan_buffer();
    if (!buffer)
        return avi_detail::fail(AVI_ERROR_NO_MEMORY), false;
    int rest = open(rest_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (rest < 0)
        return avi_detail::fail(AVI_ERROR_OPEN), false;
    unsigned char *b = buffer.get();
    bool copied = read_at(fd, 0, b, AVI_HEADER_BYTES);
    for (int at : avi_detail::checkpoint_at::slots)
        memset(b + at, 0, avi_detail::checkpoint_at::bytes);
    copied = copied && write_fully(rest, b, AVI_HEADER_BYTES) == AVI_HEADER_BYTES;
    for (uint64_t at = out.data_end; copied && at < out.file_size;) {
        auto n = static_cast<uint32_t>(std::min<uint64_t>(out.file_size - at, avi_detail::scan_buffer_bytes));
        copied = read_at(fd, at, b, n) && write_fully(rest, b, n) == static_cast<int32_t>(n);
        at += n;
    }
    copied = copied && avi_detail::sync_data(rest) && avi_detail::sync_directory_of(rest_path);
    if (!copied)
        return avi_detail::fail_undoing(AVI_ERROR_WRITE, [&] { close(rest), unlink(rest_path); }), false;
    close(rest);
    out.saved_bytes = out.file_size - out.data_end;
    return true;
}

// Examines the file on fd, which it closes; -1 with avi_error 2 for no descriptor.
int examine_owned_fd(int fd, avi_recovery *out)
{
    *out = avi_recovery{};
    out->state = AVI_FILE_UNKNOWN;
    if (fd < 0)
        return avi_detail::fail(AVI_ERROR_OPEN);
    avi_handle streams{};
    avi_handle *r = examine(fd, *out, streams);
    if (!r)
        return -1;
    AVI_close_handle(r);
    return 0;
}

// Repairs the file on fd, which it closes; a descriptor that may not be written is examined
// only, and fails with refusal as errno when the file needs a repair.
int repair_owned_fd(int fd, bool writable, int refusal, const char *rest_path, avi_recovery *out)
{
    avi_handle streams{};
    avi_handle *r = examine(fd, *out, streams);
    if (!r)
        return -1;
    if (out->state == AVI_FILE_FINISHED) {
        AVI_close_handle(r);
        return 1;
    }
    if (out->state == AVI_FILE_OTHER)
        return avi_detail::fail(AVI_ERROR_NOT_PERMITTED, r);
    // Cut off before its first frame: a file finished without one would open nowhere.
    if (out->video_frames == 0)
        return avi_detail::fail_because(AVI_ERROR_NO_VIDEO, 0, r);
    if (!writable)
        return avi_detail::fail_because(AVI_ERROR_OPEN, refusal, r);
    // The close appends the index; this writer never let a file pass the limit.
    if (avi_detail::size_after_close(out->data_end, static_cast<uint32_t>(r->index_count)) > avi_detail::size_limit)
        return avi_detail::fail(AVI_ERROR_SIZE_LIMIT, r);

    // Cut at the end of the last whole chunk (or supply the pad byte that a chunk of odd
    // length was still missing), once what the cut drops is safe elsewhere; the close then
    // writes the index there and the header.
    if (!save_rest(r->fd, rest_path, *out))
        return AVI_close_handle(r), -1;  // keeps avi_error and errno
    auto data_end = static_cast<uint32_t>(out->data_end);
    if (ftruncate(r->fd, static_cast<off_t>(data_end)) != 0 ||
        lseek(r->fd, static_cast<off_t>(data_end), SEEK_SET) < 0)
        return avi_detail::fail(AVI_ERROR_WRITE, r);
    avi_handle *w = take_over(r, streams, data_end);
    return w ? AVI_close_handle(w) : -1;
}

}  // namespace

int AVI_examine_file(const char *path, avi_recovery *out)
{
    return examine_owned_fd(open(path, O_RDONLY), out);
}

int AVI_examine_fd(int fd, avi_recovery *out)
{
    return examine_owned_fd(dup(fd), out);  // the reading handle closes what it is given
}

int AVI_repair_file(const char *path, avi_recovery *out)
{
    *out = avi_recovery{};
    out->state = AVI_FILE_UNKNOWN;
    bool writable = false;
    int refusal = 0;
    char rest[PATH_MAX];
    if (snprintf(rest, sizeof rest, "%s.dropped", path) >= static_cast<int>(sizeof rest))
        return avi_detail::fail_because(AVI_ERROR_OPEN, ENAMETOOLONG);
    int fd = open_for_repair(path, writable, refusal);
    return fd < 0 ? -1 : repair_owned_fd(fd, writable, refusal, rest, out);
}

int AVI_repair_fd_saving(int fd, const char *rest_path, avi_recovery *out)
{
    *out = avi_recovery{};
    out->state = AVI_FILE_UNKNOWN;
    int flags = fcntl(fd, F_GETFL);
    int own = flags < 0 ? -1 : dup(fd);  // the handles that repair builds close what they get
    if (own < 0)
        return avi_detail::fail(AVI_ERROR_OPEN);
    return repair_owned_fd(own, (flags & O_ACCMODE) != O_RDONLY, EBADF, rest_path, out);
}

int AVI_repair_fd(int fd, avi_recovery *out)
{
    return AVI_repair_fd_saving(fd, nullptr, out);
}

// Every reading operation of the AVI module over one file, with buffers sized to what the
// module says it will write, so that a read past a buffer's end is caught by the sanitizer.
#include "drive_reads.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace mirvo_fuzz {
namespace {

// Frames and chunks longer than this are only looked up, not read.
constexpr int64_t largest_read = 1 << 20;
constexpr int32_t small = 3;

// Adds values of any sign without overflow (the sum only has to depend on them).
uint64_t total(std::initializer_list<int64_t> values)
{
    uint64_t sum = 0;
    for (int64_t v : values)
        sum += static_cast<uint64_t>(v);
    return sum;
}

// A rule that holds for every input was broken: stop here, so the fuzzer keeps the input.
void require(bool rule)
{
    if (!rule)
        __builtin_trap();
}

// The numbers at the edges of a table of `count` entries, and the whole table.
std::vector<int32_t> numbers_around(int32_t count)
{
    std::vector<int32_t> n = {INT32_MIN, -1, count, INT32_MAX};
    for (int32_t i = 0; i < std::min(count, 4096); ++i)
        n.push_back(i);
    return n;
}

// The writing operations refuse a reading handle (7) or do nothing, and leave it as it was.
uint64_t drive_writer_guards(avi_handle *h)
{
    unsigned char data[2] = {0, 1};
    int32_t frames = AVI_frame_count(h), tracks = AVI_track_count(h);
    for (int result : {AVI_put_video_frame(h, data, 2, 1), AVI_put_audio(h, data, 2),
                       AVI_repeat_video_frame(h), AVI_extend_audio(h, data, 2),
                       AVI_set_track_bitrate(h, 64)})
        require(result == -1 && avi_error == AVI_ERROR_NOT_PERMITTED);
    AVI_define_video(h, 1, 1, 1.0, "H264");
    AVI_add_audio_track(h, 1, 8000, 16, 1, 128);
    require(AVI_space_left(h) == 0 && AVI_size_written(h) == 0);
    require(AVI_frame_count(h) == frames && AVI_track_count(h) == tracks);
    return strlen(AVI_error_text());
}

uint64_t drive_queries(avi_handle *h)
{
    uint64_t sum = total({AVI_frame_count(h), AVI_frame_width(h), AVI_frame_height(h), AVI_largest_chunk(h),
                          AVI_index_origin(h), AVI_video_strh_offset(h), AVI_video_strf_offset(h),
                          AVI_frames_per_second(h) > 0, AVI_codec_fourcc(h)[0], AVI_track_count(h),
                          AVI_current_audio_track(h)});
    for (int32_t i : numbers_around(h->index_count))
        sum += total({AVI_index_entry_stream(h, i)});
    // Without the tables the frame count is only the header's claim: the lookups refuse.
    for (int32_t n : numbers_around(AVI_frame_length(h, 0) < 0 ? 0 : AVI_frame_count(h)))
        sum += total({AVI_frame_length(h, n), AVI_frame_file_offset(h, n), AVI_frame_is_key(h, n)});
    for (int32_t t : {-1, int32_t{AVI_MAX_TRACKS}, INT32_MAX})
        require(AVI_select_audio_track(h, t) == -1);
    return sum + drive_writer_guards(h);
}

// Frame n into a buffer of exactly its length, after one byte less was refused.
uint64_t read_frame_exactly(avi_handle *h, int32_t n)
{
    int64_t length = AVI_frame_length(h, n);
    if (length <= 0 || length > largest_read || AVI_seek_video_frame(h, n) != 0)
        return 0;
    std::vector<unsigned char> exact(static_cast<size_t>(length));
    int32_t key = -1;
    require(AVI_read_video_frame(h, exact.data(), static_cast<int32_t>(length - 1), &key) == -1);
    int32_t got = AVI_read_video_frame(h, exact.data(), static_cast<int32_t>(length), &key);
    require(got == -1 || got == length);
    require(key == AVI_frame_is_key(h, n));
    return got > 0 ? static_cast<uint64_t>(got) : 0;
}

uint64_t drive_video(avi_handle *h)
{
    unsigned char none[1];
    int32_t key = 0;
    uint64_t sum = 0;
    for (int32_t n : {-1, 0, AVI_frame_count(h) / 2 + 1, AVI_frame_count(h), INT32_MAX})
        sum += total({AVI_seek_video_frame(h, n), AVI_read_video_frame(h, none, 0, &key)});
    for (int32_t n = 0; n < std::min(AVI_frame_count(h), 4096); ++n)
        sum += read_frame_exactly(h, n);
    return sum;
}

uint64_t drive_track(avi_handle *h)
{
    uint64_t sum = total({AVI_track_channels(h), AVI_track_bitrate(h), AVI_track_bits(h), AVI_track_format(h),
                          AVI_track_rate(h), AVI_track_bytes(h), AVI_track_strh_offset(h),
                          AVI_track_strf_offset(h)});
    for (int32_t n : numbers_around(AVI_track_chunks(h)))
        sum += total({AVI_audio_chunk_length(h, n), AVI_audio_chunk_file_offset(h, n)});

    // By bytes, from odd positions: a small count, then a huge one into a buffer that holds
    // exactly the bytes left in the track.
    int64_t bytes = AVI_track_bytes(h);
    std::vector<unsigned char> buffer;
    for (int64_t at : {int64_t{-1}, int64_t{0}, int64_t{1}, bytes / 2 + 1, bytes - 1, bytes, bytes + 7,
                       int64_t{INT32_MAX}}) {
        auto position = static_cast<int32_t>(std::clamp<int64_t>(at, INT32_MIN, INT32_MAX));
        if (AVI_seek_audio_byte(h, position) != 0)
            continue;
        int64_t left = std::clamp<int64_t>(bytes - std::max<int64_t>(position, 0), 0, INT32_MAX);
        buffer.assign(static_cast<size_t>(std::max<int64_t>(std::min(left, largest_read), small)), 0);
        int32_t got = AVI_read_audio_bytes(h, buffer.data(), small);
        require(got <= small);
        sum += total({got});
        if (left > largest_read)
            continue;
        got = AVI_read_audio_bytes(h, buffer.data(), left <= small ? small : INT32_MAX);
        require(got <= std::max<int64_t>(left, small));
        sum += total({got});
    }
    // Chunk by chunk, each into a buffer of exactly the length the call says it will read.
    AVI_seek_audio_byte(h, 0);
    for (int32_t n = 0; n <= AVI_track_chunks(h) && n < 4096; ++n) {
        int32_t left = AVI_next_audio_chunk(h, nullptr);
        if (left <= 0 || left > largest_read)
            break;
        buffer.assign(static_cast<size_t>(left), 0);
        int32_t got = AVI_next_audio_chunk(h, buffer.data());
        require(got <= left);
        if (got <= 0)
            break;
        sum += static_cast<uint64_t>(got);
    }
    return sum;
}

// In file order with small and then sufficient capacities; every step moves forward.
uint64_t drive_file_order(avi_handle *h)
{
    uint64_t sum = 0;
    for (int32_t capacity : {0, small, 4096}) {
        if (AVI_rewind(h) != 0)
            return sum;
        std::vector<unsigned char> video(static_cast<size_t>(capacity) + 1), audio(video.size());
        int32_t length = 0;
        int kind;
        for (int steps = 0; steps < 100000 &&
                            (kind = AVI_read_next_chunk(h, video.data(), capacity, audio.data(), capacity, &length)) != 0;
             ++steps) {
            require(kind < 0 || length <= capacity);
            sum += total({kind, length});
        }
    }
    return sum;
}

// The lowest descriptor number free: it rises when a descriptor is left open.
int lowest_free_descriptor()
{
    int fd = dup(0);
    if (fd >= 0)
        close(fd);
    return fd;
}

// Within one scan the reports never go back and never pass the total; a report of
// done == total ends the scan.
struct progress_check {
    uint64_t done = 0;
};

void check_progress(uint64_t done, uint64_t total, void *arg)
{
    auto *seen = static_cast<progress_check *>(arg);
    require(done <= total && done >= seen->done);
    seen->done = done == total ? 0 : done;
}

// A memory file holding the bytes, reachable by path too; -1 when one cannot be made.
int memory_file(const uint8_t *data, size_t size)
{
    int fd = memfd_create("avi-input", 0);
    if (fd >= 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string path_of(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

void drive_recovery(const uint8_t *data, size_t size)
{
    int fd = memory_file(data, size);
    if (fd < 0)
        return;
    avi_recovery by_path, by_fd;
    int examined = AVI_examine_file(path_of(fd).c_str(), &by_path);
    require(AVI_examine_fd(fd, &by_fd) == examined && memcmp(&by_path, &by_fd, sizeof by_fd) == 0);

    // Repair the copy twice: the second changes nothing (it finds the file finished, refuses
    // it, or, where the reader cannot take the index, as for a file without video, writes
    // the same bytes again).
    // (By descriptor: a memory file has no folder beside it for what repair drops.)
    int first = AVI_repair_fd(fd, &by_path);
    require(first != 0 || by_path.state == AVI_FILE_CUT_OFF);
    off_t length = lseek(fd, 0, SEEK_END);
    std::vector<unsigned char> repaired(static_cast<size_t>(std::max<off_t>(length, 0)));
    require(pread(fd, repaired.data(), repaired.size(), 0) == static_cast<ssize_t>(repaired.size()));
    int second = AVI_repair_fd(fd, &by_path);
    require(first != 0 || second >= 0);
    std::vector<unsigned char> again(repaired.size() + 1);
    require(pread(fd, again.data(), again.size(), 0) == static_cast<ssize_t>(repaired.size()) &&
            std::equal(repaired.begin(), repaired.end(), again.begin()));
    close(fd);
}

}  // namespace

uint64_t drive_reads(avi_handle *h)
{
    uint64_t sum = drive_queries(h) + drive_video(h);
    for (int32_t t = 0; t < AVI_track_count(h); ++t) {
        AVI_select_audio_track(h, t);
        sum += drive_track(h);
    }
    AVI_select_audio_track(h, 0);
    return sum + drive_file_order(h);
}

void drive_file(const uint8_t *data, size_t size)
{
    int free_before = lowest_free_descriptor();
    progress_check progress;
    AVI_set_progress(check_progress, &progress);
    int fd = memory_file(data, size);
    if (fd >= 0) {
        for (int32_t with_index : {1, 0}) {
            if (avi_handle *h = AVI_open_input(path_of(fd).c_str(), with_index)) {
                drive_reads(h);
                AVI_close_handle(h);
            } else {
                require(AVI_error_text()[0] != '\0');  // every failure has its text
            }
            int copy = dup(fd);  // the handle owns and closes what it is given
            if (copy >= 0 && lseek(copy, 0, SEEK_SET) == 0) {
                if (avi_handle *h = AVI_open_input_fd(copy, with_index)) {
                    drive_reads(h);
                    AVI_close_handle(h);
                }
            } else if (copy >= 0) {
                close(copy);
            }
        }
        close(fd);
    }
    drive_recovery(data, size);
    AVI_set_progress(nullptr, nullptr);
    require(lowest_free_descriptor() == free_before);
}

}  // namespace mirvo_fuzz

// Internals of the AVI module shared by its source files and its tests: the byte helpers
// (whole-buffer reads and writes, little-endian stores and loads) and the builder of the
// 2048-byte header region, which the stream declarations and the close both use.
#pragma once

#include "avi.h"
#include "le_bytes.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <sys/uio.h>

// Offsets up to the size limit (near 4 GiB) go through lseek, pwrite and ftruncate; a 32-bit
// off_t would turn those past 2 GiB negative. The build defines _FILE_OFFSET_BITS=64.
static_assert(sizeof(off_t) == 8, "build with -D_FILE_OFFSET_BITS=64");

// Reads n bytes, looping over partial reads; stops early only at end of file or on an
// error. Returns the bytes read, never a negative value.
int32_t read_fully(int fd, void *buffer, uint32_t n);

// Writes n bytes, looping over partial writes. Returns n, or the negative result of the
// write call that failed.
int32_t write_fully(int fd, const void *buffer, uint32_t n);

// Writes every byte of the iovecs with as few writev calls as the system allows, looping
// over partial writes like write_fully. Returns the total, or a negative value on error.
// The iovec array is consumed (its entries are advanced).
int64_t write_fully_vec(int fd, struct iovec *parts, int count);

// Reads n bytes at a file offset: false when the seek fails or the read comes up short.
bool read_at(int fd, uint64_t at, void *buffer, uint32_t n);


namespace avi_detail {

// The one way the module fails: releases `release` when given (as AVI_close_handle does),
// stores code in avi_error and returns -1, with errno kept as the failed call left it, for
// AVI_error_text.
int fail(int32_t code, avi_handle *release = nullptr);

using header_bytes = std::array<unsigned char, AVI_HEADER_BYTES>;

// The values in which the header written at close differs from the recording-time one.
struct final_header_values {
    uint32_t riff_size;  // end of the written data less 8
    uint32_t movi_size;  // write_offset before the index, less 2044
    bool index_written;  // the "idx1" chunk reached the file
};

// Where the fields of a stream header's data ("strh") lie, as the builder writes them and
// the reader takes them.
namespace strh_at {
inline constexpr int type = 0, handler = 4, scale = 20, rate = 24, length = 32, quality = 40;
inline constexpr int sample_size = 44, bytes = 56;
}  // namespace strh_at

// The fields of a video format (BITMAPINFOHEADER) and of an audio format (WAVEFORMATEX).
namespace bitmap_at {
inline constexpr int size = 0, width = 4, height = 8, compression = 16;
}  // namespace bitmap_at
namespace wave_at {
inline constexpr int tag = 0, channels = 2, rate = 4, byte_rate = 8, bits = 14, extra_size = 16;
}  // namespace wave_at

// Where the header region that build_header lays out holds the fields that the close changes
// (sizes and counts) and those that repair compares: the builder places them here, repair and
// the tests read them here.
namespace header_at {
inline constexpr int riff_size = 4;
inline constexpr int frame_time = 32, flags = 44, total_frames = 48;  // in the main header
inline constexpr int video_strh_data = 108;
inline constexpr int video_length = video_strh_data + strh_at::length;
// Audio stream list t starts at audio_lists + audio_list_bytes * t.
inline constexpr int audio_lists = 212, audio_list_bytes = 100;
inline constexpr int audio_length_in_list = 20 + strh_at::length;  // list head, strh head
inline constexpr int movi_list = AVI_HEADER_BYTES - 12;  // "LIST", size, "movi"
inline constexpr int movi_size = movi_list + 4;
inline constexpr int first_chunk = AVI_HEADER_BYTES;
constexpr int audio_length(int track)
{
    return audio_lists + audio_list_bytes * track + audio_length_in_list;
}
}  // namespace header_at

// Builds the header region from the handle's stream descriptions: the recording-time
// header when final_values is null, the final one (real counts, "INFO" list) otherwise.
// A layout that cannot fit 2048 bytes ends the process with status 1.
void build_header(const avi_handle &handle, const final_header_values *final_values,
                  header_bytes &out);

// Seeks fd to 0 and writes the header region. False when the seek or the write fails.
bool write_header_region(int fd, const header_bytes &bytes);

inline constexpr uint32_t size_limit = 0xfefff7ffU;

// The bytes a chunk's data takes in the file: RIFF pads odd data with one byte.
constexpr uint64_t padded(uint64_t size)
{
    return (size + 1) & ~uint64_t{1};
}
// The RIFF and "movi" sizes of the header written while recording, until the close.
inline constexpr uint32_t size_placeholder = 0xfefff003U;

// Zeroes the fields of a header region built by build_header that hold counts and sizes
// (RIFF size, microseconds per frame, flags, total frames, video and audio lengths, "movi"
// size): what is left depends only on the stream descriptions, while recording and after
// the close alike.
void clear_count_fields(header_bytes &bytes, int32_t track_count);

// Reader: true when the first n characters of a chunk id equal `code`, ASCII case ignored.
bool same_id(const unsigned char *id, const char *code, int n = 4);

class file_scan;

// Reader: whether the loaded "idx1" index holds absolute or "movi"-relative offsets, judged by
// its first video entry (read through s). Returns the origin, AVI_INDEX_REBUILT when neither
// fits, or sets code (12: no video entry, 3: a read failed).
int32_t judge_index(avi_handle *h, file_scan &s, int32_t &code);

// Reader: an absolute index of every media chunk from "movi" to the scan's end, in file
// order, found by the walk through s. Lists ("rec ") are entered, other chunks skipped; a
// chunk that the file cuts short ends the scan without an entry. With find_key_frames the
// video chunks holding an H.264 IDR slice are flagged key frames, otherwise none is.
// Reports its progress. Returns 0 or AVI_ERROR_NO_MEMORY.
int32_t rebuild_index(avi_handle *h, file_scan &s, bool find_key_frames);

// Looks for an H.264 IDR slice (a NAL unit of type 5 behind a 3- or 4-byte start code) in
// Annex-B data that may come in pieces of any size: feed the pieces in order.
struct idr_search {
    int zeros = 0;               // zero bytes just before the current one (at most 2)
    bool at_nal_header = false;  // the current byte follows a start code
    bool found = false;
};
void search_idr(idr_search &search, const unsigned char *data, size_t n);

// Reports a scan's way through a file of `total` bytes to the callback of AVI_set_progress:
// at(done) about every report_every bytes, finish() once at the end (done == total).
class progress {
public:
    static constexpr uint64_t report_every = 4u << 20;
    explicit progress(uint64_t total) : total_(total) {}
    void at(uint64_t done);
    void finish();

private:
    uint64_t total_;
    uint64_t next_report_ = 0;
};

// Reader: what a chunk id names in an open file: 0 a video frame (the first 3 characters
// of video_tag), 1 + t a chunk of audio track t (all 4 characters of its tag), -1 neither.
int32_t chunk_stream(const avi_handle &handle, const unsigned char *id);

}  // namespace avi_detail

// Internals of the AVI module shared by its source files and its tests: the byte helpers
// (whole-buffer reads and writes, little-endian stores and loads) and the builder of the
// 2048-byte header region, which the stream declarations and the close both use.
#pragma once

#include "avi.h"
#include "avi/common/avi_crc32.h"
#include "common/le_bytes.h"
#include "common/stream_units.h"

#include <array>
#include <cerrno>
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

// Reads up to n bytes at `at` without using or moving the file position, looping over
// partial reads like read_fully. Returns the bytes read.
uint64_t pread_fully(int fd, void *buffer, uint64_t n, uint64_t at);


namespace avi_detail {

// Writer: after a failed write, moves the file position back to write_offset, where the next
// chunk goes; when even that seek fails, position_lost makes the next chunk seek first.
void back_to_end_of_data(avi_handle &h);

// fdatasync, retried when interrupted; true also for a descriptor that cannot be synced
// (a pipe). False with errno set when the storage reports an error.
bool sync_data(int fd);

// Makes the directory entries of path's directory durable (fsync of the directory). False
// with errno set when the directory cannot be opened or synced.
bool sync_directory_of(const char *path);

// The one way the module fails: stores code in avi_error, captures errno as the failure's
// cause (what AVI_error_text and AVI_error_cause tell) and returns -1, errno left as the
// failed call left it.
int fail(int32_t code);

// Runs `undo` (closing a descriptor, freeing, moving the file position back) and puts errno
// back as it was: the cause of a failure outlives the cleanup after it.
template <class Undo> void keeping_errno(Undo &&undo)
{
    int cause = errno;
    undo();
    errno = cause;
}

// fail, then `undo`, errno kept as the failure's cause whatever the undoing did to it.
template <class Undo> int fail_undoing(int32_t code, Undo &&undo)
{
    fail(code);
    keeping_errno(undo);
    return -1;
}

// fail after releasing `release` as AVI_close_handle does (nothing for null).
int fail(int32_t code, avi_handle *release);

// fail with `cause` as errno, for a failure found earlier than it is reported; releases
// `release` as fail does.
int fail_because(int32_t code, int cause, avi_handle *release = nullptr);

// Says line on standard error unless AVI_set_quiet asked for silence.
void say(const char *line);

// What the writer says before it ends the process, and the reader when it refuses the file,
// for a ninth audio track.
static_assert(AVI_MAX_TRACKS == 8, "the text below names the most tracks");
inline constexpr char track_limit_text[] = "error - only 8 audio tracks supported";

// avi_error, the failure's cause and errno, kept around a check whose refusals are an
// answer rather than a failure of the module.
struct error_state {
    int32_t code;
    int cause, current_errno;
    static error_state now();
    void restore() const;
};

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
inline constexpr int wave_format_pcm = 1;  // the format tag of linear PCM
namespace wave_at {
inline constexpr int tag = 0, channels = 2, rate = 4, byte_rate = 8, bits = 14, extra_size = 16;
// The reader's copy of a format: the record and the 2 bytes that follow it in the chunk.
inline uint32_t copy_bytes(uint32_t extra) { return wave_format_bytes(extra) + 2; }
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
// The fields that hold an audio stream's unit (audio_unit), from its list's start.
inline constexpr int audio_unit_fields_in_list[] = {20 + strh_at::scale, 20 + strh_at::sample_size,
                                                    20 + strh_at::bytes + 8 + 12};  // block align
inline constexpr int movi_list = AVI_HEADER_BYTES - 12;  // "LIST", size, "movi"
inline constexpr int movi_size = movi_list + 4;
inline constexpr int first_chunk = AVI_HEADER_BYTES;
constexpr int audio_length(int track)
{
    return audio_lists + audio_list_bytes * track + audio_length_in_list;
}
}  // namespace header_at

// The bytes an audio stream counts in: its scale, sample size and block align, with the byte
// rate as its rate and its length in these units. For PCM they are one sample of every channel
// (16-bit mono: 2), as players need them to tell the sample width and time each chunk; 0 from
// pcm_sample_bytes for other formats and for PCM without a size. Recordings made before PCM
// was so counted used the block size over four (legacy_audio_unit: 1 for 16-bit mono, which
// players took for 8-bit samples); other formats still do.
int64_t pcm_sample_bytes(const avi_audio_track &track);
uint32_t audio_unit(const avi_handle &h, int t);
uint32_t legacy_audio_unit(const avi_handle &h, int t);

// Builds the header region from the handle's stream descriptions: the recording-time
// header when final_values is null, the final one (real counts, "INFO" list) otherwise.
// False when the layout cannot fit 2048 bytes.
[[nodiscard]] bool build_header(const avi_handle &handle, const final_header_values *final_values,
                                header_bytes &out);

// Ends the process with status 1, naming the writer's call (`caller`), when the header it
// is to write cannot fit 2048 bytes: no file gets a header that its data would overwrite.
[[noreturn]] void header_too_long(const char *caller);

// Seeks fd to 0 and writes the header region. False when the seek or the write fails.
bool write_header_region(int fd, const header_bytes &bytes);

inline constexpr uint32_t size_limit = 0xfefff7ffU;

// The bytes of one "idx1" entry: id, flags, offset, size.
inline constexpr uint32_t index_entry_bytes = sizeof(avi_index_entry);
static_assert(index_entry_bytes == 16, "four 32-bit fields");

// The length of a file closed with its data ending at data_end and `entries` index entries:
// the "idx1" head and entries follow the data. 64 bits, so that no length wraps around.
constexpr uint64_t size_after_close(uint64_t data_end, uint64_t entries)
{
    return data_end + 8 + entries * index_entry_bytes;
}

// The bytes a chunk's data takes in the file: RIFF pads odd data with one byte.
constexpr uint64_t padded(uint64_t size)
{
    return (size + 1) & ~uint64_t{1};
}
// The RIFF and "movi" sizes of the header written while recording, until the close.
inline constexpr uint32_t size_placeholder = 0xfefff003U;

// Zeroes the fields of a header region built by build_header that hold counts and sizes
// (RIFF size, microseconds per frame, flags, total frames, video and audio lengths, "movi"
// size) and the checkpoint slots: what is left depends only on the stream descriptions,
// while recording and after the close alike.
void clear_count_fields(header_bytes &bytes, int32_t track_count);

// A checkpoint: written by AVI_sync into one of two slots inside the recording-time header's
// "JUNK" filler, just before the sync makes it durable with the data it describes. It says
// where the recording's durable data ends, how many chunks lie before that, and a CRC-32 of
// the recording's identity followed by every byte from 2048 to there; a CRC-32 of the slot
// itself shows a torn write. Behind it, the kernel's boot id when the checkpoint was written,
// with a CRC-32 of the whole slot up to there: repair in the same boot may trust the page
// cache past the checkpoint (a kill, not a power cut). Slots written before the boot id was
// added end at slot_crc and read as of an unknown boot. The slots lie in different 512-byte
// sectors, inside the filler whatever the number of audio tracks, and the final header
// zeroes them.
namespace checkpoint_at {
inline constexpr int slots[2] = {1280, 1792};
inline constexpr int magic = 0, sequence = 4, recording = 8, data_end = 16, chunks = 20;
inline constexpr int data_crc = 24, slot_crc = 28, boot = 32, boot_crc = 48, bytes = 52;
inline constexpr unsigned char magic_bytes[4] = {'m', 'v', 'c', 'p'};  // a slot in use begins so
}  // namespace checkpoint_at

inline bool all_zero(const unsigned char *p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (p[i] != 0)
            return false;
    return true;
}

// The kernel's id of the running boot (16 bytes); false when it cannot be read. Where it is
// read from: /proc/sys/kernel/random/boot_id.
bool read_boot_id(unsigned char out[16]);
extern const char *boot_id_path;

// Writer: writes the next checkpoint over the older slot (pwrite; the position stays). True,
// or false with errno set when it could not be written; a descriptor that cannot be written
// at an offset (a pipe) has nothing to checkpoint.
bool write_checkpoint(avi_handle &h);

// Writer: draws the identity of a new recording and starts the CRC of its data with it.
void start_recording_identity(avi_handle &h);

// Writer: counts a chunk's bytes, as written at the end of the data, into the CRC.
void count_written(avi_handle &h, const void *data, size_t n);

// Whether index flags mark a key frame: the 0x10 bit, as players read it (other writers
// set further bits beside it).
constexpr bool is_key(uint32_t flags)
{
    return (flags & AVI_KEY_FRAME) != 0;
}

// The id of a media chunk: the stream number in two digits, then `kind` ("db" video, "wb"
// audio): "00db", "01wb". Four characters, no terminating zero.
inline void chunk_id(int stream, const char *kind, char out[4])
{
    out[0] = static_cast<char>('0' + stream / 10 % 10);
    out[1] = static_cast<char>('0' + stream % 10);
    out[2] = kind[0];
    out[3] = kind[1];
}

// The one rule for ASCII case in chunk ids: letters A to Z taken for a to z, nothing else.
constexpr unsigned char ascii_lower(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// Reader: true when the first n characters of a chunk id equal `code`, ASCII case ignored.
bool same_id(const unsigned char *id, const char *code, int n = 4);

class file_scan;

// Reader: whether the loaded "idx1" index holds absolute or "movi"-relative offsets, judged by
// its first video entry (read through s). Returns the origin, AVI_INDEX_REBUILT when neither
// fits, or sets code (12: no video entry, 3: a read failed).
int32_t judge_index(avi_handle *h, file_scan &s, int32_t &code);

// Reader: what an open does with the file's index: nothing (not even read), load the
// "idx1" chunk as it stands (for repair, which judges it), or load or rebuild it and build
// the tables.
enum class index_use { none, loaded, tables };

// Reader: AVI_open_input_fd with the index used as `use` says.
avi_handle *open_reading_fd(int fd, index_use use);

// Reader: the index checked ("idx1" as loaded, when had_index) or rebuilt by a walk, then
// the video frame table and each track's chunk table. Returns 0 or an avi_error code.
int32_t load_index(avi_handle *h, bool had_index, file_scan &s);

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

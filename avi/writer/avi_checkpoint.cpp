// Checkpoints as the writer keeps them: the recording's identity and the running CRC of its
// data, and the record that AVI_sync writes into one of two slots of the header's filler just
// before each sync. What is made of them after a power cut is recovery's (avi_trusted_data.cpp).
#include "avi/avi_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace at = avi_detail::checkpoint_at;
using avi_detail::crc32_update;

namespace {

constexpr uint32_t first_data = AVI_HEADER_BYTES;

static_assert(at::slots[0] / 512 != at::slots[1] / 512, "a torn sector takes one slot only");
static_assert(at::slots[0] / 512 == (at::slots[0] + at::bytes - 1) / 512 &&
                  at::slots[1] / 512 == (at::slots[1] + at::bytes - 1) / 512,
              "a slot lies inside one sector");
static_assert(sizeof avi_handle{}.checkpoint_slots[0] == at::bytes, "the handle keeps whole slots");
static_assert(at::slots[0] >= 212 + 100 * AVI_MAX_TRACKS + 8 && at::slots[1] + at::bytes <= 2036,
              "inside the recording-time filler for every number of tracks");

uint64_t mixed(uint64_t x)
{
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// Counts the data from 2048 to write_offset again, after AVI_extend_audio rewrote a size
// field in place.
bool recount_data(avi_handle &h)
{
    constexpr uint32_t piece = 64 * 1024;
    auto *buffer = static_cast<unsigned char *>(malloc(piece));
    if (!buffer) {
        errno = ENOMEM;
        return false;
    }
    uint32_t crc = crc32_update(0, h.recording_id, sizeof h.recording_id);
    bool read = true;
    for (uint32_t from = first_data; read && from < h.write_offset; from += piece) {
        uint32_t n = std::min(piece, h.write_offset - from);
        read = pread_fully(h.fd, buffer, n, from) == n;
        crc = crc32_update(crc, buffer, n);
    }
    free(buffer);
    if (!read)
        return false;
    h.data_crc = crc;
    h.data_crc_stale = 0;
    return true;
}

}  // namespace

void avi_detail::start_recording_identity(avi_handle &h)
{
    static uint64_t drawn = 0;  // two recordings begun in the same nanosecond still differ
    timespec real{}, monotonic{};
    clock_gettime(CLOCK_REALTIME, &real);
    clock_gettime(CLOCK_MONOTONIC, &monotonic);
    uint64_t x = mixed(static_cast<uint64_t>(real.tv_sec) * 1000000000U + static_cast<uint64_t>(real.tv_nsec));
    x = mixed(x ^ static_cast<uint64_t>(monotonic.tv_nsec) ^ static_cast<uint64_t>(monotonic.tv_sec) << 32);
    x = mixed(x ^ static_cast<uint64_t>(getpid()) ^ reinterpret_cast<uintptr_t>(&h) ^ ++drawn);
    for (int i = 0; i < 8; ++i)
        h.recording_id[i] = static_cast<unsigned char>(x >> (8 * i));
    h.data_crc = crc32_update(0, h.recording_id, sizeof h.recording_id);
    if (!read_boot_id(h.boot_id))
        memset(h.boot_id, 0, sizeof h.boot_id);
}

const char *avi_detail::boot_id_path = "/proc/sys/kernel/random/boot_id";

bool avi_detail::read_boot_id(unsigned char out[16])
{
    int fd = open(boot_id_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[64];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    // 32 hexadecimal digits, in groups that dashes separate.
    int digits = 0;
    for (ssize_t i = 0; i < n && digits < 32; ++i) {
        char c = text[i];
        int value = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (value < 0 && c != '-')
            return false;
        if (value < 0)
            continue;
        out[digits / 2] = static_cast<unsigned char>(digits % 2 ? out[digits / 2] | value : value << 4);
        ++digits;
    }
    return digits == 32;
}

void avi_detail::count_written(avi_handle &h, const void *data, size_t n)
{
    h.data_crc = crc32_update(h.data_crc, data, n);
}

bool avi_detail::write_checkpoint(avi_handle &h)
{
    if (h.data_crc_stale && !recount_data(h))
        return false;
    uint32_t number = h.checkpoint_count + 1;
    unsigned char slot[at::bytes] = {};
    memcpy(slot + at::magic, at::magic_bytes, 4);
    put_u32_le(slot + at::sequence, number);
    memcpy(slot + at::recording, h.recording_id, 8);
    put_u32_le(slot + at::data_end, h.write_offset);
    put_u32_le(slot + at::chunks, static_cast<uint32_t>(h.chunk_total));
    put_u32_le(slot + at::data_crc, h.data_crc);
    put_u32_le(slot + at::slot_crc, crc32_update(0, slot, at::slot_crc));
    if (!avi_detail::all_zero(h.boot_id, sizeof h.boot_id)) {
        memcpy(slot + at::boot, h.boot_id, sizeof h.boot_id);
        put_u32_le(slot + at::boot_crc, crc32_update(0, slot, at::boot_crc));
    }

    ssize_t put;
    do
        put = pwrite(h.fd, slot, sizeof slot, at::slots[number % 2]);
    while (put < 0 && errno == EINTR);
    if (put < 0 && errno == ESPIPE)  // a pipe: nothing of it can be read back anyway
        return true;
    if (put != static_cast<ssize_t>(sizeof slot)) {
        if (put >= 0)
            errno = EIO;
        return false;
    }
    memcpy(h.checkpoint_slots[number % 2], slot, sizeof slot);
    h.checkpoint_count = number;
    return true;
}

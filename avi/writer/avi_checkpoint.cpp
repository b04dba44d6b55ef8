// Checkpoints: the record that AVI_sync writes into one of two slots of the header's filler
// just before each sync, and what is made of them after a power cut: how far a recording's
// data is durable and known to be its own, so that stale or torn bytes are never taken for it.
#include "avi/recovery/avi_recovery.h"

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

constexpr unsigned char slot_magic[4] = {'m', 'v', 'c', 'p'};
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
        read = pread(h.fd, buffer, n, from) == static_cast<ssize_t>(n);
        crc = crc32_update(crc, buffer, n);
    }
    free(buffer);
    if (!read)
        return false;
    h.data_crc = crc;
    h.data_crc_stale = 0;
    return true;
}

struct slot_record {
    uint32_t number, data_end, chunks, data_crc;
    unsigned char recording[8];
    bool boot_known;  // the slot carries the boot id it was written in
    unsigned char boot[16];
};

// A whole slot: its magic and its own CRC match.
bool read_slot(const unsigned char *slot, slot_record &out, bool &carried)
{
    if (memcmp(slot + at::magic, slot_magic, 4) != 0)
        return false;
    carried = true;
    if (crc32_update(0, slot, at::slot_crc) != get_u32_le(slot + at::slot_crc))
        return false;
    out.number = get_u32_le(slot + at::sequence);
    out.data_end = get_u32_le(slot + at::data_end);
    out.chunks = get_u32_le(slot + at::chunks);
    out.data_crc = get_u32_le(slot + at::data_crc);
    memcpy(out.recording, slot + at::recording, 8);
    out.boot_known = crc32_update(0, slot, at::boot_crc) == get_u32_le(slot + at::boot_crc);
    memcpy(out.boot, slot + at::boot, 16);
    return out.number > 0 && out.data_end >= first_data;
}

bool all_zero(const unsigned char *p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (p[i] != 0)
            return false;
    return true;
}

// Whether part of the final header has reached the header region: a size that is no longer
// the placeholder, or a slot zeroed that a later checkpoint than the other's had filled
// (slot 1 takes checkpoint 1, slot 0 checkpoint 2). The close wrote that header only after
// its data and index were synced, so every byte before them is the recording's.
bool close_began(const avi_detail::header_bytes &header, const slot_record &newest, int whole)
{
    using avi_detail::header_at::movi_size;
    using avi_detail::header_at::riff_size;
    if (get_u32_le(&header[riff_size]) != avi_detail::size_placeholder ||
        get_u32_le(&header[movi_size]) != avi_detail::size_placeholder)
        return true;
    bool zeroed[2];
    for (int k : {0, 1})
        zeroed[k] = all_zero(&header[static_cast<size_t>(at::slots[k])], at::bytes);
    return whole == 1 && newest.number >= 2 && (zeroed[0] || zeroed[1]);
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
    memcpy(slot + at::magic, slot_magic, 4);
    put_u32_le(slot + at::sequence, number);
    memcpy(slot + at::recording, h.recording_id, 8);
    put_u32_le(slot + at::data_end, h.write_offset);
    put_u32_le(slot + at::chunks, static_cast<uint32_t>(h.chunk_total));
    put_u32_le(slot + at::data_crc, h.data_crc);
    put_u32_le(slot + at::slot_crc, crc32_update(0, slot, at::slot_crc));
    if (!all_zero(h.boot_id, sizeof h.boot_id)) {
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

avi_detail::trusted_data avi_detail::find_trusted_data(file_scan &s, const header_bytes &header)
{
    trusted_data found;
    slot_record slots[2] = {};
    int whole = 0;
    for (int k : {0, 1})
        whole += read_slot(&header[static_cast<size_t>(at::slots[k])], slots[whole], found.carried);
    if (whole == 2 && slots[1].number > slots[0].number)
        std::swap(slots[0], slots[1]);
    found.close_began = close_began(header, slots[0], whole);
    if (whole == 0)
        return found;
    found.newest = static_cast<int32_t>(slots[0].number);
    unsigned char boot[16];
    found.same_boot = slots[0].boot_known && read_boot_id(boot) && memcmp(boot, slots[0].boot, 16) == 0;
    // A slot of another recording cannot vouch for this one's bytes.
    if (whole == 2 && memcmp(slots[0].recording, slots[1].recording, 8) != 0)
        whole = 1;

    // One pass from 2048 over the data of both, the CRC taken at each one's end.
    uint64_t last_end = 0;
    for (int k = 0; k < whole; ++k)
        if (s.end() == no_end || slots[k].data_end <= s.end())
            last_end = std::max<uint64_t>(last_end, slots[k].data_end);
    uint32_t crc = crc32_update(0, slots[0].recording, 8), crc_at[2] = {};
    s.move_to(first_data);
    const unsigned char *data;
    uint32_t n;
    while (s.position() < last_end && (n = s.look(data, static_cast<uint32_t>(std::min<uint64_t>(
                                                            last_end - s.position(), scan_buffer_bytes)))) > 0) {
        for (int k = 0; k < whole; ++k)  // a slot's end may fall inside this piece
            if (slots[k].data_end > s.position() && slots[k].data_end <= s.position() + n)
                crc_at[k] = crc32_update(crc, data, slots[k].data_end - s.position());
        crc = crc32_update(crc, data, n);
        s.skip(n);
    }
    for (int k = 0; k < whole; ++k) {
        bool covered = slots[k].data_end == first_data || slots[k].data_end <= s.position();
        uint32_t expected = slots[k].data_end == first_data ? crc32_update(0, slots[k].recording, 8) : crc_at[k];
        if (covered && expected == slots[k].data_crc) {
            found.used = static_cast<int32_t>(slots[k].number);
            found.end = slots[k].data_end;
            found.chunks = static_cast<int32_t>(slots[k].chunks);
            break;
        }
    }
    return found;
}

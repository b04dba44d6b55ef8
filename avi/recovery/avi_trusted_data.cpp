// Reading the checkpoints back after a power cut or a kill: which slots are whole, which is
// newest, and how far the data that one describes is still on the card unchanged, so that
// stale or torn bytes are never taken for the recording's.
#include "avi/recovery/avi_recovery.h"

#include <algorithm>
#include <cstring>

namespace at = avi_detail::checkpoint_at;
using avi_detail::crc32_update;

namespace {

constexpr uint32_t first_data = AVI_HEADER_BYTES;

struct slot_record {
    uint32_t number, data_end, data_crc;
    unsigned char recording[8];
    bool boot_known;  // the slot carries the boot id it was written in
    unsigned char boot[16];
};

enum class slot_state { empty, torn, whole };

// A slot is whole when its magic and its own CRC match and what it says can be true.
slot_state read_slot(const unsigned char *slot, slot_record &out)
{
    if (memcmp(slot + at::magic, at::magic_bytes, 4) != 0)
        return slot_state::empty;
    if (crc32_update(0, slot, at::slot_crc) != get_u32_le(slot + at::slot_crc))
        return slot_state::torn;
    out.number = get_u32_le(slot + at::sequence);
    out.data_end = get_u32_le(slot + at::data_end);
    out.data_crc = get_u32_le(slot + at::data_crc);
    memcpy(out.recording, slot + at::recording, 8);
    out.boot_known = crc32_update(0, slot, at::boot_crc) == get_u32_le(slot + at::boot_crc);
    memcpy(out.boot, slot + at::boot, 16);
    return out.number > 0 && out.data_end >= first_data ? slot_state::whole : slot_state::torn;
}

// Whether part of the final header has reached the header region: a size that is no longer
// the placeholder, or a slot zeroed that a later checkpoint than the other's had filled
// (slot 1 takes checkpoint 1, slot 0 checkpoint 2). The close wrote that header only after
// its data and index were synced, so every byte before them is the recording's.
bool close_began(const avi_detail::header_bytes &header, const slot_record *newest)
{
    using avi_detail::header_at::movi_size;
    using avi_detail::header_at::riff_size;
    if (get_u32_le(&header[riff_size]) != avi_detail::size_placeholder ||
        get_u32_le(&header[movi_size]) != avi_detail::size_placeholder)
        return true;
    bool zeroed = false;
    for (int k : {0, 1})
        zeroed = zeroed || avi_detail::all_zero(&header[static_cast<size_t>(at::slots[k])], at::bytes);
    return newest && newest->number >= 2 && zeroed;
}

bool written_in_this_boot(const slot_record &slot)
{
    unsigned char boot[16];
    return slot.boot_known && avi_detail::read_boot_id(boot) && memcmp(boot, slot.boot, 16) == 0;
}

// Whether each slot's data is on the card as it was checkpointed: the CRC of the recording's
// identity and every byte from 2048 to the slot's end, taken in one pass for all slots (of
// one recording). A slot whose end lies past the end of the file is not.
void verify_data(avi_detail::file_scan &s, const slot_record *slots, int count, bool verified[2])
{
    uint64_t last_end = first_data;
    for (int k = 0; k < count; ++k)
        if (s.end() == avi_detail::no_end || slots[k].data_end <= s.end())
            last_end = std::max<uint64_t>(last_end, slots[k].data_end);
    uint32_t crc = crc32_update(0, slots[0].recording, 8), crc_at[2] = {crc, crc};
    s.move_to(first_data);
    const unsigned char *data;
    uint32_t n;
    while (s.position() < last_end &&
           (n = s.look(data, static_cast<uint32_t>(std::min<uint64_t>(last_end - s.position(),
                                                                      avi_detail::scan_buffer_bytes)))) > 0) {
        for (int k = 0; k < count; ++k)  // a slot's end may fall inside this piece
            if (slots[k].data_end > s.position() && slots[k].data_end <= s.position() + n)
                crc_at[k] = crc32_update(crc, data, slots[k].data_end - s.position());
        crc = crc32_update(crc, data, n);
        s.skip(n);
    }
    for (int k = 0; k < count; ++k)
        verified[k] = slots[k].data_end <= s.position() && crc_at[k] == slots[k].data_crc;
}

}  // namespace

avi_detail::trusted_data avi_detail::find_trusted_data(file_scan &s, const header_bytes &header)
{
    trusted_data found;
    slot_record whole[2];  // newest first
    int count = 0;
    for (int k : {0, 1}) {
        slot_state state = read_slot(&header[static_cast<size_t>(at::slots[k])], whole[count]);
        found.carried = found.carried || state != slot_state::empty;
        count += state == slot_state::whole;
    }
    if (count == 2 && whole[1].number > whole[0].number)
        std::swap(whole[0], whole[1]);
    found.close_began = close_began(header, count > 0 ? &whole[0] : nullptr);
    if (count == 0)
        return found;
    found.newest = static_cast<int32_t>(whole[0].number);
    found.same_boot = written_in_this_boot(whole[0]);
    // An older slot of another recording cannot vouch for this one's bytes.
    if (count == 2 && memcmp(whole[0].recording, whole[1].recording, 8) != 0)
        count = 1;
    bool verified[2] = {};
    verify_data(s, whole, count, verified);
    for (int k = 0; k < count; ++k) {
        if (verified[k]) {
            found.used = static_cast<int32_t>(whole[k].number);
            found.end = whole[k].data_end;
            break;
        }
    }
    return found;
}

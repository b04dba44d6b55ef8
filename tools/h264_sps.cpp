// Parsing of an H.264 sequence parameter set (see h264_sps.h): the fields up to the frame
// cropping, read with exp-Golomb codes from the payload once its emulation prevention bytes
// are taken out. Every value is checked against what the format allows before it is used,
// so that made-up bytes give "not a parameter set" rather than nonsense sizes.
#include "h264_sps.h"

#include <vector>

namespace mirvo_avi {
namespace {

constexpr int nal_type_sps = 7;

// Bits of a payload, most significant first. Reading past the end sets failed and
// yields zeros, so a parse checks once at the end (and at loops that a count drives).
class bit_reader {
public:
    explicit bit_reader(const std::vector<unsigned char> &bytes) : bytes_(bytes) {}
    bool failed() const { return failed_; }

    uint32_t bits(int n)
    {
        uint32_t value = 0;
        for (int i = 0; i < n; ++i)
            value = value << 1 | bit();
        return value;
    }
    bool flag() { return bit() != 0; }

    // ue(v): n zeros, a one, then n bits. Values past 32 bits are refused.
    uint32_t unsigned_code()
    {
        int zeros = 0;
        while (bit() == 0 && !failed_) {
            if (++zeros > 31) {
                failed_ = true;
                return 0;
            }
        }
        return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + bits(zeros));
    }
    // se(v): 1, -1, 2, -2 ... in the order of the unsigned codes 1, 2, 3, 4 ...
    int64_t signed_code()
    {
        uint32_t k = unsigned_code();
        return k & 1 ? static_cast<int64_t>(k / 2) + 1 : -static_cast<int64_t>(k / 2);
    }

private:
    uint32_t bit()
    {
        if (at_ >= bytes_.size() * 8) {
            failed_ = true;
            return 0;
        }
        uint32_t b = bytes_[at_ / 8] >> (7 - at_ % 8) & 1;
        ++at_;
        return b;
    }

    const std::vector<unsigned char> &bytes_;
    size_t at_ = 0;
    bool failed_ = false;
};

// The payload without emulation prevention: in the stored bytes a 3 follows every pair of
// zeros that the payload itself would have followed by 0 to 3.
std::vector<unsigned char> payload_of(const unsigned char *data, size_t n)
{
    std::vector<unsigned char> payload;
    payload.reserve(n);
    int zeros = 0;
    for (size_t i = 0; i < n; ++i) {
        if (zeros >= 2 && data[i] == 3) {
            zeros = 0;
            continue;
        }
        payload.push_back(data[i]);
        zeros = data[i] == 0 ? zeros + 1 : 0;
    }
    return payload;
}

// Profiles whose parameter sets carry the chroma format, bit depths and scaling lists.
bool has_chroma_fields(int profile_idc)
{
    switch (profile_idc) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86:
    case 118: case 128: case 138: case 139: case 134: case 135:
        return true;
    default:
        return false;
    }
}

// A scaling list is only skipped: its deltas decide how many follow.
bool skip_scaling_list(bit_reader &r, int size)
{
    int64_t last = 8, next = 8;
    for (int j = 0; j < size; ++j) {
        if (next != 0) {
            int64_t delta = r.signed_code();
            if (r.failed() || delta < -128 || delta > 127)
                return false;
            next = (last + delta + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
    return true;
}

// chroma_format_idc, the bit depths and the scaling matrix of the high profiles.
bool read_chroma_fields(bit_reader &r, sequence_parameters &out, bool &separate_planes)
{
    uint32_t chroma = r.unsigned_code();
    if (chroma > 3)
        return false;
    out.chroma_format_idc = static_cast<int>(chroma);
    if (chroma == 3)
        separate_planes = r.flag();
    uint32_t luma_extra = r.unsigned_code(), chroma_extra = r.unsigned_code();
    if (luma_extra > 6 || chroma_extra > 6)
        return false;
    out.bit_depth_luma = 8 + static_cast<int>(luma_extra);
    out.bit_depth_chroma = 8 + static_cast<int>(chroma_extra);
    r.flag();  // qpprime_y_zero_transform_bypass_flag
    if (r.flag()) {  // seq_scaling_matrix_present_flag
        int lists = chroma == 3 ? 12 : 8;
        for (int i = 0; i < lists; ++i) {
            if (r.flag() && !skip_scaling_list(r, i < 6 ? 16 : 64))
                return false;
        }
    }
    return !r.failed();
}

// From log2_max_frame_num_minus4 to max_num_ref_frames and the gaps flag: read past.
bool skip_frame_numbering(bit_reader &r)
{
    if (r.unsigned_code() > 12)  // log2_max_frame_num_minus4
        return false;
    uint32_t order_type = r.unsigned_code();
    if (order_type == 0) {
        if (r.unsigned_code() > 12)  // log2_max_pic_order_cnt_lsb_minus4
            return false;
    } else if (order_type == 1) {
        r.flag();  // delta_pic_order_always_zero_flag
        r.signed_code();  // offset_for_non_ref_pic
        r.signed_code();  // offset_for_top_to_bottom_field
        uint32_t cycle = r.unsigned_code();
        if (cycle > 255)
            return false;
        for (uint32_t i = 0; i < cycle && !r.failed(); ++i)
            r.signed_code();
    } else if (order_type > 2) {
        return false;
    }
    r.unsigned_code();  // max_num_ref_frames
    r.flag();  // gaps_in_frame_num_value_allowed_flag
    return !r.failed();
}

// The size in macroblocks and the cropping rectangle, in luma samples.
bool read_picture_size(bit_reader &r, sequence_parameters &out, bool separate_planes)
{
    uint64_t width_mbs = uint64_t{r.unsigned_code()} + 1;
    uint64_t height_units = uint64_t{r.unsigned_code()} + 1;
    out.frame_mbs_only = r.flag();
    if (!out.frame_mbs_only)
        r.flag();  // mb_adaptive_frame_field_flag
    r.flag();  // direct_8x8_inference_flag
    uint64_t field_factor = out.frame_mbs_only ? 1 : 2;
    uint64_t width = width_mbs * 16, height = height_units * field_factor * 16;
    if (width > 1U << 16 || height > 1U << 16)  // past what any level allows
        return false;
    out.coded_width = static_cast<uint32_t>(width);
    out.coded_height = static_cast<uint32_t>(height);
    if (r.flag()) {  // frame_cropping_flag
        // The offsets count chroma samples (and field rows for a field-coded picture).
        int chroma_array_type = separate_planes ? 0 : out.chroma_format_idc;
        uint64_t unit_x = 1, unit_y = field_factor;
        if (chroma_array_type != 0) {
            unit_x = chroma_array_type == 3 ? 1 : 2;
            unit_y = (chroma_array_type == 1 ? 2 : 1) * field_factor;
        }
        uint64_t left = r.unsigned_code() * unit_x, right = r.unsigned_code() * unit_x;
        uint64_t top = r.unsigned_code() * unit_y, bottom = r.unsigned_code() * unit_y;
        if (left + right >= width || top + bottom >= height)
            return false;
        out.crop_left = static_cast<uint32_t>(left);
        out.crop_right = static_cast<uint32_t>(right);
        out.crop_top = static_cast<uint32_t>(top);
        out.crop_bottom = static_cast<uint32_t>(bottom);
    }
    return !r.failed();
}

}  // namespace

bool parse_sequence_parameters(const unsigned char *nal, size_t n, sequence_parameters &out)
{
    if (n < 4 || (nal[0] & 0x80) != 0 || (nal[0] & 0x1f) != nal_type_sps)
        return false;
    std::vector<unsigned char> payload = payload_of(nal + 1, n - 1);
    bit_reader r(payload);
    sequence_parameters sps;
    sps.profile_idc = static_cast<int>(r.bits(8));
    sps.constraint_flags = static_cast<int>(r.bits(8));
    sps.level_idc = static_cast<int>(r.bits(8));
    if (r.unsigned_code() > 31)  // seq_parameter_set_id
        return false;
    bool separate_planes = false;
    if (has_chroma_fields(sps.profile_idc) && !read_chroma_fields(r, sps, separate_planes))
        return false;
    if (!skip_frame_numbering(r) || !read_picture_size(r, sps, separate_planes))
        return false;
    out = sps;
    return true;
}

bool find_sequence_parameters(const unsigned char *data, size_t n, sequence_parameters &out)
{
    // A start code is 00 00 01; the payloads never hold 00 00 00, 00 00 01 or 00 00 02, so
    // the next such triple ends a unit.
    for (size_t i = 0; i + 3 < n; ++i) {
        if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1 || (data[i + 3] & 0x1f) != nal_type_sps)
            continue;
        size_t start = i + 3, end = start;
        while (end + 2 < n && !(data[end] == 0 && data[end + 1] == 0 && data[end + 2] <= 2))
            ++end;
        if (end + 2 >= n)
            end = n;
        if (parse_sequence_parameters(data + start, end - start, out))
            return true;
    }
    return false;
}

std::string profile_name(const sequence_parameters &sps)
{
    bool intra = sps.constraint_set(3);
    switch (sps.profile_idc) {
    case 66: return sps.constraint_set(1) ? "Constrained Baseline" : "Baseline";
    case 77: return "Main";
    case 88: return "Extended";
    case 100: return "High";
    case 110: return intra ? "High 10 Intra" : "High 10";
    case 122: return intra ? "High 4:2:2 Intra" : "High 4:2:2";
    case 244: return intra ? "High 4:4:4 Intra" : "High 4:4:4 Predictive";
    case 44: return "CAVLC 4:4:4 Intra";
    case 83: return "Scalable Baseline";
    case 86: return "Scalable High";
    case 118: return "Multiview High";
    case 128: return "Stereo High";
    default: return "profile " + std::to_string(sps.profile_idc);
    }
}

std::string level_name(const sequence_parameters &sps)
{
    bool early_profile = sps.profile_idc == 66 || sps.profile_idc == 77 || sps.profile_idc == 88;
    if (sps.level_idc == 9 || (sps.level_idc == 11 && early_profile && sps.constraint_set(3)))
        return "1b";
    return std::to_string(sps.level_idc / 10) + "." + std::to_string(sps.level_idc % 10);
}

const char *chroma_format_name(const sequence_parameters &sps)
{
    switch (sps.chroma_format_idc) {
    case 0: return "monochrome";
    case 2: return "4:2:2";
    case 3: return "4:4:4";
    default: return "4:2:0";
    }
}

}  // namespace mirvo_avi

// What an H.264 sequence parameter set tells about a stream, for mirvo-avi info: profile,
// level, chroma format and bit depth, and the coded picture size, whole and with its frame
// cropping applied. Finds the parameter set in Annex-B data (start codes) as our recorder
// stores it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace mirvo_avi {

struct sequence_parameters {
    int profile_idc = 0;
    int constraint_flags = 0;  // constraint_set0_flag in the top bit, set5 in bit 2
    int level_idc = 0;
    int chroma_format_idc = 1;  // 0 monochrome, 1 4:2:0, 2 4:2:2, 3 4:4:4
    int bit_depth_luma = 8, bit_depth_chroma = 8;
    bool frame_mbs_only = true;  // false: the picture may be coded as two fields
    uint32_t coded_width = 0, coded_height = 0;  // whole macroblocks, in luma samples
    uint32_t crop_left = 0, crop_right = 0, crop_top = 0, crop_bottom = 0;  // luma samples

    uint32_t width() const { return coded_width - crop_left - crop_right; }
    uint32_t height() const { return coded_height - crop_top - crop_bottom; }
    bool constraint_set(int n) const { return (constraint_flags >> (7 - n) & 1) != 0; }
};

// Parses a sequence parameter set NAL unit: its header byte, then the payload as stored
// (emulation prevention bytes still in it). False when it is not one, is cut short, or
// holds values that no stream may have.
bool parse_sequence_parameters(const unsigned char *nal, size_t n, sequence_parameters &out);

// Finds the first sequence parameter set NAL unit in Annex-B data and parses it. False when
// there is none or it cannot be parsed.
bool find_sequence_parameters(const unsigned char *data, size_t n, sequence_parameters &out);

// The profile's name ("Main", "Constrained Baseline", "High 4:2:2 Intra"), or "profile N".
std::string profile_name(const sequence_parameters &sps);

// The level as written: "3.1", or "1b".
std::string level_name(const sequence_parameters &sps);

// "4:2:0", "4:2:2", "4:4:4" or "monochrome".
const char *chroma_format_name(const sequence_parameters &sps);

}  // namespace mirvo_avi

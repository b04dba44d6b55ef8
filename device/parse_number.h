// Strict parsing of the whole numbers that the stand-in takes from its environment and from
// mirvoctl's command line: the whole text must be one decimal number, nothing more or less.
#pragma once

#include <cstdint>

namespace qel {

// True and the value when text is an optional sign and decimal digits that fit an int32.
bool parse_int32(const char *text, int32_t &value);

// True and the value when text is decimal digits (no sign) that fit a uint64.
bool parse_uint64(const char *text, uint64_t &value);

}  // namespace qel

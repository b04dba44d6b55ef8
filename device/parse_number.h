// Strict parsing of the whole numbers that the stand-in takes from its environment and from
// mirvoctl's command line: the whole text must be one decimal int32, nothing more or less.
#pragma once

#include <cstdint>

namespace qel {

// True and the value when text is an optional sign and decimal digits that fit an int32.
bool parse_int32(const char *text, int32_t &value);

}  // namespace qel

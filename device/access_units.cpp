// The access unit splitter (see access_units.h). It reads only NAL headers and, for slices,
// the first bit of the slice header: first_mb_in_slice is ue(v) coded, so it is 0 exactly
// when that bit is 1.
#include "access_units.h"

namespace qel {
namespace {

enum nal_type { slice = 1, idr_slice = 5, sei = 6, sps = 7, pps = 8, delimiter = 9 };

bool is_slice(int type)
{
    return type == slice || type == idr_slice;
}

// NAL units that may only come before a picture's first slice.
bool opens_unit(int type)
{
    return type == delimiter || type == sps || type == pps || type == sei ||
           (type >= 14 && type <= 18);
}

}  // namespace

bool split_access_units(std::span<const unsigned char> s, heap_array<access_unit> &units)
{
    units.clear();
    size_t unit_start = 0;
    bool unit_has_slice = false, unit_key = false;
    for (size_t i = 0; i + 3 < s.size(); ++i) {
        if (s[i] != 0 || s[i + 1] != 0 || s[i + 2] != 1)
            continue;
        size_t nal_start = i > 0 && s[i - 1] == 0 ? i - 1 : i;  // a 4-byte start code
        int type = s[i + 3] & 0x1f;
        bool first_slice_of_picture =
            is_slice(type) && (i + 4 >= s.size() || (s[i + 4] & 0x80) != 0);
        if (unit_has_slice && (opens_unit(type) || first_slice_of_picture)) {
            if (!units.push_back({unit_start, nal_start - unit_start, unit_key}))
                return false;
            unit_start = nal_start;
            unit_has_slice = unit_key = false;
        }
        unit_has_slice |= is_slice(type);
        unit_key |= type == idr_slice;
        i += 2;
    }
    if (unit_has_slice)
        return units.push_back({unit_start, s.size() - unit_start, unit_key});
    if (!units.empty())
        units.back().size = s.size() - units.back().offset;
    return true;
}

}  // namespace qel

// Finds H.264 key frames in stored video: an access unit is a key frame when it holds an
// IDR slice, a NAL unit of type 5. Only start codes and NAL unit headers are looked at; the
// data may come in pieces, so that a large frame never has to be held whole.
#include "avi/avi_internal.h"

#include <cstring>

namespace {

constexpr int nal_type_idr_slice = 5;

}  // namespace

void avi_detail::search_idr(idr_search &s, const unsigned char *data, size_t n)
{
    // A start code is two or more zero bytes and a one (00 00 01 or 00 00 00 01); the byte
    // after it is the NAL unit header, whose low 5 bits are the unit's type. Emulation
    // prevention keeps start codes out of the units' payloads.
    for (size_t i = 0; i < n && !s.found; ++i) {
        // Bytes other than zero change nothing until a zero comes: jump to the next one, so
        // that the payload of a frame goes by at the speed of memchr.
        if (s.zeros == 0 && !s.at_nal_header) {
            const void *zero = memchr(data + i, 0, n - i);
            if (!zero)
                return;
            i = static_cast<size_t>(static_cast<const unsigned char *>(zero) - data);
        }
        unsigned char byte = data[i];
        if (s.at_nal_header && (byte & 0x1f) == nal_type_idr_slice)
            s.found = true;
        s.at_nal_header = byte == 1 && s.zeros >= 2;
        s.zeros = byte == 0 ? (s.zeros < 2 ? s.zeros + 1 : 2) : 0;  // two are all that count
    }
}

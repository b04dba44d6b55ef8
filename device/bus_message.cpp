// Builds the start and stop datagrams (see bus_message.h) in one buffer of their final size
// with little-endian stores, at the offsets that the recorder's record_request declares.
#include "bus_message.h"

#include "common/le_bytes.h"
#include "qel/record_request.h"

#include <cstddef>
#include <cstring>
#include <stdexcept>

namespace qel {
namespace {

constexpr size_t id_bytes = 4;

std::vector<unsigned char> message(int32_t id, size_t payload_bytes)
{
    std::vector<unsigned char> m(id_bytes + payload_bytes, 0);
    put_u32_le(m.data(), static_cast<uint32_t>(id));
    return m;
}

void put_field(std::vector<unsigned char> &m, size_t offset, int32_t value)
{
    put_u32_le(m.data() + id_bytes + offset, static_cast<uint32_t>(value));
}

}  // namespace

std::vector<unsigned char> start_message(const start_request &r)
{
    if (r.filename.size() > max_filename_bytes)
        throw std::length_error("file name longer than 63 bytes");
    std::vector<unsigned char> m = message(MSG_RECORD_START, RECORD_REQUEST_BYTES);
    memcpy(m.data() + id_bytes + offsetof(record_request, filename), r.filename.data(),
           r.filename.size());
    put_field(m, offsetof(record_request, resolution), r.resolution);
    put_field(m, offsetof(record_request, audio_enable), r.audio_enable);
    put_field(m, offsetof(record_request, parttime), r.parttime);
    put_field(m, offsetof(record_request, frame_rate), r.frame_rate);
    put_field(m, offsetof(record_request, width), r.width);
    put_field(m, offsetof(record_request, height), r.height);
    return m;
}

std::vector<unsigned char> stop_message(int32_t mode)
{
    std::vector<unsigned char> m = message(MSG_RECORD_STOP, 4);
    put_field(m, 0, mode);
    return m;
}

}  // namespace qel

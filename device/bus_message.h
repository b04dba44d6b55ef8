// The datagrams that the device's main process sends the recorder over the message bus: a
// little-endian int32 message id, then the payload. Built here, field by field, for
// mirvoctl; the recorder's side of the layout is recorder/record_request.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qel {

struct start_request {
    std::string filename;  // at most 63 bytes
    int32_t resolution = 0;
    int32_t audio_enable = 1;
    int32_t parttime = 0;
    int32_t frame_rate = 25;
    int32_t width = 640;
    int32_t height = 360;
};

inline constexpr size_t max_filename_bytes = 63;  // and the terminating zero

// Message 0 with its 92-byte record_request (the unread field zero). The filename must
// not be longer than max_filename_bytes.
std::vector<unsigned char> start_message(const start_request &request);

// Message 1 with the stop mode as its payload.
std::vector<unsigned char> stop_message(int32_t mode);

}  // namespace qel

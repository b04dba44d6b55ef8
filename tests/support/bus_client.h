// Datagrams to a message bus socket, sent from the test process as a sender other than
// mirvoctl would send them: a little-endian int32 message id, then the payload.
#pragma once

#include "test_support.h"

#include <cstdint>
#include <string>

namespace mirvo_test {

// Sends exactly these bytes as one datagram to the bus; fails the calling test when it
// cannot be sent whole.
void send_raw(const std::string &bus, const bytes &datagram);
// Sends the message `id` with its payload.
void send_datagram(const std::string &bus, int32_t id, const bytes &payload);

}  // namespace mirvo_test

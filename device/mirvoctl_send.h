// Sending one request to the recorder over the stand-in's message bus, for mirvoctl's
// commands: one datagram to the socket that bus_path names.
#pragma once

#include <vector>

namespace qel {

// Sends the datagram. Returns 0, or 1 after saying on standard error why it could not be
// sent (nobody listening, or the system's reason).
int send_to_recorder(const std::vector<unsigned char> &datagram);

}  // namespace qel

// Where the stand-in's message bus lives: the path of its UNIX datagram socket, shared by
// the library that listens (qel_start_msg) and mirvoctl, which sends.
#pragma once

#include <string>
#include <sys/un.h>

namespace qel {

// QEL_BUS if set, else $XDG_RUNTIME_DIR/qel-bus.sock, else /tmp/qel-bus-<uid>.sock.
std::string bus_path();

// Fills address with path. False (and errno ENAMETOOLONG) when the path does not fit.
bool bus_address(const std::string &path, sockaddr_un &address);

}  // namespace qel

// Where the stand-in's message bus lives: the path of its UNIX datagram socket, shared by
// the library that listens (qel_start_msg) and mirvoctl, which sends.
#pragma once

#include <climits>
#include <cstddef>
#include <sys/un.h>

namespace qel {

inline constexpr size_t bus_path_bytes = PATH_MAX;  // room for any path the system takes

// QEL_BUS if set, else $XDG_RUNTIME_DIR/qel-bus.sock, else /tmp/qel-bus-<uid>.sock, into
// path (bus_path_bytes). A path that does not fit is cut; bus_address refuses it then.
void bus_path(char *path);

// Fills address with path. False (and errno ENAMETOOLONG) when the path does not fit.
bool bus_address(const char *path, sockaddr_un &address);

}  // namespace qel

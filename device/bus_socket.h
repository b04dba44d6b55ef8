// The listening end of the stand-in's message bus: a UNIX datagram socket bound at the bus
// path, readable by its owner only, that receives the sender's credentials with every
// datagram so that messages from other users can be dropped.
#pragma once

#include "text_line.h"

#include <sys/types.h>

namespace qel {

struct bus_socket {
    int fd = -1;
    dev_t device = 0;  // which file at the path is ours, so that only it is ever removed
    ino_t inode = 0;
};

// Binds a socket at path (mode 0600, SO_PASSCRED on). A socket file that nobody is bound
// to any more (its process died) is replaced; a live one, or a file that is not a socket,
// is left alone. Returns the socket, or fd -1 and the reason in one line.
bus_socket open_bus_socket(const char *path, text_line &error);

// Closes the socket and removes its file if the file at path is still ours.
void close_bus_socket(bus_socket &socket, const char *path);

}  // namespace qel

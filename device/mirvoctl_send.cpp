// One datagram to the recorder (see mirvoctl_send.h).
#include "mirvoctl_send.h"

#include "bus_path.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace qel {

int send_to_recorder(const std::vector<unsigned char> &datagram)
{
    char path[bus_path_bytes];
    bus_path(path);
    sockaddr_un address;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool sent = fd >= 0 && bus_address(path, address) &&
                sendto(fd, datagram.data(), datagram.size(), 0,
                       reinterpret_cast<const sockaddr *>(&address), sizeof address) >= 0;
    int saved = errno;
    if (fd >= 0)
        close(fd);
    if (sent)
        return 0;
    if (saved == ENOENT || saved == ECONNREFUSED)
        fprintf(stderr, "mirvoctl: no recorder is listening on %s\n", path);
    else
        fprintf(stderr, "mirvoctl: cannot send to %s: %s\n", path, strerror(saved));
    return 1;
}

}  // namespace qel

// The message bus's socket path and address (see bus_path.h).
#include "bus_path.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace qel {

void bus_path(char *path)
{
    if (const char *bus = getenv("QEL_BUS"); bus && *bus)
        snprintf(path, bus_path_bytes, "%s", bus);
    else if (const char *runtime = getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        snprintf(path, bus_path_bytes, "%s/qel-bus.sock", runtime);
    else
        snprintf(path, bus_path_bytes, "/tmp/qel-bus-%u.sock", static_cast<unsigned>(geteuid()));
}

bool bus_address(const char *path, sockaddr_un &address)
{
    address = {};
    address.sun_family = AF_UNIX;
    size_t length = strlen(path);
    if (length == 0 || length >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(address.sun_path, path, length + 1);
    return true;
}

}  // namespace qel

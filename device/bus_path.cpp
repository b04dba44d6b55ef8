// The message bus's socket path and address (see bus_path.h).
#include "bus_path.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace qel {

std::string bus_path()
{
    if (const char *bus = getenv("QEL_BUS"); bus && *bus)
        return bus;
    if (const char *runtime = getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return std::string(runtime) + "/qel-bus.sock";
    return "/tmp/qel-bus-" + std::to_string(geteuid()) + ".sock";
}

bool bus_address(const std::string &path, sockaddr_un &address)
{
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace qel

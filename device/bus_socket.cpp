// Binding and removing the message bus's socket (see bus_socket.h). Whether a socket file
// is stale is asked of the system by connecting to it: refused means nobody is bound.
#include "bus_socket.h"

#include "bus_path.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace qel {
namespace {

text_line reason(const char *what, const char *path)
{
    return format_line("%s %s: %s", what, path, strerror(errno));
}

// True when the socket file at path has no process bound to it.
bool is_stale_socket(const sockaddr_un &address)
{
    int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return false;
    int result = connect(probe, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    int saved = errno;
    close(probe);
    return result != 0 && saved == ECONNREFUSED;
}

bool bind_at(int fd, const sockaddr_un &address)
{
    return bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
}

}  // namespace

bus_socket open_bus_socket(const char *path, text_line &error)
{
    bus_socket s;
    sockaddr_un address;
    error = {};
    if (!bus_address(path, address)) {
        error = format_line("bus path too long (at most %zu bytes): %s",
                            sizeof address.sun_path - 1, path);
        return s;
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        error = reason("cannot make the bus socket for", path);
        if (fd >= 0)
            close(fd);
        return s;
    }
    bool bound = bind_at(fd, address);
    if (!bound && errno == EADDRINUSE) {
        struct stat st;
        if (lstat(path, &st) == 0 && !S_ISSOCK(st.st_mode))
            error = format_line("%s exists and is not a socket; not touching it", path);
        else if (!is_stale_socket(address))
            error = format_line("another process listens on %s; not taking it over", path);
        else if (unlink(path) == 0 || errno == ENOENT)
            bound = bind_at(fd, address);
    }
    struct stat st;
    if (bound && (chmod(path, 0600) != 0 || lstat(path, &st) != 0)) {
        error = reason("cannot make owner-only", path);
        unlink(path);
        bound = false;
    }
    if (!bound) {
        if (error.empty())
            error = reason("cannot listen on", path);
        close(fd);
        return s;
    }
    s.fd = fd;
    s.device = st.st_dev;
    s.inode = st.st_ino;
    return s;
}

void close_bus_socket(bus_socket &s, const char *path)
{
    if (s.fd < 0)
        return;
    struct stat st;
    if (lstat(path, &st) == 0 && st.st_dev == s.device && st.st_ino == s.inode)
        unlink(path);
    close(s.fd);
    s = bus_socket{};
}

}  // namespace qel

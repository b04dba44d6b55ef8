// Datagrams to a message bus socket (see bus_client.h).
#include "bus_client.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace mirvo_test {

void send_raw(const std::string &bus, const bytes &datagram)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    strncpy(to.sun_path, bus.c_str(), sizeof to.sun_path - 1);
    EXPECT_EQ(sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&to),
                     sizeof to),
              static_cast<ssize_t>(datagram.size()))
        << strerror(errno);
    close(fd);
}

void send_datagram(const std::string &bus, int32_t id, const bytes &payload)
{
    std::string head = le32(static_cast<uint32_t>(id));
    bytes datagram(head.begin(), head.end());
    datagram.insert(datagram.end(), payload.begin(), payload.end());
    send_raw(bus, datagram);
}

}  // namespace mirvo_test

// The stand-in message bus: zo_msg_register, qel_start_msg and qel_stop_msg. One thread
// receives datagrams on the bus socket, each a little-endian int32 message id followed by
// the payload, and calls the handler registered for that id with a pointer to a zeroed
// copy of the payload and its length. A handler runs without any lock held, so it may even
// register a new table.
#pragma GCC visibility push(default)
#include "qel/qelmain.h"
#include "device/qel_control.h"
#pragma GCC visibility pop

#include "common/le_bytes.h"
#include "bus_path.h"
#include "bus_socket.h"
#include "heap_array.h"
#include "text_line.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qel {
namespace {

constexpr size_t id_bytes = 4;
constexpr size_t payload_bytes = 256;  // the largest payload taken; short ones read as zeros

// Holds a mutex for the lifetime of the guard.
class locked {
public:
    explicit locked(pthread_mutex_t &mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
    ~locked() { pthread_mutex_unlock(&mutex_); }
    locked(const locked &) = delete;
    locked &operator=(const locked &) = delete;

private:
    pthread_mutex_t &mutex_;
};

struct message_bus {
    pthread_mutex_t table_lock = PTHREAD_MUTEX_INITIALIZER;  // guards table; never held while a handler runs
    heap_array<msg_handler_entry> table;
    pthread_mutex_t lifecycle = PTHREAD_MUTEX_INITIALIZER;   // guards the rest: one start or stop at a time
    char path[bus_path_bytes] = "";
    bus_socket socket;
    int wake[2] = {-1, -1};  // written to end the thread
    pthread_t thread{};
    bool running = false;

    ~message_bus() { stop(); }
    void stop();
    void close_all();
};

message_bus bus;

msg_handler_fn handler_for(int32_t id)
{
    locked guard(bus.table_lock);
    for (const msg_handler_entry &row : bus.table)
        if (row.message_id == id)
            return row.handler_fn;
    return nullptr;
}

// The sender's user id from the datagram's credentials, or -1 when it came without any.
long long sender_uid(msghdr &message)
{
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
            ucred credentials;
            memcpy(&credentials, CMSG_DATA(c), sizeof credentials);
            return credentials.uid;
        }
    }
    return -1;
}

// Why a datagram cannot be delivered, or an empty line when it can.
text_line unfit(size_t length, msghdr &message)
{
    long long uid = sender_uid(message);
    if (uid < 0)
        return format_line("it came without the sender's credentials");
    if (uid != static_cast<long long>(geteuid()))
        return format_line("it came from user %lld, not from this process's user", uid);
    if (message.msg_flags & MSG_TRUNC)
        return format_line("its payload is over %zu bytes", payload_bytes);
    if (length < id_bytes)
        return format_line("%zu bytes are too short for a message id", length);
    return {};
}

void deliver(const unsigned char *datagram, size_t length, msghdr &message)
{
    text_line reason = unfit(length, message);
    auto id = static_cast<int32_t>(length >= id_bytes ? get_u32_le(datagram) : 0);
    msg_handler_fn handler = reason.empty() ? handler_for(id) : nullptr;
    if (reason.empty() && !handler)
        reason = format_line("no handler for message id %d", id);
    if (!reason.empty()) {
        fprintf(stderr, "qelmain: dropped a message: %s\n", reason.text);
        return;
    }
    alignas(8) static unsigned char payload[payload_bytes];
    memset(payload, 0, sizeof payload);
    memcpy(payload, datagram + id_bytes, length - id_bytes);
    handler(payload, static_cast<int>(length - id_bytes));
}

void *receive_loop(void *)
{
    // Both were set before the thread was created and change only after it is joined.
    int fd = bus.socket.fd, wake = bus.wake[0];
    for (;;) {
        pollfd ready[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
        if (poll(ready, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            perror("qelmain: waiting for messages");
            return nullptr;
        }
        if (ready[1].revents)
            return nullptr;
        if (!ready[0].revents)
            continue;
        unsigned char datagram[id_bytes + payload_bytes];
        alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(ucred))];
        iovec part{datagram, sizeof datagram};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t got = recvmsg(fd, &message, MSG_DONTWAIT);
        if (got >= 0)
            deliver(datagram, static_cast<size_t>(got), message);
        else if (errno != EINTR && errno != EAGAIN)
            perror("qelmain: receiving a message");
    }
}

void message_bus::close_all()
{
    close_bus_socket(socket, path);
    for (int &fd : wake) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
}

void message_bus::stop()
{
    locked guard(lifecycle);
    if (!running)
        return;
    running = false;
    char one = 1;
    (void)!write(wake[1], &one, 1);
    if (pthread_equal(thread, pthread_self()))  // a handler stopping its own bus
        pthread_detach(thread);
    else
        pthread_join(thread, nullptr);
    close_all();
}

// Starts the thread with every signal blocked, so that signals go to the process's own
// threads and interrupt their sleeps.
bool start_thread()
{
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    int result = pthread_create(&bus.thread, nullptr, receive_loop, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = result;
    return result == 0;
}

}  // namespace
}  // namespace qel

using namespace qel;

extern "C" int zo_msg_register(const msg_handler_entry *table, int size)
{
    if (!table || size < static_cast<int>(sizeof *table))
        return -1;
    locked guard(bus.table_lock);
    bus.table.clear();
    return bus.table.append(table, static_cast<size_t>(size) / sizeof *table) ? 0 : -1;
}

extern "C" int qel_start_msg(int)
{
    locked guard(bus.lifecycle);
    if (bus.running)
        return 0;
    char path[bus_path_bytes];
    bus_path(path);
    text_line error;
    bus_socket s = open_bus_socket(path, error);
    if (s.fd < 0) {
        fprintf(stderr, "qelmain: no message bus: %s\n", error.text);
        return -1;
    }
    memcpy(bus.path, path, sizeof path);
    bus.socket = s;
    if (pipe2(bus.wake, O_CLOEXEC) != 0 || !start_thread()) {
        perror("qelmain: no message bus");
        bus.close_all();
        return -1;
    }
    bus.running = true;
    return 0;
}

extern "C" int qel_stop_msg(void)
{
    bus.stop();
    return 0;
}

// mirvoctl: plays the device's main process on a PC. It sends the recorder one start or stop
// request over the stand-in's message bus (QEL_BUS) and exits: 0 when the request was
// handed to a listening recorder, 1 when it could not be sent, 2 on a usage error. Every
// error is one line on standard error.
#include "bus_message.h"
#include "bus_path.h"
#include "parse_number.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *usage_text =
    "usage: mirvoctl start FILE [--stream N] [--audio N] [--parttime N] [--fps N] [--size WxH]\n"
    "       mirvoctl stop [--mode N]\n"
    "\n"
    "Sends the recorder a start-record request (FILE: the .avi file to write, at most 63\n"
    "bytes) or a stop-record request over the message bus: the socket at $QEL_BUS, else\n"
    "$XDG_RUNTIME_DIR/qel-bus.sock, else /tmp/qel-bus-UID.sock.\n"
    "\n"
    "  --stream N    stream to record: 0 main, 1 sub (default 0)\n"
    "  --audio N     1 records audio too, 0 video only (default 1)\n"
    "  --parttime N  non-zero continues from where the last stop --mode 1 ended (default 0)\n"
    "  --fps N       frame rate for the file's header (default 25)\n"
    "  --size WxH    picture size for the file's header (default 640x360)\n"
    "  --mode N      1 stops at the next key frame and remembers where the next part\n"
    "                starts; any other value stops after the next frame (default 0)\n";

struct usage_error {
    std::string line;
};

int32_t number(const std::string &option, const char *text)
{
    int32_t value = 0;
    if (!qel::parse_int32(text, value))
        throw usage_error{option + " needs a whole number, not '" + text + "'"};
    return value;
}

void size(const char *text, qel::start_request &r)
{
    const char *x = strchr(text, 'x');
    std::string width = x ? std::string(text, x) : std::string(text);
    int32_t w = 0, h = 0;
    if (!x || !qel::parse_int32(width.c_str(), w) || !qel::parse_int32(x + 1, h))
        throw usage_error{std::string("--size needs WIDTHxHEIGHT, not '") + text + "'"};
    r.width = w;
    r.height = h;
}

// Splits "--name=value" and "--name value"; the value is null when none follows.
struct option {
    std::string name;
    const char *value;
};
option next_option(const std::vector<const char *> &args, size_t &at)
{
    std::string arg = args[at++];
    if (arg.rfind("--", 0) != 0)
        throw usage_error{"unexpected argument '" + arg + "'"};
    size_t equals = arg.find('=');
    if (equals != std::string::npos)
        return {arg.substr(0, equals), args[at - 1] + equals + 1};
    return {arg, at < args.size() ? args[at++] : nullptr};
}

std::vector<unsigned char> start_request_from(const std::vector<const char *> &args)
{
    if (args.empty() || args[0][0] == '-')
        throw usage_error{"start needs the FILE to record into"};
    qel::start_request r;
    r.filename = args[0];
    if (r.filename.size() > qel::max_filename_bytes)
        throw usage_error{"the file name is " + std::to_string(r.filename.size()) +
                          " bytes long; at most 63 fit in a request"};
    const std::pair<std::string, int32_t *> numbers[] = {{"--stream", &r.resolution},
                                                          {"--audio", &r.audio_enable},
                                                          {"--parttime", &r.parttime},
                                                          {"--fps", &r.frame_rate}};
    for (size_t at = 1; at < args.size();) {
        option o = next_option(args, at);
        int32_t *field = nullptr;
        for (const auto &[name, target] : numbers)
            if (o.name == name)
                field = target;
        if (!field && o.name != "--size")
            throw usage_error{"unknown option '" + o.name + "' for start"};
        if (!o.value)
            throw usage_error{o.name + " needs a value"};
        if (field)
            *field = number(o.name, o.value);
        else
            size(o.value, r);
    }
    return qel::start_message(r);
}

std::vector<unsigned char> stop_request_from(const std::vector<const char *> &args)
{
    int32_t mode = 0;
    for (size_t at = 0; at < args.size();) {
        option o = next_option(args, at);
        if (o.name != "--mode")
            throw usage_error{"unknown option '" + o.name + "' for stop"};
        if (!o.value)
            throw usage_error{"--mode needs a value"};
        mode = number(o.name, o.value);
    }
    return qel::stop_message(mode);
}

// Sends the datagram. Returns 0, or 1 after saying why it could not be sent.
int send_to_recorder(const std::vector<unsigned char> &datagram)
{
    char path[qel::bus_path_bytes];
    qel::bus_path(path);
    sockaddr_un address;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool sent = fd >= 0 && qel::bus_address(path, address) &&
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

}  // namespace

int main(int argc, char **argv)
{
    std::vector<const char *> args(argv + 1, argv + argc);
    for (const char *arg : args) {
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            fputs(usage_text, stdout);
            return 0;
        }
    }
    try {
        if (args.empty())
            throw usage_error{"say start or stop (see mirvoctl --help)"};
        std::string command = args[0];
        args.erase(args.begin());
        if (command == "start")
            return send_to_recorder(start_request_from(args));
        if (command == "stop")
            return send_to_recorder(stop_request_from(args));
        throw usage_error{"unknown command '" + command + "' (see mirvoctl --help)"};
    } catch (const usage_error &e) {
        fprintf(stderr, "mirvoctl: %s\n", e.line.c_str());
        return 2;
    }
}

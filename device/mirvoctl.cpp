// mirvoctl: plays the device's main process on a PC. It sends the recorder one start or stop
// request over the stand-in's message bus (QEL_BUS) and exits: 0 when the request was
// handed to a listening recorder, 1 when it could not be sent, 2 on a usage error. Every
// error is one line on standard error; so is each warning, after a start request was sent,
// about a name the recorder will ignore or resolve in its own working directory. `mirvoctl
// loop` drives the recorder as a camera does, for ever (mirvoctl_loop.h).
#include "bus_message.h"
#include "mirvoctl_loop.h"
#include "mirvoctl_send.h"
#include "mirvo_version.h"
#include "parse_number.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *usage_text =
    "usage: mirvoctl start FILE [--stream N] [--audio N] [--parttime N] [--fps N] [--size WxH]\n"
    "       mirvoctl stop [--mode N]\n"
    "       mirvoctl loop FOLDER --part SECONDS [--stream N] [--audio N] [--fps N] [--size WxH]\n"
    "                [--keep-free SIZE|PERCENT] [--protect-limit PERCENT]\n"
    "       mirvoctl --help | --version\n"
    "\n"
    "Sends the recorder a start-record request (FILE: the .avi file to write, at most 63\n"
    "bytes) or a stop-record request over the message bus: the socket at $QEL_BUS, else\n"
    "$XDG_RUNTIME_DIR/qel-bus.sock, else /tmp/qel-bus-UID.sock. Options may stand anywhere,\n"
    "as --opt N or --opt=N; every word after -- is an argument (a FILE beginning with -).\n"
    "The recorder ignores a FILE without \".avi\" in its name and resolves a relative one in\n"
    "its own working directory: mirvoctl warns of both and sends the request all the same.\n"
    "\n"
    "  --stream N    stream to record: 0 main, 1 sub (default 0)\n"
    "  --audio N     1 records audio too, 0 video only (default 1)\n"
    "  --parttime N  non-zero continues from where the last stop --mode 1 ended (default 0)\n"
    "  --fps N       frame rate for the file's header (default 25)\n"
    "  --size WxH    picture size for the file's header (default 640x360)\n"
    "  --mode N      1 stops at the next key frame and remembers where the next part\n"
    "                starts; any other value stops after the frames captured so far\n"
    "                (default 0)\n"
    "\n"
    "loop records into FOLDER until SIGINT or SIGTERM, as a camera does: part after part of\n"
    "SECONDS each, every one continuing the one before without a gap (stop --mode 1, then a\n"
    "start with a part time), named by its start time in UTC, YYYYMMDDTHHMMSS.mmmZ.avi. At its\n"
    "start it repairs the recordings of that naming that a power cut left unfinished. Before\n"
    "each part, and when the card runs low, it deletes the oldest finished recordings of that\n"
    "naming until the next part has room; never another file, an unfinished recording or a\n"
    "protected one (nobody may write it: chmod a-w, on a FAT or exFAT card its read-only\n"
    "attribute). FOLDER's path may be at most 38 bytes long.\n"
    "  --part SECONDS         the length of a part (1 or more)\n"
    "  --keep-free AMOUNT     kept free beyond what the next part needs: bytes with K, M, G\n"
    "                         or T, or a share of the card, N% (default 0)\n"
    "  --protect-limit N      protected recordings may take N% of the card before the loop\n"
    "                         says so (default 50)\n";

struct usage_error {
    std::string line;
};

// Both commands' options share one table; which command takes which is checked once the
// command word is known, since options may come before it.
enum option_id : int {
    opt_unknown = 0,
    opt_stream = 256,
    opt_audio,
    opt_parttime,
    opt_fps,
    opt_size,
    opt_mode,
    opt_part,
    opt_keep_free,
    opt_protect_limit,
    opt_version,
    opt_help = 'h',
};
const option long_options[] = {
    {"stream", required_argument, nullptr, opt_stream},
    {"audio", required_argument, nullptr, opt_audio},
    {"parttime", required_argument, nullptr, opt_parttime},
    {"fps", required_argument, nullptr, opt_fps},
    {"size", required_argument, nullptr, opt_size},
    {"mode", required_argument, nullptr, opt_mode},
    {"part", required_argument, nullptr, opt_part},
    {"keep-free", required_argument, nullptr, opt_keep_free},
    {"protect-limit", required_argument, nullptr, opt_protect_limit},
    {"version", no_argument, nullptr, opt_version},
    {"help", no_argument, nullptr, opt_help},
    {nullptr, 0, nullptr, 0},
};

std::string option_name(int id)
{
    for (const option &o : long_options)
        if (o.name && o.val == id)
            return std::string("--") + o.name;
    return std::string(1, '-') + static_cast<char>(id);
}

// One option as given: its id and value, or for an unknown one the text that named it.
struct given_option {
    int id;
    std::string text;
};

struct command_line {
    bool help = false;
    bool version = false;
    std::string error;  // the first option given without its value, or with one it takes not
    std::vector<given_option> options;
    std::vector<std::string> words;  // the command and its arguments, options taken out
};

command_line read_command_line(int argc, char **argv)
{
    command_line c;
    opterr = 0;  // errors are ours to word, in one line
    int id = 0;
    while ((id = getopt_long(argc, argv, ":h", long_options, nullptr)) != -1) {
        if (id == opt_help) {
            c.help = true;
        } else if (id == opt_version) {
            c.version = true;
        } else if (id == ':') {
            if (c.error.empty())
                c.error = option_name(optopt) + " needs a value";
        } else if (id == '?' && (optopt == opt_version || optopt == opt_help)) {
            if (c.error.empty())
                c.error = option_name(optopt) + " takes no value";
        } else if (id == '?') {
            // An unknown long option is the word just passed; a short one is only optopt.
            std::string word = argv[optind - 1];
            if (optopt == 0 && word.rfind("--", 0) == 0)
                c.options.push_back({opt_unknown, word.substr(0, word.find('='))});
            else
                c.options.push_back({opt_unknown, option_name(optopt)});
        } else {
            c.options.push_back({id, optarg});
        }
    }
    c.words.assign(argv + optind, argv + argc);
    return c;
}

int32_t number(int id, const std::string &text)
{
    int32_t value = 0;
    if (!qel::parse_int32(text.c_str(), value))
        throw usage_error{option_name(id) + " needs a whole number, not '" + text + "'"};
    return value;
}

void size(const std::string &text, qel::start_request &r)
{
    size_t x = text.find('x');
    int32_t w = 0, h = 0;
    if (x == std::string::npos || !qel::parse_int32(text.substr(0, x).c_str(), w) ||
        !qel::parse_int32(text.c_str() + x + 1, h))
        throw usage_error{"--size needs WIDTHxHEIGHT, not '" + text + "'"};
    r.width = w;
    r.height = h;
}

void refuse_foreign(const given_option &o, const std::string &command)
{
    throw usage_error{"unknown option '" + (o.id == opt_unknown ? o.text : option_name(o.id)) +
                      "' for " + command};
}

void expect_words(const command_line &c, size_t count)
{
    if (c.words.size() > count)
        throw usage_error{"unexpected argument '" + c.words[count] + "'"};
}

// The recorder records only into names containing ".avi" and opens them relative to its
// own working directory, which is seldom the caller's: say so, but let the request go.
void warn_about_name(const std::string &name)
{
    if (name.find(".avi") == std::string::npos)
        fprintf(stderr, "mirvoctl: warning: '%s' has no \".avi\" in it: the recorder ignores it\n",
                name.c_str());
    if (name.empty() || name[0] != '/')
        fprintf(stderr,
                "mirvoctl: warning: '%s' is relative: the recorder resolves it in its own "
                "working directory\n",
                name.c_str());
}

// An option of the stream a start request asks for; false for another option.
bool take_stream_option(const given_option &o, qel::start_request &r)
{
    switch (o.id) {
    case opt_stream: r.resolution = number(o.id, o.text); return true;
    case opt_audio: r.audio_enable = number(o.id, o.text); return true;
    case opt_fps: r.frame_rate = number(o.id, o.text); return true;
    case opt_size: size(o.text, r); return true;
    default: return false;
    }
}

std::vector<unsigned char> start_request_from(const command_line &c)
{
    qel::start_request r;
    for (const given_option &o : c.options) {
        if (o.id == opt_parttime)
            r.parttime = number(o.id, o.text);
        else if (!take_stream_option(o, r))
            refuse_foreign(o, "start");
    }
    if (c.words.size() < 2)
        throw usage_error{"start needs the FILE to record into"};
    expect_words(c, 2);
    r.filename = c.words[1];
    if (r.filename.size() > qel::max_filename_bytes)
        throw usage_error{"the file name is " + std::to_string(r.filename.size()) +
                          " bytes long; at most 63 fit in a request"};
    return qel::start_message(r);
}

std::vector<unsigned char> stop_request_from(const command_line &c)
{
    int32_t mode = 0;
    for (const given_option &o : c.options) {
        if (o.id != opt_mode)
            refuse_foreign(o, "stop");
        mode = number(o.id, o.text);
    }
    expect_words(c, 1);
    return qel::stop_message(mode);
}

qel::loop_options loop_options_from(const command_line &c)
{
    qel::loop_options l;
    for (const given_option &o : c.options) {
        if (o.id == opt_part) {
            l.part_seconds = number(o.id, o.text);
            if (l.part_seconds < 1)
                throw usage_error{"--part needs 1 second or more, not '" + o.text + "'"};
        } else if (o.id == opt_keep_free) {
            if (keeper_parse_amount(o.text.c_str(), &l.keep_free) != 0)
                throw usage_error{"--keep-free needs a size (300M, 2G) or a share (10%), not '" +
                                  o.text + "'"};
        } else if (o.id == opt_protect_limit) {
            keeper_amount share;
            std::string percent = !o.text.empty() && o.text.back() == '%' ? o.text : o.text + "%";
            if (keeper_parse_amount(percent.c_str(), &share) != 0)
                throw usage_error{"--protect-limit needs a share of the card, 0 to 100, not '" +
                                  o.text + "'"};
            l.protect_limit_percent = share.percent;
        } else if (!take_stream_option(o, l.request)) {
            refuse_foreign(o, "loop");
        }
    }
    if (c.words.size() < 2)
        throw usage_error{"loop needs the FOLDER to record into"};
    expect_words(c, 2);
    if (l.part_seconds == 0)
        throw usage_error{"loop needs --part SECONDS"};
    l.folder = c.words[1];
    return l;
}

}  // namespace

int main(int argc, char **argv)
{
    command_line c = read_command_line(argc, argv);
    if (c.help) {
        fputs(usage_text, stdout);
        return 0;
    }
    if (c.version) {
        puts("mirvoctl " MIRVO_VERSION);
        return 0;
    }
    try {
        if (!c.error.empty())
            throw usage_error{c.error};
        if (c.words.empty())
            throw usage_error{"say start, stop or loop (see mirvoctl --help)"};
        if (c.words[0] == "start") {
            // Warnings only for a request that reached the recorder: else the error is all.
            int result = qel::send_to_recorder(start_request_from(c));
            if (result == 0)
                warn_about_name(c.words[1]);
            return result;
        }
        if (c.words[0] == "loop")
            return qel::run_loop(loop_options_from(c));
        if (c.words[0] == "stop")
            return qel::send_to_recorder(stop_request_from(c));
        throw usage_error{"unknown command '" + c.words[0] + "' (see mirvoctl --help)"};
    } catch (const usage_error &e) {
        fprintf(stderr, "mirvoctl: %s\n", e.line.c_str());
        return 2;
    }
}

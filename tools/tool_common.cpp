// Shared parts of mirvo-avi: option parsing, opening an input file without blocking, the
// one-line failure reports, and reading frames only after checking them against the file.
#include "tool_common.h"

#include "mirvo_version.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mirvo_avi {
namespace {

constexpr int option_version = 0x100;  // codes of the options every command takes

// Whether a code comes from a failed system call, so that errno may tell its cause.
bool has_system_cause(int32_t code)
{
    return code >= AVI_ERROR_OPEN && code <= AVI_ERROR_CLOSE;
}

std::string printable(const std::string &text)
{
    std::string shown;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

const char *file_kind(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "of an unknown kind";
}

}  // namespace

std::string input_being_read;

int print_version()
{
    printf("mirvo-avi %s\n", MIRVO_VERSION);
    return exit_ok;
}

int parse_options(const command &cmd, int argc, char **argv, const option *own,
                  const option_handler &take, std::string &file)
{
    std::vector<option> all;
    std::string shorts = ":h";  // the leading ':' tells a missing value from an unknown option
    for (const option *o = own; o && o->name; ++o) {
        all.push_back(*o);
        if (o->val > 0 && o->val < 0x80) {
            shorts += static_cast<char>(o->val);
            if (o->has_arg == required_argument)
                shorts += ':';
        }
    }
    all.push_back({"help", no_argument, nullptr, 'h'});
    all.push_back({"version", no_argument, nullptr, option_version});
    all.push_back({nullptr, 0, nullptr, 0});

    opterr = 0;
    optind = 1;
    int code;
    while ((code = getopt_long(argc, argv, shorts.c_str(), all.data(), nullptr)) != -1) {
        // A short option is told by optopt; for a long one (codes past 0x100) optind has
        // already passed the argument.
        std::string given = optopt > 0 && optopt < 0x80 ? std::string("-") + static_cast<char>(optopt)
                                                        : std::string(argv[optind - 1]);
        if (code == 'h') {
            printf("usage: mirvo-avi %s\n      %s\n", cmd.usage, cmd.summary);
            return exit_ok;
        }
        if (code == option_version)
            return print_version();
        if (code == ':')
            return usage_error(cmd, given + " needs a value");
        if (code == '?')
            return usage_error(cmd, "unknown option '" + given + "'");
        std::string problem;
        if (!take(code, optarg, problem))
            return usage_error(cmd, problem);
    }
    if (optind >= argc)
        return usage_error(cmd, "no file given");
    if (optind + 1 < argc)
        return usage_error(cmd, "expected one file, not also '" + std::string(argv[optind + 1]) + "'");
    file = argv[optind];
    return -1;
}

int parse_json_option(const command &cmd, int argc, char **argv, bool &as_json, std::string &file)
{
    enum { option_json = 0x101 };
    static const option own[] = {{"json", no_argument, nullptr, option_json}, {nullptr, 0, nullptr, 0}};
    auto take = [&](int, const char *, std::string &) {
        as_json = true;
        return true;
    };
    return parse_options(cmd, argc, argv, own, take, file);
}

int usage_error(const command &cmd, const std::string &message)
{
    fprintf(stderr, "mirvo-avi %s: %s\nusage: mirvo-avi %s\n", cmd.name, printable(message).c_str(),
            cmd.usage);
    return exit_usage;
}

int open_regular_file(const std::string &path, uint64_t &size)
{
    input_being_read = path;
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        avi_error = AVI_ERROR_OPEN;
        report(path, AVI_error_text());
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int cause = errno;
        close(fd);
        report(path, std::string("cannot be examined: ") + strerror(cause));
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        report(path, std::string("not a regular file (") + file_kind(st.st_mode) + ")");
        return -1;
    }
    // A regular file never blocks; the flag was only there so that the open did not wait.
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    size = static_cast<uint64_t>(st.st_size);
    return fd;
}

std::string holding_back_messages(const std::function<void()> &call)
{
    int pipe_ends[2];
    fflush(stderr);
    int saved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (saved < 0 || pipe2(pipe_ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (saved >= 0)
            close(saved);
        call();
        return {};
    }
    dup2(pipe_ends[1], STDERR_FILENO);
    close(pipe_ends[1]);
    call();
    int cause = errno;  // the call's, kept for the report
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::string held;
    char piece[512];
    ssize_t n;
    while ((n = read(pipe_ends[0], piece, sizeof piece)) > 0)
        held.append(piece, static_cast<size_t>(n));
    close(pipe_ends[0]);
    errno = cause;
    return held;
}

avi_handle *open_input_fd_quietly(int fd, std::string &held_back)
{
    avi_handle *h = nullptr;
    avi_error = AVI_ERROR_NONE;
    errno = 0;
    held_back = holding_back_messages([&] { h = AVI_open_input_fd(fd, 1); });
    return h;
}

bool open_input(const std::string &path, input_file &in)
{
    in.path = path;
    int fd = open_regular_file(path, in.size);
    if (fd < 0)
        return false;
    std::string held_back;
    in.handle.reset(open_input_fd_quietly(fd, held_back));
    if (!in.handle)
        report(path, module_reason(held_back, "cannot be read as an AVI file"));
    return in.handle != nullptr;
}

std::string module_reason(const std::string &held_back, const std::string &fallback)
{
    if (avi_error == AVI_ERROR_NONE) {
        std::string said = held_back.substr(0, held_back.find('\n'));
        return said.empty() ? fallback : said;
    }
    std::string text = AVI_error_text();
    if (!has_system_cause(avi_error) || errno != 0)
        return text;
    // No cause in errno: a read that met the end of the file.
    std::string no_cause = std::string(" - ") + strerror(0);
    if (text.size() >= no_cause.size() && text.compare(text.size() - no_cause.size(), no_cause.size(), no_cause) == 0)
        text.erase(text.size() - no_cause.size());
    return avi_error == AVI_ERROR_READ ? text + " - the file ends early" : text;
}

int report(const std::string &name, const std::string &reason)
{
    fprintf(stderr, "%s: %s\n", printable(name).c_str(), printable(reason).c_str());
    return exit_failed;
}

bool is_key_frame(const avi_handle *h, int32_t n)
{
    return h->video_frame_table && n >= 0 && n < h->video_frame_count &&
           (h->video_frame_table[n].flags & AVI_KEY_FRAME) != 0;
}

std::string outside_file(const std::string &what, extent e, uint64_t file_size)
{
    if (e.offset >= 0 && e.length >= 0 && static_cast<uint64_t>(e.offset) + static_cast<uint64_t>(e.length) <= file_size)
        return {};
    char text[160];
    snprintf(text, sizeof text, " claims %lld bytes at offset %lld, past the end of the file (%llu bytes)",
             static_cast<long long>(e.length), static_cast<long long>(e.offset),
             static_cast<unsigned long long>(file_size));
    return what + text;
}

frame_buffer::~frame_buffer()
{
    free(data_);
}

bool frame_buffer::reserve(size_t bytes)
{
    if (bytes == 0)
        bytes = 1;
    if (bytes <= capacity_)
        return true;
    void *grown = realloc(data_, bytes);
    if (!grown)
        return false;
    data_ = static_cast<unsigned char *>(grown);
    capacity_ = bytes;
    return true;
}

int64_t read_frame(input_file &in, int32_t n, frame_buffer &buffer, std::string &problem)
{
    avi_handle *h = in.handle.get();
    std::string what = "video frame " + std::to_string(n);
    extent e{AVI_frame_file_offset(h, n), AVI_frame_length(h, n)};
    problem = outside_file(what, e, in.size);
    if (problem.empty() && e.length > INT32_MAX)
        problem = what + " is too long to be read (" + std::to_string(e.length) + " bytes)";
    if (problem.empty() && !buffer.reserve(static_cast<size_t>(e.length)))
        problem = what + ": no memory for its " + std::to_string(e.length) + " bytes";
    if (!problem.empty())
        return -1;
    avi_error = AVI_ERROR_NONE;
    errno = 0;
    AVI_seek_video_frame(h, n);
    if (AVI_read_video_frame(h, buffer.data(), static_cast<int32_t>(e.length), nullptr) != e.length) {
        problem = what + ": " + module_reason("", "could not be read");
        return -1;
    }
    return e.length;
}

}  // namespace mirvo_avi

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

constexpr int option_version = 0x100;
constexpr uint64_t riff_head_bytes = 12;  // "RIFF", size, "AVI "  // codes of the options every command takes

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

// Standard input as a file that can be read at any offset: itself when it is a file, else
// what it holds, copied into a temporary file (removed already). -1 with errno on failure.
int standard_input_as_file()
{
    struct stat st;
    if (fstat(STDIN_FILENO, &st) == 0 && S_ISREG(st.st_mode))
        return fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    FILE *copy = tmpfile();
    if (!copy)
        return -1;
    std::vector<char> piece(size_t{1} << 16);
    ssize_t got = 0;
    while ((got = read(STDIN_FILENO, piece.data(), piece.size())) > 0 || (got < 0 && errno == EINTR)) {
        if (got > 0 && fwrite(piece.data(), 1, static_cast<size_t>(got), copy) != static_cast<size_t>(got))
            break;
    }
    int cause = errno;
    int fd = got == 0 && fflush(copy) == 0 ? fcntl(fileno(copy), F_DUPFD_CLOEXEC, 3) : -1;
    cause = fd < 0 ? errno : cause;
    fclose(copy);
    if (fd >= 0 && lseek(fd, 0, SEEK_SET) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    errno = cause;
    return -1;
}

}  // namespace

const std::string standard_input = "-";
std::string input_being_read;

// Valid UTF-8 as it stands; any other byte taken as the character of that number (as in
// Latin-1), so that names and codes that are not UTF-8 still make valid JSON.
std::string as_utf8(const std::string &text)
{
    std::string out;
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = s[i];
        size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool valid = length > 0 && i + length <= n;
        for (size_t k = 1; valid && k < length; ++k)
            valid = (s[i + k] & 0xc0) == 0x80;
        if (valid && length > 1) {  // no overlong forms, surrogates or values past U+10FFFF
            uint32_t first = length == 2 ? c & 0x1fU : length == 3 ? c & 0x0fU : c & 0x07U;
            uint32_t cp = first;
            for (size_t k = 1; k < length; ++k)
                cp = cp << 6 | (s[i + k] & 0x3fU);
            static constexpr uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
            valid = cp >= least[length] && cp <= 0x10ffff && (cp < 0xd800 || cp > 0xdfff);
        }
        if (valid) {
            out.append(text, i, length);
            i += length;
        } else {
            out += static_cast<char>(0xc0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3f));
            i += 1;
        }
    }
    return out;
}

int print_version()
{
    printf("mirvo-avi %s\n", MIRVO_VERSION);
    return exit_ok;
}

int parse_options(const command &cmd, int argc, char **argv, const option *own,
                  const option_handler &take, operands &out)
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
    if (cmd.takes == command::files_and_folders) {
        all.push_back({"recursive", no_argument, nullptr, 'r'});
        shorts += 'r';
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
        if (code == 'r') {
            out.recursive = true;
            continue;
        }
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
    if (cmd.takes == command::one_file && optind + 1 < argc)
        return usage_error(cmd, "expected one file, not also '" + std::string(argv[optind + 1]) + "'");
    out.files.assign(argv + optind, argv + argc);
    return -1;
}

int parse_json_option(const command &cmd, int argc, char **argv, bool &as_json, operands &out)
{
    enum { option_json = 0x101 };
    static const option own[] = {{"json", no_argument, nullptr, option_json}, {nullptr, 0, nullptr, 0}};
    auto take = [&](int, const char *, std::string &) {
        as_json = true;
        return true;
    };
    return parse_options(cmd, argc, argv, own, take, out);
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
    int fd = path == standard_input ? standard_input_as_file()
                                    : open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        report(path, reason_of(AVI_ERROR_OPEN, errno));
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
    if (size < riff_head_bytes) {  // the same fault, the same words, whatever reads it next
        close(fd);
        report(path, reason_of(AVI_ERROR_NOT_AVI, 0));
        return -1;
    }
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
    if (!read_input_fd(in, fd, held_back))
        return report(path, module_reason(held_back, "cannot be read as an AVI file")), false;
    return true;
}

bool read_input_fd(input_file &in, int fd, std::string &held_back)
{
    in.handle.reset(open_input_fd_quietly(fd, held_back));
    if (in.handle) {
        in.fd = fd;
        in.chunks.emplace(fd, in.size);
    }
    return in.handle != nullptr;
}

std::string module_reason(const std::string &held_back, const std::string &fallback)
{
    if (avi_error == AVI_ERROR_NONE) {
        std::string said = held_back.substr(0, held_back.find('\n'));
        return said.empty() ? fallback : said;
    }
    return reason_of(avi_error, has_system_cause(avi_error) ? errno : 0);
}

std::string reason_of(int32_t code, int cause)
{
    std::string why = cause != 0 ? std::string(": ") + strerror(cause) : "";
    switch (code) {
    case AVI_ERROR_SIZE_LIMIT:
        return "would grow past the size limit of an AVI file";
    case AVI_ERROR_OPEN:
        return "cannot be opened" + why;
    case AVI_ERROR_READ:
        return cause != 0 ? "cannot be read" + why : "the file ends early";
    case AVI_ERROR_WRITE:
        return "cannot be written" + why;
    case AVI_ERROR_WRITE_INDEX:
        return "its index cannot be written" + why;
    case AVI_ERROR_CLOSE:
        return "its header cannot be written" + why;
    case AVI_ERROR_NOT_PERMITTED:
        return "the operation is not permitted";
    case AVI_ERROR_NO_MEMORY:
        return "out of memory";
    case AVI_ERROR_NOT_AVI:
        return "not an AVI file";
    case AVI_ERROR_NO_HEADER_LIST:
        return "not an AVI file: it has no header list";
    case AVI_ERROR_NO_MOVI:
        return "not an AVI file: it has no movi list";
    case AVI_ERROR_NO_VIDEO:
        return "it has no video stream";
    case AVI_ERROR_NEEDS_INDEX:
        return "it needs an index";
    default:
        return "an unknown error";
    }
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

int64_t read_extent(input_file &in, const std::string &what, extent e, frame_buffer &buffer, std::string &problem)
{
    problem = outside_file(what, e, in.size);
    if (problem.empty() && e.length > INT32_MAX)
        problem = what + " is too long to be read (" + std::to_string(e.length) + " bytes)";
    if (problem.empty() && !buffer.reserve(static_cast<size_t>(e.length)))
        problem = what + ": no memory for its " + std::to_string(e.length) + " bytes";
    if (!problem.empty())
        return -1;
    if (!in.chunks->read(static_cast<uint64_t>(e.offset), static_cast<size_t>(e.length), buffer.data())) {
        problem = what + ": " + (errno != 0 ? strerror(errno) : "the file ends before its bytes");
        return -1;
    }
    return e.length;
}

int64_t read_frame(input_file &in, int32_t n, frame_buffer &buffer, std::string &problem)
{
    avi_handle *h = in.handle.get();
    return read_extent(in, "video frame " + std::to_string(n), {AVI_frame_file_offset(h, n), AVI_frame_length(h, n)},
                       buffer, problem);
}

}  // namespace mirvo_avi

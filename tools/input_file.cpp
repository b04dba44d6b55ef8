// Opening a file or standard input for mirvo-avi, and reading it with its index.
#include "input_file.h"

#include "messages.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace mirvo_avi {
namespace {

constexpr uint64_t riff_head_bytes = 12;  // "RIFF", size, "AVI "

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

// open() that never waits for a FIFO's writer or a device; for reading and writing when
// write_refusal is given and writing is allowed.
int open_without_blocking(const std::string &path, int *write_refusal)
{
    const int flags = O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    if (!write_refusal)
        return open(path.c_str(), O_RDONLY | flags);
    int fd = open(path.c_str(), O_RDWR | flags);
    *write_refusal = fd < 0 ? errno : 0;
    // What may be read but not written is opened for reading, and a directory too, so that
    // it is refused for what it is.
    int e = *write_refusal;
    if (e == EACCES || e == EPERM || e == EROFS || e == ETXTBSY || e == EISDIR)
        fd = open(path.c_str(), O_RDONLY | flags);
    return fd;
}

}  // namespace

const std::string standard_input = "-";
std::string input_being_read;

int open_regular_file(const std::string &path, uint64_t &size, int *write_refusal)
{
    input_being_read = path;
    int fd = path == standard_input ? standard_input_as_file() : open_without_blocking(path, write_refusal);
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

bool open_input(const std::string &path, input_file &in)
{
    in.path = path;
    int fd = open_regular_file(path, in.size);
    if (fd < 0)
        return false;
    if (read_input_fd(in, fd))
        return true;
    std::string reason = module_reason("cannot be read as an AVI file");
    // A recording cut off with nothing to finish has no video to read: said as such.
    avi_recovery found{};
    if (avi_error == AVI_ERROR_NO_VIDEO && AVI_examine_file(path.c_str(), &found) == 0 &&
        found.state == AVI_FILE_CUT_OFF)
        reason = nothing_to_finish(found);
    return report(path, reason), false;
}

bool read_input_fd(input_file &in, int fd)
{
    clear_module_error();
    in.handle.reset(AVI_open_input_fd(fd, 1));
    if (in.handle) {
        in.fd = fd;
        in.chunks.emplace(fd, in.size);
    }
    return in.handle != nullptr;
}

}  // namespace mirvo_avi

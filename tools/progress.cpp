// The progress line of mirvo-avi (see progress.h). It writes to its own copy of standard
// error's descriptor, so that it still reaches the terminal while the AVI module's own
// messages are held back.
#include "progress.h"

#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace mirvo_avi {
namespace {

constexpr uint64_t redraw_ns = 100'000'000;  // at most ten lines a second

uint64_t now_ns()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1'000'000'000U + static_cast<uint64_t>(t.tv_nsec);
}

void write_all(int fd, const std::string &text)
{
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return;  // a progress line is not worth a failure
        done += static_cast<size_t>(n);
    }
}

}  // namespace

progress_meter::progress_meter(std::string label, bool quiet_on_terminal_output)
    : label_(std::move(label))
{
    if (!isatty(STDERR_FILENO) || (quiet_on_terminal_output && isatty(STDOUT_FILENO)))
        return;
    fd_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    started_ns_ = now_ns();
}

progress_meter::~progress_meter()
{
    finish();
}

void progress_meter::update(uint64_t done, uint64_t total)
{
    if (fd_ < 0)
        return;
    if (done < done_)  // a scan that starts again from 0: one more pass over the file
        earlier_passes_ += done_;
    done_ = done;
    total_ = total;
    uint64_t now = now_ns();
    if (now - shown_ns_ < redraw_ns)
        return;
    shown_ns_ = now;
    show(done, total);
}

void progress_meter::show(uint64_t done, uint64_t total)
{
    double seconds = static_cast<double>(now_ns() - started_ns_) / 1e9;
    double percent = total > 0 ? 100.0 * static_cast<double>(done) / static_cast<double>(total) : 100.0;
    char state[96];
    double bytes = static_cast<double>(earlier_passes_ + done);
    snprintf(state, sizeof state, ": %5.1f%%  %.1f MB/s", percent > 100.0 ? 100.0 : percent,
             seconds > 0 ? bytes / 1e6 / seconds : 0.0);
    std::string line = label_ + state;
    size_t width = line.size();
    if (width < shown_width_)
        line.append(shown_width_ - width, ' ');  // cover what the longer line before showed
    shown_width_ = width;
    write_all(fd_, "\r" + line);
}

void progress_meter::finish()
{
    if (fd_ < 0)
        return;
    if (total_ > 0)  // something was under way
        show(done_, total_);
    write_all(fd_, "\r" + std::string(shown_width_, ' ') + "\r");
    close(fd_);
    fd_ = -1;
}

void progress_meter::module_callback(uint64_t done, uint64_t total, void *arg)
{
    static_cast<progress_meter *>(arg)->update(done, total);
}

}  // namespace mirvo_avi

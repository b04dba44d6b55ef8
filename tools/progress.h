// A progress line on standard error for mirvo-avi's long operations: the file's name, the
// percentage done and the rate in MB/s, rewritten in place with \r a few times a second and
// wiped when the work ends. Shown only when standard error is a terminal, so that logs and
// pipes never get it.
#pragma once

#include <cstdint>
#include <string>

namespace mirvo_avi {

class progress_meter {
public:
    // Shows progress for label when standard error is a terminal and, for an operation that
    // writes its results to standard output as it goes (quiet_on_terminal_output), when
    // standard output is not one too (the results would break the line).
    explicit progress_meter(std::string label, bool quiet_on_terminal_output = false);
    ~progress_meter();  // wipes the line
    progress_meter(const progress_meter &) = delete;
    progress_meter &operator=(const progress_meter &) = delete;

    // done of total bytes; a done below the last one starts a new pass (the percentage is the
    // pass's, the rate counts every pass).
    void update(uint64_t done, uint64_t total);
    // Shows the last state (100 % when done reached total) and wipes the line.
    void finish();

    // For the AVI module's scans: arg is a progress_meter.
    static void module_callback(uint64_t done, uint64_t total, void *arg);

private:
    void show(uint64_t done, uint64_t total);

    std::string label_;
    int fd_ = -1;  // a copy of standard error's descriptor, or -1 when not shown
    uint64_t started_ns_ = 0, shown_ns_ = 0, done_ = 0, total_ = 0;
    uint64_t earlier_passes_ = 0;  // bytes of the passes before this one, for the rate
    size_t shown_width_ = 0;
};

}  // namespace mirvo_avi

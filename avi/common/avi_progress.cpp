// Progress of the long scans (examine, repair, the rebuilding open): one process-wide
// callback, like avi_error, told about every few megabytes how far a scan has come.
#include "avi/avi_internal.h"

namespace {

avi_progress_fn progress_fn = nullptr;
void *progress_arg = nullptr;

}  // namespace

void AVI_set_progress(avi_progress_fn fn, void *arg)
{
    progress_fn = fn;
    progress_arg = arg;
}

void avi_detail::progress::at(uint64_t done)
{
    if (!progress_fn || done < next_report_)
        return;
    progress_fn(done < total_ ? done : total_, total_, progress_arg);
    next_report_ = done + report_every;
}

void avi_detail::progress::finish()
{
    if (progress_fn)
        progress_fn(total_, total_, progress_arg);
}

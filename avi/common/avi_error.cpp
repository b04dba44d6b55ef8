// The AVI module's error reporting: the process-wide last error code, the table of its
// texts, the two ways of turning the code into text (printed, or returned), and the one
// way the module's operations fail.
#include "avi/avi_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

int32_t avi_error = 0;

namespace {

int failure_cause = 0;  // errno when the last failure happened
bool quiet = false;     // AVI_set_quiet

constexpr const char *avi_error_messages[] = {
    "mirvo-avi - No Error",
    "mirvo-avi - AVI file size limit reached",
    "mirvo-avi - Error opening AVI file",
    "mirvo-avi - Error reading from AVI file",
    "mirvo-avi - Error writing to AVI file",
    "mirvo-avi - Error writing index (file may still be useable)",
    "mirvo-avi - Error closing AVI file",
    "mirvo-avi - Operation (read/write) not permitted",
    "mirvo-avi - Out of memory (malloc failed)",
    "mirvo-avi - Not an AVI file",
    "mirvo-avi - AVI file has no header list (corrupted?)",
    "mirvo-avi - AVI file has no MOVI list (corrupted?)",
    "mirvo-avi - AVI file has no video data",
    "mirvo-avi - operation needs an index",
    "mirvo-avi - Unknown Error",
    "mirvo-avi - AVI file has more audio tracks than supported",
};
constexpr int avi_error_message_count = sizeof avi_error_messages / sizeof *avi_error_messages;
static_assert(avi_error_message_count == AVI_ERROR_COUNT);

const char *chosen_message(int32_t code)
{
    return code >= 0 && code < avi_error_message_count ? avi_error_messages[code]
                                                       : avi_error_messages[AVI_ERROR_UNKNOWN];
}

// Codes 2 to 6 come from failed system calls, so errno still tells their cause.
bool has_system_cause(int32_t code)
{
    return code >= AVI_ERROR_OPEN && code <= AVI_ERROR_CLOSE;
}

}  // namespace

int avi_detail::fail(int32_t code)
{
    avi_error = code;
    failure_cause = errno;
    return -1;
}

int avi_detail::fail(int32_t code, avi_handle *release)
{
    return fail_undoing(code, [release] { AVI_close_handle(release); });
}

int avi_detail::fail_because(int32_t code, int cause, avi_handle *release)
{
    errno = cause;
    return fail(code, release);
}

avi_detail::error_state avi_detail::error_state::now()
{
    return {avi_error, failure_cause, errno};
}

void avi_detail::error_state::restore() const
{
    avi_error = code;
    failure_cause = cause;
    errno = current_errno;
}

void avi_detail::say(const char *line)
{
    if (!quiet)
        fprintf(stderr, "%s\n", line);
}

void AVI_set_quiet(int on)
{
    quiet = on != 0;
}

int AVI_error_cause(void)
{
    return has_system_cause(avi_error) ? failure_cause : 0;
}

void AVI_report_error(const char *prefix)
{
    fprintf(stderr, "%s: %s\n", prefix, chosen_message(avi_error));
    if (has_system_cause(avi_error))
        fprintf(stderr, "REASON: %s\n", strerror(failure_cause));
}

const char *AVI_error_text(void)
{
    static char text[4096];
    if (!has_system_cause(avi_error))
        return chosen_message(avi_error);
    snprintf(text, sizeof text, "%s - %s", chosen_message(avi_error), strerror(failure_cause));
    return text;
}

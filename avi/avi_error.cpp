// The AVI module's error reporting: the process-wide last error code, the table of its
// texts, the two ways of turning the code into text (printed, or returned), and the one
// way the module's operations fail.
#include "avi_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

int32_t avi_error = 0;

namespace {

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

int avi_detail::fail(int32_t code, avi_handle *release)
{
    AVI_close_handle(release);  // keeps errno; nothing for a null handle
    avi_error = code;
    return -1;
}

void AVI_report_error(const char *prefix)
{
    int saved = errno;
    fprintf(stderr, "%s: %s\n", prefix, chosen_message(avi_error));
    errno = saved;
    if (has_system_cause(avi_error))
        perror("REASON");
}

const char *AVI_error_text(void)
{
    static char text[4096];
    if (!has_system_cause(avi_error))
        return chosen_message(avi_error);
    snprintf(text, sizeof text, "%s - %s", chosen_message(avi_error), strerror(errno));
    return text;
}

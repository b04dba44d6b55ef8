// Shared parts of mirvo-avi: the subcommand table, opening with one-line failure reports.
#include "tool_common.h"

#include <cstdio>
#include <cstring>

namespace mirvo_avi {

avi_file open_or_report(const std::string &path)
{
    avi_file file(AVI_open_input(path.c_str(), 1));
    if (!file)
        report_failure(path);
    return file;
}

int report_failure(const std::string &name)
{
    fprintf(stderr, "%s: %s\n", name.c_str(), AVI_error_text());
    return exit_failed;
}

int usage_error(const command &cmd, const std::string &message)
{
    fprintf(stderr, "mirvo-avi: %s\nusage: mirvo-avi %s\n", message.c_str(), cmd.usage);
    return exit_usage;
}

}  // namespace mirvo_avi

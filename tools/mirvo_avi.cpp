// mirvo-avi: looks into AVI files with mirvo's reader. `mirvo-avi COMMAND ...`; each
// subcommand lives in a source file of its own and has a row in the table below. Whatever
// a file holds, the program ends with exit status 0, or 1 and one line on standard error
// naming the file and the reason (2 for a wrong command line).
#include "tool_common.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <new>
#include <unistd.h>

namespace mirvo_avi {
namespace {

const command *const commands[] = {&info_command, &frames_command, &extract_command,
                                   &repair_command, &join_command,    &cut_command, &prune_command};

void print_help(FILE *out)
{
    fputs("usage: mirvo-avi COMMAND [options] FILE...\n       mirvo-avi --version\n\ncommands:\n", out);
    for (const command *c : commands)
        fprintf(out, "  mirvo-avi %s\n      %s\n", c->usage, c->summary);
    fputs("\nOptions may come in any order, as --opt=value or --opt value; \"--\" ends them.\n"
          "Every command takes --help and --version. Progress (percentage and MB/s) is shown on\n"
          "standard error when it is a terminal.\n"
          "Exit status 0 on success; 1 when a file cannot be read or written (the file's name and\n"
          "the reason on one line of standard error); 2 for a wrong command line.\n",
          out);
}

// Standard input, output and error are open from here on: a file opened later never takes
// their numbers, where a message meant for standard error would go into it.
void keep_standard_descriptors_open()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            int null = open("/dev/null", O_RDWR);
            if (null >= 0 && null != fd)
                close(null);
        }
    }
}

int dispatch(int argc, char **argv)
{
    if (argc < 2) {
        print_help(stderr);
        return exit_usage;
    }
    const char *first = argv[1];
    if (strcmp(first, "--help") == 0 || strcmp(first, "-h") == 0 || strcmp(first, "help") == 0) {
        print_help(stdout);
        return exit_ok;
    }
    if (strcmp(first, "--version") == 0)
        return print_version();
    for (const command *c : commands) {
        if (strcmp(first, c->name) == 0)
            return c->run(argc - 1, argv + 1);
    }
    fprintf(stderr, "mirvo-avi: unknown command '%s' (see mirvo-avi --help)\n", first);
    return exit_usage;
}

}  // namespace
}  // namespace mirvo_avi

int main(int argc, char **argv)
{
    using namespace mirvo_avi;
    keep_standard_descriptors_open();
    AVI_set_quiet(1);  // every failure is said on a line of our own
    int status;
    try {
        status = dispatch(argc, argv);
    } catch (const std::bad_alloc &) {
        return report(input_being_read.empty() ? "mirvo-avi" : input_being_read, "out of memory");
    } catch (const std::exception &e) {
        return report(input_being_read.empty() ? "mirvo-avi" : input_being_read, e.what());
    }
    // What went to standard output must have arrived (a full disk, a closed pipe).
    errno = 0;
    if (fflush(stdout) != 0 || ferror(stdout)) {
        if (status == exit_ok)
            report("standard output", errno != 0 ? strerror(errno) : "could not be written");
        return exit_failed;
    }
    return status;
}

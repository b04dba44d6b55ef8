// mirvo-avi: looks into AVI files with mirvo's reader. `mirvo-avi COMMAND ...`; each
// subcommand lives in a source file of its own and has a row in the table below.
#include "tool_common.h"

#include <cstdio>
#include <cstring>

namespace mirvo_avi {
namespace {

const command *const commands[] = {&info_command, &frames_command, &extract_command,
                                   &repair_command};

void print_help(FILE *out)
{
    fputs("usage: mirvo-avi COMMAND FILE [options]\n\ncommands:\n", out);
    for (const command *c : commands)
        fprintf(out, "  mirvo-avi %s\n      %s\n", c->usage, c->summary);
    fputs("\nExit status 0 on success; 1 when a file cannot be read or written (the file's\n"
          "name and the reason on one line); 2 for a wrong command line.\n",
          out);
}

}  // namespace
}  // namespace mirvo_avi

int main(int argc, char **argv)
{
    using namespace mirvo_avi;
    if (argc < 2) {
        print_help(stderr);
        return exit_usage;
    }
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "help") == 0) {
        print_help(stdout);
        return exit_ok;
    }
    for (const command *cmd : commands) {
        const command &c = *cmd;
        if (strcmp(argv[1], c.name) != 0)
            continue;
        arguments args(argv + 2, argv + argc);
        for (const std::string &a : args) {
            if (a == "--help" || a == "-h") {
                printf("usage: mirvo-avi %s\n  %s\n", c.usage, c.summary);
                return exit_ok;
            }
        }
        return c.run(args);
    }
    fprintf(stderr, "mirvo-avi: unknown command '%s' (see mirvo-avi --help)\n", argv[1]);
    return exit_usage;
}

// Parsing a subcommand's command line with getopt_long, and the usage errors.
#include "command_line.h"

#include "messages.h"
#include "mirvo_version.h"

#include <cstdio>

namespace mirvo_avi {
namespace {

constexpr int option_version = 0x100;  // codes of the options every command takes

}  // namespace

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

int parse_options(const command &cmd, int argc, char **argv, operands &out)
{
    return parse_options(cmd, argc, argv, nullptr, nullptr, out);  // no option of its own to take
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

}  // namespace mirvo_avi

// The command line of mirvo-avi: the table of subcommands, their option parsing, the usage
// errors and the exit statuses.
#pragma once

#include <functional>
#include <getopt.h>
#include <string>
#include <vector>

namespace mirvo_avi {

enum exit_status { exit_ok = 0, exit_failed = 1, exit_usage = 2 };

// One subcommand: its name, its usage line and what it does, and its entry point, which
// gets the arguments from the subcommand's name on (argv[0] is the name).
struct command {
    const char *name;
    const char *usage;
    const char *summary;
    int (*run)(int argc, char **argv);
    enum { one_file, files_and_folders, operands_of_its_own } takes;  // files_and_folders: also -r
};

// The files a command line names, and whether folders are walked into their subfolders.
struct operands {
    std::vector<std::string> files;
    bool recursive = false;
};

// The subcommands, each defined in its own source file.
extern const command info_command;
extern const command frames_command;
extern const command extract_command;
extern const command repair_command;
extern const command join_command;
extern const command cut_command;
extern const command prune_command;

// Prints "mirvo-avi 0.1.0" (the project's version) on standard output.
int print_version();

// Parses a subcommand's options with getopt_long: options in any order and between the
// operands, "--opt=value" or "--opt value", "--" ending the options. Every subcommand also
// takes --help and --version; one that takes many files, -r (--recursive). The files land in
// out. take(code, value) handles one of the command's own options and returns false (with
// problem set) for a bad value. Returns -1 to go on, or the exit status to end with (help or
// version printed: 0; a wrong command line, reported with the usage line: 2).
using option_handler = std::function<bool(int code, const char *value, std::string &problem)>;
int parse_options(const command &cmd, int argc, char **argv, const option *own,
                  const option_handler &take, operands &out);

// parse_options for a command with no options of its own.
int parse_options(const command &cmd, int argc, char **argv, operands &out);

// parse_options for "[--json] FILE...", as info and frames take it.
int parse_json_option(const command &cmd, int argc, char **argv, bool &as_json, operands &out);

// Prints "mirvo-avi CMD: message" and the command's usage line; returns exit_usage.
int usage_error(const command &cmd, const std::string &message);

}  // namespace mirvo_avi

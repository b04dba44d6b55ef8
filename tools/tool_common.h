// What the subcommands of mirvo-avi share: the table of subcommands, opening a file with
// the failure reported on one line, and the exit statuses.
#pragma once

#include "avi/avi.h"

#include <memory>
#include <string>
#include <vector>

namespace mirvo_avi {

enum exit_status { exit_ok = 0, exit_failed = 1, exit_usage = 2 };

using arguments = std::vector<std::string>;

// One subcommand: its name, its usage line and what it does, and its entry point, which
// gets the arguments after the subcommand's name.
struct command {
    const char *name;
    const char *usage;
    const char *summary;
    int (*run)(const arguments &args);
};

// The subcommands, each defined in its own source file.
extern const command info_command;
extern const command frames_command;
extern const command extract_command;
extern const command repair_command;

struct handle_closer {
    void operator()(avi_handle *h) const { AVI_close_handle(h); }
};
using avi_file = std::unique_ptr<avi_handle, handle_closer>;

// Opens path with its index; on failure prints "path: <module's text>" and returns null.
avi_file open_or_report(const std::string &path);

// Prints "name: <module's text>" on one line and returns exit_failed.
int report_failure(const std::string &name);

// Prints "mirvo-avi: message" and the command's usage line; returns exit_usage.
int usage_error(const command &cmd, const std::string &message);

}  // namespace mirvo_avi

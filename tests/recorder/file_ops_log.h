// The file operations a program made on one file, as file_ops_shim.c logs them: how to start
// mirvo with the shim preloaded (behind the emulator too), reading the log back, and the file
// the operations leave behind.
#pragma once

#include "test_support.h"

#include <map>
#include <string>
#include <vector>

namespace mirvo_test {

struct file_op {
    int kind = 0;         // FILE_OP_... of file_ops_format.h
    uint64_t offset = 0;  // a write's offset, a truncation's length, an open's flags
    bytes data;           // a write's bytes
};

// The environment (for recorder_process) that has mirvo log its operations on `watched`, the
// path exactly as mirvo opens it, into `log`. The shim is preloaded into mirvo itself, not
// into the emulator that runs it in a cross build.
std::map<std::string, std::string> file_ops_environment(const std::string &watched,
                                                        const std::string &log);

// The operations of a log in their order; fails the calling test on a malformed log.
std::vector<file_op> read_file_ops(const std::string &log);

// Applies one operation to the bytes of a file as the page cache holds them.
void apply(const file_op &op, bytes &file);

// A few words on an operation, for reports: write of 4420 bytes ("00db"...) at 183200.
std::string describe(const file_op &op);

}  // namespace mirvo_test

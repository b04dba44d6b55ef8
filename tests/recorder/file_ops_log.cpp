// The file operations a program made on one file (see file_ops_log.h).
#include "file_ops_log.h"

#include "file_ops_format.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>

namespace mirvo_test {

namespace {

uint64_t u64_at(const bytes &b, size_t at)
{
    return uint64_t{u32_at(b, at)} | uint64_t{u32_at(b, at + 4)} << 32;
}

}  // namespace

std::map<std::string, std::string> file_ops_environment(const std::string &watched,
                                                        const std::string &log)
{
    std::map<std::string, std::string> env{{FILE_OPS_WATCH_VARIABLE, watched},
                                           {FILE_OPS_LOG_VARIABLE, log}};
    // qemu-user hands its own environment to the program; QEMU_SET_ENV adds to the program's
    // only, so that the host's loader never sees a library built for the target.
    if (std::string(MIRVO_EMULATOR).empty())
        env["LD_PRELOAD"] = FILE_OPS_SHIM;
    else
        env["QEMU_SET_ENV"] = "LD_PRELOAD=" FILE_OPS_SHIM;
    // A sanitized mirvo wants its runtime first among the libraries, before the shim.
    const char *asan = getenv("ASAN_OPTIONS");
    env["ASAN_OPTIONS"] = std::string(asan && *asan ? std::string(asan) + ":" : "") +
                          "verify_asan_link_order=0";
    return env;
}

std::vector<file_op> read_file_ops(const std::string &log)
{
    bytes b = read_file(log);
    std::vector<file_op> ops;
    for (size_t at = 0; at < b.size();) {
        if (b.size() - at < FILE_OP_HEAD_BYTES) {
            ADD_FAILURE() << log << ": a record cut short at " << at;
            break;
        }
        file_op op;
        op.kind = static_cast<int>(u32_at(b, at));
        op.offset = u64_at(b, at + 8);
        uint64_t length = u64_at(b, at + 16);
        at += FILE_OP_HEAD_BYTES;
        if (op.kind < FILE_OP_OPEN || op.kind > FILE_OP_CLOSE || length > b.size() - at) {
            ADD_FAILURE() << log << ": a malformed record before " << at;
            break;
        }
        op.data.assign(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + length));
        at += length;
        ops.push_back(std::move(op));
    }
    return ops;
}

void apply(const file_op &op, bytes &file)
{
    if (op.kind == FILE_OP_OPEN && (op.offset & O_TRUNC) != 0)
        file.clear();
    if (op.kind == FILE_OP_TRUNCATE)
        file.resize(op.offset);
    if (op.kind == FILE_OP_WRITE) {
        if (file.size() < op.offset + op.data.size())
            file.resize(op.offset + op.data.size());
        std::copy(op.data.begin(), op.data.end(), file.begin() + static_cast<long>(op.offset));
    }
}

std::string describe(const file_op &op)
{
    switch (op.kind) {
    case FILE_OP_OPEN:
        return (op.offset & O_TRUNC) != 0 ? "open, emptied" : "open";
    case FILE_OP_WRITE: {
        std::string what = op.data.size() >= 8 ? text_at(op.data, 0) : std::string("?");
        for (char &c : what)
            c = c >= 0x20 && c < 0x7f ? c : '.';
        return "write of " + std::to_string(op.data.size()) + " bytes (\"" + what + "\"...) at " +
               std::to_string(op.offset);
    }
    case FILE_OP_TRUNCATE:
        return "truncation to " + std::to_string(op.offset);
    case FILE_OP_SYNC:
        return "sync of the file";
    case FILE_OP_DIR_SYNC:
        return "sync of its directory";
    default:
        return "close";
    }
}

}  // namespace mirvo_test

// What the subcommands of mirvo-avi share: the table of subcommands and their option
// parsing, opening an input file safely, reporting a failure on one line that names the
// file, and the exit statuses.
#pragma once

#include "avi/avi.h"
#include "chunk_reader.h"

#include <cstdint>
#include <functional>
#include <getopt.h>
#include <memory>
#include <optional>
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

// parse_options for "[--json] FILE...", as info and frames take it.
int parse_json_option(const command &cmd, int argc, char **argv, bool &as_json, operands &out);

// Valid UTF-8 as it stands; any other byte taken as the character of that number (as in
// Latin-1), so that names and codes that are not UTF-8 still make valid JSON.
std::string as_utf8(const std::string &text);

// Prints "mirvo-avi CMD: message" and the command's usage line; returns exit_usage.
int usage_error(const command &cmd, const std::string &message);

struct handle_closer {
    void operator()(avi_handle *h) const { AVI_close_handle(h); }
};
using avi_file = std::unique_ptr<avi_handle, handle_closer>;

// The input file that the command reads (set by open_regular_file), for a failure that is
// caught far from where the file is known.
extern std::string input_being_read;

// The name that stands for standard input ("-"): read whole where it is not a file.
extern const std::string standard_input;

// Opens path for reading without ever blocking (O_NONBLOCK: a FIFO or a device does not
// hang the open) and refuses, on one line, what is not a regular file. Returns the
// descriptor (close-on-exec) and its size, or -1 after the report.
int open_regular_file(const std::string &path, uint64_t &size);

// An input file read with its index: the handle, the file's size, against which every
// length the index claims is checked before anything is allocated for it, and a reader of
// its chunks' bytes in large blocks (on the handle's descriptor).
struct input_file {
    std::string path;
    uint64_t size = 0;
    avi_file handle;
    int fd = -1;  // the handle's descriptor, for further readers of its chunks
    std::optional<chunk_reader> chunks;
};

// Opens path with open_regular_file and reads it with its index. Prints one line naming
// the file and the reason, and returns false, when that fails.
bool open_input(const std::string &path, input_file &in);

// Reads the file open on fd (its size in in.size; fd owned from then on) into in, as
// open_input does, holding back the module's messages. False on failure.
bool read_input_fd(input_file &in, int fd, std::string &held_back);

// Runs call with standard error going into a pipe and returns what was written there: the
// AVI module prints some of its refusals itself, and mirvo-avi reports every failure on
// one line of its own. errno is kept as the call left it.
std::string holding_back_messages(const std::function<void()> &call);

// Reads an open descriptor with AVI_open_input_fd (which owns fd from then on), holding
// back the module's own messages on standard error: a failure is reported by the caller,
// on one line, with module_reason(). Null on failure.
avi_handle *open_input_fd_quietly(int fd, std::string &held_back);

// Why the module's last operation failed, for "FILE: reason": reason_of avi_error and errno;
// what the module printed itself when it set no code; otherwise `fallback`. Callers set
// avi_error and errno to 0 before the operation.
std::string module_reason(const std::string &held_back, const std::string &fallback);

// The words for a failure of the AVI module with code (avi_error) and the errno it left
// (0: none), the same in every subcommand: "cannot be opened: No such file or directory".
std::string reason_of(int32_t code, int cause);

// Prints "name: reason" on standard error as one line (control characters in either are
// shown escaped) and returns exit_failed.
int report(const std::string &name, const std::string &reason);

// Whether video frame n is flagged a key frame in the index (the 0x10 bit of its flags,
// as players read it: other writers set further bits beside it).
bool is_key_frame(const avi_handle *h, int32_t n);

// One frame or chunk as the index places it, checked against the file before it is read.
struct extent {
    int64_t offset, length;
};
// The reason an index entry cannot be read ("video frame 3 claims 2147483647 bytes at
// offset 2056, past the end of the file (160000 bytes)"), or empty when it lies inside the
// file. what names the entry.
std::string outside_file(const std::string &what, extent e, uint64_t file_size);

// A buffer from malloc that grows to what a frame needs and reports a failure instead of
// throwing, so that an allocation the file cannot justify never ends the program.
class frame_buffer {
public:
    frame_buffer() = default;
    ~frame_buffer();
    frame_buffer(const frame_buffer &) = delete;
    frame_buffer &operator=(const frame_buffer &) = delete;
    bool reserve(size_t bytes);  // false when out of memory
    unsigned char *data() { return data_; }

private:
    unsigned char *data_ = nullptr;
    size_t capacity_ = 0;
};

// Reads the bytes of an index entry (`what` names it) whole into buffer after checking them
// against the file's size. Returns their length, or -1 with the reason in problem.
int64_t read_extent(input_file &in, const std::string &what, extent e, frame_buffer &buffer, std::string &problem);

// read_extent for video frame n.
int64_t read_frame(input_file &in, int32_t n, frame_buffer &buffer, std::string &problem);

}  // namespace mirvo_avi

// Opening what mirvo-avi reads: a regular file (never blocking on a FIFO or a device, and
// refusing what is not one) or standard input, and reading it with its index.
#pragma once

#include "avi/avi.h"
#include "chunk_reader.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace mirvo_avi {

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
// descriptor (close-on-exec) and its size, or -1 after the report. With write_refusal, opens
// for reading and writing where that is allowed, else for reading with *write_refusal the
// errno that refused writing (0 when none did).
int open_regular_file(const std::string &path, uint64_t &size, int *write_refusal = nullptr);

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
// open_input does, without reporting. False on failure, with the module's code set.
bool read_input_fd(input_file &in, int fd);

}  // namespace mirvo_avi

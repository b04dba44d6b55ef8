// A running mirvo for end-to-end tests: started on the stand-in device with its own bus
// socket in a temporary directory, its standard output and error captured to files, driven
// with mirvoctl over the real socket and ended with signals.
#pragma once

#include "bus_client.h"
#include "test_support.h"

#include <chrono>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace mirvo_test {

class recorder_process {
public:
    // Starts mirvo with the stand-in's settings in `env` (QEL_BUS is set to a socket inside
    // dir unless env names one) and waits until its bus socket exists. A `wrapper` command
    // (for example one that drops privileges) runs mirvo as its last argument.
    recorder_process(const temp_dir &dir, std::map<std::string, std::string> env = {},
                     const std::vector<std::string> &wrapper = {});
    ~recorder_process();  // SIGKILL if still running
    recorder_process(const recorder_process &) = delete;
    recorder_process &operator=(const recorder_process &) = delete;

    // mirvoctl with the given arguments, on this recorder's bus.
    command_result control(const std::string &arguments) const;

    // Waits until standard output holds `count` lines containing text; false on timeout.
    bool wait_for(const std::string &text, int count = 1,
                  std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
    // Waits until the recorder has closed its file `count` times: the "[avi_close]: " line
    // comes before the close, which syncs the file to the storage and may take a while.
    bool wait_closed(int count = 1, std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
    // The same as wait_for for standard error.
    bool wait_for_err(const std::string &text, int count = 1,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;

    // The record cycle in steps. A start request for `file` (mirvoctl's start options after
    // it), then the wait for the recording's first key frame: the `nth` "cur serial is" line
    // of this recorder.
    ::testing::AssertionResult start_recording(const std::string &file, const std::string &options = "",
                                               int nth = 1,
                                               std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
    // A stop request (mirvoctl's arguments), then the wait for the recorder's `nth` close.
    ::testing::AssertionResult stop_recording(int nth = 1, const std::string &arguments = "stop",
                                              std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
    // SIGINT, as at the end of every test, and the exit status.
    int interrupt();

    void signal(int number) const;
    // Waits for the exit and returns the exit status (128 + signal when killed, -1 on
    // timeout).
    int wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(30));

    std::string out() const;
    std::string err() const;
    std::vector<std::string> out_lines() const;
    std::vector<std::string> err_lines() const;
    pid_t pid() const { return pid_; }
    const std::string &bus() const { return bus_; }

private:
    std::string out_path_, err_path_, bus_;
    pid_t pid_ = -1;
    bool exited_ = false;
    int exit_status_ = -1;
};

// The serial of the first frame of the recorder's recording number `nth` (0-based), from its
// "cur serial is" line; -1 when there is none.
int32_t first_serial(const recorder_process &mirvo, int nth);

// Records into `file` until stopped with `stop_arguments`; returns the serial of the first
// frame recorded. `done` counts the recordings this recorder has finished before.
int32_t record(recorder_process &mirvo, const std::string &file, const std::string &start_options,
               const std::string &stop_arguments, int done,
               std::chrono::milliseconds length = std::chrono::milliseconds(700));

// One chunk of an AVI file as its "idx1" index lists it.
struct indexed_chunk {
    std::string id;
    uint32_t flags = 0;
    bytes data;
};

// How many of the chunks are video frames.
size_t video_chunks(const std::vector<indexed_chunk> &chunks);

// How many of them lie whole within the first `size` bytes of a recording made of them (its
// first chunk at 2048): what a file cut off at that size holds.
size_t video_within(const std::vector<indexed_chunk> &chunks, uint64_t size);

// The chunks of a finished file in index order, read by hand from the bytes (absolute
// offsets, as our writer stores them). Fails the calling test on a malformed file.
std::vector<indexed_chunk> indexed_chunks(const std::string &path);

// What `mirvo-avi repair` made of a recording cut off (run as on a machine restarted since it
// was written, when `restarted`): its exit status, its first line, and the chunks of the file
// it finished; none when it left the file as it was (a recording that holds no frame, which
// repair calls a success, or a failure).
struct repair_outcome {
    int status = -1;
    std::string said;
    std::vector<indexed_chunk> chunks;
};
repair_outcome repair_cut_off(const std::string &path, bool restarted);

// The chunks of a file in index order as our reader finds them (the index loaded, or
// rebuilt when the file has none), with how it found the index (AVI_INDEX_...). Fails the
// calling test when the reader cannot open the file or read a chunk.
std::vector<indexed_chunk> reader_chunks(const std::string &path, int32_t *index_origin);

// The lines of a text, without their line ends.
std::vector<std::string> lines_of(const std::string &text);

}  // namespace mirvo_test

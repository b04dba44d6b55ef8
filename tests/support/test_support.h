// Helpers shared by mirvo's tests: temporary directories, whole-file reads, little-endian
// field access on byte buffers, and running a command with its output captured.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mirvo_test {

using bytes = std::vector<unsigned char>;

// A fresh directory under $TMPDIR (or /tmp), removed with its contents at the end of scope.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

bytes read_file(const std::string &path);
std::string read_text(const std::string &path);  // empty when there is no such file
void write_file(const std::string &path, const bytes &content);
uint64_t file_size(const std::string &path);

uint32_t u32_at(const bytes &b, size_t at);
uint16_t u16_at(const bytes &b, size_t at);
std::string text_at(const bytes &b, size_t at, size_t n = 4);
std::string le32(uint32_t value);  // the 4 bytes of value, lowest first
std::string le16(uint16_t value);

struct command_result {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};
// The number in an environment variable, or `otherwise` when it is unset or empty.
uint64_t number_from_environment(const char *name, uint64_t otherwise);

// Runs a shell command line; standard output and standard error are captured apart.
command_result run(const std::string &command_line);
// Quotes a string for the shell.
std::string shell_quoted(const std::string &text);

// Moves the test process into a private mount namespace; an empty string when that worked,
// else why not (not root, no namespaces).
std::string enter_private_mounts();

// command_line as it runs on a machine restarted since the files it reads were written: in a
// mount namespace of its own, where the kernel's boot id reads as another one. It needs root
// and unshare: why_no_restart() says what is missing ("" when nothing is).
std::string after_restart(const std::string &command_line);
std::string why_no_restart();
// The file of that other boot's id, for a module told to read it in place of the kernel's.
const std::string &other_boot_id();

// The same for this process and all it starts from here on: it moves to a mount namespace of
// its own (once), where restarted(true) makes the boot id read as another one and
// restarted(false) as the real one again. False when that cannot be done.
bool restarted(bool other_boot);

// An H.264 Annex-B stream cut before each access unit delimiter (NAL type 9); a unit is a
// key frame when it holds an IDR slice (NAL type 5). For test clips that carry delimiters.
struct access_unit {
    bytes data;
    bool key = false;
};
std::vector<access_unit> split_at_delimiters(const bytes &stream);

// How to start one of our executables from build/bin: its path, behind the emulator that
// runs target binaries when the build is a cross build (for example qemu-arm -L sysroot).
std::vector<std::string> program_argv(const std::string &name);
// The same as one shell word list, for run().
std::string program(const std::string &name);

std::string source_path(const std::string &relative);  // inside the source tree
std::string binary_path(const std::string &relative);  // inside the build tree

}  // namespace mirvo_test

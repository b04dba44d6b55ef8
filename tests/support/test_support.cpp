// Helpers shared by mirvo's tests (see test_support.h).
#include "test_support.h"

#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace mirvo_test {

temp_dir::temp_dir()
{
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/mirvo-test-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

temp_dir::~temp_dir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

bytes read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string read_text(const std::string &path)
{
    bytes b = read_file(path);
    return std::string(b.begin(), b.end());
}

uint64_t number_from_environment(const char *name, uint64_t otherwise)
{
    const char *text = getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 10) : otherwise;
}

void write_file(const std::string &path, const bytes &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(content.data()),
              static_cast<std::streamsize>(content.size()));
}

uint64_t file_size(const std::string &path)
{
    return std::filesystem::file_size(path);
}

uint32_t u32_at(const bytes &b, size_t at)
{
    if (at + 4 > b.size())
        throw std::out_of_range("u32_at past the end");
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
           uint32_t{b[at + 3]} << 24;
}

uint16_t u16_at(const bytes &b, size_t at)
{
    if (at + 2 > b.size())
        throw std::out_of_range("u16_at past the end");
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

std::string text_at(const bytes &b, size_t at, size_t n)
{
    if (at + n > b.size())
        throw std::out_of_range("text_at past the end");
    return std::string(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
}

std::string le32(uint32_t v)
{
    return {char(v & 0xff), char(v >> 8 & 0xff), char(v >> 16 & 0xff), char(v >> 24 & 0xff)};
}

std::string le16(uint16_t v)
{
    return {char(v & 0xff), char(v >> 8 & 0xff)};
}

std::string shell_quoted(const std::string &text)
{
    std::string q = "'";
    for (char c : text)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

namespace {
const char *const boot_id = "/proc/sys/kernel/random/boot_id";
}

std::string why_no_restart()
{
    if (geteuid() != 0)
        return "a mount namespace of its own needs root";
    if (run("unshare -m true").status != 0)
        return "unshare -m fails here";
    return access(boot_id, R_OK) == 0 ? "" : std::string(boot_id) + " cannot be read";
}

// The other boot's id, in a file of this process that goes with it.
const std::string &other_boot_id()
{
    static const struct other_boot {
        std::string path;
        other_boot()
        {
            char name[] = "/tmp/mirvo-other-boot-XXXXXX";
            int fd = mkstemp(name);
            const char id[] = "0badb007-0000-4000-8000-000000000000\n";
            if (fd >= 0 && write(fd, id, sizeof id - 1) == static_cast<ssize_t>(sizeof id - 1))
                path = name;
            if (fd >= 0)
                close(fd);
        }
        ~other_boot() { unlink(path.c_str()); }
    } other;
    return other.path;
}

std::string after_restart(const std::string &command_line)
{
    return "unshare -m sh -c " +
           shell_quoted("mount --bind " + other_boot_id() + " " + boot_id + " && exec " + command_line);
}

std::string enter_private_mounts()
{
    if (unshare(CLONE_NEWNS) != 0)
        return std::string("no private mount namespace: ") + strerror(errno);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("mounts cannot be made private: ") + strerror(errno);
    return "";
}

bool restarted(bool other_boot)
{
    static const bool own = enter_private_mounts().empty();
    static bool mounted = false;
    if (!own || other_boot == mounted)
        return own;
    mounted = other_boot ? mount(other_boot_id().c_str(), boot_id, nullptr, MS_BIND, nullptr) == 0
                         : umount2(boot_id, 0) != 0;
    return mounted == other_boot;
}

command_result run(const std::string &command_line)
{
    temp_dir scratch;
    std::string out = scratch.file("out"), err = scratch.file("err");
    std::string line = "( " + command_line + " ) >" + shell_quoted(out) + " 2>" + shell_quoted(err);
    int raw = system(line.c_str());
    command_result result;
    if (raw != -1)
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    bytes o = read_file(out), e = read_file(err);
    result.out.assign(o.begin(), o.end());
    result.err.assign(e.begin(), e.end());
    return result;
}

std::vector<access_unit> split_at_delimiters(const bytes &s)
{
    std::vector<access_unit> units;
    size_t unit_start = 0;
    for (size_t i = 0; i + 3 < s.size(); ++i) {
        if (s[i] != 0 || s[i + 1] != 0 || s[i + 2] != 1)
            continue;
        size_t start = i > 0 && s[i - 1] == 0 ? i - 1 : i;  // 3- or 4-byte start code
        int type = s[i + 3] & 0x1f;
        if (type == 9 || units.empty()) {
            if (!units.empty())
                units.back().data.assign(s.begin() + static_cast<long>(unit_start),
                                         s.begin() + static_cast<long>(start));
            units.push_back({});
            unit_start = start;
        }
        if (type == 5)
            units.back().key = true;
        i += 2;
    }
    if (!units.empty())
        units.back().data.assign(s.begin() + static_cast<long>(unit_start), s.end());
    return units;
}

std::vector<std::string> program_argv(const std::string &name)
{
    std::vector<std::string> argv;
    std::string emulator = MIRVO_EMULATOR;
    for (size_t at = 0; at < emulator.size();) {
        size_t end = emulator.find(' ', at);
        if (end == std::string::npos)
            end = emulator.size();
        if (end > at)
            argv.push_back(emulator.substr(at, end - at));
        at = end + 1;
    }
    argv.push_back(binary_path("bin/" + name));
    return argv;
}

std::string program(const std::string &name)
{
    std::string line;
    for (const std::string &word : program_argv(name))
        line += (line.empty() ? "" : " ") + shell_quoted(word);
    return line;
}

std::string source_path(const std::string &relative)
{
    return std::string(MIRVO_SOURCE_DIR) + "/" + relative;
}

std::string binary_path(const std::string &relative)
{
    return std::string(MIRVO_BINARY_DIR) + "/" + relative;
}

}  // namespace mirvo_test

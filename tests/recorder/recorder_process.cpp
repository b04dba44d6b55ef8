// A running mirvo for end-to-end tests (see recorder_process.h).
#include "recorder_process.h"

#include "avi/avi.h"
#include "indexed_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace mirvo_test {

namespace {

bool exists(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// Waits until `lines` gives `count` lines containing text; false on timeout.
template <typename lines_fn>
bool wait_for_lines(lines_fn lines, const std::string &text, int count,
                    std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int seen = 0;
        for (const std::string &line : lines())
            seen += line.find(text) != std::string::npos;
        if (seen >= count)
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

recorder_process::recorder_process(const temp_dir &dir, std::map<std::string, std::string> env,
                                   const std::vector<std::string> &wrapper)
    : out_path_(dir.file("mirvo.out")), err_path_(dir.file("mirvo.err"))
{
    if (!env.count("QEL_BUS"))
        env["QEL_BUS"] = dir.file("bus.sock");
    bus_ = env["QEL_BUS"];

    std::vector<std::string> environment;
    for (char **e = environ; *e; ++e) {
        std::string entry = *e;
        if (!env.count(entry.substr(0, entry.find('='))))
            environment.push_back(entry);
    }
    for (const auto &[name, value] : env)
        environment.push_back(name + "=" + value);

    std::vector<std::string> argv = wrapper;
    for (const std::string &word : program_argv("mirvo"))
        argv.push_back(word);
    std::vector<char *> argv_c, env_c;
    for (std::string &a : argv)
        argv_c.push_back(a.data());
    argv_c.push_back(nullptr);
    for (std::string &e : environment)
        env_c.push_back(e.data());
    env_c.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // The program may be an emulator named without its path: search PATH for it.
    int failed = posix_spawnp(&pid_, argv_c[0], &actions, nullptr, argv_c.data(), env_c.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed) {
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << strerror(failed);
        exited_ = true;
        return;
    }
    // The bus is up once its socket exists (or the process has already ended).
    for (int i = 0; i < 1000 && !exists(bus_); ++i) {
        if (wait_exit(std::chrono::milliseconds(0)) != -1)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

recorder_process::~recorder_process()
{
    if (!exited_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

command_result recorder_process::control(const std::string &arguments) const
{
    return run("QEL_BUS=" + shell_quoted(bus_) + " " + program("mirvoctl") + " " + arguments);
}

bool recorder_process::wait_for(const std::string &text, int count,
                                std::chrono::milliseconds timeout) const
{
    return wait_for_lines([this] { return out_lines(); }, text, count, timeout);
}

bool recorder_process::wait_closed(int count, std::chrono::milliseconds timeout) const
{
    if (!wait_for("[avi_close]: ", count, timeout))
        return false;
    // Closed once the process holds no descriptor of an AVI file any more.
    auto holds_a_recording = [this] {
        std::error_code error;
        std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid_) + "/fd", error);
        for (; !error && fds != std::filesystem::directory_iterator(); fds.increment(error)) {
            std::string target = std::filesystem::read_symlink(fds->path(), error).string();
            if (!error && target.find(".avi") != std::string::npos)
                return true;
        }
        return false;
    };
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (holds_a_recording()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool recorder_process::wait_for_err(const std::string &text, int count,
                                    std::chrono::milliseconds timeout) const
{
    return wait_for_lines([this] { return err_lines(); }, text, count, timeout);
}

::testing::AssertionResult recorder_process::start_recording(const std::string &file, const std::string &options,
                                                             int nth, std::chrono::milliseconds timeout) const
{
    command_result start = control("start " + shell_quoted(file) + (options.empty() ? "" : " " + options));
    if (start.status != 0)
        return ::testing::AssertionFailure() << "mirvoctl start: " << start.err;
    if (!wait_for("cur serial is", nth, timeout))
        return ::testing::AssertionFailure() << "no key frame recorded into " << file << ":\n" << out();
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult recorder_process::stop_recording(int nth, const std::string &arguments,
                                                            std::chrono::milliseconds timeout) const
{
    command_result stop = control(arguments);
    if (stop.status != 0)
        return ::testing::AssertionFailure() << "mirvoctl " << arguments << ": " << stop.err;
    if (!wait_closed(nth, timeout))
        return ::testing::AssertionFailure() << "no close number " << nth << ":\n" << out();
    return ::testing::AssertionSuccess();
}

int recorder_process::interrupt()
{
    signal(SIGINT);
    return wait_exit();
}

void recorder_process::signal(int number) const
{
    if (!exited_ && pid_ > 0)
        kill(pid_, number);
}

int recorder_process::wait_exit(std::chrono::milliseconds timeout)
{
    if (exited_ || pid_ <= 0)
        return exit_status_;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) != pid_) {
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    exited_ = true;
    exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return exit_status_;
}

std::string recorder_process::out() const
{
    return read_text(out_path_);
}

std::string recorder_process::err() const
{
    return read_text(err_path_);
}

std::vector<std::string> recorder_process::out_lines() const
{
    return lines_of(out());
}

std::vector<std::string> recorder_process::err_lines() const
{
    return lines_of(err());
}

int32_t first_serial(const recorder_process &mirvo, int nth)
{
    std::smatch m;
    std::regex serials(R"(cur serial is -?\d+, serial is (-?\d+))");
    int seen = 0;
    for (const std::string &line : mirvo.out_lines())
        if (std::regex_match(line, m, serials) && seen++ == nth)
            return std::stoi(m[1]);
    return -1;
}

int32_t record(recorder_process &mirvo, const std::string &file, const std::string &start_options,
               const std::string &stop_arguments, int done, std::chrono::milliseconds length)
{
    EXPECT_TRUE(mirvo.start_recording(file, start_options, done + 1));
    std::this_thread::sleep_for(length);
    EXPECT_TRUE(mirvo.stop_recording(done + 1, stop_arguments));
    return first_serial(mirvo, done);
}

std::vector<indexed_chunk> indexed_chunks(const std::string &path)
{
    indexed_file file = read_indexed_file(read_file(path));
    if (!file.problem.empty())
        ADD_FAILURE() << path << ": " << file.problem;
    std::vector<indexed_chunk> chunks;
    for (located_chunk &c : file.chunks)
        chunks.push_back({c.id, c.flags, std::move(c.data)});
    return chunks;
}

size_t video_chunks(const std::vector<indexed_chunk> &chunks)
{
    return static_cast<size_t>(std::count_if(chunks.begin(), chunks.end(),
                                             [](const indexed_chunk &c) { return c.id == "00db"; }));
}

repair_outcome repair_cut_off(const std::string &path, bool restarted)
{
    std::string repair = program("mirvo-avi") + " repair " + shell_quoted(path);
    command_result r = run(restarted ? after_restart(repair) : repair);
    repair_outcome outcome{r.status, lines_of(r.out + r.err + "\n").front(), {}};
    bytes b = read_file(path);
    if (r.status == 0 && b.size() >= 8 && u32_at(b, 4) + 8 == b.size())  // finished
        outcome.chunks = indexed_chunks(path);
    return outcome;
}

size_t video_within(const std::vector<indexed_chunk> &chunks, uint64_t size)
{
    uint64_t end = AVI_HEADER_BYTES;  // the first chunk's head
    size_t video = 0;
    for (const indexed_chunk &c : chunks) {
        end += 8 + ((c.data.size() + 1) & ~size_t{1});
        if (end > size)
            break;
        video += c.id == "00db";
    }
    return video;
}

std::vector<indexed_chunk> reader_chunks(const std::string &path, int32_t *index_origin)
{
    std::vector<indexed_chunk> chunks;
    avi_handle *h = AVI_open_input(path.c_str(), 1);
    if (!h) {
        ADD_FAILURE() << "our reader cannot open " << path << ": " << AVI_error_text();
        return chunks;
    }
    *index_origin = AVI_index_origin(h);
    bytes buffer(AVI_largest_chunk(h) + 1);
    for (int32_t i = 0;; ++i) {
        int32_t stream = AVI_index_entry_stream(h, i);
        if (stream < 0)
            break;
        int32_t key = 0, got = 0;
        if (stream == 0)
            got = AVI_read_video_frame(h, buffer.data(), static_cast<int32_t>(buffer.size()), &key);
        else
            got = AVI_next_audio_chunk(h, buffer.data());
        if (got < 0) {
            ADD_FAILURE() << path << ": entry " << i << " cannot be read: " << AVI_error_text();
            break;
        }
        chunks.push_back({stream == 0 ? "00db" : "01wb", key ? 0x10u : 0u,
                          bytes(buffer.begin(), buffer.begin() + got)});
    }
    AVI_close_handle(h);
    return chunks;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

}  // namespace mirvo_test

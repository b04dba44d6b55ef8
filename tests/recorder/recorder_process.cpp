// A running mirvo for end-to-end tests (see recorder_process.h).
#include "recorder_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace mirvo_test {

namespace {

std::string text_of(const std::string &path)
{
    bytes b = read_file(path);
    return std::string(b.begin(), b.end());
}

bool exists(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

}  // namespace

recorder_process::recorder_process(const temp_dir &dir, std::map<std::string, std::string> env)
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

    std::vector<std::string> argv = program_argv("mirvo");
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
    int failed = posix_spawn(&pid_, argv_c[0], &actions, nullptr, argv_c.data(), env_c.data());
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
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int seen = 0;
        for (const std::string &line : out_lines())
            seen += line.find(text) != std::string::npos;
        if (seen >= count)
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
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
    return text_of(out_path_);
}

std::string recorder_process::err() const
{
    return text_of(err_path_);
}

std::vector<std::string> recorder_process::out_lines() const
{
    std::vector<std::string> lines;
    std::istringstream in(out());
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<indexed_chunk> indexed_chunks(const std::string &path)
{
    bytes b = read_file(path);
    std::vector<indexed_chunk> chunks;
    if (b.size() < 2056 || text_at(b, 0) != "RIFF" || u32_at(b, 4) + 8 != b.size()) {
        ADD_FAILURE() << path << " is not a finished AVI file";
        return chunks;
    }
    size_t idx = u32_at(b, 2040) + 2044;  // the "movi" list ends where the index begins
    if (text_at(b, idx) != "idx1" || idx + 8 + u32_at(b, idx + 4) != b.size()) {
        ADD_FAILURE() << path << ": no index after the data";
        return chunks;
    }
    for (size_t at = idx + 8; at + 16 <= b.size(); at += 16) {
        uint32_t offset = u32_at(b, at + 8), size = u32_at(b, at + 12);
        if (text_at(b, offset) != text_at(b, at) || u32_at(b, offset + 4) != size) {
            ADD_FAILURE() << path << ": index entry at " << at << " does not match its chunk";
            return chunks;
        }
        chunks.push_back({text_at(b, at), u32_at(b, at + 4),
                          bytes(b.begin() + offset + 8, b.begin() + offset + 8 + size)});
    }
    return chunks;
}

}  // namespace mirvo_test

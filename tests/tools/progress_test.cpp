// mirvo-avi's progress line, seen on a real terminal (a pseudo-terminal): the file's name,
// a percentage and MB/s, rewritten with \r and wiped at the end, never a line of its own.
// Off a terminal nothing is shown: the every-file test finds standard error empty then.
#include "tool_fixture.h"

#include <cerrno>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace mirvo_test;

namespace {

// Runs a shell command line with standard input, output and error on a new terminal;
// returns its exit status and all that reached the terminal.
command_result run_on_terminal(const std::string &command_line)
{
    command_result result;
    int terminal = -1;
    pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child < 0)
        return result;
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", command_line.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    char piece[4096];
    for (;;) {
        ssize_t n = read(terminal, piece, sizeof piece);
        if (n > 0)
            result.out.append(piece, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;  // EIO once the child's side is closed
    }
    close(terminal);
    int status = 0;
    waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace

TEST(progress, a_terminal_sees_one_line_rewritten_with_the_percentage_and_the_rate)
{
    temp_dir dir;
    std::string rec = dir.file("rec.avi");
    std::string cut = dir.file("cut.avi");
    write_file(cut, record_clip(rec, {.frames = 100}).before_close);
    std::string f = shell_quoted(rec), mirvo_avi = program("mirvo-avi");
    struct run_with_progress {
        std::string file, command_line;
    };
    const run_with_progress table[] = {
        {rec, mirvo_avi + " extract " + f + " --video " + shell_quoted(dir.file("v.h264"))},
        {rec, mirvo_avi + " frames " + f + " > " + shell_quoted(dir.file("frames.txt"))},
        {cut, mirvo_avi + " info " + shell_quoted(cut) + " > " + shell_quoted(dir.file("info.txt"))},
        {cut, mirvo_avi + " repair " + shell_quoted(cut) + " > " + shell_quoted(dir.file("repair.txt"))},
    };
    for (const run_with_progress &t : table) {
        SCOPED_TRACE(t.command_line);
        command_result r = run_on_terminal(t.command_line);
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("\r" + t.file + ": 100.0%  "), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(" MB/s"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find('\n'), std::string::npos) << "a line of its own: " << r.out;
        EXPECT_EQ(r.out.back(), '\r') << "the line is wiped at the end";
    }
    // Results on the same terminal would break the line: frames then shows none.
    command_result listed = run_on_terminal(mirvo_avi + " frames " + f);
    ASSERT_EQ(listed.status, 0);
    EXPECT_EQ(listed.out.find("MB/s"), std::string::npos);
}

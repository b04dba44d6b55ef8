// mirvo-avi beside its peers on a finished hour (the test clip, 90 000 frames and 180 000
// audio chunks of 20 ms): `frames --json` and `extract` of both streams, timed side by side
// with `cat FILE` and with ffmpeg's stream copy of the same streams (and ffprobe's packet
// list, the peer of frames), each the best of a few runs from the page cache, with their
// system calls (strace -f -c, less those of a shell that runs nothing). Targets: extract
// faster than ffmpeg's copy, frames --json at most 3 x cat.
#include "clip_hour.h"
#include "strace_calls.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace bench;

constexpr int runs = 5;

// Each step runs as a script, so that timing and tracing see the same command.
std::string script_of(const std::string &dir, const std::string &command)
{
    std::string path = dir + "/step.sh";
    FILE *f = fopen(path.c_str(), "w");
    if (!f || fprintf(f, "%s\n", command.c_str()) < 0 || fclose(f) != 0)
        fail("writing a step");
    return "sh '" + path + "'";
}

double best_time(const std::string &script)
{
    double best = 1e9;
    for (int r = 0; r < runs; ++r) {
        auto start = clock_type::now();
        if (system(script.c_str()) != 0)
            return -1;
        best = std::min(best, seconds_since(start));
    }
    return best;
}

// System calls of the script, counted by strace; -1 without strace.
long system_calls(const std::string &script, const std::string &dir)
{
    return strace_calls(script, dir + "/strace.out");
}

void replace_all(std::string &text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

}  // namespace

int main()
{
    std::vector<access_unit> units = access_units(std::string(MIRVO_SOURCE_DIR) + "/tests/data/clip.h264");
    const char *tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/mirvo-bench-XXXXXX";
    if (units.empty() || !mkdtemp(dir.data()))
        return 1;
    std::string hour = dir + "/hour.avi";
    if (AVI_close_handle(write_hour(hour, units)) != 0)
        fail("closing the hour");
    struct stat st{};
    stat(hour.c_str(), &st);
    printf("finished hour: %.1f MB\n", static_cast<double>(st.st_size) / 1e6);
    system(("cat '" + hour + "' > /dev/null").c_str());

    struct step {
        const char *name, *command;
    };
    const step steps[] = {
        {"cat FILE", "cat {H} > /dev/null"},
        {"mirvo-avi frames --json", "{T} frames --json {H} > /dev/null"},
        {"ffprobe -show_packets", "ffprobe -v quiet -show_packets -of json {H} > /dev/null"},
        {"mirvo-avi extract", "{T} extract {H} --video {D}/v.h264 --audio {D}/a.wav"},
        {"ffmpeg -c copy", "ffmpeg -v quiet -nostdin -y -i {H} -map 0:v -c copy {D}/v.h264 -map 0:a -c copy {D}/a.wav"},
    };
    long shell_calls = system_calls(script_of(dir, "true"), dir);
    double cat = 0;
    for (const step &s : steps) {
        std::string command = s.command;
        replace_all(command, "{H}", "'" + hour + "'");
        replace_all(command, "{T}", "'" MIRVO_AVI_TOOL "'");
        replace_all(command, "{D}", "'" + dir + "'");
        std::string script = script_of(dir, command);
        double t = best_time(script);
        if (t < 0) {
            printf("  %-26s not available\n", s.name);
            continue;
        }
        if (cat == 0)
            cat = t;
        long calls = system_calls(script, dir);
        printf("  %-26s %7.3f s %6.2f x cat", s.name, t, t / cat);
        if (calls >= 0 && shell_calls >= 0)
            printf(" %9ld system calls", calls - shell_calls);
        printf("\n");
    }
    for (const char *f : {"/hour.avi", "/v.h264", "/a.wav", "/step.sh"})
        unlink((dir + f).c_str());
    rmdir(dir.c_str());
    return 0;
}

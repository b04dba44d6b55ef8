// The system calls a shell command makes, counted by strace (-f: its children too), for the
// benchmarks that set our programs beside cat, ffmpeg and ffprobe.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

// Runs command under strace with its summary in out (removed after) and returns the total
// number of calls; -1 without strace or when the command fails.
inline long strace_calls(const std::string &command, const std::string &out)
{
    std::string traced = "command -v strace > /dev/null && strace -f -c -o '" + out + "' " + command;
    if (system(traced.c_str()) != 0)
        return -1;
    FILE *f = fopen(out.c_str(), "r");
    long calls = -1;
    char line[512];
    while (f && fgets(line, sizeof line, f)) {
        double percent, seconds;
        long per_call, count;
        // "100.00    0.001234           2       567        12 total"
        if (strstr(line, " total") && sscanf(line, "%lf %lf %ld %ld", &percent, &seconds, &per_call, &count) == 4)
            calls = count;
    }
    if (f)
        fclose(f);
    unlink(out.c_str());
    return calls;
}

// mirvo-avi cut: a time range of a recording into a new one, without re-encoding: it starts
// at the last key frame at or before --from, so that it plays from its first frame, and ends
// before the first frame at or after --to; the audio chunks that follow each video frame
// copied go with it. Written through the AVI module, so the result is a file as mirvo writes it.
#include "chunk_copy.h"
#include "common/stream_units.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace mirvo_avi {
namespace {

enum { option_from = 0x101, option_to };

// Seconds from "90", "90.5", "1:30" or "1:02:03.5"; false for anything else.
bool parse_time(const char *text, double &seconds)
{
    seconds = 0;
    const char *at = text;
    for (int field = 0; field < 3; ++field) {
        char *end = nullptr;
        double value = strtod(at, &end);
        if (end == at || !std::isfinite(value) || value < 0 || *at == '-' || *at == '+' || *at == ' ')
            return false;
        seconds = seconds * 60 + value;
        if (*end == '\0')
            return true;
        if (*end != ':' || std::floor(value) != value)
            return false;
        at = end + 1;
    }
    return false;
}

std::string seconds_text(double seconds)
{
    char text[32];
    snprintf(text, sizeof text, "%.3f s", seconds);
    return text;
}

// Where video frame `frame` stands among the entries; their end when there is none. Frame 0
// stands for the start, so that audio written before it goes along.
size_t entry_of_frame(const source_file &s, int32_t frame)
{
    for (size_t i = 0; frame > 0 && i < s.entries.size(); ++i)
        if (s.entries[i].stream == 0 && s.entries[i].number == frame)
            return i;
    return frame > 0 ? s.entries.size() : 0;
}

// What a cut keeps: the video frames [first, past) (first is -1 when no key frame comes at or
// before the start asked for), and the entries [begin, end) that hold them and the audio that
// goes with them, audio_chunks of which are audio.
struct cut_range {
    int32_t first = -1, past = 0;
    size_t begin = 0, end = 0;
    int32_t audio_chunks = 0;
};

// The part of source from the last key frame at or before `from` seconds to the frames before
// the first at or after `to`, at fps frames a second (above 0).
cut_range choose_range(const source_file &source, double fps, double from, double to)
{
    cut_range kept;
    for (const entry_line &e : source.entries) {
        if (e.stream != 0)
            continue;
        double t = frame_time(e.number, fps);
        if (e.key && t <= from + 1e-9)
            kept.first = e.number;
        if (t < to - 1e-9)
            kept.past = e.number + 1;
    }
    if (kept.first < 0)
        return kept;
    kept.begin = entry_of_frame(source, kept.first);
    kept.end = entry_of_frame(source, kept.past);
    for (size_t i = kept.begin; i < kept.end; ++i)
        kept.audio_chunks += source.entries[i].stream != 0;
    return kept;
}

// Copies what the cut keeps into a new recording at path and says what it holds.
int write_cut(source_file &source, const cut_range &kept, double fps, const std::string &path)
{
    copy_writer out(path);
    if (!out.create(source.shape))
        return exit_failed;
    for (size_t i = kept.begin; i < kept.end; ++i) {
        if (!out.copy(source, source.entries[i]))
            return exit_failed;
    }
    if (!out.finish())
        return exit_failed;
    printf("%s: video frames %d to %d (%.3f s to %.3f s), %d audio chunks\n", path.c_str(), kept.first,
           kept.past - 1, frame_time(kept.first, fps), frame_time(kept.past, fps), kept.audio_chunks);
    return exit_ok;
}

int run(int argc, char **argv)
{
    static const option own[] = {{"from", required_argument, nullptr, option_from},
                                 {"to", required_argument, nullptr, option_to},
                                 {nullptr, 0, nullptr, 0}};
    double from = 0, to = INFINITY;
    auto take = [&](int code, const char *value, std::string &problem) {
        if (parse_time(value, code == option_from ? from : to))
            return true;
        problem = std::string(code == option_from ? "--from" : "--to") + " takes seconds or [H:]M:S, not '" + value + "'";
        return false;
    };
    operands given;
    int end = parse_options(cut_command, argc, argv, own, take, given);
    if (end >= 0)
        return end;
    if (given.files.size() != 2)
        return usage_error(cut_command, "give the file to cut and the output");
    if (from >= to)
        return usage_error(cut_command, "--from must come before --to");

    source_file source;
    if (!open_source(given.files[0], source))
        return exit_failed;
    const std::string &name = source.in.path;
    const double fps = source.shape.fps;
    if (!(fps > 0))
        return report(name, "has no frame rate to count time with");
    cut_range kept = choose_range(source, fps, from, to);
    const double length = frame_time(AVI_frame_count(source.in.handle.get()), fps);
    if (from >= length)
        return report(name, "its video ends at " + seconds_text(length) + ", before --from " + seconds_text(from));
    if (kept.first < 0)
        return report(name, "has no key frame at or before " + seconds_text(from) + " to start at");
    return write_cut(source, kept, fps, given.files[1]);
}

}  // namespace

const command cut_command = {
    "cut", "cut FILE OUT [--from T] [--to T]",
    "the part of a recording from the last key frame at or before --from (default: the start)\n"
    "      up to --to (default: the end) into OUT, without re-encoding; T in seconds or [H:]M:S.\n"
    "      FILE must be finished; OUT must not exist",
    run, command::operands_of_its_own};

}  // namespace mirvo_avi

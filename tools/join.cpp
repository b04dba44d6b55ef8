// mirvo-avi join: one recording from parts that continue each other, as mirvo leaves them
// when a recording is stopped at a key frame and the next one continues from there: the last
// video frame of a part is the first of the next, byte for byte, and is written once. The
// chunks are copied without re-encoding, through the AVI module, so the result is a file as
// mirvo writes it.
#include "chunk_copy.h"
#include "common/stream_units.h"

#include <cstdio>

namespace mirvo_avi {
namespace {

// The entry numbers of a part's first and last video frames, or -1 without video.
long first_video(const source_file &s)
{
    for (size_t i = 0; i < s.entries.size(); ++i)
        if (s.entries[i].stream == 0)
            return static_cast<long>(i);
    return -1;
}

long last_video(const source_file &s)
{
    for (size_t i = s.entries.size(); i-- > 0;)
        if (s.entries[i].stream == 0)
            return static_cast<long>(i);
    return -1;
}

// Whether part k continues part k - 1: the same streams, and the shared frame.
bool continues(std::vector<source_file> &parts, size_t k)
{
    source_file &before = parts[k - 1], &part = parts[k];
    const std::string &name = part.in.path;
    std::string difference = shape_difference(before.shape, part.shape);
    if (!difference.empty())
        return report(name, "cannot follow " + before.in.path + ": " + difference), false;
    long last = last_video(before), first = first_video(part);
    if (last < 0 || first < 0)
        return report(last < 0 ? before.in.path : name, "has no video frame to join at"), false;
    std::string problem;
    if (same_bytes(before, before.entries[static_cast<size_t>(last)], part, part.entries[static_cast<size_t>(first)],
                   problem))
        return true;
    return report(name, problem.empty() ? "does not continue " + before.in.path +
                                              ": its first video frame is not the last one of that part"
                                        : problem),
           false;
}

int run(int argc, char **argv)
{
    operands given;
    int end = parse_options(join_command, argc, argv, given);
    if (end >= 0)
        return end;
    if (given.files.size() < 3)
        return usage_error(join_command, "give the output and at least two parts");
    std::vector<source_file> parts(given.files.size() - 1);
    for (size_t k = 0; k < parts.size(); ++k) {
        if (!open_source(given.files[k + 1], parts[k]) || (k > 0 && !continues(parts, k)))
            return exit_failed;
    }

    copy_writer out(given.files[0]);
    if (!out.create(parts[0].shape))
        return exit_failed;
    int32_t video = 0, audio = 0;
    for (size_t k = 0; k < parts.size(); ++k) {
        long shared = k > 0 ? first_video(parts[k]) : -1;  // written already, as the last of the part before
        for (size_t i = 0; i < parts[k].entries.size(); ++i) {
            if (static_cast<long>(i) == shared)
                continue;
            if (!out.copy(parts[k], parts[k].entries[i]))
                return exit_failed;
            (parts[k].entries[i].stream == 0 ? video : audio) += 1;
        }
    }
    if (!out.finish())
        return exit_failed;
    printf("%s: joined %zu parts: %d video frames, %d audio chunks, %.2f s\n", given.files[0].c_str(), parts.size(),
           video, audio, frame_time(video, parts[0].shape.fps));
    return exit_ok;
}

}  // namespace

const command join_command = {
    "join", "join OUT PART PART...",
    "one recording from parts that continue each other (stopped at a key frame and continued\n"
    "      from it: the last video frame of a part is the first of the next, written once),\n"
    "      without re-encoding. Parts must be finished, with the same streams; OUT must not exist",
    run, command::operands_of_its_own};

}  // namespace mirvo_avi

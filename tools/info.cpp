// mirvo-avi info: what a file holds (size, bit rates, video stream with its H.264
// parameters, key frame spacing and repeated frames, audio tracks with their durations),
// how its index was found, its largest chunk, and whether it was finalised; as text or as
// JSON. A recording that was cut off before its close is described too (exit status 0),
// with the frames that mirvo-avi repair would recover.
#include "file_facts.h"
#include "inputs.h"
#include "progress.h"
#include "common/stream_units.h"
#include "tool_common.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <unistd.h>

namespace mirvo_avi {
namespace {

using json = nlohmann::ordered_json;

const char *index_origin_name(int32_t origin)
{
    switch (origin) {
    case AVI_INDEX_ABSOLUTE: return "absolute";
    case AVI_INDEX_RELATIVE: return "relative to movi";
    case AVI_INDEX_REBUILT: return "rebuilt";
    default: return "none";
    }
}


// The version of the JSON that info prints: raised when a key changes its meaning or goes.
constexpr int json_version = 1;

// Seconds rounded to the millisecond, or null when not known.
json seconds(double value)
{
    return std::isfinite(value) ? json(std::round(value * 1000) / 1000) : json(nullptr);
}

json bit_rate(double value)
{
    return value >= 0 && std::isfinite(value) ? json(std::llround(value)) : json(nullptr);
}

// The frame rate as the fraction the stream header holds ("25/1", "30000/1001"): the first
// continued-fraction convergent that gives the rate back; null without a rate.
json fps_fraction(double fps)
{
    if (!(fps > 0) || !std::isfinite(fps) || fps > 1e9)
        return nullptr;
    long long p0 = 0, q0 = 1, p1 = 1, q1 = 0;
    double x = fps;
    for (int step = 0; step < 32; ++step) {
        double whole = std::floor(x);
        auto a = static_cast<long long>(whole);
        long long p = a * p1 + p0, q = a * q1 + q0;
        if (q > 1000000)
            break;
        p0 = p1, q0 = q1, p1 = p, q1 = q;
        if (std::fabs(static_cast<double>(p) / static_cast<double>(q) - fps) <= 1e-9 * fps || x - whole < 1e-12)
            break;
        x = 1 / (x - whole);
    }
    return std::to_string(p1) + "/" + std::to_string(q1);
}

// What a player may get wrong: the header's picture size against the stream's own, and an
// audio track whose length differs from the video's by more than a frame.
std::vector<std::string> warnings_of(const file_facts &f)
{
    std::vector<std::string> warnings;
    const video_facts &v = f.video;
    if (v.has_parameters && (static_cast<uint32_t>(v.width) != v.parameters.width() ||
                             static_cast<uint32_t>(v.height) != v.parameters.height()))
        warnings.push_back("the header says " + std::to_string(v.width) + "x" + std::to_string(v.height) +
                           " but the H.264 stream is " + std::to_string(v.parameters.width()) + "x" +
                           std::to_string(v.parameters.height()));
    for (const track_facts &a : f.audio) {
        double gap = a.duration - v.duration;
        if (a.duration >= 0 && v.fps > 0 && std::fabs(gap) > frame_time(1, v.fps) + 1e-9) {
            char text[160];
            snprintf(text, sizeof text, "audio track %d is %.3f s %s than the video, more than a frame", a.track,
                     std::fabs(gap), gap > 0 ? "longer" : "shorter");
            warnings.emplace_back(text);
        }
    }
    return warnings;
}

json parameters_json(const video_facts &v)
{
    if (!v.has_parameters)
        return nullptr;
    const sequence_parameters &p = v.parameters;
    return {{"profile", profile_name(p)},
            {"profile_idc", p.profile_idc},
            {"level", level_name(p)},
            {"level_idc", p.level_idc},
            {"chroma_format", chroma_format_name(p)},
            {"bit_depth", p.bit_depth_luma},
            {"frame_mbs_only", p.frame_mbs_only},
            {"coded_width", p.coded_width},
            {"coded_height", p.coded_height},
            {"width", p.width()},
            {"height", p.height()}};
}

// "finalised": true for a file as a close leaves it; false for a recording cut off before
// its close, with the video frames that a repair keeps, the newest checkpoint found (0: none)
// and the one that verifies; null when neither can be said (a file of another writer that
// does not end with an index after its data). The counts are null where there is no cut.
void add_state(json &d, const avi_recovery *found)
{
    bool cut_off = found && found->state == AVI_FILE_CUT_OFF;
    d["finalised"] = cut_off ? json(false) : found && found->state == AVI_FILE_FINISHED ? json(true) : json(nullptr);
    d["recoverable_frames"] = cut_off ? json(found->video_frames) : json(nullptr);
    d["checkpoints"] = cut_off ? json(found->checkpoints) : json(nullptr);
    d["verified_checkpoint"] = cut_off && found->checkpoint_used > 0 ? json(found->checkpoint_used) : json(nullptr);
}

// Every key in every state: null where it does not apply (no streams could be read: a
// recording cut off before its first frame; no cut-off state: a finished file).
json describe(const file_facts *facts, const std::string &path, uint64_t size, const avi_recovery *found)
{
    json d = {{"version", json_version}, {"file", as_utf8(path)}, {"size", size}, {"duration", nullptr},
              {"bit_rate", nullptr}, {"video", nullptr}, {"audio", json::array()}, {"index", nullptr},
              {"largest_chunk", nullptr}};
    if (facts) {
        const file_facts &f = *facts;
        const video_facts &v = f.video;
        json key_interval = nullptr;
        if (v.key_interval_max > 0)
            key_interval = {{"min", v.key_interval_min}, {"max", v.key_interval_max}};
        for (const track_facts &a : f.audio) {
            d["audio"].push_back({{"track", a.track},
                                  {"format", a.format},
                                  {"channels", a.channels},
                                  {"rate", a.rate},
                                  {"bits", a.bits},
                                  {"bytes", a.bytes},
                                  {"chunks", a.chunks},
                                  {"duration", a.duration >= 0 ? seconds(a.duration) : json(nullptr)},
                                  {"duration_minus_video", a.duration >= 0 ? seconds(a.duration - v.duration) : json(nullptr)}});
        }
        d["duration"] = seconds(f.duration);
        d["bit_rate"] = bit_rate(f.bit_rate);
        d["video"] = {{"codec", as_utf8(v.codec)},
                      {"width", v.width},
                      {"height", v.height},
                      {"fps", v.fps > 0 ? json(std::round(v.fps * 1000) / 1000) : json(nullptr)},
                      {"fps_fraction", fps_fraction(v.fps)},
                      {"frames", v.frames},
                      {"duration", seconds(v.duration)},
                      {"key_frames", v.key_frames},
                      {"key_frame_interval", key_interval},
                      {"filled_frames", v.filled_frames},
                      {"repeated_frames", v.repeated_frames},
                      {"camera_fps", v.camera_fps > 0 ? json(std::round(v.camera_fps * 1000) / 1000) : json(nullptr)},
                      {"bytes", v.bytes},
                      {"bit_rate", bit_rate(v.bit_rate)},
                      {"h264", parameters_json(v)}};
        d["index"] = index_origin_name(f.index_origin);
        d["largest_chunk"] = f.largest_chunk;
    }
    add_state(d, found);
    json warnings = json::array();
    if (facts)
        for (const std::string &w : warnings_of(*facts))
            warnings.push_back(as_utf8(w));
    d["warnings"] = warnings;
    return d;
}

void print_key_frames(const video_facts &v)
{
    if (!v.key_flags_known) {
        printf("key frames:    spacing not known: the index was rebuilt, and flags none\n");
        return;
    }
    if (v.key_interval_max == 0) {
        printf("key frames:    fewer than two, no interval\n");
        return;
    }
    printf("key frames:    every %d", v.key_interval_min);
    if (v.key_interval_max != v.key_interval_min)
        printf(" to %d", v.key_interval_max);
    printf(" frames");
    if (v.fps > 0) {
        printf(" (%.3f", frame_time(v.key_interval_min, v.fps));
        if (v.key_interval_max != v.key_interval_min)
            printf(" to %.3f", frame_time(v.key_interval_max, v.fps));
        printf(" s)");
    }
    printf("\n");
}

void print_parameters(const video_facts &v)
{
    if (!v.has_parameters) {
        printf("h264:          no sequence parameter set in the first %d frames\n", parameter_search_frames);
        return;
    }
    const sequence_parameters &p = v.parameters;
    printf("h264:          %s profile, level %s, %s, %d bits, coded %ux%u, shown %ux%u%s\n",
           profile_name(p).c_str(), level_name(p).c_str(), chroma_format_name(p), p.bit_depth_luma,
           p.coded_width, p.coded_height, p.width(), p.height(), p.frame_mbs_only ? "" : ", fields");
}

void print_kbits(const char *what, double bits_per_second)
{
    if (bits_per_second >= 0)
        printf("%s%.1f kbit/s", what, bits_per_second / 1000);
    else
        printf("%sunknown", what);
}

void print_text(const file_facts &f, const std::string &path, bool described, const avi_recovery *found)
{
    const video_facts &v = f.video;
    printf("file:          %s\n", path.c_str());
    printf("size:          %llu bytes\n", static_cast<unsigned long long>(f.size));
    if (found && found->state == AVI_FILE_CUT_OFF) {
        if (found->video_frames > 0)
            printf("not finalised: %d frames recoverable, run mirvo-avi repair\n", found->video_frames);
        else
            printf("%s\n", nothing_to_finish(*found).c_str());
        printf("checkpoints:   %s\n", checkpoints_found(*found).c_str());
    }
    else if (found && found->state == AVI_FILE_OTHER)
        printf("finalised:     unknown: no index that a close leaves, and a header mirvo does not write\n");
    if (!described)
        return;
    printf("video:         %s, %dx%d, %.3f fps, %d frames, %.3f s, %d key frames\n", v.codec.c_str(),
           v.width, v.height, v.fps, v.frames, v.duration, v.key_frames);
    if (v.h264)
        print_parameters(v);
    print_key_frames(v);
    printf("filled:        %d frames (the last picture held: the camera gave %.3f fps)\n",
           v.filled_frames, v.camera_fps);
    printf("repeated:      %d frames\n", v.repeated_frames);
    print_kbits("bit rate:      ", f.bit_rate);
    print_kbits(" overall, ", v.bit_rate);
    printf(" video\n");
    for (const track_facts &a : f.audio) {
        printf("audio track %d: format %d%s, %d channel%s, %d Hz, %d bits, %d bytes in %d chunks", a.track,
               a.format, a.format == 1 ? " (PCM)" : "", a.channels, a.channels == 1 ? "" : "s", a.rate,
               a.bits, a.bytes, a.chunks);
        double gap = a.duration - v.duration;
        if (a.duration < 0)
            printf(", duration unknown\n");
        else if (std::fabs(gap) < 0.0005)
            printf(", %.3f s, as long as the video\n", a.duration);
        else
            printf(", %.3f s, %.3f s %s than the video\n", a.duration, std::fabs(gap), gap > 0 ? "longer" : "shorter");
    }
    printf("index:         %s\n", index_origin_name(f.index_origin));
    printf("largest chunk: %u bytes\n", f.largest_chunk);
    for (const std::string &w : warnings_of(f))
        printf("warning:       %s\n", w.c_str());
}

// Describes one file: as text, or as a JSON object into `described`.
int describe_file(const std::string &path, bool as_json, json &described)
{
    input_file in;
    in.path = path;
    int fd = open_regular_file(path, in.size);
    if (fd < 0)
        return exit_failed;
    // One descriptor for both looks: what the file is (a scan of a cut-off recording), then
    // its streams and index (a second scan when the index is rebuilt).
    progress_meter meter(path);
    AVI_set_progress(progress_meter::module_callback, &meter);
    avi_recovery found{};
    clear_module_error();
    bool examined = AVI_examine_fd(fd, &found) == 0;
    bool cut_off = examined && found.state == AVI_FILE_CUT_OFF;
    std::string failure;
    if (lseek(fd, 0, SEEK_SET) == 0) {
        if (!read_input_fd(in, fd))
            failure = module_reason("cannot be read as an AVI file");
    } else {
        failure = std::string("cannot go back to its start: ") + strerror(errno);
        close(fd);
    }
    AVI_set_progress(nullptr, nullptr);
    meter.finish();
    if (!in.handle && !cut_off)  // a recording cut off before its first frame has nothing to describe
        return report(path, failure);

    file_facts facts;
    facts.size = in.size;
    if (in.handle)
        facts = gather_facts(in);
    if (cut_off && facts.index_origin == AVI_INDEX_REBUILT)
        facts.video.key_frames = found.key_frames;  // a rebuilt index flags none; the scan found them
    if (as_json) {
        described = describe(in.handle ? &facts : nullptr, path, in.size, examined ? &found : nullptr);
    } else {
        print_text(facts, path, in.handle != nullptr, examined ? &found : nullptr);
    }
    return exit_ok;
}

int run(int argc, char **argv)
{
    bool as_json = false;
    operands given;
    int end = parse_json_option(info_command, argc, argv, as_json, given);
    if (end >= 0)
        return end;
    // Several files: text blocks apart by a blank line, or one JSON array of their objects.
    bool several = names_several(given.files);
    json all = json::array();
    int status = for_each_input(given.files, given.recursive, [&](const std::string &path, size_t nth, size_t) {
        if (several && !as_json && nth > 0)
            printf("\n");
        json described;
        int result = describe_file(path, as_json, described);
        if (result == exit_ok && as_json && several)
            all.push_back(std::move(described));
        else if (result == exit_ok && as_json)
            printf("%s\n", described.dump(2).c_str());
        fflush(stdout);
        return result;
    });
    if (as_json && several)
        printf("%s\n", all.dump(2).c_str());
    return status;
}

}  // namespace

const command info_command = {
    "info", "info [--json] [-r] FILE|FOLDER...",
    "size, bit rates, the video stream (frame rate, duration, key frames and their spacing,\n"
    "      filled and repeated frames, H.264 profile, level and coded size), audio tracks and their\n"
    "      durations, how the index was found, whether the file was finalised (a cut-off\n"
    "      recording: the frames a repair recovers); --json prints it as JSON (bytes of names\n"
    "      that are not UTF-8 are taken as Latin-1). A folder stands for its *.avi files (-r: and\n"
    "      those of its subfolders); several files give blocks apart by a blank line, or a JSON array",
    run, command::files_and_folders};

}  // namespace mirvo_avi

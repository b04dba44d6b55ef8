// mirvo-avi info: what a file holds (size, bit rates, video stream with its H.264
// parameters, key frame spacing and repeated frames, audio tracks with their durations),
// how its index was found, its largest chunk, and whether it was finalised; as text or as
// JSON. A recording that was cut off before its close is described too (exit status 0),
// with the frames that mirvo-avi repair would recover.
#include "file_facts.h"
#include "progress.h"
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

// Valid UTF-8 as it stands; any other byte taken as the character of that number (as in
// Latin-1), so that names and codes that are not UTF-8 still make valid JSON.
std::string as_utf8(const std::string &text)
{
    std::string out;
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = s[i];
        size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool valid = length > 0 && i + length <= n;
        for (size_t k = 1; valid && k < length; ++k)
            valid = (s[i + k] & 0xc0) == 0x80;
        if (valid && length > 1) {  // no overlong forms, surrogates or values past U+10FFFF
            uint32_t first = length == 2 ? c & 0x1fU : length == 3 ? c & 0x0fU : c & 0x07U;
            uint32_t cp = first;
            for (size_t k = 1; k < length; ++k)
                cp = cp << 6 | (s[i + k] & 0x3fU);
            static constexpr uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
            valid = cp >= least[length] && cp <= 0x10ffff && (cp < 0xd800 || cp > 0xdfff);
        }
        if (valid) {
            out.append(text, i, length);
            i += length;
        } else {
            out += static_cast<char>(0xc0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3f));
            i += 1;
        }
    }
    return out;
}

json or_null(double value)
{
    return value >= 0 && std::isfinite(value) ? json(value) : json(nullptr);
}

json bit_rate(double value)
{
    return value >= 0 && std::isfinite(value) ? json(std::llround(value)) : json(nullptr);
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

json describe(const file_facts &f, const std::string &path)
{
    const video_facts &v = f.video;
    json key_interval = nullptr;
    if (v.key_interval_max > 0)
        key_interval = {{"min", v.key_interval_min}, {"max", v.key_interval_max}};
    json audio = json::array();
    for (const track_facts &a : f.audio) {
        audio.push_back({{"track", a.track},
                         {"format", a.format},
                         {"channels", a.channels},
                         {"rate", a.rate},
                         {"bits", a.bits},
                         {"bytes", a.bytes},
                         {"chunks", a.chunks},
                         {"duration", or_null(a.duration)},
                         {"duration_minus_video", a.duration >= 0 ? json(a.duration - v.duration) : json(nullptr)}});
    }
    return {{"file", as_utf8(path)},
            {"size", f.size},
            {"duration", f.duration},
            {"bit_rate", bit_rate(f.bit_rate)},
            {"video",
             {{"codec", as_utf8(v.codec)},
              {"width", v.width},
              {"height", v.height},
              {"fps", v.fps},
              {"frames", v.frames},
              {"duration", v.duration},
              {"key_frames", v.key_frames},
              {"key_frame_interval", key_interval},
              {"repeated_frames", v.repeated_frames},
              {"bytes", v.bytes},
              {"bit_rate", bit_rate(v.bit_rate)},
              {"h264", parameters_json(v)}}},
            {"audio", audio},
            {"index", index_origin_name(f.index_origin)},
            {"largest_chunk", f.largest_chunk}};
}

// "finalised": true for a file as a close leaves it; false for a recording cut off before
// its close, with the video frames that a repair keeps; null when neither can be said (a
// file of another writer that does not end with an index after its data).
void add_state(json &d, const avi_recovery &found)
{
    if (found.state == AVI_FILE_CUT_OFF) {
        d["finalised"] = false;
        d["recoverable_frames"] = found.video_frames;
    } else {
        d["finalised"] = found.state == AVI_FILE_FINISHED ? json(true) : json(nullptr);
    }
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
        printf(" (%.3f", v.key_interval_min / v.fps);
        if (v.key_interval_max != v.key_interval_min)
            printf(" to %.3f", v.key_interval_max / v.fps);
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
    if (found && found->state == AVI_FILE_CUT_OFF)
        printf("not finalised: %d frames recoverable, run mirvo-avi repair\n", found->video_frames);
    else if (found && found->state == AVI_FILE_OTHER)
        printf("finalised:     unknown: no index that a close leaves, and a header mirvo does not write\n");
    if (!described)
        return;
    printf("video:         %s, %dx%d, %.3f fps, %d frames, %.3f s, %d key frames\n", v.codec.c_str(),
           v.width, v.height, v.fps, v.frames, v.duration, v.key_frames);
    if (v.h264)
        print_parameters(v);
    print_key_frames(v);
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
}

int run(int argc, char **argv)
{
    bool as_json = false;
    std::string path;
    int end = parse_json_option(info_command, argc, argv, as_json, path);
    if (end >= 0)
        return end;

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
    bool examined = false;
    avi_error = AVI_ERROR_NONE;
    holding_back_messages([&] { examined = AVI_examine_fd(fd, &found) == 0; });
    bool cut_off = examined && found.state == AVI_FILE_CUT_OFF;
    std::string held_back;
    if (lseek(fd, 0, SEEK_SET) == 0) {
        in.handle.reset(open_input_fd_quietly(fd, held_back));
    } else {
        held_back = std::string("cannot go back to its start: ") + strerror(errno);
        close(fd);
    }
    AVI_set_progress(nullptr, nullptr);
    meter.finish();
    if (!in.handle && !cut_off)  // a recording cut off before its first frame has nothing to describe
        return report(path, module_reason(held_back, "cannot be read as an AVI file"));

    file_facts facts;
    facts.size = in.size;
    if (in.handle)
        facts = gather_facts(in);
    if (cut_off && facts.index_origin == AVI_INDEX_REBUILT)
        facts.video.key_frames = found.key_frames;  // a rebuilt index flags none; the scan found them
    if (as_json) {
        json d = in.handle ? describe(facts, path) : json{{"file", as_utf8(path)}, {"size", in.size}};
        if (examined)
            add_state(d, found);
        printf("%s\n", d.dump(2).c_str());
    } else {
        print_text(facts, path, in.handle != nullptr, examined ? &found : nullptr);
    }
    return exit_ok;
}

}  // namespace

const command info_command = {
    "info", "info [--json] FILE",
    "size, bit rates, the video stream (frame rate, duration, key frames and their spacing,\n"
    "      repeated frames, H.264 profile, level and coded size), audio tracks and their\n"
    "      durations, how the index was found, whether the file was finalised (a cut-off\n"
    "      recording: the frames a repair recovers); --json prints it as JSON (bytes of names\n"
    "      that are not UTF-8 are taken as Latin-1)",
    run};

}  // namespace mirvo_avi

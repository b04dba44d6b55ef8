// mirvo-avi info: what a file holds (video stream, audio tracks, duration, key frames),
// how its index was found, its largest chunk, and whether it was finalised; as text or as
// JSON. A recording that was cut off before its close is described too (exit status 0),
// with the frames that mirvo-avi repair would recover.
#include "tool_common.h"

#include <cstdio>
#include <nlohmann/json.hpp>

namespace mirvo_avi {
namespace {

const char *index_origin_name(int32_t origin)
{
    switch (origin) {
    case AVI_INDEX_ABSOLUTE: return "absolute";
    case AVI_INDEX_RELATIVE: return "relative to movi";
    case AVI_INDEX_REBUILT: return "rebuilt";
    default: return "none";
    }
}

nlohmann::ordered_json describe(avi_handle *h, const std::string &path)
{
    int32_t frames = AVI_frame_count(h);
    int32_t keys = 0;
    for (int32_t n = 0; n < frames; ++n)
        keys += AVI_frame_is_key(h, n) == 1;
    double fps = AVI_frames_per_second(h);

    nlohmann::ordered_json audio = nlohmann::ordered_json::array();
    for (int32_t t = 0; t < AVI_track_count(h); ++t) {
        AVI_select_audio_track(h, t);
        audio.push_back({{"track", t},
                         {"format", AVI_track_format(h)},
                         {"channels", AVI_track_channels(h)},
                         {"rate", AVI_track_rate(h)},
                         {"bits", AVI_track_bits(h)},
                         {"bytes", AVI_track_bytes(h)},
                         {"chunks", AVI_track_chunks(h)}});
    }
    AVI_select_audio_track(h, 0);
    return {{"file", path},
            {"video",
             {{"codec", AVI_codec_fourcc(h)},
              {"width", AVI_frame_width(h)},
              {"height", AVI_frame_height(h)},
              {"fps", fps},
              {"frames", frames},
              {"duration", fps > 0 ? frames / fps : 0.0},
              {"key_frames", keys}}},
            {"audio", audio},
            {"index", index_origin_name(AVI_index_origin(h))},
            {"largest_chunk", AVI_largest_chunk(h)}};
}

// "finalised": true for a file as a close leaves it; false for a recording cut off before
// its close, with the video frames that a repair keeps; null when neither can be said (a
// file of another writer that does not end with an index after its data).
void add_state(nlohmann::ordered_json &d, const avi_recovery &found)
{
    if (found.state == AVI_FILE_CUT_OFF) {
        d["finalised"] = false;
        d["recoverable_frames"] = found.video_frames;
    } else {
        d["finalised"] = found.state == AVI_FILE_FINISHED ? nlohmann::ordered_json(true) : nullptr;
    }
}

void print_text(const nlohmann::ordered_json &d)
{
    printf("file:          %s\n", d["file"].get<std::string>().c_str());
    if (d.contains("finalised") && !d["finalised"].get<bool>())
        printf("not finalised: %d frames recoverable, run mirvo-avi repair\n",
               d["recoverable_frames"].get<int>());
    if (!d.contains("video"))
        return;
    const auto &v = d["video"];
    printf("video:         %s, %dx%d, %.3f fps, %d frames, %.3f s, %d key frames\n",
           v["codec"].get<std::string>().c_str(), v["width"].get<int>(), v["height"].get<int>(),
           v["fps"].get<double>(), v["frames"].get<int>(), v["duration"].get<double>(),
           v["key_frames"].get<int>());
    for (const auto &a : d["audio"])
        printf("audio track %d: format %d%s, %d channel%s, %d Hz, %d bits, %d bytes in %d chunks\n",
               a["track"].get<int>(), a["format"].get<int>(), a["format"] == 1 ? " (PCM)" : "",
               a["channels"].get<int>(), a["channels"] == 1 ? "" : "s", a["rate"].get<int>(),
               a["bits"].get<int>(), a["bytes"].get<int>(), a["chunks"].get<int>());
    printf("index:         %s\n", d["index"].get<std::string>().c_str());
    printf("largest chunk: %u bytes\n", d["largest_chunk"].get<unsigned>());
}

int run(const arguments &args)
{
    std::string path;
    bool json = false;
    for (const std::string &a : args) {
        if (a == "--json")
            json = true;
        else if (path.empty() && a.rfind("--", 0) != 0)
            path = a;
        else
            return usage_error(info_command, "unexpected argument '" + a + "'");
    }
    if (path.empty())
        return usage_error(info_command, "no file given");
    avi_recovery found;
    bool examined = AVI_examine_file(path.c_str(), &found) == 0;
    bool cut_off = examined && found.state == AVI_FILE_CUT_OFF;
    nlohmann::ordered_json d = {{"file", path}};
    avi_file file(AVI_open_input(path.c_str(), 1));
    if (file)
        d = describe(file.get(), path);
    else if (!cut_off)  // a recording cut off before its first frame has nothing to describe
        return report_failure(path);
    if (examined)
        add_state(d, found);
    if (json)
        printf("%s\n", d.dump(2).c_str());
    else
        print_text(d);
    return exit_ok;
}

}  // namespace

const command info_command = {
    "info", "info FILE [--json]",
    "streams, sizes, frame rate, duration, key frames, audio tracks, how the index was found,\n"
    "      whether the file was finalised (a cut-off recording: the frames a repair recovers)",
    run};

}  // namespace mirvo_avi

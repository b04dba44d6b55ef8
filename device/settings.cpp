// Reads the stand-in frame source's settings from the environment (see settings.h). An
// unset or empty variable means its default; the default clips live in device/clips/.
#include "settings.h"

#include "parse_number.h"

#include <cstdlib>

namespace qel {
namespace {

const char *variable(const char *name)
{
    const char *value = getenv(name);
    return value && *value ? value : nullptr;
}

// Reads a whole number from low to high; the default stays when the variable is unset.
std::string read_bounded(const char *name, int low, int high, int &value)
{
    const char *text = variable(name);
    int32_t parsed = 0;
    if (!text)
        return {};
    if (!parse_int32(text, parsed) || parsed < low || parsed > high)
        return std::string(name) + " must be a whole number from " + std::to_string(low) +
               " to " + std::to_string(high) + ", not '" + text + "'";
    value = parsed;
    return {};
}

void read_clip(const char *name, const char *default_file, std::string &path, bool &named)
{
    const char *text = variable(name);
    path = text ? text : std::string(QEL_DEFAULT_CLIPS_DIR "/") + default_file;
    named = text != nullptr;
}

}  // namespace

std::string read_settings(source_settings &s)
{
    s = source_settings{};
    read_clip("QEL_CLIP_MAIN", "main.h264", s.clip[0], s.clip_named[0]);
    read_clip("QEL_CLIP_SUB", "sub.h264", s.clip[1], s.clip_named[1]);
    if (const char *audio = variable("QEL_AUDIO"))
        s.audio = audio;
    if (const char *pace = variable("QEL_PACE")) {
        std::string p = pace;
        if (p != "realtime" && p != "burst")
            return "QEL_PACE must be 'realtime' or 'burst', not '" + p + "'";
        s.burst = p == "burst";
    }
    std::string error = read_bounded("QEL_FPS", 1, max_fps, s.fps);
    if (error.empty())
        error = read_bounded("QEL_RING_SECONDS", 1, max_ring_seconds, s.ring_seconds);
    return error;
}

}  // namespace qel

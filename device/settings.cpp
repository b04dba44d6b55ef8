// Reads the stand-in frame source's settings from the environment (see settings.h). An
// unset or empty variable means its default; the default clips live in device/clips/.
#include "settings.h"

#include "parse_number.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qel {
namespace {

const char *variable(const char *name)
{
    const char *value = getenv(name);
    return value && *value ? value : nullptr;
}

// Reads a whole number from low to high; the default stays when the variable is unset.
text_line read_bounded(const char *name, int low, int high, int &value)
{
    const char *text = variable(name);
    int32_t parsed = 0;
    if (!text)
        return {};
    if (!parse_int32(text, parsed) || parsed < low || parsed > high)
        return format_line("%s must be a whole number from %d to %d, not '%s'", name, low,
                           high, text);
    value = parsed;
    return {};
}

// Copies a path into its setting; a path that does not fit is refused, not cut.
text_line copy_path(const char *name, const char *path, char (&to)[max_path_bytes])
{
    if (snprintf(to, sizeof to, "%s", path) >= static_cast<int>(sizeof to))
        return format_line("%s is longer than %d bytes", name, max_path_bytes - 1);
    return {};
}

text_line read_clip(const char *name, const char *default_file, char (&path)[max_path_bytes],
                    bool &named)
{
    const char *text = variable(name);
    named = text != nullptr;
    if (text)
        return copy_path(name, text, path);
    snprintf(path, sizeof path, "%s/%s", QEL_DEFAULT_CLIPS_DIR, default_file);
    return {};
}

}  // namespace

text_line read_settings(source_settings &s)
{
    s = source_settings{};
    text_line error = read_clip("QEL_CLIP_MAIN", "main.h264", s.clip[0], s.clip_named[0]);
    if (error.empty())
        error = read_clip("QEL_CLIP_SUB", "sub.h264", s.clip[1], s.clip_named[1]);
    if (!error.empty())
        return error;
    if (const char *audio = variable("QEL_AUDIO")) {
        error = copy_path("QEL_AUDIO", audio, s.audio);
        if (!error.empty())
            return error;
    }
    if (const char *pace = variable("QEL_PACE")) {
        if (strcmp(pace, "realtime") != 0 && strcmp(pace, "burst") != 0)
            return format_line("QEL_PACE must be 'realtime' or 'burst', not '%s'", pace);
        s.burst = strcmp(pace, "burst") == 0;
    }
    error = read_bounded("QEL_FPS", 1, max_fps, s.fps);
    if (error.empty())
        error = read_bounded("QEL_RING_SECONDS", 1, max_ring_seconds, s.ring_seconds);
    return error;
}

}  // namespace qel

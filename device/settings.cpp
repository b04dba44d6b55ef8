// Reads the stand-in frame source's settings from the environment (see settings.h). An
// unset or empty variable means its default; the default clips live in device/clips/.
#include "settings.h"

#include "parse_number.h"

#include <cctype>
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

// One step of a rate plan, the length bytes at text: "RATE@SECOND", or only "RATE" for the
// first step, which starts at second 0.
bool parse_rate_step(const char *text, size_t length, bool first, rate_step &step)
{
    char item[32];
    if (length == 0 || length >= sizeof item)
        return false;
    memcpy(item, text, length);
    item[length] = '\0';
    int32_t fps = 0, second = 0;
    if (char *at = strchr(item, '@')) {
        *at = '\0';
        if (!parse_int32(at + 1, second) || second < 0)
            return false;
    } else if (!first) {
        return false;
    }
    if (!parse_int32(item, fps) || fps < 1 || fps > max_fps)
        return false;
    step = {second, fps};
    return true;
}

// QEL_FPS: one rate for the whole run, or a plan of rates from rising seconds of the clock.
text_line read_rates(source_settings &s)
{
    const char *text = variable("QEL_FPS");
    if (!text)
        return {};
    if (!strpbrk(text, ",@"))
        return read_bounded("QEL_FPS", 1, max_fps, s.rates[0].fps);
    s.rate_steps = 0;
    for (const char *item = text;;) {
        size_t length = strcspn(item, ",");
        bool first = s.rate_steps == 0;
        rate_step step;
        if (s.rate_steps == max_rate_changes || !parse_rate_step(item, length, first, step) ||
            (first ? step.from_second != 0
                   : step.from_second <= s.rates[s.rate_steps - 1].from_second))
            return format_line("QEL_FPS must be a rate from 1 to %d or a plan like "
                               "'25,12@10,25@20' (at most %d rates, from rising seconds), not '%s'",
                               max_fps, max_rate_changes, text);
        s.rates[s.rate_steps++] = step;
        if (item[length] == '\0')
            return {};
        item += length + 1;
    }
}

// QEL_DROP: a percentage from 0 to 100 with at most four decimals, kept in parts per million.
text_line read_drop(int32_t &per_million)
{
    const char *text = variable("QEL_DROP");
    if (!text)
        return {};
    int32_t value = 0;  // the digits read, in units of the last decimal read
    int digits = 0, decimals = -1;
    bool ok = true;
    for (const char *c = text; *c && ok; ++c) {
        if (*c == '.' && decimals < 0 && digits > 0) {
            decimals = 0;
            continue;
        }
        ok = isdigit(static_cast<unsigned char>(*c)) && (decimals < 0 || ++decimals <= 4) &&
             value <= drop_scale;
        value = value * 10 + (*c - '0');
        ++digits;
    }
    for (int n = decimals < 0 ? 0 : decimals; ok && n < 4 && value <= drop_scale; ++n)
        value *= 10;
    if (!ok || digits == 0 || decimals == 0 || value > drop_scale)
        return format_line("QEL_DROP must be a percentage from 0 to 100 (like 5 or 2.5), not '%s'",
                           text);
    per_million = value;
    return {};
}

text_line read_seed(uint64_t &seed)
{
    const char *text = variable("QEL_SEED");
    if (text && !parse_uint64(text, seed))
        return format_line("QEL_SEED must be a whole number from 0 to %llu, not '%s'",
                           static_cast<unsigned long long>(UINT64_MAX), text);
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
    if (const char *trace = variable("QEL_TRACE")) {
        error = copy_path("QEL_TRACE", trace, s.trace);
        if (!error.empty())
            return error;
    }
    error = read_rates(s);
    if (error.empty())
        error = read_bounded("QEL_RING_SECONDS", 1, max_ring_seconds, s.ring_seconds);
    if (error.empty())
        error = read_drop(s.drop_per_million);
    if (error.empty())
        error = read_bounded("QEL_VIDEO_PPM", -max_video_ppm, max_video_ppm, s.video_ppm);
    if (error.empty())
        error = read_seed(s.seed);
    return error;
}

}  // namespace qel

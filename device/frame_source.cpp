// The stand-in frame source: zo_get_data_init, zo_get_av_data and zo_get_cur_serial. Stream
// 0 plays the main clip and stream 1 the sub clip, both looping, with the audio interleaved
// by the simulated sensor's clock. The ring holds the newest QEL_RING_SECONDS seconds of
// frames; since every frame is a piece of a clip in memory, the ring is only the schedule of
// those serials. With QEL_TRACE set, every delivered frame is also written as one line to
// that file.
//
// Fetches and serial queries may come from any thread. After zo_get_data_init everything
// here is read-only but the clock, whose calls are serialised by one lock (held while the
// schedule is brought up to now and a serial chosen, never while a frame's bytes are copied).
// zo_get_data_init itself must not run while another thread fetches.
#pragma GCC visibility push(default)
#include "qel/qelmain.h"
#include "device/qel_control.h"
#pragma GCC visibility pop

#include "capture_clock.h"
#include "media.h"
#include "parse_number.h"
#include "settings.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace qel {
namespace {

constexpr int stream_count = 2;
constexpr int32_t video_type_other = 3;  // a video frame that is not a key frame

struct frame_source {
    bool ready = false;  // initialised; fetches fail until then
    source_settings settings;
    clip clips[stream_count];
    bool has_clip[stream_count] = {};  // false: the stream never delivers
    byte_array pcm;                    // whole audio frames; empty when audio is off
    capture_clock clock;
    int trace_fd = -1;  // the delivery trace, or -1
    std::atomic<bool> trace_failed{false};  // a write failed and was said
};

frame_source source;
pthread_mutex_t clock_lock = PTHREAD_MUTEX_INITIALIZER;

// Holds clock_lock for a scope.
struct clock_guard {
    clock_guard() { pthread_mutex_lock(&clock_lock); }
    ~clock_guard() { pthread_mutex_unlock(&clock_lock); }
    clock_guard(const clock_guard &) = delete;
    clock_guard &operator=(const clock_guard &) = delete;
};

__attribute__((format(printf, 1, 2))) void say(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    text_line line;
    vsnprintf(line.text, sizeof line.text, format, arguments);
    va_end(arguments);
    fprintf(stderr, "qelmain: %s\n", line.text);
}

// Loads the clips and the audio. The main clip is required; without the sub clip stream 1
// gives no frames, which is said when the sub clip was named in the environment.
text_line load_media(frame_source &s)
{
    for (int stream = 0; stream < stream_count; ++stream) {
        text_line error = load_clip(s.settings.clip[stream], s.clips[stream]);
        s.has_clip[stream] = error.empty();
        if (error.empty())
            continue;
        s.clips[stream] = clip{};
        if (stream == 0)
            return error;
        if (s.settings.clip_named[stream])
            say("%s; stream %d gives no frames", error.text, stream);
    }
    s.pcm = byte_array{};
    if (strcmp(s.settings.audio, "tone") == 0) {
        if (!tone_pcm(s.pcm))
            return format_line("out of memory for the tone");
    } else if (strcmp(s.settings.audio, "off") != 0) {
        return load_wav_pcm(s.settings.audio, s.pcm);
    }
    return {};
}

void close_trace(frame_source &s)
{
    if (s.trace_fd >= 0)
        close(s.trace_fd);
    s.trace_fd = -1;
    s.trace_failed.store(false, std::memory_order_relaxed);
}

// Opens the delivery trace anew (emptied), for appending whole lines from any thread.
text_line open_trace(frame_source &s)
{
    if (!s.settings.trace[0])
        return {};
    s.trace_fd = open(s.settings.trace, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (s.trace_fd < 0)
        return format_line("cannot write the trace %s: %s", s.settings.trace, strerror(errno));
    return {};
}

// Writes "serial type capture_us length" with a single write, so that lines from two threads
// never mix and a killed process leaves whole lines.
void trace(int64_t serial, int32_t type, int64_t capture_us, size_t length)
{
    char line[96];
    int size = snprintf(line, sizeof line, "%" PRId64 " %" PRId32 " %" PRId64 " %zu\n", serial,
                        type, capture_us, length);
    if (write(source.trace_fd, line, static_cast<size_t>(size)) != size &&
        !source.trace_failed.exchange(true, std::memory_order_relaxed))
        say("cannot write the trace %s: %s", source.settings.trace, strerror(errno));
}

// Whether the sensor's picture (counted from 0) is a key frame in any clip played: no drop
// may take it.
bool key_in_a_clip(int64_t picture)
{
    for (int stream = 0; stream < stream_count; ++stream) {
        const clip &c = source.clips[stream];
        if (source.has_clip[stream] && c.units[static_cast<size_t>(picture) % c.units.size()].key)
            return true;
    }
    return false;
}

const clip *stream_clip(int stream)
{
    if (!source.ready || stream < 0 || stream >= stream_count || !source.has_clip[stream])
        return nullptr;
    return &source.clips[stream];
}

bool is_key_frame(const clip &c, int64_t serial)
{
    const frame_slot &slot = source.clock.slot(serial);
    return !slot.audio && c.units[static_cast<size_t>(slot.index) % c.units.size()].key;
}

// The newest (or oldest) key frame from..to, searching from the given end; 0 if none.
int64_t find_key_frame(const clip &c, int64_t from, int64_t to, bool newest)
{
    for (int64_t n = 0; n <= to - from; ++n) {
        int64_t serial = newest ? to - n : from + n;
        if (is_key_frame(c, serial))
            return serial;
    }
    return 0;
}

// The serial to deliver after asking_serial (negative: no known position, start at the
// newest key frame), or 0 when it is not captured yet.
int64_t choose_serial(int stream, const clip &c, int64_t asking_serial)
{
    int64_t wanted = asking_serial + 1;
    if (wanted > 0)
        source.clock.reach(wanted);
    int64_t newest = source.clock.captured();
    int64_t oldest = source.clock.oldest();
    if (asking_serial < 0) {
        int64_t key = find_key_frame(c, oldest, newest, true);
        return key ? key : oldest;
    }
    if (wanted > newest)
        return 0;
    if (wanted >= oldest)
        return wanted;
    int64_t key = find_key_frame(c, oldest, newest, false);
    int64_t resume = key ? key : oldest;
    say("stream %d fell behind the ring: frame %" PRId64 " is gone, going on at %s%" PRId64,
        stream, wanted, key ? "key frame " : "frame ", resume);
    return resume;
}

// Gives the descriptor room for length bytes, keeping its buffer when it is big enough. The
// buffer's size is kept in the descriptor's first field of its own.
bool make_room(av_frame_info &d, size_t length)
{
    size_t capacity = d.data && d.source_a[0] > 0 ? static_cast<size_t>(d.source_a[0]) : 0;
    if (length <= capacity)
        return true;
    size_t grown = (length + 0x3fff) & ~size_t{0x3fff};  // whole 16 KiB, fewer regrowths
    void *buffer = realloc(d.data, grown);
    if (!buffer) {
        say("out of memory for a frame of %zu bytes", length);
        return false;
    }
    d.data = static_cast<unsigned char *>(buffer);
    d.source_a[0] = static_cast<int32_t>(grown);
    return true;
}

}  // namespace
}  // namespace qel

using namespace qel;

extern "C" int zo_get_data_init(void)
{
    source.ready = false;
    close_trace(source);
    if (const char *forced = getenv("QEL_INIT_RESULT"); forced && *forced) {
        int32_t result = 0;
        if (!parse_int32(forced, result)) {
            say("QEL_INIT_RESULT must be a whole number, not '%s'", forced);
            return -1;
        }
        if (result != 0)
            return result;
    }
    text_line error = read_settings(source.settings);
    if (error.empty())
        error = load_media(source);
    const source_settings &s = source.settings;
    if (error.empty() && !source.clock.start(s, strcmp(s.audio, "off") != 0, key_in_a_clip))
        error = format_line("out of memory for the ring");
    if (error.empty())
        error = open_trace(source);
    if (!error.empty()) {
        say("%s", error.text);
        return -1;
    }
    source.ready = true;
    return 0;
}

extern "C" int zo_get_av_data(int stream, av_frame_info *d)
{
    const clip *c = stream_clip(stream);
    if (!c || !d)
        return -1;
    int64_t serial;
    frame_slot slot;
    {
        clock_guard held;
        serial = choose_serial(stream, *c, d->serial);
        if (serial == 0)
            return 1;
        slot = source.clock.slot(serial);
    }
    const unsigned char *bytes;
    size_t length;
    int32_t type = QEL_FRAME_AUDIO;
    if (slot.audio) {
        size_t frames = source.pcm.size() / audio_frame_bytes;
        bytes = &source.pcm[static_cast<size_t>(slot.index) % frames * audio_frame_bytes];
        length = audio_frame_bytes;
    } else {
        const access_unit &unit = c->units[static_cast<size_t>(slot.index) % c->units.size()];
        bytes = &c->bytes[unit.offset];
        length = unit.size;
        type = unit.key ? QEL_FRAME_VIDEO_KEY : video_type_other;
    }
    if (!make_room(*d, length))
        return -1;
    memcpy(d->data, bytes, length);
    d->serial = static_cast<int32_t>(serial);
    d->length = static_cast<int32_t>(length);
    d->type = type;
    if (source.trace_fd >= 0)
        trace(serial, type, slot.time_us, length);
    return 0;
}

extern "C" int zo_get_cur_serial(int stream, int32_t *serial)
{
    if (!stream_clip(stream) || !serial)
        return -1;
    clock_guard held;
    *serial = static_cast<int32_t>(source.clock.captured());
    return 0;
}

extern "C" int qel_advance_clock(int milliseconds)
{
    if (!source.ready || milliseconds < 0)
        return -1;
    clock_guard held;
    source.clock.advance(milliseconds);
    return 0;
}

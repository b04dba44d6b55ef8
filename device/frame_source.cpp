// The stand-in frame source: zo_get_data_init, zo_get_av_data and zo_get_cur_serial. Stream
// 0 plays the main clip and stream 1 the sub clip, both looping, with the audio interleaved
// by the simulated sensor's clock. The ring holds the newest QEL_RING_SECONDS seconds of
// frames; since every frame is a piece of a clip in memory, the ring is only a window of
// serials and costs nothing to keep.
//
// Fetches and serial queries may come from any thread and take no lock: after
// zo_get_data_init everything here is read-only but the clock, which is atomic.
// zo_get_data_init itself must not run while another thread fetches.
#pragma GCC visibility push(default)
#include "recorder/qelmain.h"
#include "device/qel_control.h"
#pragma GCC visibility pop

#include "capture_clock.h"
#include "media.h"
#include "parse_number.h"
#include "settings.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

namespace qel {
namespace {

constexpr int stream_count = 2;
constexpr int32_t video_type_other = 3;  // a video frame that is not a key frame

struct frame_source {
    source_settings settings;
    std::optional<clip> clips[stream_count];  // empty: the stream never delivers
    byte_vector pcm;                          // whole audio frames; empty when audio is off
    capture_clock clock;
    int64_t ring_frames;

    explicit frame_source(const source_settings &s)
        : settings(s), clock(s.fps, s.audio != "off", s.burst),
          ring_frames(int64_t{s.ring_seconds} * clock.frames_per_second())
    {
    }
};

std::unique_ptr<frame_source> source;

void say(const std::string &line)
{
    fprintf(stderr, "qelmain: %s\n", line.c_str());
}

// Loads the clips and the audio. The main clip is required; without the sub clip stream 1
// gives no frames, which is said when the sub clip was named in the environment.
std::string load_media(frame_source &s)
{
    for (int stream = 0; stream < stream_count; ++stream) {
        clip c;
        std::string error = load_clip(s.settings.clip[stream], c);
        if (error.empty())
            s.clips[stream] = std::move(c);
        else if (stream == 0)
            return error;
        else if (s.settings.clip_named[stream])
            say(error + "; stream " + std::to_string(stream) + " gives no frames");
    }
    if (s.settings.audio == "tone")
        s.pcm = tone_pcm();
    else if (s.settings.audio != "off")
        return load_wav_pcm(s.settings.audio, s.pcm);
    return {};
}

const clip *stream_clip(int stream)
{
    if (!source || stream < 0 || stream >= stream_count || !source->clips[stream])
        return nullptr;
    return &*source->clips[stream];
}

bool is_key_frame(const clip &c, int64_t serial)
{
    frame_slot slot = source->clock.slot(serial);
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
        source->clock.reach(wanted);
    int64_t newest = source->clock.captured();
    int64_t oldest = std::max<int64_t>(1, newest - source->ring_frames + 1);
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
    say("stream " + std::to_string(stream) + " fell behind the ring: frame " +
        std::to_string(wanted) + " is gone, going on at " + (key ? "key frame " : "frame ") +
        std::to_string(resume));
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
        say("out of memory for a frame of " + std::to_string(length) + " bytes");
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
    source.reset();
    if (const char *forced = getenv("QEL_INIT_RESULT"); forced && *forced) {
        int32_t result = 0;
        if (!parse_int32(forced, result)) {
            say(std::string("QEL_INIT_RESULT must be a whole number, not '") + forced + "'");
            return -1;
        }
        if (result != 0)
            return result;
    }
    source_settings settings;
    std::string error = read_settings(settings);
    auto s = std::make_unique<frame_source>(settings);
    if (error.empty())
        error = load_media(*s);
    if (!error.empty()) {
        say(error);
        return -1;
    }
    source = std::move(s);
    return 0;
}

extern "C" int zo_get_av_data(int stream, av_frame_info *d)
{
    const clip *c = stream_clip(stream);
    if (!c || !d)
        return -1;
    int64_t serial = choose_serial(stream, *c, d->serial);
    if (serial == 0)
        return 1;
    frame_slot slot = source->clock.slot(serial);
    const unsigned char *bytes;
    size_t length;
    int32_t type = QEL_FRAME_AUDIO;
    if (slot.audio) {
        size_t frames = source->pcm.size() / audio_frame_bytes;
        bytes = &source->pcm[static_cast<size_t>(slot.index) % frames * audio_frame_bytes];
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
    return 0;
}

extern "C" int zo_get_cur_serial(int stream, int32_t *serial)
{
    if (!stream_clip(stream) || !serial)
        return -1;
    *serial = static_cast<int32_t>(source->clock.captured());
    return 0;
}

extern "C" int qel_advance_clock(int milliseconds)
{
    if (!source || milliseconds < 0)
        return -1;
    source->clock.advance(milliseconds);
    return 0;
}

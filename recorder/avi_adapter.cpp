// The recorder's adapter to the AVI module: what it prints around opening and closing, the
// mapping of the recorder's frame kinds to the module's operations, and when the recording is
// synced to the card.
#include "recorder/avi_adapter.h"

#include "common/stream_units.h"
#include "recorder/monotonic_ms.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Whether the writer is refusing frames (a full disk, a write error, the size limit). A run
// of refusals is reported once when it begins, and its end once a video key frame is written
// again: near a limit, small frames (audio, pictures that are not key frames) still fit
// between refused ones, and reporting each of them would flood the log; besides, the
// pictures after a lost key frame cannot be shown before the next key frame.
bool refusing = false;

void note_write_result(int result, bool key_frame)
{
    if (result != 0 && !refusing) {
        fprintf(stderr, "mirvo: frames refused: %s\n", AVI_error_text());
        refusing = true;
    } else if (result == 0 && refusing && key_frame) {
        fputs("mirvo: frames accepted again\n", stderr);
        refusing = false;
    }
}

// Durability: a power cut keeps nothing of the page cache, so the recording is synced to the
// card after each half second of recording, and each sync carries a checkpoint that tells
// repair how far the data is the recording's own. The recording's time is counted in the
// chunks written (video frames at the declared rate, audio bytes at the track's byte rate),
// so the cost per recorded minute does not grow with the pace of the frames. The first sync
// comes before the first frame: from then on the card holds the recording's header and a
// checkpoint, and nothing past what a checkpoint verifies is ever taken for the recording.
//
// A sync stops the recording while it runs. On a slow card (an SD card whose syncs take a
// second or more) syncing every half second would leave the recording ever further behind
// the camera, until the frame source's ring moved on without it. So the next sync also waits
// until as much time has passed since the last one ended as that one took: at most half the
// time goes to syncing, and a slow card costs durability (a cut takes up to three times as
// long as a sync), never frames. No wait beyond that: a recording that begins seconds behind
// the camera (with the key frame before its start request, or where the part before ended)
// writes those seconds in a burst, and each half second of it is synced as it is written,
// so that a cut in the burst loses no more than one in a recording that keeps pace.
constexpr int64_t sync_interval_ms = 500;
// A sync slower than this is said once, until syncs have been faster for a while.
constexpr int64_t slow_sync_ms = 1000, slow_card_forgotten_ms = 10000;
// A request whose rate is not a camera's (0, negative, more than 120) counts as the usual 25:
// a higher made-up rate would space the syncs seconds apart.
constexpr int32_t usual_frame_rate = 25;

struct sync_clock {
    int32_t frame_rate = usual_frame_rate;
    uint64_t audio_bytes_per_second = 0;  // 0: audio does not count (no track declared)
    uint64_t frames = 0;                  // video frames written since the last sync
    uint64_t audio_bytes = 0;             // audio bytes written since the last sync
    bool started = false;                 // the first sync, before the first frame, is done
    int64_t last_end_ms = 0;              // when the last sync returned
    int64_t last_took_ms = 0;             // how long it took
    int64_t last_slow_ms = 0;             // when the last slow sync returned
    bool slow_said = false;               // the slow card was said, not forgotten since
    bool failing = false;                 // the last sync failed (reported once)
};
sync_clock since_sync;

// The rate the header is to carry once the camera was measured faster than declared; 0 for
// the declared one.
double wanted_fps = 0;

void declare_wanted_rate(avi_handle *handle)
{
    if (wanted_fps <= 0 || wanted_fps == handle->fps)
        return;
    char code[sizeof handle->compressor];  // the call clears the handle's before copying it
    memcpy(code, handle->compressor, sizeof code);
    AVI_define_video(handle, handle->width, handle->height, wanted_fps, code);
}

bool half_second_recorded(const sync_clock &c)
{
    return c.frames * 1000 >= sync_interval_ms * static_cast<uint64_t>(c.frame_rate) ||
           (c.audio_bytes_per_second > 0 &&
            c.audio_bytes * 1000 >= sync_interval_ms * c.audio_bytes_per_second);
}

// Half a second recorded, and as long since the last sync as it took; the clock is read only
// once the first holds, not for every chunk.
bool sync_due(const sync_clock &c)
{
    return half_second_recorded(c) && monotonic_ms() - c.last_end_ms >= c.last_took_ms;
}

void note_sync_time(sync_clock &c)
{
    if (c.last_took_ms > slow_sync_ms) {
        if (!c.slow_said) {
            double took = static_cast<double>(c.last_took_ms) / 1000.0;
            fprintf(stderr, "mirvo: the card is slow: a sync took %.1f s, so a power cut may take the "
                            "last %.1f s\n", took, 3 * took);
        }
        c.slow_said = true;
        c.last_slow_ms = c.last_end_ms;
    } else if (c.slow_said && c.last_end_ms - c.last_slow_ms >= slow_card_forgotten_ms) {
        c.slow_said = false;
    }
}

void sync_now(avi_handle *handle)
{
    declare_wanted_rate(handle);
    int64_t began = monotonic_ms();
    bool synced = AVI_sync(handle) == 0;
    since_sync.last_end_ms = monotonic_ms();
    since_sync.last_took_ms = since_sync.last_end_ms - began;
    since_sync.frames = since_sync.audio_bytes = 0;
    if (!synced && !since_sync.failing)
        fprintf(stderr, "mirvo: syncing the file failed: %s\n", AVI_error_text());
    since_sync.failing = !synced;
    note_sync_time(since_sync);
}

void count_and_sync(avi_handle *handle, int result, int kind, int32_t length)
{
    if (result != 0)
        return;
    if (kind == AVI_WRITE_VIDEO)
        since_sync.frames += 1;
    else
        since_sync.audio_bytes += static_cast<uint32_t>(length);
    if (sync_due(since_sync))
        sync_now(handle);
}

}  // namespace

avi_handle *avi_open(const char *path)
{
    printf("[%s]: \n", "avi_open");
    refusing = false;
    since_sync = sync_clock{};
    wanted_fps = 0;
    avi_handle *handle = AVI_create_output_file(path);
    if (!handle) {
        int cause = errno;  // the caller reports it
        puts("avi file open failed!");
        errno = cause;
    }
    return handle;
}

int avi_set_video(avi_handle *handle, int32_t width, int32_t height, int32_t frame_rate,
                  const char *compressor)
{
    AVI_define_video(handle, width, height, static_cast<double>(frame_rate), compressor);
    since_sync.frame_rate = frame_rate > 0 && frame_rate <= 120 ? frame_rate : usual_frame_rate;
    return 0;
}

int avi_set_audio(avi_handle *handle, int32_t channels, int32_t rate, int32_t bits,
                  int32_t format, int32_t bitrate)
{
    AVI_add_audio_track(handle, channels, rate, bits, format, bitrate);
    if (channels > 0 && rate > 0 && bits > 0)
        since_sync.audio_bytes_per_second = uint64_t(rate) * uint64_t(pcm_block_bytes(channels, bits));
    return 0;
}

int avi_write(int kind, avi_handle *handle, const void *data, int32_t length, int32_t key_frame)
{
    if (!since_sync.started) {
        since_sync.started = true;
        sync_now(handle);
    }
    int result = kind == AVI_WRITE_VIDEO ? AVI_put_video_frame(handle, data, length, key_frame)
                                         : AVI_put_audio(handle, data, length);
    note_write_result(result, kind == AVI_WRITE_VIDEO && key_frame != 0);
    count_and_sync(handle, result, kind, length);
    return 0;
}

int avi_fill_video(avi_handle *handle, int32_t count)
{
    for (int32_t i = 0; i < count; ++i) {
        int result = AVI_repeat_video_frame(handle);
        note_write_result(result, false);
        count_and_sync(handle, result, AVI_WRITE_VIDEO, 0);
    }
    return 0;
}

int avi_declare_rate(avi_handle *, double fps)
{
    if (fps > 0)
        wanted_fps = fps;
    return 0;
}

int avi_close(avi_handle *handle)
{
    printf("[%s]: \n", "avi_close");
    declare_wanted_rate(handle);
    // The file stays readable when only its index could not be written (our reader rebuilds
    // it), but a user must learn that closing did not go as it should.
    if (AVI_close_handle(handle) != 0)
        fprintf(stderr, "mirvo: closing the file failed: %s\n", AVI_error_text());
    return 0;
}

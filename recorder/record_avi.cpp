// The recording loop: opens the requested file, declares its streams, then pulls frames from
// the frame source in serial order and writes each one unchanged, from the first video key
// frame on, until a stop request or SIGINT, or once a stop is pending and the stream has
// delivered nothing for two seconds; then closes the file. The file keeps the camera's time
// (capture_timing.h): frame times the camera left empty are filled, a faster camera's rate is
// declared. What the source skips, and a recording falling behind the camera, are said on
// standard error.
//
// A start keeps what the camera captured after it: a fresh recording begins with the last key
// frame captured at or before the start request (start_point.h), which the frame source's
// ring still holds after the idle loop's look for requests and the new file's syncs.
//
// A stop keeps what the camera captured before it (stop_point.h). On a slow card the
// recording lags seconds behind the camera, the frame source's ring holding the frames not
// yet written; so a stop ends the recording after the frame that reaches the source's newest
// serial when the stop request came (taken by the request's handler), or in stop mode 1 at
// the first key frame at or after it, and a recording that is caught up ends after the next
// frame written, as it always did. This catching up lasts at most ten seconds, about what a
// camera's ring holds; SIGINT, after which the process is to end within seconds, lets it go
// on for two seconds at most, up to the newest serial when the recording sees SIGINT (the
// signal handler cannot ask the source). Frames captured before the stop or SIGINT that are
// not in the file (skipped by the source, or still unwritten when the time was up) are said
// on standard error with their number.
#include "recorder/record_avi.h"

#include "recorder/avi_adapter.h"
#include "recorder/capture_timing.h"
#include "recorder/monotonic_ms.h"
#include "recorder/source_watch.h"
#include "recorder/start_point.h"
#include "recorder/stop_point.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

constexpr int32_t no_known_position = -2;
// The pause before asking again when no frame is ready. nanosleep rather than usleep: a
// reduced C library (uClibc without its legacy calls) has only the former.
constexpr timespec no_frame_pause = {0, 10000000};  // 10 ms

// A stop is acted on after a frame is written; a stream that delivers nothing would keep the
// recording open for ever (and a later request's frames would go into its file). After this
// long without a frame a pending stop ends the recording all the same.
constexpr int64_t stop_without_frames_ms = 2000;

// How long a recording behind the camera may go on writing the frames captured before a stop
// request, or before SIGINT.
constexpr int64_t stop_catch_up_ms = 10000;
constexpr int64_t sigint_catch_up_ms = 2000;

// SIGINT: the recording ends once it has taken every frame captured by now from the source,
// or a pending stop's, within sigint_catch_up_ms. False when it has them already.
bool catch_up_after_sigint(stop_point &stop, int stream, int32_t last, int64_t now_ms)
{
    if (stop.active) {
        if (stop.until_ms > now_ms + sigint_catch_up_ms)
            stop.until_ms = now_ms + sigint_catch_up_ms;
    } else {
        int32_t newest = 0;
        if (zo_get_cur_serial(stream, &newest) != 0)
            newest = 0;
        stop_point_begin(stop, "SIGINT", newest, last, now_ms, sigint_catch_up_ms);
    }
    return !stop_point_reached(stop, last, now_ms);
}

// One recording in progress: its file, whether it records audio, the frame last fetched and
// where the loop stands.
struct recording {
    const shared_request *request = nullptr;
    avi_handle *handle = nullptr;
    int32_t audio_enable = 0;
    av_frame_info frame{};
    source_watch watch;
    capture_timing timing;
    bool waiting_for_key_frame = true;
    bool waited = false;       // the source said "no frame now" since the last frame
    bool continued = false;    // stopped at a key frame that the next part begins with
    bool interrupted = false;  // SIGINT came: the recording ends at `stop`
    stop_point stop;           // the stop (or SIGINT) being acted on
    int64_t last_frame_ms = 0; // the last sign of the stream
};

// A fresh recording: after the serial before the last key frame that the camera captured at
// or before the start request, found in the source's ring (start_point.h); anywhere when
// there is none.
void begin_fresh(recording &r)
{
    const int32_t requested = start_serial.load(std::memory_order_relaxed);
    if (requested <= 0)
        return;
    const int32_t key = find_start_key_frame(r.request->resolution(), requested, r.frame);
    if (key == 0) {
        printf("[%s]: start request at serial %d, no key frame at or before it is held\n",
               "record_avi", requested);
        r.frame.serial = no_known_position;
        return;
    }
    printf("[%s]: start request at serial %d, first key frame at or before it is %d\n",
           "record_avi", requested, key);
    r.frame.serial = key - 1;
}

// Declares the file's streams from the request as it stands now, and says after which serial
// the recording starts: the one a continued part remembered, or for a fresh recording the
// one before the key frame it begins with (anywhere when that is not known).
void begin_recording(recording &r, const record_request &start)
{
    record_request now = r.request->load();
    r.audio_enable = now.audio_enable;
    avi_set_video(r.handle, now.width, now.height, start.frame_rate, "H264");
    if (r.audio_enable == 1)
        avi_set_audio(r.handle, 1, 8000, 16, 1, 128);

    int32_t remembered = last_serial.load();
    const bool continued = start.parttime != 0 && remembered != 0;
    r.frame.serial = continued ? remembered : no_known_position;
    printf("[%s]: first serial is %d\n", "record_avi", r.frame.serial);
    if (!continued)
        begin_fresh(r);
    watch_start(r.watch, r.frame.serial);
    timing_start(r.timing, start.frame_rate);
    r.last_frame_ms = monotonic_ms();  // the start counts as the last sign of the stream
}

// SIGINT: whether the recording ends before the next fetch (it came before the first key
// frame, nothing is left to catch up, or the time to catch up is over).
bool ends_for_sigint(recording &r)
{
    if (!running.load() && !r.interrupted) {
        r.interrupted = true;
        if (r.waiting_for_key_frame ||
            !catch_up_after_sigint(r.stop, r.request->resolution(), r.frame.serial, monotonic_ms()))
            return true;
    }
    return r.interrupted && monotonic_ms() >= r.stop.until_ms;
}

// Asks the source for the next frame, saying what came while no key frame has; false when
// none is ready.
bool fetch_frame(recording &r)
{
    int ret = zo_get_av_data(r.request->resolution(), &r.frame);
    if (r.waiting_for_key_frame)
        printf("[%s]: ret is %d, type is %d\n", "record_avi", ret, r.frame.type);
    return ret == 0;
}

// No frame ready: whether a pending stop ends the recording, the stream having delivered
// nothing for stop_without_frames_ms; else pauses before the next fetch.
bool ends_without_frames(recording &r)
{
    if (record_flag.load(std::memory_order_acquire) == 0 &&
        monotonic_ms() - r.last_frame_ms >= stop_without_frames_ms) {
        printf("[%s]: stop rec by main process\n", "record_avi");
        return true;
    }
    r.waited = true;
    nanosleep(&no_frame_pause, nullptr);
    return false;
}

// Takes note of the frame fetched; returns whether it came live (the source had said "no
// frame now" since the one before).
bool note_frame(recording &r)
{
    r.last_frame_ms = monotonic_ms();
    const bool came_live = r.waited;
    r.waited = false;
    watch_frame(r.watch, r.request->resolution(), r.frame.serial, r.last_frame_ms);
    stop_point_fetched(r.stop, r.frame.serial);
    return came_live;
}

// The file begins with a video key frame: false for the frames before the first one, which
// is said with the source's newest serial.
bool past_first_key_frame(recording &r)
{
    if (!r.waiting_for_key_frame)
        return true;
    if (r.frame.type != QEL_FRAME_VIDEO_KEY)
        return false;
    int32_t current = 0;
    zo_get_cur_serial(r.request->resolution(), &current);
    printf("cur serial is %d, serial is %d\n", current, r.frame.serial);
    r.waiting_for_key_frame = false;
    return true;
}

// Writes the frame: audio counts for the clock whether recorded or not; video comes after
// the frame times to fill and before the rate to declare. False for audio not recorded.
bool write_frame(recording &r, bool came_live)
{
    if (r.frame.type == QEL_FRAME_AUDIO) {
        timing_audio(r.timing, r.frame.length);
        if (r.audio_enable == 0)
            return false;
        avi_write(AVI_WRITE_AUDIO, r.handle, r.frame.data, r.frame.length, 0);
        return true;
    }
    avi_fill_video(r.handle, timing_video(r.timing, r.last_frame_ms, came_live));
    avi_write(AVI_WRITE_VIDEO, r.handle, r.frame.data, r.frame.length,
              r.frame.type == QEL_FRAME_VIDEO_KEY);
    avi_declare_rate(r.handle, timing_rate(r.timing));
    return true;
}

// After a frame written: whether a stop or SIGINT ends the recording with it (stop mode 1
// at a key frame, which the next part then begins with).
bool ends_after_frame(recording &r)
{
    const bool key_frame = r.frame.type == QEL_FRAME_VIDEO_KEY;
    const bool stop_pending = record_flag.load(std::memory_order_acquire) == 0;
    if (!stop_pending && !r.interrupted) {
        r.stop.active = false;  // no stop, or a new start request withdrew it
        return false;
    }
    const int64_t now_ms = monotonic_ms();
    if (!r.stop.active)
        stop_point_begin(r.stop, "the stop", stop_serial.load(std::memory_order_relaxed),
                         r.frame.serial, now_ms, stop_catch_up_ms);
    if (!stop_point_reached(r.stop, r.frame.serial, now_ms))
        return false;
    if (!stop_pending)
        return true;  // SIGINT's end: no stop line, last_serial and stop_flag untouched
    if (stop_flag.load() == STOP_AT_KEY_FRAME) {
        if (!key_frame)
            return r.interrupted;
        last_serial.store(r.frame.serial - 1);
        printf("[%s]: last serial is %d\n", "record_avi", last_serial.load());
        stop_flag.store(0);
        r.continued = true;
    }
    printf("[%s]: stop rec by main process\n", "record_avi");
    return true;
}

// Says which frames to keep are missing and closes the file. The video lasts as long as the
// audio; a part that the next one continues ends at the key frame the next begins with, so
// that joined parts show it once, at its time.
void finish_recording(recording &r)
{
    stop_point_report(r.stop, r.frame.serial, monotonic_ms());
    if (!r.continued)
        avi_fill_video(r.handle, timing_end(r.timing));
    avi_declare_rate(r.handle, timing_rate(r.timing));
    avi_close(r.handle);
    free(r.frame.data);
}

}  // namespace

int record_avi(const shared_request *request)
{
    record_request start = request->load();
    recording r;
    r.request = request;
    r.handle = avi_open(start.filename);
    if (!r.handle) {
        printf("open %s err %s\n", start.filename, strerror(errno));
        sleep(1);
        return -1;
    }
    begin_recording(r, start);
    while (!ends_for_sigint(r)) {
        if (!fetch_frame(r)) {
            if (ends_without_frames(r))
                break;
            continue;
        }
        const bool came_live = note_frame(r);
        if (past_first_key_frame(r) && write_frame(r, came_live) && ends_after_frame(r))
            break;
    }
    finish_recording(r);
    return 0;
}

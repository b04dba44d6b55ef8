// The recording loop: opens the requested file, declares its streams, then pulls frames from
// the frame source in serial order and writes each one unchanged, from the first video key
// frame on, until a stop request or SIGINT, or once a stop is pending and the stream has
// delivered nothing for two seconds; then closes the file. The file keeps the camera's time
// (capture_timing.h): frame times the camera left empty are filled, a faster camera's rate is
// declared. What the source skips, and a recording falling behind the camera, are said on
// standard error.
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

}  // namespace

int record_avi(const shared_request *request)
{
    record_request start = request->load();
    avi_handle *handle = avi_open(start.filename);
    if (!handle) {
        printf("open %s err %s\n", start.filename, strerror(errno));
        sleep(1);
        return -1;
    }
    record_request now = request->load();
    const int32_t audio_enable = now.audio_enable;
    avi_set_video(handle, now.width, now.height, start.frame_rate, "H264");
    if (audio_enable == 1)
        avi_set_audio(handle, 1, 8000, 16, 1, 128);

    av_frame_info frame;
    memset(&frame, 0, sizeof frame);
    int32_t remembered = last_serial.load();
    frame.serial = start.parttime != 0 && remembered != 0 ? remembered : no_known_position;
    printf("[%s]: first serial is %d\n", "record_avi", frame.serial);
    source_watch watch;
    watch_start(watch, frame.serial);
    capture_timing timing;
    timing_start(timing, start.frame_rate);

    bool waiting_for_key_frame = true;
    bool waited = false;  // the source said "no frame now" since the last frame
    bool continued = false;  // stopped at a key frame that the next part begins with
    bool interrupted = false;  // SIGINT came: the recording ends at `stop`
    stop_point stop;  // the stop (or SIGINT) being acted on
    int64_t last_frame_ms = monotonic_ms();  // the start counts as the last sign of the stream
    for (;;) {
        if (!running.load() && !interrupted) {
            interrupted = true;
            if (waiting_for_key_frame ||
                !catch_up_after_sigint(stop, request->resolution(), frame.serial, monotonic_ms()))
                break;
        }
        if (interrupted && monotonic_ms() >= stop.until_ms)
            break;
        int ret = zo_get_av_data(request->resolution(), &frame);
        if (waiting_for_key_frame)
            printf("[%s]: ret is %d, type is %d\n", "record_avi", ret, frame.type);
        if (ret != 0) {
            if (record_flag.load(std::memory_order_acquire) == 0 &&
                monotonic_ms() - last_frame_ms >= stop_without_frames_ms) {
                printf("[%s]: stop rec by main process\n", "record_avi");
                break;
            }
            waited = true;
            nanosleep(&no_frame_pause, nullptr);
            continue;
        }
        last_frame_ms = monotonic_ms();
        const bool came_live = waited;
        waited = false;
        watch_frame(watch, request->resolution(), frame.serial, last_frame_ms);
        stop_point_fetched(stop, frame.serial);
        const bool audio = frame.type == QEL_FRAME_AUDIO;
        const bool key_frame = frame.type == QEL_FRAME_VIDEO_KEY;
        if (waiting_for_key_frame) {
            if (!key_frame)
                continue;
            int32_t current = 0;
            zo_get_cur_serial(request->resolution(), &current);
            printf("cur serial is %d, serial is %d\n", current, frame.serial);
            waiting_for_key_frame = false;
        }
        if (audio)
            timing_audio(timing, frame.length);  // the clock, whether recorded or not
        if (audio && audio_enable == 0)
            continue;

        if (audio) {
            avi_write(AVI_WRITE_AUDIO, handle, frame.data, frame.length, 0);
        } else {
            avi_fill_video(handle, timing_video(timing, last_frame_ms, came_live));
            avi_write(AVI_WRITE_VIDEO, handle, frame.data, frame.length, key_frame);
            avi_declare_rate(handle, timing_rate(timing));
        }

        const bool stop_pending = record_flag.load(std::memory_order_acquire) == 0;
        if (!stop_pending && !interrupted) {
            stop.active = false;  // no stop, or a new start request withdrew it
            continue;
        }
        const int64_t now_ms = monotonic_ms();
        if (!stop.active)
            stop_point_begin(stop, "the stop", stop_serial.load(std::memory_order_relaxed), frame.serial,
                             now_ms, stop_catch_up_ms);
        if (!stop_point_reached(stop, frame.serial, now_ms))
            continue;
        if (!stop_pending)
            break;  // SIGINT's end: no stop line, last_serial and stop_flag untouched
        if (stop_flag.load() == STOP_AT_KEY_FRAME) {
            if (!key_frame && interrupted)
                break;
            if (!key_frame)
                continue;
            last_serial.store(frame.serial - 1);
            printf("[%s]: last serial is %d\n", "record_avi", last_serial.load());
            stop_flag.store(0);
            continued = true;
        }
        printf("[%s]: stop rec by main process\n", "record_avi");
        break;
    }

    stop_point_report(stop, frame.serial, monotonic_ms());
    // The video lasts as long as the audio; a part that the next one continues ends at the
    // key frame the next begins with, so that joined parts show it once, at its time.
    if (!continued)
        avi_fill_video(handle, timing_end(timing));
    avi_declare_rate(handle, timing_rate(timing));
    avi_close(handle);
    free(frame.data);
    return 0;
}

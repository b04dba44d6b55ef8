// The recorder state and the two request handlers that the message bus runs on its thread.
// They only copy the request, set the flags and note the camera's newest frame;
// the idle loop and the recording act on them.
#include "recorder/recorder_state.h"

#include <cstdio>
#include <cstring>

std::atomic<int32_t> running{1};
std::atomic<int32_t> record_flag{0};
std::atomic<int32_t> stop_flag{0};
std::atomic<int32_t> last_serial{0};
std::atomic<int32_t> stop_serial{0};
std::atomic<int32_t> start_serial{0};
shared_request current_request;

void shared_request::store(const record_request &request)
{
    uint32_t raw[words];
    memcpy(raw, &request, sizeof raw);
    for (int i = 0; i < words; ++i)
        word_[i].store(raw[i], std::memory_order_relaxed);
}

record_request shared_request::load() const
{
    uint32_t raw[words];
    for (int i = 0; i < words; ++i)
        raw[i] = word_[i].load(std::memory_order_relaxed);
    record_request request;
    memcpy(&request, raw, sizeof request);
    return request;
}

int32_t shared_request::resolution() const
{
    return static_cast<int32_t>(
        word_[offsetof(record_request, resolution) / 4].load(std::memory_order_relaxed));
}

extern "C" int zo_record_start(void *payload, int length)
{
    if (!payload || length < RECORD_REQUEST_BYTES) {
        printf("[%s]: request of %d bytes refused, %d expected\n", "zo_record_start", length,
               RECORD_REQUEST_BYTES);
        return 0;
    }
    puts("zo record start");
    record_request request;
    memcpy(&request, payload, sizeof request);
    request.filename[RECORD_FILENAME_BYTES - 1] = '\0';  // a name that fills all 64 bytes is cut
    // The newest frame now, on the stream the request asks for: the recording's first fetch
    // comes after the idle loop's look for requests and the new file's syncs.
    int32_t newest = 0;
    if (zo_get_cur_serial(request.resolution, &newest) != 0)
        newest = 0;
    start_serial.store(newest, std::memory_order_relaxed);
    current_request.store(request);
    printf("[%s]: file name is %s, parttime is %d, resolution is %d\n", "zo_record_start",
           request.filename, request.parttime, request.resolution);
    // Release: a recording that sees record_flag at 1 also sees the request and its serial.
    record_flag.store(1, std::memory_order_release);
    return 0;
}

extern "C" int zo_record_stop(void *payload, int length)
{
    // A payload shorter than the mode reads as zeros past its end, never beyond it.
    int32_t mode = 0;
    if (payload && length > 0)
        memcpy(&mode, payload, length >= 4 ? 4 : static_cast<size_t>(length));
    // The newest frame now, asked here rather than by the recording: that may be busy for
    // seconds in a sync of a slow card, and the camera goes on capturing meanwhile.
    int32_t newest = 0;
    if (zo_get_cur_serial(current_request.resolution(), &newest) != 0)
        newest = 0;
    stop_serial.store(newest, std::memory_order_relaxed);
    stop_flag.store(mode, std::memory_order_relaxed);
    printf("zo_record_stop, filename = %s, stop flag %d\n", current_request.load().filename, mode);
    // Release: a recording that sees record_flag at 0 also sees the new stop mode and serial.
    record_flag.store(0, std::memory_order_release);
    return 0;
}

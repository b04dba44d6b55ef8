// The recorder's process-wide state, shared between the main thread (idle loop and
// recording), the message bus thread (request handlers) and the SIGINT handler, and the two
// request handlers that set it. Every shared word is a lock-free atomic, so that nothing
// here takes a lock and the signal handler may store to `running`.
#pragma once

#include "qel/qelmain.h"
#include "qel/record_request.h"

#include <atomic>
#include <cstdint>

// The last start request, kept as atomic 32-bit words: the bus thread may overwrite it while
// a recording reads its stream selector, and neither side may see a torn word.
class shared_request {
public:
    // Stores a whole request; publish it afterwards with a release store of record_flag.
    void store(const record_request &request);
    // A copy of the whole request (after an acquire load of record_flag).
    record_request load() const;
    int32_t resolution() const;

private:
    static constexpr int words = RECORD_REQUEST_BYTES / 4;
    std::atomic<uint32_t> word_[words] = {};
};

static_assert(std::atomic<int32_t>::is_always_lock_free, "flags must be lock-free words");

extern std::atomic<int32_t> running;      // 1 until SIGINT
extern std::atomic<int32_t> record_flag;  // 1: a recording is wanted; 0: a stop is pending
extern std::atomic<int32_t> stop_flag;    // the last stop mode; 1 = stop at a key frame
extern std::atomic<int32_t> last_serial;  // serial before the key frame that ended a part; 0 = none
// The frame source's newest serial when the last stop request came (0: not known): the
// recording keeps every frame up to it, however far behind the camera it is.
extern std::atomic<int32_t> stop_serial;
// The frame source's newest serial when the last start request came (0: not known): a fresh
// recording begins at the last key frame at or before it (start_point.h).
extern std::atomic<int32_t> start_serial;
extern shared_request current_request;

// Message 0: takes a start request (a record_request payload of `length` bytes), and notes
// how far the camera has captured.
extern "C" int zo_record_start(void *payload, int length);
// Message 1: takes a stop request (the stop mode in the payload's first int32), and notes
// how far the camera has captured.
extern "C" int zo_record_stop(void *payload, int length);

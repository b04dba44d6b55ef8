// The two request handlers fed random payloads of every length from 0 to 300 bytes, in
// buffers of exactly that length (so that the sanitizer build catches any read past the
// end), with the true length or a random smaller one as the length argument. Each call must
// return 0, print exactly its lines and leave exactly the state that its payload asks for.
#include "recorder/recorder_state.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <random>
#include <string>

namespace {

std::string start_lines(const record_request &r)
{
    return "zo record start\n[zo_record_start]: file name is " + std::string(r.filename) +
           ", parttime is " + std::to_string(r.parttime) + ", resolution is " +
           std::to_string(r.resolution) + "\n";
}

// The request that a payload of at least 92 bytes carries: its first 92 bytes, the name cut
// at 63 characters.
record_request request_in(const unsigned char *payload)
{
    record_request r;
    memcpy(&r, payload, sizeof r);
    r.filename[RECORD_FILENAME_BYTES - 1] = '\0';
    return r;
}

// The stop mode that the first `length` bytes give, missing bytes read as zeros.
int32_t mode_in(const unsigned char *payload, int length)
{
    uint32_t mode = 0;
    for (int i = 0; i < length && i < 4; ++i)
        mode |= uint32_t{payload[i]} << (8 * i);
    return static_cast<int32_t>(mode);
}

void reset_state()
{
    record_flag.store(0);
    stop_flag.store(0);
    current_request.store(record_request{});
}

}  // namespace

TEST(request_handlers, random_payloads_of_every_length_are_taken_or_refused_exactly)
{
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> byte(0, 255);
    int taken = 0, refused = 0;
    for (int size = 0; size <= 300; ++size) {
        for (int round = 0; round < 3; ++round) {
            SCOPED_TRACE("payload of " + std::to_string(size) + " bytes, round " +
                         std::to_string(round));
            // Exactly `size` bytes on the heap: a read past them is a sanitizer error.
            std::unique_ptr<unsigned char[]> payload(new unsigned char[size > 0 ? size : 1]);
            for (int i = 0; i < size; ++i)
                payload[i] = static_cast<unsigned char>(byte(random));
            // Round 0 tells the truth; the others claim any length the buffer holds, often
            // negative.
            int length = round == 0 ? size
                                    : std::uniform_int_distribution<int>(INT_MIN, size)(random);
            if (round == 2)
                length = std::uniform_int_distribution<int>(size / 2, size)(random);

            const record_request empty{};
            reset_state();
            testing::internal::CaptureStdout();
            ASSERT_EQ(zo_record_start(payload.get(), length), 0);
            std::string said = testing::internal::GetCapturedStdout();
            record_request now = current_request.load();
            if (length >= RECORD_REQUEST_BYTES) {
                ++taken;
                record_request want = request_in(payload.get());
                ASSERT_EQ(memcmp(&now, &want, sizeof now), 0) << "the request is the first 92 bytes";
                ASSERT_EQ(record_flag.load(), 1);
                ASSERT_EQ(said, start_lines(want));
            } else {
                ++refused;
                ASSERT_EQ(memcmp(&now, &empty, sizeof now), 0) << "nothing taken";
                ASSERT_EQ(record_flag.load(), 0);
                ASSERT_EQ(said, "[zo_record_start]: request of " + std::to_string(length) +
                                    " bytes refused, 92 expected\n");
            }

            testing::internal::CaptureStdout();
            ASSERT_EQ(zo_record_stop(payload.get(), length), 0);
            said = testing::internal::GetCapturedStdout();
            int32_t mode = mode_in(payload.get(), length);
            ASSERT_EQ(stop_flag.load(), mode);
            ASSERT_EQ(record_flag.load(), 0);
            ASSERT_EQ(said, "zo_record_stop, filename = " + std::string(now.filename) +
                                ", stop flag " + std::to_string(mode) + "\n");
            record_request after = current_request.load();
            ASSERT_EQ(memcmp(&after, &now, sizeof now), 0) << "a stop leaves the request as it was";
        }
    }
    // Both outcomes were met many times over, not just at the edges.
    EXPECT_GT(taken, 300);
    EXPECT_GT(refused, 300);

    // No payload at all (a library that passes none) is refused as well, without a read.
    reset_state();
    testing::internal::CaptureStdout();
    EXPECT_EQ(zo_record_start(nullptr, 92), 0);
    EXPECT_EQ(zo_record_stop(nullptr, 4), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[zo_record_start]: request of 92 bytes refused, 92 expected\n"
              "zo_record_stop, filename = , stop flag 0\n");
    EXPECT_EQ(record_flag.load(), 0);
    EXPECT_EQ(stop_flag.load(), 0);
}

// mirvo end to end with requests it did not expect: datagrams of every length with random
// bytes, a file in a directory it may not write to, and a request from another user. Each
// is answered as documented, and the recorder goes on recording normally afterwards.
#include "recorder_process.h"
#include "source_frames.h"

#include "qel/record_request.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <random>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace mirvo_test;
using namespace std::chrono_literals;

namespace {

long lines_starting(const std::vector<std::string> &lines, const std::string &prefix)
{
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string &l) { return l.rfind(prefix, 0) == 0; });
}

// The 92-byte start request for `name` on stream 0 with audio, 25 fps, 640x360.
bytes start_payload(const std::string &name)
{
    bytes payload(name.begin(), name.end());
    payload.resize(RECORD_FILENAME_BYTES, 0);
    for (int32_t value : {0, 1, 0, 25, 0, 640, 360})
        for (char c : le32(static_cast<uint32_t>(value)))
            payload.push_back(static_cast<unsigned char>(c));
    return payload;
}

class bad_request_e2e : public ::testing::Test {
protected:
    temp_dir dir;
};

}  // namespace

TEST_F(bad_request_e2e, datagrams_of_every_length_leave_the_recorder_answering)
{
    recorder_process mirvo(dir, {{"QEL_PACE", "realtime"}});
    std::mt19937 random(20240612);
    long starts = 0, refused = 0, stops = 0, dropped = 0;
    // Every datagram length from an empty one to 300 bytes of payload after the id.
    for (size_t length = 0; length <= 4 + 300; ++length) {
        bytes datagram(length);
        for (unsigned char &b : datagram)
            b = static_cast<unsigned char>(random());
        int32_t id = length % 3 == 2 ? static_cast<int32_t>(random()) : static_cast<int32_t>(length % 3);
        if (length >= 4) {
            std::string head = le32(static_cast<uint32_t>(id));
            std::copy(head.begin(), head.end(), datagram.begin());
        }
        // A start request must not name a file: the recorder would go and record it.
        if (id == MSG_RECORD_START)
            std::replace(datagram.begin(), datagram.end(), '.', '_');
        size_t payload = length < 4 ? 0 : length - 4;
        if (length < 4 || payload > 256 || (id != MSG_RECORD_START && id != MSG_RECORD_STOP))
            ++dropped;  // the bus takes payloads of up to 256 bytes for the two known ids
        else if (id == MSG_RECORD_STOP)
            ++stops;
        else if (payload < RECORD_REQUEST_BYTES)
            ++refused;
        else
            ++starts;
        send_raw(mirvo.bus(), datagram);
    }
    ASSERT_GT(starts, 20);
    ASSERT_GT(refused, 20);
    ASSERT_GT(stops, 50);

    // A datagram is handled in the order sent, so once this recording is done, all were.
    std::string file = dir.file("after.avi");
    int32_t first = record(mirvo, file, "", "stop", 0);
    expect_source_frames(indexed_chunks(file), first, true);
    EXPECT_EQ(mirvo.interrupt(), 0);

    std::vector<std::string> out = mirvo.out_lines(), err = mirvo.err_lines();
    EXPECT_EQ(std::count(out.begin(), out.end(), "zo record start"), starts + 1);
    EXPECT_EQ(lines_starting(out, "[zo_record_start]: request of "), refused);
    EXPECT_EQ(lines_starting(out, "zo_record_stop, filename = "), stops + 1);
    EXPECT_EQ(std::count(out.begin(), out.end(), "[avi_open]: "), 1) << "only the real request";
    EXPECT_EQ(lines_starting(err, "qelmain: dropped a message: "), dropped);
    EXPECT_EQ(static_cast<long>(err.size()), dropped) << mirvo.err();
}

TEST_F(bad_request_e2e, a_directory_without_write_permission_is_retried_until_a_stop)
{
    std::string locked = dir.file("locked");
    ASSERT_EQ(mkdir(locked.c_str(), 0755), 0);
    ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
    // Root may write anywhere: as root, mirvo runs without the powers to pass over
    // permissions (it stays root, so that its bus still takes this test's requests).
    std::vector<std::string> wrapper;
    if (geteuid() == 0) {
        wrapper = {"setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"};
        command_result can = run("setpriv --bounding-set=-dac_override,-dac_read_search -- true");
        if (can.status != 0)
            GTEST_SKIP() << "skipped: root cannot give up its file powers here: " << can.err;
    }
    recorder_process mirvo(dir, {{"QEL_PACE", "realtime"}}, wrapper);

    std::string file = locked + "/x.avi";
    ASSERT_EQ(mirvo.control("start " + shell_quoted(file)).status, 0);
    ASSERT_TRUE(mirvo.wait_for("avi file open failed!", 3, 10s)) << "retried about every 2 s";
    ASSERT_EQ(mirvo.control("stop").status, 0);
    std::this_thread::sleep_for(2500ms);
    std::vector<std::string> lines = mirvo.out_lines();
    long attempts = std::count(lines.begin(), lines.end(), "avi file open failed!");
    EXPECT_GE(attempts, 3);
    EXPECT_LE(attempts, 4) << "no retry after the stop";
    std::vector<std::string> failure = {"[avi_open]: ", "avi file open failed!",
                                        "open " + file + " err Permission denied"};
    ASSERT_GE(lines.size(), static_cast<size_t>(5 + 3 * attempts + 1)) << mirvo.out();
    for (long i = 0; i < attempts; ++i)
        EXPECT_TRUE(std::equal(failure.begin(), failure.end(), lines.begin() + 5 + 3 * i))
            << "attempt " << i << ":\n" << mirvo.out();
    EXPECT_EQ(lines.back(), "zo_record_stop, filename = " + file + ", stop flag 0");
    EXPECT_FALSE(std::filesystem::exists(file));

    // Where it may write, the same recorder records.
    std::string ok = dir.file("ok.avi");
    int32_t first = record(mirvo, ok, "", "stop", 0, 300ms);
    expect_source_frames(indexed_chunks(ok), first, true);
    EXPECT_EQ(mirvo.interrupt(), 0);
    EXPECT_EQ(mirvo.err(), "");
}

TEST_F(bad_request_e2e, a_start_request_from_another_user_changes_nothing)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "skipped: sending as another user needs root";
    recorder_process mirvo(dir, {{"QEL_PACE", "realtime"}});
    std::string other = dir.file("other.avi");
    bytes datagram = {0, 0, 0, 0};
    bytes payload = start_payload(other);
    datagram.insert(datagram.end(), payload.begin(), payload.end());
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    strncpy(to.sun_path, mirvo.bus().c_str(), sizeof to.sun_path - 1);

    // The child connects while it may (the socket is its owner's only), then becomes user
    // 65534 and sends.
    pid_t child = fork();
    if (child == 0) {
        int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
        bool sent = fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0 &&
                    setgid(65534) == 0 && setuid(65534) == 0 &&
                    send(fd, datagram.data(), datagram.size(), 0) ==
                        static_cast<ssize_t>(datagram.size());
        _exit(sent ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0) << "the child could not send as user 65534";
    ASSERT_TRUE(mirvo.wait_for_err("qelmain: dropped a message:"));
    EXPECT_EQ(mirvo.err(), "qelmain: dropped a message: it came from user 65534, not from this "
                           "process's user\n");
    std::this_thread::sleep_for(1500ms);  // the idle loop would have started a recording
    EXPECT_EQ(mirvo.out_lines().size(), 3u) << "nothing after the banner:\n" << mirvo.out();
    EXPECT_FALSE(std::filesystem::exists(other));

    // The same request from this user is recorded.
    send_datagram(mirvo.bus(), MSG_RECORD_START, payload);
    ASSERT_TRUE(mirvo.wait_for("cur serial is"));
    send_datagram(mirvo.bus(), MSG_RECORD_STOP, {});
    ASSERT_TRUE(mirvo.wait_closed());
    expect_source_frames(indexed_chunks(other), first_serial(mirvo, 0), true);
    EXPECT_EQ(mirvo.interrupt(), 0);
}

// The stand-in message bus and mirvoctl over the real socket: the datagrams that mirvoctl
// builds reach the registered handlers field by field; short, unknown, oversized and
// foreign datagrams; the socket file's mode, stale and live sockets; mirvoctl's command
// line, warnings and errors.
#include "device/qel_control.h"
#include "mirvo_version.h"
#include "bus_client.h"
#include "qel/qelmain.h"
#include "qel/record_request.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using mirvo_test::bytes;
using namespace std::chrono_literals;

// What the handlers received: the message id, the length given, and the whole 256-byte
// payload buffer as the handler saw it.
struct received {
    int id;
    int length;
    bytes payload;
};

std::mutex inbox_lock;
std::condition_variable inbox_changed;
std::vector<received> inbox;

template <int id>
int record_message(void *payload, int length)
{
    auto *p = static_cast<unsigned char *>(payload);
    std::lock_guard<std::mutex> guard(inbox_lock);
    inbox.push_back({id, length, bytes(p, p + 256)});
    inbox_changed.notify_all();
    return 0;
}

const msg_handler_entry handlers[] = {
    {MSG_RECORD_START, record_message<MSG_RECORD_START>},
    {MSG_RECORD_STOP, record_message<MSG_RECORD_STOP>},
    {42, record_message<42>},
};

std::string one_line_error(const mirvo_test::command_result &r)
{
    return r.err.size() && r.err.find('\n') == r.err.size() - 1 ? r.err : "not one line: " + r.err;
}

class message_bus_test : public testing::Test {
protected:
    mirvo_test::temp_dir dir;
    std::string socket_path = dir.file("bus.sock");

    void SetUp() override
    {
        setenv("QEL_BUS", socket_path.c_str(), 1);
        ASSERT_EQ(zo_msg_register(handlers, sizeof handlers), 0);
        ASSERT_EQ(qel_start_msg(5), 0);
        std::lock_guard<std::mutex> guard(inbox_lock);
        inbox.clear();
    }

    void TearDown() override
    {
        qel_stop_msg();
        unsetenv("QEL_BUS");
    }

    // Waits for the next message that the handlers receive; fails the case after 5 s.
    static received next_message()
    {
        std::unique_lock<std::mutex> guard(inbox_lock);
        if (!inbox_changed.wait_for(guard, 5s, [] { return !inbox.empty(); })) {
            ADD_FAILURE() << "no message reached a handler";
            return {-1, -1, {}};
        }
        received m = inbox.front();
        inbox.erase(inbox.begin());
        return m;
    }

    static mirvo_test::command_result mirvoctl(const std::string &arguments)
    {
        return mirvo_test::run(mirvo_test::program("mirvoctl") + " " + arguments);
    }
};

// The payload buffer a handler sees for this payload: zeros after it up to 256 bytes.
bytes as_seen(bytes payload)
{
    payload.resize(256, 0);
    return payload;
}

TEST_F(message_bus_test, mirvoctl_start_reaches_handler_0_with_its_92_bytes_field_by_field)
{
    std::string name = "/recordings/part-1.avi";
    auto r = mirvoctl("start " + name +
                      " --stream 1 --audio 0 --parttime 3 --fps=30 --size 1280x720");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    received m = next_message();
    EXPECT_EQ(m.id, 0);
    EXPECT_EQ(m.length, 92);
    ASSERT_EQ(m.payload.size(), 256u);
    EXPECT_EQ(std::string(m.payload.begin(), m.payload.begin() + 64),
              name + std::string(64 - name.size(), '\0'));
    EXPECT_EQ(mirvo_test::u32_at(m.payload, 64), 1u);    // resolution
    EXPECT_EQ(mirvo_test::u32_at(m.payload, 68), 0u);    // audio_enable
    EXPECT_EQ(mirvo_test::u32_at(m.payload, 72), 3u);    // parttime
    EXPECT_EQ(mirvo_test::u32_at(m.payload, 76), 30u);   // frame_rate
    EXPECT_EQ(mirvo_test::u32_at(m.payload, 80), 0u);    // not read
    EXPECT_EQ(mirvo_test::u32_at(m.payload, 84), 1280u); // width
    EXPECT_EQ(mirvo_test::u32_at(m.payload, 88), 720u);  // height
    EXPECT_EQ(bytes(m.payload.begin() + 92, m.payload.end()), bytes(256 - 92, 0));

    // The defaults fit the default main clip; a name of 63 bytes is the longest that fits.
    std::string longest(59, 'n');
    longest += ".avi";
    r = mirvoctl("start " + longest + " --audio -1");
    ASSERT_EQ(r.status, 0) << r.err;
    m = next_message();
    EXPECT_EQ(m.length, 92);
    EXPECT_EQ(std::string(m.payload.begin(), m.payload.begin() + 64), longest + '\0');
    const uint32_t defaults[] = {0, 0xffffffff, 0, 25, 0, 640, 360};
    for (size_t i = 0; i < 7; ++i)
        EXPECT_EQ(mirvo_test::u32_at(m.payload, 64 + 4 * i), defaults[i]) << "field " << i;
}

TEST_F(message_bus_test, mirvoctl_stop_reaches_handler_1_with_its_mode)
{
    for (auto [arguments, mode] : {std::pair{"--mode 1", 1u}, std::pair{"", 0u},
                                   std::pair{"--mode=-1", 0xffffffffu}, std::pair{"--mode 2", 2u}}) {
        auto r = mirvoctl(std::string("stop ") + arguments);
        ASSERT_EQ(r.status, 0) << r.err;
        received m = next_message();
        EXPECT_EQ(m.id, 1) << arguments;
        EXPECT_EQ(m.length, 4) << arguments;
        EXPECT_EQ(mirvo_test::u32_at(m.payload, 0), mode) << arguments;
    }
}

TEST_F(message_bus_test, a_short_payload_reads_as_zeros_past_its_end)
{
    mirvo_test::send_datagram(socket_path, 0, bytes(92, 0xee));
    EXPECT_EQ(next_message().payload, as_seen(bytes(92, 0xee)));
    mirvo_test::send_datagram(socket_path, 0, {'a', '.', 'a', 'v', 'i'});
    received m = next_message();
    EXPECT_EQ(m.length, 5);
    EXPECT_EQ(m.payload, as_seen({'a', '.', 'a', 'v', 'i'}));
    mirvo_test::send_datagram(socket_path, 1, {});
    m = next_message();
    EXPECT_EQ(m.id, 1);
    EXPECT_EQ(m.length, 0);
    EXPECT_EQ(m.payload, bytes(256, 0));
}

TEST_F(message_bus_test, bad_datagrams_are_dropped_with_a_line_and_delivery_goes_on)
{
    testing::internal::CaptureStderr();
    mirvo_test::send_raw(socket_path, {1, 0});
    mirvo_test::send_datagram(socket_path, 7, {1, 2, 3});
    mirvo_test::send_datagram(socket_path, 0, bytes(257, 1));
    mirvo_test::send_datagram(socket_path, 42, bytes(256, 9));  // any id in the table, the largest payload taken
    received m = next_message();
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(m.id, 42);
    EXPECT_EQ(m.length, 256);
    EXPECT_EQ(m.payload, bytes(256, 9));
    EXPECT_EQ(said,
              "qelmain: dropped a message: 2 bytes are too short for a message id\n"
              "qelmain: dropped a message: no handler for message id 7\n"
              "qelmain: dropped a message: its payload is over 256 bytes\n");
    std::lock_guard<std::mutex> guard(inbox_lock);
    EXPECT_TRUE(inbox.empty());
}

TEST_F(message_bus_test, a_datagram_from_another_user_is_dropped)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "skipped: sending as another user needs root";
    testing::internal::CaptureStderr();
    // The child connects while it may (the socket is 0600), then becomes nobody and sends.
    pid_t child = fork();
    if (child == 0) {
        int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un to{};
        to.sun_family = AF_UNIX;
        snprintf(to.sun_path, sizeof to.sun_path, "%s", socket_path.c_str());
        unsigned char stop[8] = {1, 0, 0, 0, 1, 0, 0, 0};
        bool sent = connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0 &&
                    setgid(65534) == 0 && setuid(65534) == 0 && send(fd, stop, 8, 0) == 8;
        _exit(sent ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0) << "the child could not send as user 65534";
    mirvo_test::send_datagram(socket_path, 1, {2, 0, 0, 0});  // from this user: delivered after the dropped one
    received m = next_message();
    EXPECT_EQ(mirvo_test::u32_at(m.payload, 0), 2u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "qelmain: dropped a message: it came from user 65534, not from this process's user\n");
}

TEST_F(message_bus_test, the_socket_is_owner_only_and_only_a_stale_one_is_replaced)
{
    struct stat st;
    ASSERT_EQ(stat(socket_path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(qel_start_msg(5), 0) << "a second start keeps the running bus";
    qel_stop_msg();
    EXPECT_NE(stat(socket_path.c_str(), &st), 0) << "stopping removes the socket file";

    // A socket file whose process is gone is replaced.
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    snprintf(at.sun_path, sizeof at.sun_path, "%s", socket_path.c_str());
    int other = socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_EQ(bind(other, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
    close(other);
    ASSERT_EQ(qel_start_msg(5), 0);
    ASSERT_EQ(mirvoctl("stop --mode 1").status, 0);
    EXPECT_EQ(next_message().id, 1);
    qel_stop_msg();

    // A live one is never taken over, and a file that is no socket is not touched.
    other = socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_EQ(bind(other, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(qel_start_msg(5), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "qelmain: no message bus: another process listens on " + socket_path +
                  "; not taking it over\n");
    ASSERT_EQ(mirvoctl("stop").status, 0);
    unsigned char got[8];
    EXPECT_EQ(recv(other, got, sizeof got, MSG_DONTWAIT), 8) << "the live socket still receives";
    close(other);
    unlink(socket_path.c_str());

    mirvo_test::write_file(socket_path, {'k', 'e', 'e', 'p'});
    testing::internal::CaptureStderr();
    EXPECT_EQ(qel_start_msg(5), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "qelmain: no message bus: " + socket_path + " exists and is not a socket; not touching it\n");
    EXPECT_EQ(mirvo_test::read_file(socket_path), (bytes{'k', 'e', 'e', 'p'}));
}

TEST_F(message_bus_test, mirvoctl_refuses_bad_requests_and_a_missing_recorder_in_one_line)
{
    const std::pair<std::string, std::string> refused[] = {
        {"start " + std::string(60, 'n') + ".avi",
         "mirvoctl: the file name is 64 bytes long; at most 63 fit in a request\n"},
        {"start a.avi --fps 25x", "mirvoctl: --fps needs a whole number, not '25x'\n"},
        {"start a.avi --stream 4294967296", "mirvoctl: --stream needs a whole number, not '4294967296'\n"},
        {"start a.avi --size 640", "mirvoctl: --size needs WIDTHxHEIGHT, not '640'\n"},
        {"start a.avi --size 640x", "mirvoctl: --size needs WIDTHxHEIGHT, not '640x'\n"},
        {"start a.avi --colour 1", "mirvoctl: unknown option '--colour' for start\n"},
        {"start a.avi -x", "mirvoctl: unknown option '-x' for start\n"},
        {"--version=1", "mirvoctl: --version takes no value\n"},
        {"start a.avi --audio", "mirvoctl: --audio needs a value\n"},
        {"start a.avi b.avi", "mirvoctl: unexpected argument 'b.avi'\n"},
        {"start", "mirvoctl: start needs the FILE to record into\n"},
        {"stop --mode", "mirvoctl: --mode needs a value\n"},
        {"stop --stream 1", "mirvoctl: unknown option '--stream' for stop\n"},
        {"pause", "mirvoctl: unknown command 'pause' (see mirvoctl --help)\n"},
        {"", "mirvoctl: say start, stop or loop (see mirvoctl --help)\n"},
        {"start a.avi --part 2", "mirvoctl: unknown option '--part' for start\n"},
        {"loop", "mirvoctl: loop needs the FOLDER to record into\n"},
        {"loop /card", "mirvoctl: loop needs --part SECONDS\n"},
        {"loop /card --part 0", "mirvoctl: --part needs 1 second or more, not '0'\n"},
        {"loop /card --part 2 --parttime 1", "mirvoctl: unknown option '--parttime' for loop\n"},
        {"loop /card --part 2 --keep-free 5X",
         "mirvoctl: --keep-free needs a size (300M, 2G) or a share (10%), not '5X'\n"},
        {"loop /card --part 2 --protect-limit 101",
         "mirvoctl: --protect-limit needs a share of the card, 0 to 100, not '101'\n"},
        {"loop /card /tape --part 2", "mirvoctl: unexpected argument '/tape'\n"},
    };
    for (const auto &[arguments, line] : refused) {
        auto r = mirvoctl(arguments);
        EXPECT_EQ(r.status, 2) << arguments;
        EXPECT_EQ(r.err, line) << arguments;
        EXPECT_EQ(r.out, "") << arguments;
    }
    std::lock_guard<std::mutex> guard(inbox_lock);
    EXPECT_TRUE(inbox.empty()) << "nothing refused was sent";

    auto help = mirvoctl("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: mirvoctl start FILE", 0), 0u) << help.out;

    std::string nobody = dir.file("nobody.sock");
    const std::string folder = dir.path(), long_folder = dir.file(std::string(40, 'f'));
    mkdir(long_folder.c_str(), 0755);
    const std::pair<std::string, std::string> cannot[] = {
        {"start a.avi", "mirvoctl: no recorder is listening on " + nobody + "\n"},
        {"stop", "mirvoctl: no recorder is listening on " + nobody + "\n"},
        {"loop " + folder + " --part 1", "mirvoctl: no recorder is listening on " + nobody + "\n"},
        {"loop " + folder + "/none --part 1",
         "mirvoctl: " + folder + "/none is not a folder: No such file or directory\n"},
        {"loop " + long_folder + " --part 1",
         "mirvoctl: the folder " + long_folder + " is " + std::to_string(long_folder.size()) +
             " bytes long; with a part's name at most 38 fit in a request\n"},
    };
    for (const auto &[arguments, line] : cannot) {
        auto r = mirvo_test::run("QEL_BUS=" + mirvo_test::shell_quoted(nobody) + " " +
                                 mirvo_test::program("mirvoctl") + " " + arguments);
        EXPECT_EQ(r.status, 1) << arguments;
        EXPECT_EQ(one_line_error(r), line) << arguments;
    }
}

TEST_F(message_bus_test, mirvoctl_takes_options_anywhere_as_opt_value_or_opt_equals_value)
{
    const char *reference = "start /r/a.avi --stream 1 --audio 0 --parttime 3 --fps 30 --size 1280x720";
    ASSERT_EQ(mirvoctl(reference).status, 0);
    received expected = next_message();
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(expected.payload.data())), "/r/a.avi");
    EXPECT_EQ(mirvo_test::u32_at(expected.payload, 84), 1280u);
    for (const char *arguments :
         {"--fps=30 start --size=1280x720 /r/a.avi --audio=0 --stream 1 --parttime=3",
          "--stream 1 --audio=0 --parttime 3 --fps=30 --size 1280x720 start /r/a.avi",
          "start --stream=1 --audio 0 --parttime 3 --fps 30 --size 1280x720 -- /r/a.avi"}) {
        auto r = mirvoctl(arguments);
        ASSERT_EQ(r.status, 0) << arguments << ": " << r.err;
        EXPECT_EQ(r.out + r.err, "") << arguments;
        received m = next_message();
        EXPECT_EQ(m.id, 0) << arguments;
        EXPECT_EQ(m.payload, expected.payload) << arguments;
    }
    ASSERT_EQ(mirvoctl("--mode=1 stop").status, 0);
    received m = next_message();
    EXPECT_EQ(m.id, 1);
    EXPECT_EQ(mirvo_test::u32_at(m.payload, 0), 1u);
}

TEST_F(message_bus_test, mirvoctl_warns_of_a_name_the_recorder_ignores_or_resolves_elsewhere_and_sends_it)
{
    const std::string ignored = "has no \".avi\" in it: the recorder ignores it\n";
    const std::string relative = "is relative: the recorder resolves it in its own working directory\n";
    const std::pair<std::string, std::string> names[] = {
        {"/r/a.avi", ""},
        {"/r/a.mp4", "mirvoctl: warning: '/r/a.mp4' " + ignored},
        {"rec/a.avi", "mirvoctl: warning: 'rec/a.avi' " + relative},
        {"-a.AVI", "mirvoctl: warning: '-a.AVI' " + ignored + "mirvoctl: warning: '-a.AVI' " + relative},
    };
    for (const auto &[name, warnings] : names) {
        auto r = mirvoctl("start -- " + name);
        EXPECT_EQ(r.status, 0) << name;
        EXPECT_EQ(r.err, warnings) << name;
        received m = next_message();
        EXPECT_EQ(m.id, 0) << name;
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(m.payload.data())), name);
    }
}

TEST_F(message_bus_test, mirvoctl_version_is_the_projects)
{
    auto r = mirvoctl("--version");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "mirvoctl " MIRVO_VERSION "\n");
    EXPECT_EQ(r.err, "");
}

}  // namespace

// Failures of the writer and how they are reported: a missing directory, descriptors and
// size limits that refuse writes (chunk, index, header), the fatal ninth track, the byte
// helpers at their edges, and the texts of every error code.
#include "avi/avi_internal.h"
#include "writer_fixture.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace mirvo_test;

namespace {

// Makes writes past `bytes` fail with EFBIG for the life of the object.
class file_size_limit {
public:
    explicit file_size_limit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved_);
        old_handler_ = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~file_size_limit()
    {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, old_handler_);
    }

private:
    rlimit saved_{};
    sighandler_t old_handler_;
};

// Swaps the handle's descriptor for one on path opened with flags.
void replace_fd(avi_handle *h, const char *path, int flags)
{
    int fd = open(path, flags);
    ASSERT_GE(fd, 0);
    ASSERT_GE(dup2(fd, h->fd), 0);
    close(fd);
}

}  // namespace

TEST(avi_create, a_missing_directory_fails_with_code_2_and_the_reason_it_found)
{
    avi_error = 0;
    EXPECT_EQ(AVI_create_output_file("/nonexistent-dir/x.avi"), nullptr);
    EXPECT_EQ(avi_error, AVI_ERROR_OPEN);
    errno = 0;  // what the caller did since does not change the cause the failure found
    EXPECT_EQ(AVI_error_cause(), ENOENT);
    EXPECT_STREQ(AVI_error_text(),
                 "mirvo-avi - Error opening AVI file - No such file or directory");

    testing::internal::CaptureStderr();
    AVI_report_error("rec");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "rec: mirvo-avi - Error opening AVI file\nREASON: No such file or directory\n");
}

TEST(avi_create, permissions_follow_the_creation_mask)
{
    temp_dir dir;
    for (auto [mask, expected] : {std::pair{022, 0644}, std::pair{077, 0600}}) {
        mode_t old = umask(static_cast<mode_t>(mask));
        std::string path = dir.file("m" + std::to_string(mask) + ".avi");
        avi_handle *h = AVI_create_output_file(path.c_str());
        umask(old);
        ASSERT_NE(h, nullptr);
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, static_cast<mode_t>(expected)) << "mask " << mask;
        EXPECT_EQ(AVI_close_handle(h), 0);
    }
}

TEST_F(writer_test, a_failed_chunk_leaves_no_index_entry_and_the_next_chunk_takes_its_place)
{
    AVI_define_video(handle, 320, 240, 25.0, "H264");
    ASSERT_EQ(AVI_put_video_frame(handle, "key!", 4, 1), 0);
    const uint32_t end = handle->write_offset;
    std::string big(10000, 'b');
    {
        file_size_limit limit(end + 100);  // the head and part of the data get through
        avi_error = 0;
        EXPECT_EQ(AVI_put_video_frame(handle, big.data(), 10000, 0), -1);
        EXPECT_EQ(avi_error, AVI_ERROR_WRITE);
        EXPECT_STREQ(AVI_error_text(), "mirvo-avi - Error writing to AVI file - File too large");
        EXPECT_EQ(AVI_put_audio(handle, big.data(), 5000), -1);
    }
    EXPECT_EQ(handle->index_count, 1);
    EXPECT_EQ(handle->max_chunk_len, 4u);
    EXPECT_EQ(handle->video_frame_count, 1);
    EXPECT_EQ(handle->last_video_offset, uint32_t{avi_detail::header_at::first_chunk});
    EXPECT_EQ(handle->tracks[0].byte_count, 0);
    EXPECT_EQ(handle->write_offset, end);
    EXPECT_EQ(lseek(handle->fd, 0, SEEK_CUR), off_t{end});

    ASSERT_EQ(AVI_put_video_frame(handle, "next", 4, 0), 0);
    bytes b = close_and_read();
    expect_fields(b, {{end, "00db"}, {end + 4, le32(4)}, {end + 8, "next"},
                      {end + 12, "idx1"}, {end + 16, le32(32)}, {48, le32(2)}});
    EXPECT_EQ(b.size(), end + 12 + 8 + 32);
}

TEST_F(writer_test, an_index_that_cannot_be_written_still_gets_a_final_header)
{
    AVI_define_video(handle, 320, 240, 25.0, "H264");
    ASSERT_EQ(AVI_put_video_frame(handle, "key!", 4, 1), 0);
    ASSERT_EQ(AVI_repeat_video_frame(handle), 0);
    const uint32_t end = handle->write_offset;
    {
        file_size_limit limit(end + 10);  // the header fits, the index does not
        avi_error = 0;
        EXPECT_EQ(AVI_close_handle(handle), -1);
        handle = nullptr;
        EXPECT_EQ(avi_error, AVI_ERROR_WRITE_INDEX);
    }
    bytes b = read_file(path);
    EXPECT_EQ(b.size(), end) << "no part of the index is left past the data";
    // No index flags: neither "has index" nor "must use index".
    expect_fields(b, {{4, le32(end - 8)}, {44, le32(0x100)}, {48, le32(2)},
                      {avi_detail::header_at::movi_size, le32(end - (avi_detail::header_at::movi_list + 8))}});
}

TEST_F(writer_test, a_descriptor_that_refuses_writes_gives_codes_4_4_and_6)
{
    replace_fd(handle, "/dev/full", O_WRONLY);
    avi_error = 0;
    EXPECT_EQ(AVI_put_video_frame(handle, "abcd", 4, 1), -1);
    EXPECT_EQ(avi_error, AVI_ERROR_WRITE);
    EXPECT_EQ(handle->index_count, 0);

    EXPECT_EQ(AVI_write_header(handle), -1);
    EXPECT_EQ(avi_error, AVI_ERROR_WRITE) << "a header written while recording is no close";

    EXPECT_EQ(AVI_close_handle(handle), -1);
    handle = nullptr;
    EXPECT_EQ(avi_error, AVI_ERROR_CLOSE) << "the header failure replaces the index's 5";
    EXPECT_STREQ(AVI_error_text(), "mirvo-avi - Error closing AVI file - No space left on device");
}

TEST_F(writer_test, a_chunk_after_a_lost_file_position_is_refused_rather_than_written_elsewhere)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_GE(dup2(ends[1], handle->fd), 0);  // writes work, seeks fail
    close(ends[1]);
    EXPECT_EQ(AVI_write_header(handle), -1);
    EXPECT_EQ(avi_error, AVI_ERROR_WRITE);
    EXPECT_EQ(AVI_put_video_frame(handle, "key!", 4, 1), -1);
    EXPECT_EQ(avi_error, AVI_ERROR_WRITE);
    EXPECT_STREQ(AVI_error_text(), "mirvo-avi - Error writing to AVI file - Illegal seek");
    EXPECT_EQ(handle->index_count, 0);

    // Nothing reached the pipe: the header needs its seek, and the frame was not written at
    // whatever place the descriptor stands.
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    char got[16];
    EXPECT_EQ(read(ends[0], got, sizeof got), -1);
    EXPECT_EQ(errno, EAGAIN);
    close(ends[0]);
}

TEST_F(writer_test, a_ninth_audio_track_ends_the_process)
{
    for (int t = 0; t < 8; ++t)
        AVI_add_audio_track(handle, 1, 8000, 16, 1, 128);
    EXPECT_EXIT(AVI_add_audio_track(handle, 1, 8000, 16, 1, 128), testing::ExitedWithCode(1),
                "^error - only 8 audio tracks supported\n$");
}

TEST(avi_error_text, every_code_has_its_text_and_system_codes_add_errno)
{
    const char *texts[] = {
        "No Error", "AVI file size limit reached", "Error opening AVI file",
        "Error reading from AVI file", "Error writing to AVI file",
        "Error writing index (file may still be useable)", "Error closing AVI file",
        "Operation (read/write) not permitted", "Out of memory (malloc failed)",
        "Not an AVI file", "AVI file has no header list (corrupted?)",
        "AVI file has no MOVI list (corrupted?)", "AVI file has no video data",
        "operation needs an index", "Unknown Error",
        "AVI file has more audio tracks than supported",
    };
    static_assert(sizeof texts / sizeof *texts == AVI_ERROR_COUNT);
    for (int code = 0; code < AVI_ERROR_COUNT; ++code) {
        errno = EACCES;
        avi_detail::fail(code);
        errno = 0;  // the cause is the one the failure found
        std::string expected = std::string("mirvo-avi - ") + texts[code];
        if (code >= 2 && code <= 6)
            expected += " - Permission denied";
        EXPECT_EQ(AVI_error_text(), expected) << "code " << code;

        testing::internal::CaptureStderr();
        AVI_report_error("p");
        std::string printed = "p: mirvo-avi - " + std::string(texts[code]) + "\n";
        if (code >= 2 && code <= 6)
            printed += "REASON: Permission denied\n";
        EXPECT_EQ(testing::internal::GetCapturedStderr(), printed) << "code " << code;
    }
    for (int code : {-1, int{AVI_ERROR_COUNT}, 1000}) {
        avi_error = code;
        EXPECT_STREQ(AVI_error_text(), "mirvo-avi - Unknown Error");
    }
}

TEST(avi_error_text, a_success_leaves_the_last_code_in_place)
{
    temp_dir dir;
    AVI_create_output_file("/nonexistent-dir/x.avi");
    avi_handle *h = AVI_create_output_file(dir.file("ok.avi").c_str());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(avi_error, AVI_ERROR_OPEN);
    EXPECT_EQ(AVI_close_handle(h), 0);
    EXPECT_EQ(avi_error, AVI_ERROR_OPEN);
}

TEST(avi_bytes, whole_buffer_reads_and_writes_stop_only_at_the_end_or_an_error)
{
    temp_dir dir;
    std::string path = dir.file("five");
    write_file(path, bytes{1, 2, 3, 4, 5});
    int fd = open(path.c_str(), O_RDONLY);
    unsigned char buffer[8] = {};
    EXPECT_EQ(read_fully(fd, buffer, 8), 5);
    EXPECT_EQ(read_fully(fd, buffer, 8), 0);
    EXPECT_LT(write_fully(fd, buffer, 4), 0) << "a read-only descriptor refuses";
    close(fd);

    // A pipe takes far less than this in one call: the writes must loop, in order.
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    bytes sent(300000), received(sent.size());
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<unsigned char>(i * 7 + i / 251);
    std::thread reader([&] { read_fully(pipe_fds[0], received.data(), received.size()); });
    iovec parts[3] = {{sent.data(), 1}, {sent.data() + 1, 200000}, {sent.data() + 200001, 99999}};
    EXPECT_EQ(write_fully_vec(pipe_fds[1], parts, 3), 300000);
    reader.join();
    EXPECT_EQ(received, sent);
    close(pipe_fds[0]);
    close(pipe_fds[1]);

    unsigned char le[4];
    put_u32_le(le, 0x12345678);
    EXPECT_EQ(le[0], 0x78);
    EXPECT_EQ(le[3], 0x12);
    EXPECT_EQ(get_u32_le(le), 0x12345678u);
    EXPECT_EQ(get_u16_le(le), 0x5678u);
}

TEST_F(writer_test, a_close_that_cannot_cut_the_bytes_of_a_failed_write_says_so)
{
    // Bytes of a chunk that failed part-way lie past the data, and the file may not shrink
    // (a sealed memory file): the index and header are written, the close reports 6.
    AVI_define_video(handle, 320, 240, 25.0, "H264");
    ASSERT_EQ(AVI_put_video_frame(handle, "key!", 4, 1), 0);
    bytes b = current_bytes();
    b.resize(b.size() + 100, 'x');
    int fd = memfd_create("cut", MFD_ALLOW_SEALING);
    if (fd < 0)
        GTEST_SKIP() << "memfd_create is not available here: " << strerror(errno);
    ASSERT_EQ(write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    ASSERT_EQ(fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK), 0);
    ASSERT_GE(lseek(fd, handle->write_offset, SEEK_SET), 0);
    ASSERT_GE(dup2(fd, handle->fd), 0);
    close(fd);
    avi_error = 0;
    EXPECT_EQ(AVI_close_handle(handle), -1);
    handle = nullptr;
    EXPECT_EQ(avi_error, AVI_ERROR_CLOSE);
    EXPECT_STREQ(AVI_error_text(), "mirvo-avi - Error closing AVI file - Operation not permitted");
}

// Damaged and unusual files, built byte by byte: each opens with the documented result
// (frames found, how the index was found) or fails with the documented code, and no size
// in a file can make a walk go backwards or on for ever.
#include "avi/avi_internal.h"
#include "avi_builder.h"
#include "reader_fixture.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace mirvo_test;
using namespace mirvo_test::avi_build;

namespace {

// Three video frames (5, 6 and 7 bytes) with one 4-byte chunk of track 0 after the first.
const std::string frame_a = chunk("00db", "AAAAA"), audio_b = chunk("01wb", "bbbb"),
                  frame_c = chunk("00db", "CCCCCC"), frame_d = chunk("00db", "DDDDDDD");
const std::string movi = frame_a + audio_b + frame_c + frame_d;

// The index of that "movi" list for a file with one track, offsets counted from `base`
// (the absolute position of the first chunk head less `shift`).
std::string index_of_movi(int64_t shift = 0, uint32_t key_flags = AVI_KEY_FRAME)
{
    auto at = static_cast<uint32_t>(static_cast<int64_t>(movi_at(1)) - shift);
    return index({{"00db", key_flags, at, 5},
                  {"01wb", 0, at + 14, 4},
                  {"00db", 0, at + 26, 6},
                  {"00db", 0, at + 40, 7}});
}

std::string with_index(int64_t shift = 0)
{
    return file(movi, 1, index_of_movi(shift));
}

std::string cut(const std::string &s, size_t length)
{
    return s.substr(0, length);
}

std::string with_riff_header(const std::string &streams, const std::string &rest)
{
    return riff(header_list(streams) + rest);
}

struct damaged_case {
    const char *name;
    std::string content;
    int32_t error;       // 0: opens; -1: fails with avi_error untouched; else the code
    int32_t frames = 0;  // when it opens
    int32_t origin = 0;
};

std::vector<damaged_case> cases()
{
    const std::string streams = video_stream() + audio_stream();
    std::string nine_tracks = video_stream();
    for (int t = 0; t < 9; ++t)
        nine_tracks += audio_stream();
    std::string rec_lists = list("rec ", frame_a + audio_b) + list("rec ", frame_c + frame_d);
    return {
        {"index_with_absolute_offsets", with_index(), 0, 3, AVI_INDEX_ABSOLUTE},
        {"index_relative_to_movi", with_index(static_cast<int64_t>(movi_at(1)) - 4), 0, 3, AVI_INDEX_RELATIVE},
        {"no_index", file(movi, 1), 0, 3, AVI_INDEX_REBUILT},
        {"index_that_fits_neither_rule", with_index(-2), 0, 3, AVI_INDEX_REBUILT},
        {"index_pointing_past_the_end", with_index(-0x7fff0000LL), 0, 3, AVI_INDEX_REBUILT},
        {"index_without_video", file(movi, 1, index({{"01wb", 0, 4, 4}})), AVI_ERROR_NO_VIDEO},
        {"rec_lists", file(rec_lists, 1), 0, 3, AVI_INDEX_REBUILT},
        {"cut_in_the_middle_of_a_chunk", cut(file(movi, 1), movi_at(1) + 40 + 8 + 3), 0, 2, AVI_INDEX_REBUILT},
        {"lower_case_signature", riff(header_list(streams) + list("movi", movi), "avi ", "riff"), 0, 3,
         AVI_INDEX_REBUILT},
        {"nine_audio_streams", with_riff_header(nine_tracks, list("movi", movi)), AVI_ERROR_TOO_MANY_TRACKS},
        {"audio_only", with_riff_header(audio_stream(), list("movi", audio_b)), AVI_ERROR_NO_VIDEO},
        {"video_header_without_format",
         with_riff_header(list("strl", strh("vids", "H264", 1, 25, 0)), list("movi", movi)), AVI_ERROR_NO_VIDEO},
        {"no_video_chunks", file(audio_b, 1), AVI_ERROR_NO_VIDEO},
        {"wave_file", riff(chunk("fmt ", std::string(16, '\1')) + chunk("data", "abcd"), "WAVE"),
         AVI_ERROR_NOT_AVI},
        {"fewer_than_12_bytes", "RIFF\4\0\0\0AVI", AVI_ERROR_READ},
        {"empty", "", AVI_ERROR_READ},
        {"no_header_list", riff(list("movi", movi)), AVI_ERROR_NO_HEADER_LIST},
        {"no_movi_list", with_riff_header(streams, ""), AVI_ERROR_NO_MOVI},
        {"second_riff_part_skipped", file(movi, 1) + riff(list("movi", frame_a + frame_a), "AVIX"), 0, 3,
         AVI_INDEX_REBUILT},
        {"dc_chunks_are_video", file(chunk("00dc", "x") + chunk("00DB", "yy"), 0), 0, 2, AVI_INDEX_REBUILT},
        // Sizes of 0x80000000 and more, and lists too short for their type.
        {"junk_of_2_gib_before_the_header", riff(chunk("JUNK", "", 0x80000000LL) + header_list(streams)),
         AVI_ERROR_NO_HEADER_LIST},
        {"junk_of_4_gib_after_movi", file(movi, 1, chunk("JUNK", "", 0xffffffffLL)), 0, 3, AVI_INDEX_REBUILT},
        {"top_level_list_of_size_0", file(movi, 1, "LIST" + le32(0) + index_of_movi()), 0, 3, AVI_INDEX_REBUILT},
        {"movi_list_of_size_3", with_riff_header(streams, list("movi", movi, 3)), AVI_ERROR_NO_MOVI},
        {"list_of_size_2_inside_movi", file(frame_a + "LIST" + le32(2) + "rec " + frame_c, 1), 0, 1,
         AVI_INDEX_REBUILT},
        {"frame_of_4_gib_inside_movi", file(frame_a + chunk("00db", "", 0xfffffff0LL) + frame_c, 1), 0, 1,
         AVI_INDEX_REBUILT},
        {"stream_header_of_2_gib", with_riff_header(chunk("strh", "vids", 0x80000000LL), list("movi", movi)),
         AVI_ERROR_NO_VIDEO},
        // An index longer than the rest of the file (a close cut short inside it) is no index.
        {"index_of_2_gib", file(movi, 1, chunk("idx1", "", 0x80000000LL)), 0, 3, AVI_INDEX_REBUILT},
        {"index_cut_one_entry_short", cut(with_index(), with_index().size() - sizeof(avi_index_entry)), 0, 3,
         AVI_INDEX_REBUILT},
        {"header_list_of_2_gib", riff(list("hdrl", "", 0x7ffffff0LL)), AVI_ERROR_READ},
        {"header_list_of_size_0", riff(list("hdrl", "", 0) + list("movi", movi)), AVI_ERROR_NO_HEADER_LIST},
    };
}

class damaged : public ::testing::TestWithParam<damaged_case> {};

}  // namespace

TEST_P(damaged, opens_with_the_documented_result_or_code)
{
    const damaged_case &c = GetParam();
    temp_dir dir;
    write_file(dir.file("f.avi"), to_bytes(c.content));
    for (int with : {1, 0}) {
        SCOPED_TRACE(with ? "with the index" : "without the index");
        avi_error = 99;
        reader h = open_reader(dir.file("f.avi"), with);
        if (c.error != 0) {
            // Without the index, only the index's own faults go unseen.
            bool index_fault = c.error == AVI_ERROR_NO_VIDEO && c.content.find("strf") != std::string::npos;
            if (!with && (index_fault || c.error == AVI_ERROR_READ) && h)
                continue;
            EXPECT_FALSE(h);
            EXPECT_EQ(avi_error, c.error) << AVI_error_text();
            continue;
        }
        ASSERT_TRUE(h) << AVI_error_text();
        if (!with)
            continue;
        EXPECT_EQ(AVI_frame_count(h.get()), c.frames);
        EXPECT_EQ(AVI_index_origin(h.get()), c.origin);
        // Every frame the tables list can be read, and file-order reading ends.
        bytes buffer(64);
        for (int32_t n = 0; n < c.frames; ++n)
            EXPECT_GT(AVI_read_video_frame(h.get(), buffer.data(), 64, nullptr), 0) << AVI_error_text();
        ASSERT_EQ(AVI_rewind(h.get()), 0);
        int32_t length;
        int chunks = 0;
        while (AVI_read_next_chunk(h.get(), buffer.data(), 64, buffer.data(), 64, &length) != 0)
            ASSERT_LT(++chunks, 100);
    }
}

INSTANTIATE_TEST_SUITE_P(files, damaged, ::testing::ValuesIn(cases()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(damaged_file, a_ninth_audio_stream_sets_its_code_and_is_said_unless_quiet)
{
    std::string streams = video_stream();
    for (int t = 0; t < 9; ++t)
        streams += audio_stream();
    temp_dir dir;
    write_file(dir.file("f.avi"), to_bytes(riff(header_list(streams) + list("movi", movi))));
    ::testing::internal::CaptureStderr();
    reader h = open_reader(dir.file("f.avi"));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "error - only 8 audio tracks supported\n");
    EXPECT_FALSE(h);
    EXPECT_EQ(avi_error, AVI_ERROR_TOO_MANY_TRACKS);

    AVI_set_quiet(1);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(open_reader(dir.file("f.avi")));
    AVI_set_quiet(0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(avi_error, AVI_ERROR_TOO_MANY_TRACKS);
}

TEST(damaged_file, fields_of_short_chunks_read_as_zero_and_copies_are_cut)
{
    // A stream header of 8 bytes and a video format of 12 whose size field says 40; an
    // audio format that announces 100 extra bytes it does not hold.
    std::string short_video = list("strl", chunk("strh", "vidsH264") +
                                               chunk("strf", le32(40) + le32(320) + le32(240)));
    std::string wave = le16(1) + le16(1) + le32(8000) + le32(16000) + le16(2) + le16(16) + le16(100) + "XY";
    std::string audio = list("strl", strh("auds", std::string(4, '\0'), 1, 8000, 0) + chunk("strf", wave));
    temp_dir dir;
    write_file(dir.file("f.avi"), to_bytes(riff(header_list(short_video + audio) + list("movi", movi))));
    reader h = open_reader(dir.file("f.avi"));
    ASSERT_TRUE(h) << AVI_error_text();
    EXPECT_EQ(AVI_frame_width(h.get()), 320);
    EXPECT_EQ(AVI_frame_height(h.get()), 240);
    EXPECT_STREQ(AVI_codec_fourcc(h.get()), "");
    EXPECT_STREQ(h->compressor, "H264");
    EXPECT_EQ(AVI_frames_per_second(h.get()), 0.0);
    ASSERT_NE(h->video_format, nullptr);
    EXPECT_EQ(get_u32_le(h->video_format), 40u);  // the copy holds the 12 bytes there are

    const unsigned char *copy = h->track_formats[0];
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(copy), 20), wave);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(copy) + 20, 100), std::string(100, '\0'));
    EXPECT_EQ(AVI_track_bits(h.get()), 16);
    EXPECT_EQ(AVI_track_bitrate(h.get()), 128);
}

TEST(damaged_file, audio_format_extra_bytes_come_from_the_file)
{
    // Extra size 2: a 22-byte copy. A 16-byte format without an extra size: 20 bytes, the
    // last four zero rather than the bytes of the chunk after it.
    std::string wave = le16(0x11) + le16(1) + le32(8000) + le32(4055) + le16(256) + le16(4) + le16(2) + "\xf9\x01";
    std::string pcm16 = le16(1) + le16(2) + le32(8000) + le32(32000) + le16(4) + le16(16);
    std::string streams = video_stream() +
                          list("strl", strh("auds", std::string(4, '\0'), 1, 8000, 0) + chunk("strf", wave)) +
                          list("strl", strh("auds", std::string(4, '\0'), 1, 8000, 0) + chunk("strf", pcm16) +
                                           chunk("strn", "name"));
    temp_dir dir;
    write_file(dir.file("f.avi"), to_bytes(riff(header_list(streams) + list("movi", movi))));
    reader h = open_reader(dir.file("f.avi"));
    ASSERT_TRUE(h) << AVI_error_text();
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(h->track_formats[0]), 22), wave + std::string(2, '\0'));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(h->track_formats[1]), 20), pcm16 + std::string(4, '\0'));
    ASSERT_EQ(AVI_select_audio_track(h.get(), 1), 0);
    EXPECT_EQ(AVI_track_channels(h.get()), 2);
    EXPECT_EQ(AVI_track_format(h.get()), 1);
}

TEST(damaged_file, chunks_of_the_first_track_count_whatever_its_stream_number)
{
    // Streams: video, a text stream, an audio stream (number 2) whose chunks are "01wb";
    // a second audio track without chunks.
    std::string text = list("strl", strh("txts", "    ", 1, 1, 0));
    std::string streams = video_stream() + text + audio_stream() + audio_stream();
    temp_dir dir;
    write_file(dir.file("f.avi"), to_bytes(riff(header_list(streams) + list("movi", movi))));
    reader h = open_reader(dir.file("f.avi"));
    ASSERT_TRUE(h) << AVI_error_text();
    EXPECT_EQ(h->tracks[0].stream_no, 2);
    EXPECT_EQ(AVI_track_chunks(h.get()), 1);
    EXPECT_EQ(AVI_track_bytes(h.get()), 4);
    ASSERT_EQ(AVI_select_audio_track(h.get(), 1), 0);
    EXPECT_EQ(AVI_track_chunks(h.get()), 0);
    EXPECT_EQ(AVI_track_bytes(h.get()), 0);
    EXPECT_EQ(h->tracks[1].chunk_table, nullptr);
    bytes b(8);
    avi_error = 0;
    EXPECT_EQ(AVI_read_audio_bytes(h.get(), b.data(), 8), -1);
    EXPECT_EQ(avi_error, AVI_ERROR_NEEDS_INDEX);
}

// An address-space limit cannot work beside AddressSanitizer's shadow memory.
#if defined(__SANITIZE_ADDRESS__)
#define MIRVO_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MIRVO_SANITIZED 1
#endif
#endif

TEST(damaged_file, a_rebuild_that_runs_out_of_memory_fails_with_code_8)
{
#ifdef MIRVO_SANITIZED
    GTEST_SKIP() << "an address-space limit cannot be set under the sanitizers";
#else
    if (*MIRVO_EMULATOR)
        GTEST_SKIP() << "an address-space limit does not bound the heap of an emulated process";
    // 200 000 empty frames without an index: the rebuilt index needs 3.2 MB.
    std::string frames;
    for (int i = 0; i < 200000; ++i)
        frames += chunk("00db", "");
    temp_dir dir;
    write_file(dir.file("f.avi"), to_bytes(file(frames, 0)));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Room for what the process has now and a little more, not for the index.
        struct rlimit limit;
        getrlimit(RLIMIT_AS, &limit);
        FILE *status = fopen("/proc/self/statm", "r");
        unsigned long pages = 0;
        if (!status || fscanf(status, "%lu", &pages) != 1)
            _exit(100);
        fclose(status);
        limit.rlim_cur = pages * static_cast<unsigned long>(sysconf(_SC_PAGESIZE)) + (1 << 20);
        setrlimit(RLIMIT_AS, &limit);
        avi_handle *h = AVI_open_input(dir.file("f.avi").c_str(), 1);
        _exit(h ? 101 : avi_error);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), AVI_ERROR_NO_MEMORY);
#endif
}

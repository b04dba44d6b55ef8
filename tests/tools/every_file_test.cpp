// mirvo-avi over every file we have: the test data, the peers' files, the fuzz regressions
// and the fuzz corpus's seeds, and files made here the way our tests make them (ours,
// cut off, cut short, claiming more than they hold, nine audio streams, names and codes
// that are not UTF-8). Every subcommand ends with exit status 0 and nothing on standard
// error, or 1 and one line that names the file; JSON always parses. What cannot be read or
// written is refused on one line, without blocking and before anything is allocated.
#include "avi_builder.h"
#include "tool_fixture.h"

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

using namespace mirvo_test;
namespace fs = std::filesystem;

namespace {

void add_files_under(const std::string &dir, std::vector<std::string> &files)
{
    for (const auto &entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file())
            files.push_back(entry.path().string());
    }
}

// A copy of `from` with the bytes at `at` replaced.
void write_patched(const std::string &path, bytes from, size_t at, const std::string &patch)
{
    std::copy(patch.begin(), patch.end(), from.begin() + static_cast<long>(at));
    write_file(path, from);
}

size_t find_text(const bytes &b, const std::string &text)
{
    auto at = std::search(b.begin(), b.end(), text.begin(), text.end());
    EXPECT_NE(at, b.end()) << text;
    return static_cast<size_t>(at - b.begin());
}

// A finished file of ours whose second video frame claims almost 2 GiB in the index (the
// first one must match its chunk for the index to be taken).
bytes claiming_2_gib(bytes finished, int tracks)
{
    size_t second_video = find_text(finished, "idx1") + 8 + 16 * static_cast<size_t>(1 + tracks);
    std::string size = le32(0x7ffffff0);
    std::copy(size.begin(), size.end(), finished.begin() + static_cast<long>(second_video + 12));
    return finished;
}

bytes nine_audio_streams()
{
    namespace b = avi_build;
    std::string streams = b::video_stream();
    for (int t = 0; t < 9; ++t)
        streams += b::audio_stream();
    return b::to_bytes(b::riff(b::header_list(streams) + b::list("movi", b::chunk("00db", "frame"))));
}

// The files our tests make, written into dir.
std::vector<std::string> made_files(const temp_dir &dir)
{
    std::vector<std::string> files;
    auto add = [&](const std::string &name, const bytes &content) {
        files.push_back(dir.file(name));
        write_file(files.back(), content);
    };
    std::string ours = dir.file("ours.avi");
    recording two_tracks = record_clip(ours, {.tracks = 2, .repeat_every = 7});
    files.push_back(ours);
    bytes finished = two_tracks.closed;
    add("cut-off.avi", two_tracks.before_close);
    for (size_t keep : {size_t{0}, size_t{11}, size_t{12}, size_t{2048}, size_t{2053}, finished.size() / 2,
                        finished.size() - 9, finished.size() - 1})
        add("cut-at-" + std::to_string(keep) + ".avi", bytes(finished.begin(), finished.begin() + static_cast<long>(keep)));

    add("claims-2-gib.avi", claiming_2_gib(finished, 2));
    files.push_back(dir.file("codec-not-utf8.avi"));
    write_patched(files.back(), finished, find_text(finished, "strf") + 8 + 16, "H\xff\xfe" "4");
    add("name-not-utf8-caf\xe9.avi", finished);
    add("nine-audio-streams.avi", nine_audio_streams());
    bytes peer = read_file(source_path("tests/data/peers/ffmpeg-pcm.avi"));
    add("ffmpeg-cut-off.avi", bytes(peer.begin(), peer.begin() + static_cast<long>(peer.size() * 3 / 5)));
    return files;
}

// Exit status 0 and a quiet standard error, or 1 and one line that begins with the file's name.
void expect_clean_end(const command_result &r, const std::string &file)
{
    if (r.status == 0) {
        EXPECT_EQ(r.err, "");
        return;
    }
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind(file + ": ", 0), 0u) << r.err;
    for (const char *hollow : {"No Error", "Success"})
        EXPECT_EQ(r.err.find(hollow), std::string::npos) << r.err;
}

void expect_json(const std::string &text)
{
    EXPECT_TRUE(nlohmann::json::accept(text)) << text;
}

}  // namespace

TEST(every_file, every_subcommand_ends_with_0_or_with_1_and_one_line_naming_the_file)
{
    temp_dir dir, out;
    std::vector<std::string> files = made_files(dir);
    add_files_under(source_path("tests/data"), files);
    add_files_under(source_path("fuzz/regressions"), files);
    std::string seeds = dir.file("seeds");
    fs::create_directory(seeds);
    command_result seeded = run(program("tool_test_seeds") + " " + shell_quoted(seeds));
    ASSERT_EQ(seeded.status, 0) << seeded.err;
    add_files_under(seeds, files);
    ASSERT_GT(files.size(), 30u);

    int finished = 0, refused = 0;
    for (const std::string &file : files) {
        SCOPED_TRACE(file);
        std::string f = shell_quoted(file);
        for (const char *cmd : {"info", "info --json", "frames", "frames --json"}) {
            SCOPED_TRACE(cmd);
            command_result r = mirvo_avi(std::string(cmd) + " " + f);
            expect_clean_end(r, file);
            if (std::string(cmd).find("json") != std::string::npos && (r.status == 0 || !r.out.empty()))
                expect_json(r.out);
            (r.status == 0 ? finished : refused) += 1;
        }
        command_result extract = mirvo_avi("extract " + f + " --video " + shell_quoted(out.file("v.h264")) +
                                           " --audio " + shell_quoted(out.file("a.wav")));
        expect_clean_end(extract, file);

        std::string copy = out.file("copy.avi");
        fs::copy_file(file, copy, fs::copy_options::overwrite_existing);
        expect_clean_end(mirvo_avi("repair " + shell_quoted(copy)), copy);
    }
    EXPECT_GT(finished, 0);
    EXPECT_GT(refused, 0);
}

TEST(every_file, what_cannot_be_read_or_written_is_refused_on_one_line_without_blocking)
{
    temp_dir dir;
    std::string fifo = dir.file("fifo.avi"), folder = dir.file("folder.avi"), rec = dir.file("rec.avi");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_TRUE(fs::create_directory(folder));
    bytes finished = record_clip(rec, {}).closed;
    std::string claims = dir.file("claims.avi"), nine = dir.file("nine.avi");
    write_file(claims, claiming_2_gib(finished, 1));
    write_file(nine, nine_audio_streams());
    std::string big = dir.file("big.h264");
    long frame_offset = AVI_frame_file_offset(open_reader(claims).get(), 1);
    std::string claim = "video frame 1 claims 2147483632 bytes at offset " + std::to_string(frame_offset) +
                        ", past the end of the file (" + std::to_string(finished.size()) + " bytes)";

    struct refusal {
        std::string command_line, message;
    };
    std::vector<refusal> table;
    for (const char *cmd : {"info", "frames", "extract --video /dev/null", "repair"}) {
        table.push_back({std::string(cmd) + " " + fifo, fifo + ": not a regular file (a FIFO)"});
        bool walks = std::string(cmd).find("extract") == std::string::npos;
        table.push_back({std::string(cmd) + " " + folder,
                         folder + (walks ? ": no .avi file in it" : ": not a regular file (a directory)")});
    }
    table.push_back({"info /dev/null", "/dev/null: not a regular file (a character device)"});
    table.push_back({"frames " + claims, claims + ": " + claim});
    table.push_back({"extract " + claims + " --video " + big, claims + ": " + claim});
    table.push_back({"info " + nine, nine + ": it has more than 8 audio streams"});
    table.push_back({"frames " + rec + " >/dev/full", "standard output: No space left on device"});
    table.push_back({"extract " + rec + " --video /dev/full", "/dev/full: No space left on device"});
    // A write past RLIMIT_FSIZE fails with EFBIG when SIGXFSZ is ignored; the output goes.
    table.push_back({"extract " + rec + " --video " + big, big + ": File too large"});
    for (const refusal &t : table) {
        SCOPED_TRACE(t.command_line);
        std::string prefix = t.message.find("File too large") != std::string::npos ? "trap '' XFSZ; ulimit -f 1; " : "";
        command_result r = run(prefix + "timeout 20 " + program("mirvo-avi") + " " + t.command_line);
        EXPECT_EQ(r.status, 1) << "124 is a hang";
        EXPECT_EQ(r.err, t.message + "\n");
        EXPECT_FALSE(fs::exists(big)) << "a refused extract leaves no output";
    }
    EXPECT_TRUE(fs::is_character_file("/dev/full")) << "only a file that extract wrote is removed";
}

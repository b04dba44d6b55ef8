// mirvo-avi's command line as people write it: --version, options in any order, joined to
// their values or apart, "--" before a name that starts with a dash, "-" for standard
// output, and frames as JSON; a wrong command line is exit status 2 with the usage line.
#include "tool_fixture.h"

#include "mirvo_version.h"

#include <nlohmann/json.hpp>
#include <sstream>

using namespace mirvo_test;

namespace {

class command_line : public ::testing::Test {
protected:
    void SetUp() override
    {
        record_clip(rec, {.frames = 12, .tracks = 2});
    }
    temp_dir dir;
    std::string rec = dir.file("rec.avi");
    std::string q(const std::string &name) const { return shell_quoted(dir.file(name)); }
};

}  // namespace

TEST_F(command_line, version_is_the_projects_own)
{
    for (const char *args : {"--version", "info --version", "extract --version"}) {
        command_result r = mirvo_avi(args);
        EXPECT_EQ(r.status, 0) << args;
        EXPECT_EQ(r.out, std::string("mirvo-avi ") + MIRVO_VERSION + "\n") << args;
    }
}

TEST_F(command_line, options_go_in_any_order_joined_or_apart_and_double_dash_ends_them)
{
    std::string f = shell_quoted(rec);
    command_result info = mirvo_avi("info --json " + f);
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(mirvo_avi("info " + f + " --json").out, info.out);

    ASSERT_EQ(mirvo_avi("extract " + f + " --video " + q("v1") + " --audio " + q("a1") + " --track 1").status, 0);
    command_result joined = mirvo_avi("extract --track=1 --audio=" + q("a2") + " " + f + " --video=" + q("v2"));
    ASSERT_EQ(joined.status, 0) << joined.err;
    EXPECT_TRUE(read_file(dir.file("v1")) == read_file(dir.file("v2")));
    EXPECT_TRUE(read_file(dir.file("a1")) == read_file(dir.file("a2")));
    EXPECT_FALSE(read_file(dir.file("v2")).empty());

    write_file(dir.file("-dash.avi"), read_file(rec));
    std::string in_dir = "cd " + shell_quoted(dir.path()) + " && ";
    command_result dashed = mirvo_avi("info --json -- -dash.avi", in_dir);
    ASSERT_EQ(dashed.status, 0) << dashed.err;
    EXPECT_EQ(nlohmann::json::parse(dashed.out)["video"], nlohmann::json::parse(info.out)["video"]);
    command_result undashed = mirvo_avi("info -dash.avi", in_dir);
    EXPECT_EQ(undashed.status, 2);
    EXPECT_EQ(undashed.err.substr(0, undashed.err.find('\n')), "mirvo-avi info: unknown option '-d'");
}

TEST_F(command_line, a_dash_writes_to_standard_output_and_frames_lists_as_json)
{
    std::string f = shell_quoted(rec);
    // A dash reads standard input, a file or a pipe; repair, which changes a file, refuses it.
    command_result by_name = mirvo_avi("info " + f), redirected = mirvo_avi("info - < " + f);
    command_result piped = run("cat " + f + " | " + program("mirvo-avi") + " info -");
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out, redirected.out);
    EXPECT_EQ(piped.out.substr(piped.out.find('\n')), by_name.out.substr(by_name.out.find('\n')));
    EXPECT_EQ(mirvo_avi("repair - < " + f).err, "-: standard input cannot be repaired: repair changes a file in place\n");

    ASSERT_EQ(mirvo_avi("extract " + f + " --video " + q("v.h264") + " --audio " + q("a.wav")).status, 0);
    command_result video = mirvo_avi("extract " + f + " --video -");
    ASSERT_EQ(video.status, 0) << video.err;
    EXPECT_TRUE(bytes(video.out.begin(), video.out.end()) == read_file(dir.file("v.h264")));
    command_result audio = mirvo_avi("extract " + f + " --audio=-");
    ASSERT_EQ(audio.status, 0) << audio.err;
    EXPECT_TRUE(bytes(audio.out.begin(), audio.out.end()) == read_file(dir.file("a.wav")));

    command_result text = mirvo_avi("frames " + f), json = mirvo_avi("frames --json " + f);
    ASSERT_EQ(json.status, 0) << json.err;
    auto listed = nlohmann::json::parse(json.out);
    std::istringstream lines(text.out);
    std::string line;
    std::getline(lines, line);  // the heading
    size_t n = 0;
    for (; std::getline(lines, line); ++n) {
        ASSERT_LT(n, listed.size());
        const auto &e = listed[n];
        char want[160];
        snprintf(want, sizeof want, "%s %d %lld %lld %d %s", e["stream"].get<std::string>().c_str(),
                 e["number"].get<int>(), e["offset"].get<long long>(), e["length"].get<long long>(),
                 e["key"].get<bool>() ? 1 : 0, e["crc32"].get<std::string>().c_str());
        EXPECT_EQ(line, want);
    }
    EXPECT_EQ(n, listed.size());
    EXPECT_EQ(n, 12u * 3);
}

TEST_F(command_line, a_wrong_command_line_is_status_2_with_the_reason_and_the_usage)
{
    std::string f = shell_quoted(rec);
    struct wrong {
        std::string args, reason;
    };
    const wrong table[] = {
        {"info --bogus " + f, "mirvo-avi info: unknown option '--bogus'"},
        {"extract " + f + " --video", "mirvo-avi extract: --video needs a value"},
        {"extract " + f + " --video - --audio -", "mirvo-avi extract: only one of --video and --audio can go to standard output"},
        {"extract " + f + " --track=9 --audio " + q("a.wav"), "mirvo-avi extract: --track takes a number from 0 to 7, not '9'"},
        {"extract " + f + " " + q("b.avi") + " --video " + q("v.h264"),
         "mirvo-avi extract: expected one file, not also '" + dir.file("b.avi") + "'"},
        {"info --json=yes " + f, "mirvo-avi info: unknown option '--json=yes'"},
    };
    for (const wrong &w : table) {
        command_result r = mirvo_avi(w.args);
        EXPECT_EQ(r.status, 2) << w.args;
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')), w.reason) << w.args;
        EXPECT_NE(r.err.find("\nusage: mirvo-avi "), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

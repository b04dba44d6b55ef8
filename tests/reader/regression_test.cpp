// Replays the inputs kept in fuzz/regressions/ (what the fuzz harness found, and files whose
// sizes would make a walk go backwards): each opens with the index as its name says
// (NAME.opens.avi, or NAME.fails-CODE.avi), and every read over it, with and without the
// index, comes to an end; and the whole reading API over it, repair included, keeps its rules.
#include "drive_reads.h"
#include "reader_fixture.h"

#include <filesystem>
#include <regex>

using namespace mirvo_test;

TEST(fuzz_regressions, each_kept_input_opens_as_its_name_says_and_every_read_ends)
{
    std::regex name_rule(R"(.*\.(opens|fails-(\d+))\.avi)");
    int replayed = 0;
    for (const auto &entry : std::filesystem::directory_iterator(source_path("fuzz/regressions"))) {
        std::string name = entry.path().filename().string();
        std::smatch m;
        ASSERT_TRUE(std::regex_match(name, m, name_rule)) << name << ": name it NAME.opens.avi or NAME.fails-CODE.avi";
        SCOPED_TRACE(name);
        for (int with_index : {1, 0}) {
            avi_error = 0;
            reader h = open_reader(entry.path().string(), with_index);
            if (with_index) {
                if (m[1] == "opens")
                    ASSERT_TRUE(h) << AVI_error_text();
                else
                    EXPECT_EQ(avi_error, std::stoi(m[2].str())) << AVI_error_text();
            }
            if (h)
                mirvo_fuzz::drive_reads(h.get());
        }
        bytes content = read_file(entry.path().string());
        mirvo_fuzz::drive_file(content.data(), content.size());
        ++replayed;
    }
    EXPECT_GT(replayed, 0);
}

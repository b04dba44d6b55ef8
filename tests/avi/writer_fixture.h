// A writing handle on a file in a fresh temporary directory, for the writer's tests, and
// the field-table check with which they compare bytes at fixed offsets.
#pragma once

#include "avi/avi.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <initializer_list>
#include <string>

namespace mirvo_test {

// Expected bytes at an offset: built with le32, le16, a four-character code or zeros.
struct field {
    size_t at;
    std::string value;
};

inline std::string zeros(size_t n)
{
    return std::string(n, '\0');
}

inline void expect_fields(const bytes &file, std::initializer_list<field> fields)
{
    for (const field &f : fields)
        EXPECT_EQ(text_at(file, f.at, f.value.size()), f.value) << "at offset " << f.at;
}

class writer_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        path = dir.file("out.avi");
        handle = AVI_create_output_file(path.c_str());
        ASSERT_NE(handle, nullptr) << AVI_error_text();
    }
    void TearDown() override
    {
        if (handle)
            AVI_close_handle(handle);
    }
    // Closes the handle (finalising the file) and returns the file's bytes.
    bytes close_and_read(int expected_result = 0)
    {
        int result = AVI_close_handle(handle);
        handle = nullptr;
        EXPECT_EQ(result, expected_result) << AVI_error_text();
        return read_file(path);
    }
    bytes current_bytes() const { return read_file(path); }

    temp_dir dir;
    std::string path;
    avi_handle *handle = nullptr;
};

}  // namespace mirvo_test

// Golden files for the writer's tests: bytes the example writer wrote once, kept in
// tests/data/golden (make-golden.sh there writes them again), and the byte-for-byte
// comparison that names the first offset where a file differs from them.
#pragma once

#include "writer_fixture.h"

#include <algorithm>

namespace mirvo_test {

inline bytes golden(const std::string &name)
{
    bytes b = read_file(source_path("tests/data/golden/" + name));
    EXPECT_FALSE(b.empty()) << "tests/data/golden/" << name << " is missing";
    return b;
}

// The bytes with the given fields written over them.
inline bytes with_fields(bytes b, std::initializer_list<field> fields)
{
    for (const field &f : fields)
        std::copy(f.value.begin(), f.value.end(), b.begin() + static_cast<long>(f.at));
    return b;
}

// Whether `file` holds exactly `expected` from offset `at` on.
inline ::testing::AssertionResult same_bytes_at(const bytes &file, size_t at, const bytes &expected)
{
    if (file.size() < at + expected.size())
        return ::testing::AssertionFailure() << "the file ends at " << file.size() << ", before "
                                             << at + expected.size();
    auto [want, got] = std::mismatch(expected.begin(), expected.end(), file.begin() + static_cast<long>(at));
    if (want == expected.end())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "first difference at offset " << at + static_cast<size_t>(want - expected.begin())
                                         << ": " << int{*got} << " written, " << int{*want} << " expected";
}

}  // namespace mirvo_test

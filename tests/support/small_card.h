// A small card for the tests of what fills one: a tmpfs of a chosen size, mounted in the test
// process's own mount namespace (programs started afterwards share it), so that its free
// space is the test's alone and exact.
#pragma once

#include "test_support.h"

#include <string>

namespace mirvo_test {

class small_card {
public:
    small_card(const temp_dir &dir, int kilobytes);
    ~small_card();
    small_card(const small_card &) = delete;
    small_card &operator=(const small_card &) = delete;

    const std::string &why_not() const { return why_not_; }  // empty when mounted
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    uint64_t free_bytes() const;
    uint64_t bytes_taken(const std::string &name) const;  // the blocks a file holds

private:
    std::string path_, why_not_;
};

}  // namespace mirvo_test

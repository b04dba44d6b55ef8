// A card that goes bad or slow under a recording: a FUSE file system (tests/support/
// failing_fs.py) over a directory, mounted in a mount namespace of the test process's own,
// whose syncs or writes fail with EIO, or whose syncs take long, while it is told so.
#pragma once

#include "test_support.h"

#include <chrono>
#include <string>

namespace mirvo_test {

class failing_card {
public:
    explicit failing_card(const temp_dir &dir);
    ~failing_card();
    failing_card(const failing_card &) = delete;
    failing_card &operator=(const failing_card &) = delete;

    const std::string &why_not() const { return why_not_; }  // empty when mounted
    std::string file(const std::string &name) const { return mount_point_ + "/" + name; }
    // "sync": syncs fail; "gone": writes, syncs and creation fail; "": all works again.
    void become(const std::string &state) const;
    // Every sync takes this long from now on (0: as long as the backing disk takes).
    void slow(double seconds) const;
    // The next sync takes this long, once.
    void stall(double seconds) const;
    // Waits until the next sync begins (it takes as long as the others); false on timeout.
    bool wait_for_sync(std::chrono::milliseconds timeout) const;

private:
    std::string mount_point_, control_, why_not_;
    bool mounted_ = false;
};

}  // namespace mirvo_test

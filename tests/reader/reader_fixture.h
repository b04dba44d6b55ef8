// The reader's tests' handle that closes itself, beside the recordings they read
// (recording.h).
#pragma once

#include "avi/avi.h"
#include "recording.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace mirvo_test {

struct handle_closer {
    void operator()(avi_handle *h) const { AVI_close_handle(h); }
};
using reader = std::unique_ptr<avi_handle, handle_closer>;

inline reader open_reader(const std::string &path, int with_index = 1)
{
    return reader(AVI_open_input(path.c_str(), with_index));
}

}  // namespace mirvo_test

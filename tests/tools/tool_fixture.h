// Running mirvo-avi for its tests, behind the emulator of a cross build; the recordings it
// reads come from recording.h.
#pragma once

#include "reader_fixture.h"

#include <string>

namespace mirvo_test {

inline command_result mirvo_avi(const std::string &args, const std::string &prefix = "")
{
    return run(prefix + program("mirvo-avi") + " " + args);
}

}  // namespace mirvo_test

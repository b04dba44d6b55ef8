// How mirvo-avi words a failure: one line "FILE: reason" on standard error, the same reason
// for the same fault in every subcommand, and names shown so that they cannot break a line
// or a JSON text.
#pragma once

#include <cstdint>
#include <string>

struct avi_recovery;

namespace mirvo_avi {

// Prints "name: reason" on standard error as one line (control characters in either are
// shown escaped) and returns exit_failed.
int report(const std::string &name, const std::string &reason);

// The words for a failure of the AVI module with code (avi_error) and the errno it found
// (0: none), the same in every subcommand: "cannot be opened: No such file or directory".
std::string reason_of(int32_t code, int cause);

// Why the module's last operation failed, for "FILE: reason": reason_of avi_error and the
// cause it found; `fallback` when it set no code. Callers set avi_error to 0 before the
// operation.
std::string module_reason(const std::string &fallback);

// Why a recording that was cut off holds nothing that repair could finish (found by examine:
// no video frame kept): no frame was recorded, or no frame is verified by a checkpoint.
// The same words in info, repair and whatever opens the file: "not finalised: ...".
std::string nothing_to_finish(const avi_recovery &found);

// text with control characters shown as \xNN.
std::string printable(const std::string &text);

// Valid UTF-8 as it stands; any other byte taken as the character of that number (as in
// Latin-1), so that names and codes that are not UTF-8 still make valid JSON.
std::string as_utf8(const std::string &text);

}  // namespace mirvo_avi

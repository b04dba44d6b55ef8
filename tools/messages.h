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
// cause it found; `fallback` when it set no code. Callers clear_module_error before the
// operation.
std::string module_reason(const std::string &fallback);

// Forgets the module's last failure before an operation whose failure module_reason words:
// avi_error back to AVI_ERROR_NONE and, with errno_too, errno to 0, so that a failure the
// module finds without a failed system call takes no cause left from an earlier call.
void clear_module_error(bool errno_too = false);

// How far a recording cut off before its close is known to be its own by the checkpoints
// its syncs left (as examine or repair found it): no whole checkpoint, none verifies, or
// verified up to one. info states it and repair says it of what it kept, both in words from
// one table, which also gives nothing_to_finish its words.

// The verdict as info states it after "checkpoints:": "2, the data verified up to checkpoint 2".
std::string checkpoints_found(const avi_recovery &found);

// The verdict as repair says it of what it kept, with the chunks kept past the verified
// data and why ("; verified by checkpoint 2, and the 12 chunks written after it kept (no
// restart since: ...)"); "" when it kept nothing that needs one.
std::string how_verified(const avi_recovery &found);

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

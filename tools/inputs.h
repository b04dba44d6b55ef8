// The files a command works on: its operands, each folder among them replaced by the *.avi
// files in it (in name order; with --recursive, those of its subfolders too), and the run of
// a command over them, one result per file and an exit status that tells whether any failed.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace mirvo_avi {

// The files of the operands. A folder that cannot be read, or holds no .avi file, is
// reported on one line and counted in failures.
std::vector<std::string> expand_operands(const std::vector<std::string> &operands, bool recursive, int &failures);

// Runs one(file) for every file of the operands; exit_ok when every run and every folder
// did, else exit_failed.
int for_each_input(const std::vector<std::string> &operands, bool recursive,
                   const std::function<int(const std::string &file, size_t nth, size_t count)> &one);

// Whether an operand list may name several files: more than one operand, or a folder.
bool names_several(const std::vector<std::string> &operands);

}  // namespace mirvo_avi

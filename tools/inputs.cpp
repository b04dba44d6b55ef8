// Operands to files, folders walked for their *.avi files (see inputs.h).
#include "inputs.h"

#include "tool_common.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

namespace mirvo_avi {
namespace {

bool is_folder(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool has_avi_suffix(const std::string &name)
{
    if (name.size() < 4)
        return false;
    std::string suffix = name.substr(name.size() - 4);
    std::transform(suffix.begin(), suffix.end(), suffix.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return suffix == ".avi";
}

// The .avi files of a folder (and of its subfolders when recursive) into files, in name
// order; false after a report when the folder cannot be read.
bool add_folder(const std::string &folder, bool recursive, std::vector<std::string> &files)
{
    DIR *d = opendir(folder.c_str());
    if (!d) {
        report(folder, std::string("cannot be read: ") + strerror(errno));
        return false;
    }
    std::vector<std::string> names;
    while (const dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    bool ok = true;
    std::string base = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    for (const std::string &name : names) {
        std::string path = base + name;
        if (is_folder(path)) {
            if (recursive)
                ok = add_folder(path, true, files) && ok;
        } else if (has_avi_suffix(name)) {
            files.push_back(path);
        }
    }
    return ok;
}

}  // namespace

std::vector<std::string> expand_operands(const std::vector<std::string> &operands, bool recursive, int &failures)
{
    std::vector<std::string> files;
    for (const std::string &operand : operands) {
        if (!is_folder(operand)) {
            files.push_back(operand);  // a name given is taken whatever it ends with
            continue;
        }
        size_t before = files.size();
        if (!add_folder(operand, recursive, files))
            failures += 1;
        else if (files.size() == before)
            failures += report(operand, recursive ? "no .avi file in it or its subfolders" : "no .avi file in it");
    }
    return files;
}

int for_each_input(const std::vector<std::string> &operands, bool recursive,
                   const std::function<int(const std::string &file, size_t nth, size_t count)> &one)
{
    int failures = 0;
    std::vector<std::string> files = expand_operands(operands, recursive, failures);
    for (size_t i = 0; i < files.size(); ++i)
        failures += one(files[i], i, files.size()) != exit_ok;
    return failures == 0 ? exit_ok : exit_failed;
}

bool names_several(const std::vector<std::string> &operands)
{
    return operands.size() > 1 || (operands.size() == 1 && is_folder(operands[0]));
}

}  // namespace mirvo_avi

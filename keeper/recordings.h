// The keeper's recordings in one folder: the regular files directly in it whose names are
// part names, oldest first, with the space each takes on the card and whether it is
// protected. Kept in one malloc'ed block, so that the keeper needs no C++ runtime.
#pragma once

#include "keeper/keeper.h"

#include <cstdint>

namespace keeper {

struct recording {
    char name[KEEPER_PART_NAME_LENGTH + 1];
    uint64_t bytes;     // the blocks it holds on the card
    bool is_protected;  // nobody may write it
};

class recording_list {
public:
    recording_list() = default;
    recording_list(const recording_list &) = delete;
    recording_list &operator=(const recording_list &) = delete;
    ~recording_list();

    // Lists folder anew. False with errno set when it cannot be read (or memory runs out).
    bool read(const char *folder);

    uint32_t size() const { return count_; }
    const recording &operator[](uint32_t i) const { return items_[i]; }

private:
    recording *items_ = nullptr;
    uint32_t count_ = 0;
};

// folder + "/" + name in out (PATH_MAX bytes); false when it does not fit.
bool join_path(const char *folder, const char *name, char *out);

}  // namespace keeper

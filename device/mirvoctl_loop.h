// mirvoctl loop: records for ever, as a camera's main process does, into one folder of a
// card: part after part, each continuing the one before without a gap, named by its start
// time in UTC; the oldest finished recordings deleted before the card runs out of room;
// after a power cut, what the cut left unfinished repaired before anything records again.
#pragma once

#include "bus_message.h"
#include "keeper/keeper.h"

#include <string>

namespace qel {

struct loop_options {
    std::string folder;
    int32_t part_seconds = 0;
    start_request request;                 // stream, audio, rate and size of every part
    keeper_amount keep_free{0, -1};        // kept free beyond what the next part needs
    int32_t protect_limit_percent = 50;    // protected recordings may take this share of the card
};

// The longest folder path a loop can record into: a request holds at most 63 bytes of name.
inline constexpr size_t max_loop_folder_bytes = max_filename_bytes - 1 - KEEPER_PART_NAME_LENGTH;

// Runs until SIGINT or SIGTERM, then ends the part in progress and returns 0; 1 when it
// cannot begin (no recorder, a folder it cannot use), said on standard error.
int run_loop(const loop_options &options);

}  // namespace qel

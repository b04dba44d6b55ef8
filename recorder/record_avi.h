// The recording loop: one AVI file from a start request, until a stop request or SIGINT.
#pragma once

#include "recorder/recorder_state.h"

// Records the file that the request names. 0 after a recording; -1 when the file cannot be
// opened (after a one-second pause). Reads the request's stream selector afresh at every
// fetch, so that a new request's stream applies at once.
int record_avi(const shared_request *request);

// What every subcommand of mirvo-avi includes: its command line, its failure reports, the
// input file it reads and the checked reads of that file's frames.
#pragma once

#include "command_line.h"
#include "frame_reads.h"
#include "input_file.h"
#include "messages.h"

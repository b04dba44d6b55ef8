// libFuzzer harness of the AVI module's reading side: the input is a file, and the whole
// reading API is driven over it (both opens, every read, examine, repair on a copy).
#include "drive_reads.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    mirvo_fuzz::drive_file(data, size);
    return 0;
}

// libFuzzer harness of the AVI reader: the input is a file, opened through
// AVI_open_input_fd with and without the index, and every read is driven over it.
#include "drive_reads.h"

#include <initializer_list>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int fd = memfd_create("avi-input", 0);
    if (fd < 0)
        return 0;
    if (write(fd, data, size) == static_cast<ssize_t>(size)) {
        for (int32_t with_index : {1, 0}) {
            int copy = dup(fd);  // the handle owns and closes what it is given
            if (copy < 0 || lseek(copy, 0, SEEK_SET) != 0)
                break;
            if (avi_handle *h = AVI_open_input_fd(copy, with_index)) {
                mirvo_fuzz::drive_reads(h);
                AVI_close_handle(h);
            }
        }
    }
    close(fd);
    return 0;
}

// mirvo's entry: prints the banner, prepares the frame source, registers the two request
// handlers with the message bus, then idles, looking once a second for a start request to
// record, until SIGINT.
#include "recorder/record_avi.h"
#include "recorder/recorder_state.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

const msg_handler_entry msg_handlers[] = {
    {MSG_RECORD_START, zo_record_start},
    {MSG_RECORD_STOP, zo_record_stop},
};

void handle_sigint(int)
{
    running.store(0);
}

bool start_pending()
{
    if (record_flag.load(std::memory_order_acquire) != 1)
        return false;
    return strstr(current_request.load().filename, ".avi") != nullptr;
}

}  // namespace

int main()
{
    // Progress lines reach a log file or pipe in order and at once.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGINT, handle_sigint);

    puts("===========================");
    printf("[mirvo] %s %s\n", __DATE__, __TIME__);
    puts("===========================");

    int init = zo_get_data_init();
    if (init != 0) {
        printf("[%s]: mirvo get data init fail!\n", "main");
        return init;
    }
    zo_msg_register(msg_handlers, sizeof msg_handlers);
    qel_start_msg(5);

    while (running.load()) {
        if (start_pending())
            record_avi(&current_request);
        sleep(1);
    }
    return 0;
}

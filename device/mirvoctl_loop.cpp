// mirvoctl loop (see mirvoctl_loop.h). The recorder takes one start request after another;
// a part ends with a stop at the next key frame, and once its file is finished the next part
// is asked for with a part time, so that it begins with that same key frame. The loop learns
// that a part is over from its file: the close's final header makes it a finished recording.
// Room is made with the keeper (keeper/keeper.h), sized from the parts this loop has made.
#include "mirvoctl_loop.h"

#include "mirvoctl_send.h"
#include "recorder/monotonic_ms.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace qel {
namespace {

volatile sig_atomic_t ending = 0;  // SIGINT or SIGTERM came

void on_signal(int)
{
    ending = 1;
}

constexpr int32_t stop_at_key_frame = 1, stop_now = 0;
// Before the first part, a part is taken to need this much a second: more than a camera's
// main stream of this class sends, so that the first part never runs short.
constexpr uint64_t first_guess_bytes_per_second = 1 << 20;
constexpr uint64_t least_margin_bytes = 1 << 20;
constexpr size_t parts_remembered = 8;  // the estimate is the largest of the last parts
// A stopped part is finished within seconds (a slow card's catching up and close included).
constexpr int finish_wait_ms = 60000;
// The recorder looks for a start request once a second, and then creates the file.
constexpr int create_wait_ms = 10000;
constexpr int poll_ms = 100;
// At start-up: the folder counts as quiet when no recording's size changed for this long.
constexpr int quiet_look_ms = 500, quiet_wait_ms = 15000;

__attribute__((format(printf, 1, 2))) void say(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    fputs("loop: ", stdout);
    vprintf(format, arguments);
    va_end(arguments);
    fputc('\n', stdout);
    fflush(stdout);
}

double megabytes(uint64_t bytes)
{
    return static_cast<double>(bytes) / (1 << 20);
}

void pause_ms(int ms)
{
    timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}

bool file_exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

bool is_finished(const std::string &path)
{
    avi_recovery found;
    return AVI_examine_file(path.c_str(), &found) == 0 && found.state == AVI_FILE_FINISHED;
}

uint64_t space_taken(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_blocks) * 512 : 0;
}

// The card's size and what is free on it; false when the folder's file system cannot say.
bool card_space(const std::string &folder, uint64_t &card_bytes, uint64_t &free_bytes)
{
    struct statvfs s;
    if (statvfs(folder.c_str(), &s) != 0)
        return false;
    card_bytes = static_cast<uint64_t>(s.f_blocks) * s.f_frsize;
    free_bytes = static_cast<uint64_t>(s.f_bavail) * s.f_frsize;
    return true;
}

// When a part's recording begins: a continued part with the key frame at which the part
// before was stopped, a fresh one with the key frame before its start request.
struct moment {
    timespec wall;  // for its name
    int64_t ms;     // monotonic, for its length
};

moment now()
{
    moment m;
    clock_gettime(CLOCK_REALTIME, &m.wall);
    m.ms = monotonic_ms();
    return m;
}

// The path of a new part beginning at `began`; a name already taken (two parts in one
// millisecond, a clock set back) moves on by a millisecond.
std::string new_part_path(const std::string &folder, const moment &began)
{
    int64_t seconds = began.wall.tv_sec;
    int32_t ms = static_cast<int32_t>(began.wall.tv_nsec / 1000000);
    char name[KEEPER_PART_NAME_LENGTH + 1];
    for (;;) {
        keeper_part_name(seconds, ms, name, sizeof name);
        std::string path = folder + "/" + name;
        if (!file_exists(path))
            return path;
        if (++ms == 1000) {
            ms = 0;
            ++seconds;
        }
    }
}

// What the next part will need: the largest of the last parts made, or before the first a
// generous guess.
struct part_sizes {
    std::vector<uint64_t> last;
    uint64_t first_guess = 0;

    uint64_t estimate() const
    {
        return last.empty() ? first_guess : *std::max_element(last.begin(), last.end());
    }
    void made(uint64_t bytes)
    {
        last.push_back(bytes);
        if (last.size() > parts_remembered)
            last.erase(last.begin());
    }
};

struct loop_state {
    const loop_options &options;
    part_sizes sizes;
    uint64_t card_bytes = 0;
    bool over_protected = false;  // said, until it is over
    bool short_of_room = false;   // said, until there is room again
    int parts = 0;
};

uint64_t margin(const loop_state &s)
{
    uint64_t m = std::max(s.sizes.estimate() / 4, least_margin_bytes);
    return m + keeper_amount_bytes(&s.options.keep_free, s.card_bytes);
}

void said_deleted(const char *path, uint64_t bytes, void *)
{
    say("deleted %s (%.1f MB), the oldest, to make room", path, megabytes(bytes));
}

// Deletes the oldest finished recordings until free_bytes are free, saying what it did and
// (once, until it changes) that it could not.
void make_room(loop_state &s, uint64_t free_bytes, const std::string &writing)
{
    const std::string name = writing.empty() ? "" : writing.substr(writing.rfind('/') + 1);
    keeper_policy policy{free_bytes, name.empty() ? nullptr : name.c_str(),
                         s.options.protect_limit_percent, 0};
    keeper_room room;
    if (keeper_make_room(s.options.folder.c_str(), &policy, said_deleted, nullptr, &room) != 0)
        fprintf(stderr, "mirvoctl: cannot make room in %s: %s\n", s.options.folder.c_str(), strerror(errno));
    s.card_bytes = room.card_bytes;
    if (room.over_protected && !s.over_protected)
        say("protected recordings take %.1f MB, more than the %d%% of the card they may take: "
            "unprotect some (chmod u+w) or the card keeps less and less",
            megabytes(room.protected_bytes), s.options.protect_limit_percent);
    s.over_protected = room.over_protected;
    if (!room.enough && !s.short_of_room)
        say("cannot make room: %.1f MB free of %.1f MB, %.1f MB wanted; the rest is protected "
            "(%u recordings, %.1f MB), unfinished (%u) or not the loop's",
            megabytes(room.free_after), megabytes(room.card_bytes), megabytes(free_bytes),
            room.protected_files, megabytes(room.protected_bytes), room.unfinished);
    s.short_of_room = !room.enough;
}

void said_repaired(const char *path, int result, const avi_recovery *found, void *)
{
    if (result == 0)
        say("repaired %s: %d video frames (%.1f s) kept", path, found->video_frames, found->seconds);
    else if (result == 1)
        say("deleted %s: it was cut off before its first frame", path);
    else
        fprintf(stderr, "mirvoctl: cannot repair %s: %s\n", path, AVI_error_text());
}

// The names and sizes of the loop's recordings in folder, to tell when the recorder has
// stopped writing any of them.
std::vector<std::pair<std::string, off_t>> recording_sizes(const std::string &folder)
{
    std::vector<std::pair<std::string, off_t>> sizes;
    DIR *dir = opendir(folder.c_str());
    if (!dir)
        return sizes;
    while (const dirent *entry = readdir(dir)) {
        struct stat st;
        if (keeper_parse_part_name(entry->d_name, nullptr, nullptr) == 0 &&
            stat((folder + "/" + entry->d_name).c_str(), &st) == 0)
            sizes.emplace_back(entry->d_name, st.st_size);
    }
    closedir(dir);
    std::sort(sizes.begin(), sizes.end());
    return sizes;
}

int send_start(const loop_state &s, const std::string &path, bool continues)
{
    start_request r = s.options.request;
    r.filename = path;
    r.parttime = continues ? 1 : 0;
    return send_to_recorder(start_message(r));
}

// Waits until done(path), for at most limit_ms. False when it did not come in time.
bool wait_until(const std::string &path, bool (*done)(const std::string &), int limit_ms)
{
    for (int waited = 0; waited < limit_ms; waited += poll_ms) {
        if (done(path))
            return true;
        pause_ms(poll_ms);
    }
    return false;
}

// Records one part into path, until its time from `began` is up or a signal; makes room when
// the card runs low meanwhile. Returns whether the part ended at a key frame that the next
// continues, and then sets `began` to when the next part begins.
bool record_part(loop_state &s, const std::string &path, moment &began)
{
    // A stop before the recorder took the start would undo it: the part begins once its file
    // is there, whatever comes meanwhile.
    if (!wait_until(path, file_exists, create_wait_ms)) {
        fprintf(stderr, "mirvoctl: the recorder did not create %s (its own log says why)\n", path.c_str());
        return false;
    }
    const int64_t part_ms = int64_t{s.options.part_seconds} * 1000;
    int64_t next_look = monotonic_ms() + 1000;
    while (!ending && monotonic_ms() - began.ms < part_ms) {
        pause_ms(poll_ms);
        if (monotonic_ms() < next_look)
            continue;
        next_look += 1000;
        const uint64_t estimate = s.sizes.estimate(), written = space_taken(path);
        const uint64_t rest = written < estimate ? estimate - written : estimate / 4;
        uint64_t free_bytes = 0;
        if (card_space(s.options.folder, s.card_bytes, free_bytes) && free_bytes < rest + margin(s))
            make_room(s, rest + estimate + margin(s), path);
    }
    const bool continued = !ending;
    began = now();
    if (send_to_recorder(stop_message(continued ? stop_at_key_frame : stop_now)) != 0)
        return false;
    if (!wait_until(path, is_finished, finish_wait_ms)) {
        fprintf(stderr, "mirvoctl: %s was not finished %d s after its stop; going on\n", path.c_str(),
                finish_wait_ms / 1000);
        return false;
    }
    s.sizes.made(space_taken(path));
    ++s.parts;
    return continued;
}

// A recording that the loop's last run left to the recorder is ended first, and what a power
// cut left unfinished is repaired, before the first part. False when no recorder listens.
bool start_up(loop_state &s)
{
    if (send_to_recorder(stop_message(stop_now)) != 0)
        return false;
    // The recorder closes within moments of a stop when it records at all; the repair must
    // not meet a file that is still being written.
    std::vector<std::pair<std::string, off_t>> before = recording_sizes(s.options.folder);
    for (int waited = 0; waited < quiet_wait_ms; waited += quiet_look_ms) {
        pause_ms(quiet_look_ms);
        std::vector<std::pair<std::string, off_t>> now = recording_sizes(s.options.folder);
        if (now == before)
            break;
        before = std::move(now);
    }
    if (keeper_repair_folder(s.options.folder.c_str(), said_repaired, nullptr) < 0) {
        fprintf(stderr, "mirvoctl: cannot read %s: %s\n", s.options.folder.c_str(), strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

int run_loop(const loop_options &options)
{
    char folder[PATH_MAX];
    struct stat st;
    if (!realpath(options.folder.c_str(), folder) || stat(folder, &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, "mirvoctl: %s is not a folder: %s\n", options.folder.c_str(),
                errno ? strerror(errno) : "not a directory");
        return 1;
    }
    if (strlen(folder) > max_loop_folder_bytes) {
        fprintf(stderr, "mirvoctl: the folder %s is %zu bytes long; with a part's name at most %zu fit in a request\n",
                folder, strlen(folder), max_loop_folder_bytes);
        return 1;
    }
    loop_options resolved = options;
    resolved.folder = folder;
    loop_state s{resolved, {}, 0, false, false, 0};
    s.sizes.first_guess = first_guess_bytes_per_second * static_cast<uint64_t>(options.part_seconds);
    uint64_t free_now = 0;
    card_space(s.options.folder, s.card_bytes, free_now);  // a share kept free needs the card's size

    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    AVI_set_quiet(1);  // what the loop finds in a file it says itself

    if (!start_up(s))
        return 1;
    bool continues = false;
    moment began{};
    while (!ending) {
        if (!continues)
            began = now();
        const std::string path = new_part_path(s.options.folder, began);
        make_room(s, s.sizes.estimate() + margin(s), "");
        if (send_start(s, path, continues) != 0) {
            pause_ms(1000);  // the recorder restarts: ask again
            continues = false;
            continue;
        }
        say("recording %s", path.c_str());
        continues = record_part(s, path, began);
    }
    say("stopped after %d parts", s.parts);
    return 0;
}

}  // namespace qel

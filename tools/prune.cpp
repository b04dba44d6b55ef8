// mirvo-avi prune: makes room on a camera's card by hand, as `mirvoctl loop` does before each
// part: the oldest finished recordings of the loop's naming in FOLDER are deleted until the
// free space asked for is there (keeper/keeper.h says which may go). Each deletion is one
// line; --dry-run says what would go and deletes nothing.
#include "tool_common.h"

#include "keeper/keeper.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace mirvo_avi {
namespace {

enum { option_keep_free = 300, option_dry_run };

double megabytes(uint64_t bytes)
{
    return static_cast<double>(bytes) / (1 << 20);
}

void said_deleted(const char *path, uint64_t bytes, void *dry_run)
{
    printf("%s %s (%.1f MB)\n", *static_cast<bool *>(dry_run) ? "would delete" : "deleted", path,
           megabytes(bytes));
    fflush(stdout);
}

int run(int argc, char **argv)
{
    static const option own[] = {{"keep-free", required_argument, nullptr, option_keep_free},
                                 {"dry-run", no_argument, nullptr, option_dry_run},
                                 {nullptr, 0, nullptr, 0}};
    keeper_amount keep_free{0, -1};
    bool given_keep_free = false, dry_run = false;
    auto take = [&](int code, const char *value, std::string &problem) {
        if (code == option_dry_run)
            return dry_run = true;
        given_keep_free = keeper_parse_amount(value, &keep_free) == 0;
        if (!given_keep_free)
            problem = std::string("--keep-free takes a size (300M, 2G) or a share of the card (10%), not '") +
                      value + "'";
        return given_keep_free;
    };
    operands given;
    int end = parse_options(prune_command, argc, argv, own, take, given);
    if (end >= 0)
        return end;
    if (!given_keep_free)
        return usage_error(prune_command, "say how much to keep free with --keep-free");
    if (given.files.size() != 1)
        return usage_error(prune_command, "give the one FOLDER to prune");
    const std::string &folder = given.files[0];

    // The share of the card is known only once the folder's file system is; ask twice.
    keeper_policy policy{0, nullptr, 100, dry_run ? 1 : 0};
    keeper_room room;
    keeper_policy look = policy;
    look.dry_run = 1;
    if (keeper_make_room(folder.c_str(), &look, nullptr, nullptr, &room) != 0)
        return report(folder, std::string("cannot be pruned: ") + strerror(errno));
    policy.free_bytes = keeper_amount_bytes(&keep_free, room.card_bytes);
    if (keeper_make_room(folder.c_str(), &policy, said_deleted, &dry_run, &room) != 0)
        return report(folder, std::string("cannot be pruned: ") + strerror(errno));
    printf("prune: %u recordings (%.1f MB) %s; %.1f MB free of %.1f MB, %.1f MB wanted\n", room.deleted,
           megabytes(room.deleted_bytes), dry_run ? "would be deleted" : "deleted", megabytes(room.free_after),
           megabytes(room.card_bytes), megabytes(policy.free_bytes));
    if (room.enough)
        return exit_ok;
    return report(folder, "cannot make room: what is left is protected (" + std::to_string(room.protected_files) +
                              " recordings), unfinished (" + std::to_string(room.unfinished) +
                              ") or not the loop's");
}

}  // namespace

const command prune_command = {
    "prune", "prune --keep-free SIZE|PERCENT [--dry-run] FOLDER",
    "makes room on a camera's card: deletes the oldest finished recordings that mirvoctl loop\n"
    "      named (YYYYMMDDTHHMMSS.mmmZ.avi) in FOLDER until SIZE (300M, 2G) or PERCENT of the\n"
    "      card (10%) is free; never an unfinished or protected one (chmod a-w: the read-only\n"
    "      attribute of a FAT or exFAT card), another file or a folder. --dry-run deletes\n"
    "      nothing and says what would go",
    run, command::operands_of_its_own};

}  // namespace mirvo_avi

// The camera box seen from the host, for the tests that boot it: the card kinds it records
// on, booting it under qemu-system-arm and cutting its power, what it says on its serial
// console, and the card as a card reader sees it (checked, copied off, filled beforehand).
#pragma once

#include "loop_disk.h"

#include <chrono>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace mirvo_test {

// A card as the camera formats it, and the host's commands it needs.
struct card_kind {
    std::string name;      // for test names and messages
    std::string guest_fs;  // the guest kernel's name of the file system
    std::string make;      // formats the image named IMAGE of MB megabytes
    std::vector<std::string> tools;
};
extern const card_kind fat32;
extern const card_kind exfat;  // the host kernel may lack it: read through the FUSE driver, as root

// Why the box cannot run here for this card ("" when it can): no box built (MIRVO_CAMERA_BOX
// names it), a host tool missing, exFAT without root or a mount namespace of the test's own.
std::string why_no_box(const card_kind &kind);
std::string box_dir();

// Formats a card image of `megabytes`; false when that failed.
bool format_card(const card_kind &kind, const std::string &image, int megabytes);

// Boots the box with the card and `arguments` added to the kernel's command line; its
// console goes to `console`. The emulator's pid, -1 when it did not start.
pid_t boot_camera(const card_kind &kind, const std::string &card, const std::string &console,
                  const std::string &arguments = "");
// Kills the emulator: a power cut as the card sees it.
void cut_power(pid_t qemu);
// Waits until the console holds `text` `count` times (true), or the guest failed, the
// emulator ended or the time is up.
bool wait_for_console(const std::string &console, const std::string &text, pid_t qemu, int count = 1,
                      std::chrono::seconds timeout = std::chrono::seconds(180));
// The console's lines, without the serial line's CRs.
std::vector<std::string> console_lines(const std::string &console);

// What a card reader does with the card: the file system's check (which may correct the
// image), then every file copied into `out` (subfolders too). `check` gets what the check
// said, with the image's name worded as card.img; `error` what failed.
void copy_card(const card_kind &kind, const std::string &image, const std::string &out,
               command_result &check, std::string &error);
// The files and folders of `from` copied onto the card; "" when that worked, else why not.
std::string fill_card(const card_kind &kind, const std::string &image, const std::string &from);
// The card's free bytes as the host's driver counts them (0 when unknown).
uint64_t card_free_bytes(const card_kind &kind, const std::string &image);

// What the check said, without its banner; the lines that did something to a file; the
// lines that say more than that the card was not unmounted (its dirty bit).
std::string check_said(const command_result &check);
std::vector<std::string> files_touched(const command_result &check);
std::vector<std::string> beyond_dirty_bit(const command_result &check);

std::string md5_of(const std::string &path);

}  // namespace mirvo_test

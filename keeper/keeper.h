/* The card keeper: what a camera that records for ever needs around its recordings on one
 * card. Parts are named by their start time in UTC, so that names sort in time order and
 * say when they began; before a part (and when the card runs low) the oldest finished
 * recordings are deleted until the card has room for the next; after a power cut the
 * recordings it left unfinished are repaired. Usable from C; every call is synchronous and
 * takes no lock, and nothing here keeps state between calls.
 *
 * A recording of the keeper's is a regular file directly in the folder whose name is a part
 * name (keeper_part_name). The keeper deletes only such recordings that are finished, never
 * one that is being written (the caller names it), one left unfinished, one that is
 * protected, or anything else: other programs' files, "NAME.dropped" (what a repair could not
 * keep) and folders are never touched. A recording is protected when nobody may write it
 * (no write permission bit set: chmod a-w; on a FAT or exFAT card that is the file's
 * read-only attribute, which every computer shows and keeps). */
#ifndef MIRVO_KEEPER_H
#define MIRVO_KEEPER_H

#include <stddef.h>
#include <stdint.h>

#include "avi/avi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A part name: "YYYYMMDDTHHMMSS.mmmZ.avi", the UTC time at which the part began to the
 * millisecond (ISO 8601's basic form), 24 characters. */
enum { KEEPER_PART_NAME_LENGTH = 24 };

/* Writes the part name of the time (seconds since 1970 in UTC, and milliseconds 0..999) into
 * out, zero-terminated. 0, or -1 when size is below KEEPER_PART_NAME_LENGTH + 1 or the time
 * is outside the years 1970..9999. */
int keeper_part_name(int64_t seconds, int32_t milliseconds, char *out, size_t size);

/* Reads a part's start time back from its file name (without a folder). 0 with the time, or
 * -1 for a name that is not a part name (out untouched). */
int keeper_parse_part_name(const char *name, int64_t *seconds, int32_t *milliseconds);

/* An amount of card space as a user gives it: bytes, with an optional K, M, G or T (powers
 * of 1024), or a share of the card, "N%" (0..100). 0, or -1 for any other text. */
typedef struct keeper_amount {
    uint64_t bytes;  /* when percent is negative */
    int32_t percent; /* 0..100, or -1 */
} keeper_amount;
int keeper_parse_amount(const char *text, keeper_amount *out);

/* The bytes an amount stands for on a card of card_bytes. */
uint64_t keeper_amount_bytes(const keeper_amount *amount, uint64_t card_bytes);

/* How make_room is to decide. */
typedef struct keeper_policy {
    uint64_t free_bytes;       /* the free space to reach */
    const char *writing;       /* a part name being written now, or null: never deleted */
    int32_t protected_percent; /* protected recordings may take this share of the card
                                  (0..100); beyond it the result says so */
    int32_t dry_run;           /* non-zero: choose, delete nothing */
} keeper_policy;

/* What keeper_make_room found and did. Sizes are the space files take on the card. */
typedef struct keeper_room {
    uint64_t card_bytes;      /* the card's size */
    uint64_t free_before;     /* free for the caller before anything was deleted */
    uint64_t free_after;      /* after (dry run: as it would be) */
    uint32_t deleted;         /* recordings deleted (dry run: that would be) */
    uint64_t deleted_bytes;
    uint32_t protected_files; /* protected recordings of the keeper's in the folder */
    uint64_t protected_bytes;
    uint32_t unfinished;      /* recordings left unfinished (not the one being written) */
    int32_t enough;           /* 1: free_after reaches the policy's free_bytes */
    int32_t over_protected;   /* 1: protected recordings take more than protected_percent */
} keeper_room;

/* Told of each recording deleted (or, in a dry run, chosen), oldest first: its path and the
 * space it took. */
typedef void (*keeper_deleted_fn)(const char *path, uint64_t bytes, void *arg);

/* Deletes the oldest finished recordings of the keeper's in folder until the card has
 * policy->free_bytes free, or none is left to delete; the card is synced after deleting.
 * Reads each candidate's header and index (AVI_examine_file) before it deletes it, so that
 * only a finished recording goes. 0 with *out filled (out->enough says whether there is room now),
 * or -1 with errno set when the folder cannot be read or a deletion fails (*out filled as
 * far as it got). */
int keeper_make_room(const char *folder, const keeper_policy *policy, keeper_deleted_fn said,
                     void *arg, keeper_room *out);

/* Told of each unfinished recording that keeper_repair_folder met: its path, the result (0
 * repaired; 1 deleted, since it was cut off before its first frame and held nothing but its
 * header; -1 failed: avi_error and errno say why) and what repair found. */
typedef void (*keeper_repaired_fn)(const char *path, int result, const avi_recovery *found,
                                   void *arg);

/* Repairs, in place, every recording of the keeper's in folder that was left unfinished (a
 * power cut, a kill), as AVI_repair_file does: what a repair drops is saved to
 * "PATH.dropped". Finished recordings are only examined, protected ones not even that: nobody
 * may write them. Call it only while nothing records
 * into the folder. Returns the number of repairs that failed (0 when all went well, or
 * there was nothing to repair), or -1 with errno set when the folder cannot be read. */
int keeper_repair_folder(const char *folder, keeper_repaired_fn said, void *arg);

#ifdef __cplusplus
}
#endif

#endif /* MIRVO_KEEPER_H */

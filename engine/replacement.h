// In-place replacement of a container: the journal, file identities, the
// rename exchange and recovery of an interrupted exchange.
//
// A replacement writes the new copy next to the original under the swap name
// S, records both files' identities in a journal J, and then exchanges names
// so that the container keeps its name N and the original survives under the
// backup name B. A name that says "original" only ever holds the original.
// Every step is a rename relative to the folder that never replaces a name,
// so a crash at any point leaves both files intact: once J exists it
// describes how to finish; before that a partial journal, held locked by the
// running replacement from before the copy is written, names the leftovers
// (S and the copy writer's temporary) that the next replacement of N removes.
#pragma once

#include "platform/files.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace tw {

inline constexpr size_t kReplacementJournalSize = 928;
inline constexpr size_t kReplacementNameField = 256;
inline constexpr size_t kReplacementNameMax = 239;

// What identifies one file's exact contents: where it is and its SHA-256.
struct ReplacementIdentity {
    uint64_t volume = 0; // st_dev
    uint64_t file = 0;   // st_ino
    uint64_t size = 0;
    uint8_t sha256[32] = {};
    bool operator==(const ReplacementIdentity &) const = default;
};

struct ReplacementJournal {
    std::string name;   // N: the container's file name
    std::string backup; // B: "<N cut>.original-<uuid>.zcx"
    std::string swap;   // S: ".openzcx-swap-<uuid>.zcx"
    ReplacementIdentity original;
    ReplacementIdentity copy;
};

// The journal record with its SHA-256 self-check. Names must fit their
// 256-byte fields with a terminating NUL (-EINVAL otherwise).
int replacement_journal_encode(const ReplacementJournal &journal,
                               uint8_t out[kReplacementJournalSize]);
// Decodes and validates a record: self-check, magic, version, size, and the
// three names (non-empty, NUL-terminated within the field, no "/", "\" or
// ":", not "." or ".."). -EINVAL for anything else.
int replacement_journal_decode(const uint8_t in[kReplacementJournalSize],
                               ReplacementJournal *journal);

// "<name>.openzcx-journal"
std::string replacement_journal_name(const std::string &name);

// ".openzcx-journal-<uuid>.partial"
std::string replacement_partial_journal_name(const char *uuid);

// Starts the journal: the partial file created new, holding the record with
// the new copy's identity still unknown (all zero), flushed with the folder,
// and kept open in *partial with its exclusive in-use lock, which tells the
// leftover sweep that its replacement still runs. Removed again on failure.
int replacement_journal_begin(int dir, const char *uuid, const ReplacementJournal &journal,
                              FileHandle *partial);
// Completes it: the full record written over the partial file, flushed, the
// file closed and renamed to the journal name without replacing, the folder
// flushed. The partial file is removed on failure.
int replacement_journal_commit(int dir, const char *uuid, const ReplacementJournal &journal,
                               FileHandle *partial);
// Both in one go.
int replacement_journal_write(int dir, const char *uuid, const ReplacementJournal &journal);

// Removes what interrupted replacements of `name` left in the folder before
// their journal was in place: each partial journal of `name` that no running
// replacement holds, its swap name when that is not the original, and the
// copy writer's temporary for the swap name. Nothing is removed while the
// journal of `name` exists. Returns how many files went, or a negative errno.
int replacement_sweep_leftovers(int dir, const std::string &name);

// The folder and name of a container path, with the folder opened and checked:
// the name is 1 to 239 bytes (-EINVAL); the folder is resolved to an absolute
// path, owned by this user, not modifiable by others and on local durable
// storage (-EACCES otherwise).
struct ReplacementFolder {
    FileHandle dir;
    std::string path; // absolute folder path
    std::string name; // N
};
int replacement_folder_open(const char *file_path, ReplacementFolder *out);

// `folder` joined with `name` by one "/" (none added when it ends in one).
std::string replacement_join(const std::string &folder, const std::string &name);

// Reads the whole file behind `fd` (1 MiB blocks) into its identity. The
// cancel check runs before each block (-ECANCELED when it answers true).
int replacement_identity_fd(int fd, bool (*cancelled)(void *), void *context,
                            ReplacementIdentity *out);

// Runs the name exchange recorded in the journal (at most four rounds; a
// journal of the earlier order, with the new copy first under B, is finished
// as well) and
// deletes the journal when it is complete. -1116 (kErrChanged) when the
// names are in a state the exchange does not know; a failing rename or
// flush returns its error.
int replacement_exchange(int dir, const ReplacementJournal &journal);

// Test seam: called after each rename of the exchange with the number of
// renames done so far, so a test can end the process between two renames.
// Null turns it off.
void replacement_set_exchange_hook_for_testing(void (*hook)(int renames_done));

// Finishes an interrupted replacement of `file_path`: reads and validates its
// journal, checks every existing name against the recorded identities, then
// runs the exchange. *backup_path receives the retained original's path.
int recover_replacement(const char *file_path, std::string *backup_path);

} // namespace tw

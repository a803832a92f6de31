// Staging records of imports: a small JSON file per import in the user's
// "import-staging" folder that names the staged file of the import while it
// is being published, so that a later sweep ("import-recover", and the first
// step of every import) can remove a staged file an interrupted import left.
#pragma once

#include "platform/files.h"

#include <string>

namespace tw {

// ".tarnwick-" followed by 24 lower-case hexadecimal digits and ".tmp".
inline constexpr size_t kStagedNameLength = 38;
bool staged_name_is_valid(const char *name);
// A new random staged name (kStagedNameLength + 1 bytes). 0 or a negative
// errno.
int staged_name_make(char name[kStagedNameLength + 1]);

// "DEVICE:INODE" in decimal.
std::string identity_text(const FileIdentity &identity);

// The staging folder, ensured private and opened. ENOTSUP when it is not on
// a local durable volume. The descriptor, or a negative errno.
int staging_folder_open();

// Sweeps the staging folder: removes each staged file that a record names
// when the file is still exactly the one recorded, and the records that are
// resolved. Returns the number of records kept (>= 0), or a negative errno
// for a hard error (EIO for a failed deletion or flush).
int staging_sweep();

struct StagingRecord {
    std::string folder; // the destination folder path
    FileIdentity folder_id;
    std::string staged; // the staged file's name in that folder
    FileIdentity staged_id;
};

// Writes a new record (a new random name "32-hex.json", created new,
// owner-only) in the open staging folder and flushes the file and the
// folder. The record's name lands in `name`. 0 or a negative errno.
int staging_record_write(int staging, const StagingRecord &record, std::string *name);

// Deletes a record and flushes the staging folder. A record already gone is
// fine. 0 or a negative errno.
int staging_record_delete(int staging, const std::string &name);

} // namespace tw

// Guarded opening of container files and the helpers around it.
//
// A container file carries a one-byte in-use lock (platform/files.h): shared
// by every reader, exclusive for a writer. It is the only coordination between
// engine operations, mount workers and other instances, so an open that takes
// it re-checks afterwards that the path still names the locked file.
#pragma once

#include "runtime/text.h"

#include <cstdint>

#include "platform/files.h"

namespace tw {

enum ContainerOpenMode : int {
    kContainerOpenUnlocked = 0, // read, no lock
    kContainerOpenRead = 1,     // read with the shared in-use lock
    kContainerOpenWrite = 2,    // read-write with the exclusive in-use lock
    // Used for reading with the shared in-use lock, through a descriptor that
    // may later take the exclusive lock (Linux grants an exclusive lock only
    // to a descriptor open for writing). Nothing is written through it; where
    // writing is refused the descriptor is read-only and cannot upgrade.
    kContainerOpenReadUpgradable = 3,
};

// An opened container file. The lock (modes 1 and 2) is held until `file` is
// closed.
struct ContainerFile {
    FileHandle file;
    bool read_only = true; // mode 2 falls back to read-only where writing is refused
    FileStatus status;     // status of the handle once opened (and locked)
};

// Opens the container file at `path` without looking at its contents
// (container_open in container/container.h opens and classifies). Failures
// print their "Error: " line on standard error first. Results:
//   EINVAL     neither a regular file nor a block device
//   EBUSY      another process holds a conflicting in-use lock
//   kErrChanged  writable open of a file whose deletion is pending
//   EAGAIN     the path was replaced at every attempt (five, 10 ms apart)
//   other      the error of the failing call
int container_file_open(const char *path, int mode, ContainerFile *out);

// Test seam: called in every attempt of a locking open, with the attempt
// number from 0, at two points: after the file was opened and before it is
// locked, and after the lock was taken and the path checked. Null turns it
// off.
enum class ContainerFileOpenStage { before_lock, after_check };
using ContainerFileOpenHook = void (*)(const char *path, int attempt, ContainerFileOpenStage stage);
void container_file_open_set_hook_for_testing(ContainerFileOpenHook hook);

// kErrChanged when "PATH.idx" or "PATH.openzcx-journal" exists next to the
// container: an index or a replacement journal means the file is not to be
// used as it is. ENAMETOOLONG for a path too long to extend; other errors
// than ENOENT are returned.
int sidecar_check(const char *path);

// A 48-bit random number for temporary and backup names. When the kernel's
// generator fails it is made from the process id, the time and a counter, so
// names stay distinct within and between processes.
uint64_t random_48bit();

} // namespace tw

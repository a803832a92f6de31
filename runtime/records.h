// Record files: small state files that are replaced atomically and read back
// with a size limit.
#pragma once

#include <cstddef>

namespace tw {

// Size limits callers use when reading records back.
inline constexpr size_t kRecordLimit = 65536;              // session and login records
inline constexpr size_t kLibraryLimit = 16u * 1024 * 1024; // the library

// Replaces the file at `path` with `length` bytes, atomically: the bytes go to
// a new private (0600) temporary "PATH.UUID.tmp" in the same folder, created
// exclusively and never through a symlink, are written completely and flushed,
// and the temporary is then renamed over the target and the folder flushed.
// Whoever opens the target sees either the old or the new contents, never a
// mix. On any failure the temporary is removed and the result is -EIO (also
// for contents of 4 GiB or more and for an unusable path); 0 on success.
//
// A failure in the final flush of the folder is also -EIO even though the new
// contents are then already visible: they are not yet known to be durable.
int write_record_file(const char *path, const void *bytes, size_t length);

// Reads the whole regular file at `path` when its size is at most `limit`.
// On success *contents is a newly allocated block of *length bytes plus a NUL
// terminator (the contents may themselves hold NUL bytes); release it with
// free_whole_file, which wipes it, since records can hold secrets.
// Errors (negative errno):
//   -ELOOP    `path` is a symbolic link (never followed)
//   -EISDIR   `path` is a directory
//   -EINVAL   not a regular file (device, FIFO, socket), or null arguments
//   -EFBIG    the file is larger than `limit`
//   -EIO      the read failed or delivered fewer bytes than the size
//   -ENOMEM   out of memory
//   any other negative errno from opening (-ENOENT, -EACCES, ...)
int read_whole_file(const char *path, size_t limit, char **contents, size_t *length);

// Wipes and frees what read_whole_file returned. Null is accepted.
void free_whole_file(char *contents, size_t length);

} // namespace tw

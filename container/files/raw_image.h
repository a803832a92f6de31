// Plain disk images next to a destination that never outlive the process:
// the raw image a new container is formatted in, or a device is captured in.
#pragma once

#include "platform/descriptor.h"

#include <cstdint>

namespace tw {

struct RawImage {
    FileHandle write; // read-write
    FileHandle read;  // read-only, the encryption source later
};

// Checks the destination of a new container: OUTPUT has a folder part and a
// non-empty name; the folder belongs to this user and nobody else may change
// it (EACCES, or the error of opening it), lies on local durable storage
// (ENOTSUP) and offers at least `need` bytes (ENOSPC; EIO when the space
// cannot be read); OUTPUT does not exist (EEXIST, or the error of looking).
// With `folder`, the opened folder is handed back. 0 or a negative errno.
int destination_check(const char *output, uint64_t need, FileHandle *folder = nullptr);

// Creates the raw image in `folder`: an unnamed file (O_TMPFILE), or where
// the filesystem has none, ".tarnwick-PURPOSE-UUID.raw" created new and
// removed at once; so it has no name from the start and disappears with its
// last descriptor, whatever ends the process. Then opens the read-only
// handle and gives the file `size` bytes: reserved when `reserve` (ENOTSUP
// where the storage cannot), sparse otherwise. 0 or a negative errno (EIO
// when no UUID could be drawn or the read-only handle cannot be opened).
int raw_image_create(int folder, const char *purpose, uint64_t size, bool reserve, RawImage *out);

} // namespace tw

// Page-granular memory that the kernel keeps out of swap and core dumps.
//
// The container library keeps keys and decrypted sectors here. Locking is best
// effort: when the kernel refuses it (RLIMIT_MEMLOCK, missing CAP_IPC_LOCK) the
// pages are still returned and usable, and the caller decides how to report it.
#pragma once

#include <cstddef>

namespace tw {

// Maps `size` bytes (rounded up to whole pages) of private, zero-filled,
// read/write memory, excludes them from core dumps and tries to lock them in
// RAM. Returns nullptr when no memory could be mapped (size 0 included).
// `*locked` (when given) tells whether the lock succeeded.
void *locked_pages_alloc(size_t size, bool *locked);

// Unlocks and unmaps memory from locked_pages_alloc. The caller wipes first.
// `size` is the size passed to locked_pages_alloc. A null pointer is ignored.
void locked_pages_free(void *pages, size_t size);

} // namespace tw

// Cryptographically secure random bytes from the kernel.
#pragma once

#include <cstddef>

namespace tw {

// Fills the buffer with random bytes; true on success. Any length is accepted
// (the kernel's per-call limit is handled here).
bool random_bytes(void *buffer, size_t length);

// Test seam: while set, random_bytes takes its bytes from `source` instead of
// the kernel, so that two runs of a writer can be compared byte for byte.
// Null restores the kernel. Never set by the product.
void random_set_source_for_testing(bool (*source)(void *buffer, size_t length));

} // namespace tw

// Cryptographically secure random bytes from the kernel.
#pragma once

#include <cstddef>

namespace tw {

// Fills the buffer with random bytes; true on success. Any length is accepted
// (the kernel's per-call limit is handled here).
bool random_bytes(void *buffer, size_t length);

} // namespace tw

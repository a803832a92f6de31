// The chunked, authenticated v3 container layout (format kind 7).
//
// This header is the v3 store's public face. Detection is used by the
// container classification; the rest of the store (authentication, reads,
// transactions, creation) is declared here as it lands.
#pragma once

#include <cstdint>

namespace tw {

struct V3Store;

// Looks for a v3 root header at file offset 0 or 4096 and validates both
// copies structurally. Returns 0 when the file is not v3; 1 when it is, with
// *store (owned by the caller, release with v3_close), the virtual size and
// the cipher filled in; or a negative errno: -ENOTSUP when no copy is valid
// and some copy carries unsupported values, -EINVAL when no copy is valid,
// -EIO on a short read.
int v3_detect(int fd, uint64_t file_size, V3Store **store, uint64_t *virtual_size,
              uint32_t *cipher);

// The format version (3..8) of a detected store.
uint32_t v3_version(const V3Store *store);

// Wipes and releases the store. Null is accepted.
void v3_close(V3Store *store);

} // namespace tw

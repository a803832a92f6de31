// Saved secrets in the user's keyring (the Secret Service on the session
// bus, through libsecret). One item per target name: a short text label,
// the attributes "target" and "user", and the secret itself.
//
// Kept out of tw_platform so that only the programs that save passwords
// link GLib and libsecret.
#pragma once

#include "platform/secure_memory.h"

#include <span>
#include <string_view>

namespace tw {

// Stores (or overwrites) the secret of `target`. 0, or -EIO when the keyring
// could not take it (no Secret Service, a locked keyring, time-out).
int keyring_store(std::string_view target, std::string_view label, std::string_view user,
                  std::span<const uint8_t> secret);

// Reads the secret of `target` into *secret (locked, wiped on release).
// 0, -ENOENT when nothing is saved for it, -EIO for any other failure.
int keyring_read(std::string_view target, SecureBuffer *secret);

// Deletes the secret of `target`. 0 also when nothing was saved; -EIO when
// the keyring could not be asked.
int keyring_delete(std::string_view target);

} // namespace tw

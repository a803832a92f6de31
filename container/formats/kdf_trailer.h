// The salted trailer: the last 4096 bytes of a salted container, holding the
// KDF salt, the cipher and an HMAC tag that proves the password.
//
// Layout (little-endian): 0 magic "FZCXKDF\0" (versions 2, 3) or "FZCXXTS\0"
// (version 1); 8 version; 12 trailer size 4096; 16 sector size 512; 20 PBKDF2
// iterations 600000; 24 payload size; 32 salt (32 bytes); 64 cipher id (only
// "FZCXKDF"; 1, 8 or 9); zeros up to 4063; 4064 tag = HMAC-SHA256(MAC key,
// bytes 0..4063).
#pragma once

#include "container/keys/keys.h"

#include <cstddef>
#include <cstdint>

namespace tw {

inline constexpr size_t kKdfTrailerSize = 4096;
inline constexpr size_t kKdfTrailerTagOffset = 4064;

struct KdfTrailerInfo {
    uint32_t version;      // 1 ("FZCXXTS"), 2 or 3 ("FZCXKDF")
    uint32_t cipher_id;    // 1, 8 or 9 (always 9 for "FZCXXTS")
    uint64_t payload_size; // file size minus the trailer
};

// True when the 8 bytes at `trailer` are one of the two trailer magics; a file
// whose last 4096 bytes start with one must then pass kdf_trailer_parse.
bool kdf_trailer_has_magic(const uint8_t *trailer);

// Structural validation of a trailer read from the end of a file of
// `file_size` bytes. 0 and `*info` filled, or -EINVAL.
int kdf_trailer_parse(const uint8_t trailer[kKdfTrailerSize], uint64_t file_size,
                      KdfTrailerInfo *info);

// Builds a new version-3 trailer for `payload_size` bytes of sectors and
// cipher 1, 8 or 9: fresh random salt, storage-keys derivation from the
// password, tag. On success `data_key` (64 bytes, optional) receives the data
// key. Errors: -EINVAL (size, cipher), -E2BIG (password), -EIO, -ENOMEM; the
// trailer and data key are wiped on failure.
int kdf_trailer_create(uint8_t trailer[kKdfTrailerSize], uint64_t payload_size, uint32_t cipher_id,
                       const uint8_t *password, size_t password_length,
                       uint8_t data_key[kDataKeySize]);

// Proves the password against a parsed trailer: derives the key material by
// the trailer's version (3: storage keys; 1, 2: plain PBKDF2), recomputes the
// tag and compares it in constant time. 0 with the 64-byte data key, -EACCES
// for a wrong password, -EINVAL for a trailer that does not parse, or the
// derivation's error. The data key is wiped on failure.
int kdf_trailer_unlock(const uint8_t trailer[kKdfTrailerSize], uint64_t file_size,
                       const uint8_t *password, size_t password_length,
                       uint8_t data_key[kDataKeySize]);

} // namespace tw

// Key derivation and the primitives every container key is built from.
//
// All container keys are 96 bytes of key material: bytes 0..63 are the data
// key handed to the cipher set-up, bytes 64..95 the MAC key that authenticates
// headers, blocks and salted trailers. Functions return 0 or a negative errno
// and wipe their outputs on every failure. Callers keep passwords and outputs
// in memory from secure_alloc (platform/secure_memory.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tw {

inline constexpr size_t kKeyMaterialSize = 96;
inline constexpr size_t kDataKeySize = 64;
inline constexpr size_t kMacKeyOffset = 64;
inline constexpr size_t kMacKeySize = 32;
inline constexpr size_t kNetworkBootKeySize = 64;
inline constexpr size_t kKdfSaltSize = 32;
inline constexpr size_t kKeyfileSecretSize = 32;
inline constexpr size_t kTagSize = 32;
inline constexpr size_t kMaxPasswordLength = 4096;
inline constexpr uint32_t kKdfIterations = 600000;

inline constexpr size_t kVeraCryptSaltSize = 64;
inline constexpr size_t kVeraCryptHeaderKeySize = 64;
inline constexpr size_t kVeraCryptMaxPasswordLength = 128;
inline constexpr uint32_t kVeraCryptIterations = 500000;

// --- Container key derivations ---

// Storage keys: PBKDF2-HMAC-SHA256 (600000 iterations, 32 bytes) of the
// password and salt, HKDF-Extract with the salt as key, HKDF-Expand to the 96
// bytes of key material ("Tarnwick storage keys v1") and, when
// `network_boot_key` is given, to 64 bytes of network boot key ("Tarnwick
// network boot keys v1"). Password 1..4096 bytes, else -E2BIG; -EIO when the
// crypto library fails; -ENOMEM when no locked scratch memory is available.
int derive_storage_keys(const uint8_t *password, size_t password_length,
                        const uint8_t salt[kKdfSaltSize], uint8_t key_material[kKeyMaterialSize],
                        uint8_t *network_boot_key = nullptr);

// While a scope is open (kdf_memo_begin .. kdf_memo_end, nestable), the
// PBKDF2 step of derive_storage_keys remembers its last result with its
// password and salt, and a derivation from the same password and salt takes
// it instead of running 600000 iterations again. The copy writer opens one:
// the reopened output is unlocked from the same password and the salt it
// holds, which gives the same keys as at creation; a different salt or
// password still derives in full. The remembered password and result are in
// locked memory and wiped when the last scope closes. -ENOMEM from begin
// leaves no scope open.
int kdf_memo_begin();
void kdf_memo_end();

// Plain PBKDF2-HMAC-SHA256 (600000 iterations) straight to 96 bytes; used by
// the oldest v3 version and salted trailers before version 3. Errors as above.
int derive_pbkdf2_keys(const uint8_t *password, size_t password_length,
                       const uint8_t salt[kKdfSaltSize], uint8_t key_material[kKeyMaterialSize]);

// Keyfile keys: the password must be 1..4096 bytes of strictly valid UTF-8
// (else -EINVAL); S = HMAC-SHA256(keyfile secret, "Tarnwick portable keyfile
// v1" || password) then replaces the password in derive_storage_keys.
int derive_keyfile_keys(const uint8_t *password, size_t password_length,
                        const uint8_t keyfile_secret[kKeyfileSecretSize],
                        const uint8_t salt[kKdfSaltSize], uint8_t key_material[kKeyMaterialSize],
                        uint8_t *network_boot_key = nullptr);

// VeraCrypt header key: PBKDF2-HMAC-SHA512, 500000 iterations, 64 bytes.
// Password 1..128 bytes, else -EINVAL; -EIO on a crypto library failure.
int derive_veracrypt_header_key(const uint8_t *password, size_t password_length,
                                const uint8_t salt[kVeraCryptSaltSize],
                                uint8_t key[kVeraCryptHeaderKeySize]);

// --- Building blocks ---

// HMAC-SHA256 keyed with 32 bytes over first || second (either may be empty).
// 0 or -EIO; the output is wiped on failure.
int hmac_sha256(const uint8_t key[32], std::span<const uint8_t> first,
                std::span<const uint8_t> second, uint8_t out[32]);

// Compares two 32-byte tags in time independent of where they differ.
bool tags_equal(const uint8_t a[kTagSize], const uint8_t b[kTagSize]);

// PBKDF2 with HMAC-SHA256 / HMAC-SHA512, any parameters (lengths must fit an
// int, iterations >= 1). 0, -EINVAL for out-of-range arguments, or -EIO.
int pbkdf2_sha256(std::span<const uint8_t> password, std::span<const uint8_t> salt,
                  uint32_t iterations, uint8_t *out, size_t out_length);
int pbkdf2_sha512(std::span<const uint8_t> password, std::span<const uint8_t> salt,
                  uint32_t iterations, uint8_t *out, size_t out_length);

// HKDF-SHA256 (RFC 5869) in its two halves. Extract: PRK = HMAC(salt, input).
// Expand: out_length (at most 255 * 32) bytes from PRK and info.
int hkdf_sha256_extract(std::span<const uint8_t> salt, std::span<const uint8_t> input,
                        uint8_t prk[32]);
int hkdf_sha256_expand(const uint8_t prk[32], std::span<const uint8_t> info, uint8_t *out,
                       size_t out_length);

// True when the bytes are strictly valid UTF-8: no overlong forms, no
// surrogates (U+D800..U+DFFF), nothing above U+10FFFF, no truncated sequence.
bool utf8_is_strict(std::span<const uint8_t> text);

} // namespace tw

// Internal interface between the cipher dispatch (cipher.cpp) and the
// per-cipher files. Not for use outside the container library.
#pragma once

#include "container/cipher/cipher.h"

#include <cstddef>
#include <cstdint>

namespace tw::cipher_parts {

inline uint32_t load32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void store32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// Rotations by any count; a count of 0 (mod 32) leaves the value unchanged.
inline uint32_t rotl32(uint32_t v, uint32_t n) {
    n &= 31;
    return (v << n) | (v >> ((32 - n) & 31));
}

inline uint32_t rotr32(uint32_t v, uint32_t n) {
    n &= 31;
    return (v >> n) | (v << ((32 - n) & 31));
}

// AES-256-XTS (cipher_aes_xts.cpp).
int aes_xts_setup(CipherContext *ctx, const uint8_t key[64]);
int aes_xts_run(CipherContext *ctx, uint64_t first_sector, size_t count, const uint8_t *in,
                uint8_t *out, bool encrypt);
int aes_xts_unit(CipherContext *ctx, uint8_t *data, size_t length, uint64_t unit, bool encrypt);
// Gives `to` its own copies of both keyed contexts of `from`.
int aes_xts_clone(const CipherContext *from, CipherContext *to);
void aes_xts_free(CipherContext *ctx);

// XChaCha20 in its sector variant (cipher_xchacha20.cpp): block counter from 1,
// nonce bytes 16..23 XORed with the sector number.
int xchacha20_run(const uint8_t key[32], const uint8_t nonce[kXChaCha20NonceSize],
                  uint64_t first_sector, size_t count, const uint8_t *in, uint8_t *out);

// SSE1 (cipher_sse1.cpp).
void sse1_key_table(const uint8_t *key, size_t key_length, uint8_t table[kSse1TableSize]);
void sse1_encrypt_sector(const uint8_t table[kSse1TableSize], uint8_t sector[kSectorSize]);
void sse1_decrypt_sector(const uint8_t table[kSse1TableSize], uint8_t sector[kSectorSize]);

// XOR (cipher_xor.cpp).
void xor_derive_key(const uint8_t *key, size_t key_length, uint8_t out[kXorKeySize]);
void xor_sector(const uint8_t key[kXorKeySize], uint8_t sector[kSectorSize]);

} // namespace tw::cipher_parts

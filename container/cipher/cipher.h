// Sector ciphers and their dispatch.
//
// Every encrypted unit of every container format is one 512-byte sector,
// transformed given its sector number. Four ciphers key container data:
// AES-256-XTS (9), XChaCha20 (10), SSE1 (1) and XOR (8). SSE2 (7) protects
// legacy headers under the system key and is used through its own functions.
// Functions return 0 or a negative errno.
#pragma once

#include "container/keys/keys.h"
#include "runtime/cipher_id.h"

#include <cstddef>
#include <cstdint>

struct evp_cipher_ctx_st;

namespace tw {

inline constexpr size_t kSectorSize = 512;
inline constexpr size_t kXChaCha20NonceSize = 24;
inline constexpr size_t kSse1TableSize = 2052;
inline constexpr size_t kSse2TableSize = 264;
inline constexpr size_t kSse2BlockSize = 8;
inline constexpr size_t kXorKeySize = 8;

// Direction of every transform.
inline constexpr int kDecrypt = 0;
inline constexpr int kEncrypt = 1;

// SSE1 or XOR keyed from key bytes. A reset state is all zero with id 255.
struct LegacyCipherState {
    uint32_t id;
    uint8_t sse1_table[kSse1TableSize];
    uint8_t xor_key[kXorKeySize];
};

// One keyed cipher. Keep it in locked memory (cipher_context_create, or inside
// a structure from secure_alloc) and reset it before release. Zeroed memory
// becomes a valid reset context through cipher_reset.
struct CipherContext {
    uint32_t id;
    // AES-256-XTS: one OpenSSL context keyed for each direction, so that a
    // sector costs only an IV change. OpenSSL wipes its key schedules on free.
    evp_cipher_ctx_st *xts_encrypt;
    evp_cipher_ctx_st *xts_decrypt;
    uint8_t xchacha20_key[32];
    LegacyCipherState legacy;
};

// A reset context in locked memory, or nullptr (ENOMEM).
CipherContext *cipher_context_create();
// Resets and releases a context from cipher_context_create (null ignored).
void cipher_context_destroy(CipherContext *ctx);

// Number of data-key bytes a cipher is keyed with: the legacy table for ids
// 0..8 (SSE1 32, XOR 16), 64 for AES-256-XTS and XChaCha20 (which uses the
// first 32), 0 for anything else.
size_t cipher_key_length(uint32_t id);

// Keys the context. Ids 9 and 10 take the 64-byte data key (kDataKeySize); ids 1 and 8 any key
// bytes of length 1..2^32-1. -EINVAL for another id, a missing key or a length
// out of range; -EIO when the crypto library refuses the key (OpenSSL also
// rejects an XTS key whose two halves are equal); -ENOMEM. A failed set-up
// leaves the context reset. The caller wipes its key bytes.
int cipher_setup(CipherContext *ctx, uint32_t id, const uint8_t *key, size_t key_length);

// Makes the context the "no transform" cipher (id 254) used to read plaintext.
void cipher_setup_plain(CipherContext *ctx);

// Transforms one 512-byte sector in place. XChaCha20 requires the 24-byte
// nonce (-EINVAL without it); other ciphers ignore it. -EINVAL for a reset
// context or a direction other than kDecrypt/kEncrypt; -EIO for a crypto
// library failure.
int cipher_sector(CipherContext *ctx, uint8_t *sector, uint64_t sector_number, int direction,
                  const uint8_t *nonce = nullptr);

// Transforms `count` consecutive sectors numbered from `first_sector`, from
// `in` to `out` (which may be the same buffer, not otherwise overlapping).
// All XChaCha20 sectors of a run share the nonce; each sector still gets its
// own keystream through its number. The bulk path: keying work is done once
// per context (AES) or once per call (XChaCha20), never per sector.
int cipher_sectors(CipherContext *ctx, uint64_t first_sector, size_t count, const uint8_t *in,
                   uint8_t *out, int direction, const uint8_t *nonce = nullptr);

// AES-256-XTS over one data unit of 16..512 bytes (a multiple of 16) with the
// context's keys; -EINVAL for another length or a context not keyed with id 9.
int cipher_xts_unit(CipherContext *ctx, uint8_t *data, size_t length, uint64_t unit_number,
                    int direction);

// Wipes the context, frees the AES keys and sets id 255.
void cipher_reset(CipherContext *ctx);

// Keys `to` exactly like `from` (which stays as it is), so that another
// thread can transform sectors with it: an OpenSSL context must never be used
// by two threads at once. -EIO when the crypto library cannot copy its
// context, -EINVAL for a null argument; a failure leaves `to` reset.
int cipher_clone(const CipherContext *from, CipherContext *to);

// --- SSE2 (system-key protection) ---

// The 264-byte key schedule of a 7-byte system key. Keep it in locked memory.
void sse2_schedule(const uint8_t key[7], uint8_t table[kSse2TableSize]);

// Chained SSE2 over `blocks` 8-byte blocks in place (4 for a 32-byte header,
// 64 for a sector). Decryption applies the forward transform.
void sse2_decrypt_blocks(uint8_t *buffer, size_t blocks, const uint8_t table[kSse2TableSize]);
void sse2_encrypt_blocks(uint8_t *buffer, size_t blocks, const uint8_t table[kSse2TableSize]);

} // namespace tw

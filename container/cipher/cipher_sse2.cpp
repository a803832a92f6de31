// SSE2: a 64-bit block transform chained across blocks, keyed by a 264-byte
// schedule of the 7-byte system key. Decryption applies the forward
// transform and encryption its inverse; the chain value is carried from block
// to block and depends on the plaintext, so a change propagates to every
// later block.
#include "container/cipher/cipher.h"
#include "container/cipher/cipher_parts.h"
#include "platform/secure_memory.h"

namespace tw {

namespace {

using cipher_parts::load32;
using cipher_parts::rotl32;
using cipher_parts::rotr32;
using cipher_parts::store32;

constexpr int kRounds = 35;

inline uint32_t word(const uint8_t *table, uint32_t x) {
    return load32(table + (x & 0xFF));
}

inline uint32_t initial_chain(const uint8_t *table) {
    return load32(table + 149) ^ load32(table + 31);
}

// Forward transform of the block at `block` with chain `c`; returns the next
// chain value. The table may contain the block itself (schedule passes): the
// block's words are read first and written only at the end.
inline uint32_t forward(const uint8_t *table, uint8_t *block, uint32_t c) {
    uint32_t a = load32(block) ^ c;
    uint32_t b = load32(block + 4) - c;
    for (int i = 0; i < kRounds; ++i) {
        b += word(table, a);
        a = rotl32((a ^ word(table, b) ^ b) + b, 3);
        b = rotl32(b, 3);
    }
    store32(block, a);
    store32(block + 4, b);
    return rotl32((c + a) ^ b, 13);
}

inline uint32_t inverse(const uint8_t *table, uint8_t *block, uint32_t c) {
    uint32_t a_in = load32(block);
    uint32_t b_in = load32(block + 4);
    uint32_t a = a_in, b = b_in;
    for (int i = 0; i < kRounds; ++i) {
        b = rotr32(b, 3);
        a = (rotr32(a, 3) - b) ^ word(table, b) ^ b;
        b -= word(table, a);
    }
    store32(block, a ^ c);
    store32(block + 4, b + c);
    return rotl32((c + a_in) ^ b_in, 13);
}

} // namespace

void sse2_schedule(const uint8_t key[7], uint8_t table[kSse2TableSize]) {
    constexpr size_t n = 7;
    for (size_t t = 0; t < kSse2TableSize; ++t) {
        size_t p = t % n;
        unsigned shift = (n - p) % 8;
        uint8_t rotated = uint8_t((key[p] << shift) | (key[p] >> ((8 - shift) & 7)));
        table[t] = uint8_t(rotated + t);
    }
    for (int pass = 0; pass < kRounds; ++pass) {
        uint32_t c = initial_chain(table);
        for (size_t block = 0; block < kSse2TableSize / kSse2BlockSize; ++block)
            c = forward(table, table + block * kSse2BlockSize, c);
    }
}

void sse2_decrypt_blocks(uint8_t *buffer, size_t blocks, const uint8_t table[kSse2TableSize]) {
    uint32_t c = initial_chain(table);
    for (size_t i = 0; i < blocks; ++i)
        c = forward(table, buffer + i * kSse2BlockSize, c);
}

void sse2_encrypt_blocks(uint8_t *buffer, size_t blocks, const uint8_t table[kSse2TableSize]) {
    uint32_t c = initial_chain(table);
    for (size_t i = 0; i < blocks; ++i)
        c = inverse(table, buffer + i * kSse2BlockSize, c);
}

} // namespace tw

// The XOR cipher: an 8-byte key derived from the key bytes, XORed over the
// sector. The sector number does not enter; encryption equals decryption.
#include "container/cipher/cipher_parts.h"
#include "platform/secure_memory.h"

#include <cstring>

namespace tw::cipher_parts {

void xor_derive_key(const uint8_t *key, size_t key_length, uint8_t out[kXorKeySize]) {
    static constexpr uint8_t kMix[8] = {0x7F, 0xFE, 0x7D, 0xFC, 0x7B, 0xFA, 0x79, 0xF8};
    uint8_t acc[16] = {};
    uint16_t multiplier = 1;
    // The walk fills the 16 accumulator slots round after round until every
    // key byte has been used at least once: 16 * ceil(n / 16) steps.
    uint64_t steps = 16 * ((uint64_t(key_length) + 15) / 16);
    size_t position = 0;
    for (uint64_t i = 0; i < steps; ++i) {
        uint32_t product = uint32_t(key[position]) * multiplier;
        acc[i % 16] = uint8_t(acc[i % 16] + ((product ^ (product >> 8)) & 0xFF));
        ++multiplier;
        if (++position == key_length)
            position = 0;
    }
    for (int k = 0; k < 8; ++k) {
        uint8_t c = acc[8 + k] ^ uint8_t(acc[k] + kMix[k]);
        out[k] = uint8_t(c * 13);
    }
    secure_wipe(acc, sizeof acc);
}

void xor_sector(const uint8_t key[kXorKeySize], uint8_t sector[kSectorSize]) {
    // Eight key bytes are one 64-bit word in memory order, so the sector can
    // be processed a word at a time; memcpy keeps the accesses alignment-free.
    uint64_t k;
    std::memcpy(&k, key, sizeof k);
    for (size_t i = 0; i < kSectorSize; i += sizeof k) {
        uint64_t w;
        std::memcpy(&w, sector + i, sizeof w);
        w ^= k;
        std::memcpy(sector + i, &w, sizeof w);
    }
    secure_wipe(&k, sizeof k);
}

} // namespace tw::cipher_parts

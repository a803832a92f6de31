// XChaCha20 as the sector cipher: HChaCha20 of the key and nonce bytes 0..15
// gives a subkey; each sector is then ChaCha20 (64-bit block counter starting
// at 1, 64-bit nonce) under that subkey with nonce bytes 16..23 XORed with the
// sector number. For a single sector this is exactly libsodium's
// crypto_stream_xchacha20_xor_ic with the adjusted nonce and counter 1; a run
// computes the subkey once and reuses it for every sector.
#include "container/cipher/cipher_parts.h"
#include "platform/secure_memory.h"

#include <cerrno>
#include <sodium.h>

namespace tw::cipher_parts {

namespace {

void sector_nonce(const uint8_t nonce[kXChaCha20NonceSize], uint64_t sector, uint8_t out[24]) {
    for (int i = 0; i < 16; ++i)
        out[i] = nonce[i];
    for (int i = 0; i < 8; ++i)
        out[16 + i] = nonce[16 + i] ^ uint8_t(sector >> (8 * i));
}

} // namespace

int xchacha20_run(const uint8_t key[32], const uint8_t nonce[kXChaCha20NonceSize],
                  uint64_t first_sector, size_t count, const uint8_t *in, uint8_t *out) {
    uint8_t adjusted[24];
    if (count == 1) {
        sector_nonce(nonce, first_sector, adjusted);
        return crypto_stream_xchacha20_xor_ic(out, in, kSectorSize, adjusted, 1, key) == 0 ? 0
                                                                                           : -EIO;
    }
    uint8_t subkey[crypto_core_hchacha20_OUTPUTBYTES];
    if (crypto_core_hchacha20(subkey, nonce, key, nullptr) != 0)
        return -EIO;
    int rc = 0;
    for (size_t i = 0; i < count && rc == 0; ++i) {
        sector_nonce(nonce, first_sector + i, adjusted);
        size_t offset = i * kSectorSize;
        if (crypto_stream_chacha20_xor_ic(out + offset, in + offset, kSectorSize, adjusted + 16, 1,
                                          subkey) != 0)
            rc = -EIO;
    }
    secure_wipe(subkey, sizeof subkey);
    return rc;
}

} // namespace tw::cipher_parts

// AES-256-XTS (IEEE 1619) with one 512-byte sector as the data unit.
//
// The tweak is the sector number as a 64-bit little-endian value followed by
// eight zero bytes, which is exactly OpenSSL's 16-byte XTS IV. Each direction
// has its own context keyed once at set-up; a sector then costs one IV change
// and one update call, which keeps runs of sectors close to raw AES speed.
#include "container/cipher/cipher_parts.h"
#include "platform/secure_memory.h"

#include <cerrno>
#include <openssl/evp.h>

namespace tw::cipher_parts {

namespace {

void tweak_for(uint64_t unit, uint8_t iv[16]) {
    for (int i = 0; i < 8; ++i)
        iv[i] = uint8_t(unit >> (8 * i));
    for (int i = 8; i < 16; ++i)
        iv[i] = 0;
}

bool transform(EVP_CIPHER_CTX *ctx, const uint8_t *in, uint8_t *out, size_t length, uint64_t unit,
               bool encrypt) {
    uint8_t iv[16];
    tweak_for(unit, iv);
    int written = 0;
    bool ok;
    if (encrypt)
        ok = EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, iv) == 1 &&
             EVP_EncryptUpdate(ctx, out, &written, in, static_cast<int>(length)) == 1;
    else
        ok = EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, iv) == 1 &&
             EVP_DecryptUpdate(ctx, out, &written, in, static_cast<int>(length)) == 1;
    return ok && written == static_cast<int>(length);
}

} // namespace

int aes_xts_setup(CipherContext *ctx, const uint8_t key[64]) {
    ctx->xts_encrypt = EVP_CIPHER_CTX_new();
    ctx->xts_decrypt = EVP_CIPHER_CTX_new();
    if (!ctx->xts_encrypt || !ctx->xts_decrypt ||
        EVP_EncryptInit_ex(ctx->xts_encrypt, EVP_aes_256_xts(), nullptr, key, nullptr) != 1 ||
        EVP_DecryptInit_ex(ctx->xts_decrypt, EVP_aes_256_xts(), nullptr, key, nullptr) != 1) {
        aes_xts_free(ctx);
        return -EIO;
    }
    return 0;
}

int aes_xts_run(CipherContext *ctx, uint64_t first_sector, size_t count, const uint8_t *in,
                uint8_t *out, bool encrypt) {
    EVP_CIPHER_CTX *evp = encrypt ? ctx->xts_encrypt : ctx->xts_decrypt;
    for (size_t i = 0; i < count; ++i) {
        size_t offset = i * kSectorSize;
        // Sector numbers wrap like the 64-bit tweak field they fill.
        if (!transform(evp, in + offset, out + offset, kSectorSize, first_sector + i, encrypt))
            return -EIO;
    }
    return 0;
}

int aes_xts_unit(CipherContext *ctx, uint8_t *data, size_t length, uint64_t unit, bool encrypt) {
    if (length < 16 || length > kSectorSize || length % 16 != 0)
        return -EINVAL;
    return transform(encrypt ? ctx->xts_encrypt : ctx->xts_decrypt, data, data, length, unit,
                     encrypt)
               ? 0
               : -EIO;
}

int aes_xts_clone(const CipherContext *from, CipherContext *to) {
    to->xts_encrypt = EVP_CIPHER_CTX_new();
    to->xts_decrypt = EVP_CIPHER_CTX_new();
    if (!to->xts_encrypt || !to->xts_decrypt || !from->xts_encrypt || !from->xts_decrypt ||
        EVP_CIPHER_CTX_copy(to->xts_encrypt, from->xts_encrypt) != 1 ||
        EVP_CIPHER_CTX_copy(to->xts_decrypt, from->xts_decrypt) != 1) {
        aes_xts_free(to);
        return -EIO;
    }
    return 0;
}

void aes_xts_free(CipherContext *ctx) {
    // EVP_CIPHER_CTX_free cleanses the provider's key schedule before freeing.
    EVP_CIPHER_CTX_free(ctx->xts_encrypt);
    EVP_CIPHER_CTX_free(ctx->xts_decrypt);
    ctx->xts_encrypt = nullptr;
    ctx->xts_decrypt = nullptr;
}

} // namespace tw::cipher_parts

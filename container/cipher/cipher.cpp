#include "container/cipher/cipher.h"

#include "container/cipher/cipher_parts.h"
#include "platform/secure_memory.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <sodium.h>

namespace tw {

namespace cp = cipher_parts;

namespace {

// Key bytes each cipher id takes from the 64-byte data key (ids 0..8).
constexpr size_t kLegacyKeyLengths[9] = {32, 32, 16, 56, 8, 24, 32, 32, 16};

bool direction_ok(int direction) {
    return direction == kDecrypt || direction == kEncrypt;
}

int legacy_run(CipherContext *ctx, size_t count, const uint8_t *in, uint8_t *out, bool encrypt) {
    for (size_t i = 0; i < count; ++i) {
        uint8_t *sector = out + i * kSectorSize;
        if (in != out)
            std::memcpy(sector, in + i * kSectorSize, kSectorSize);
        if (ctx->legacy.id == kCipherXor)
            cp::xor_sector(ctx->legacy.xor_key, sector);
        else if (encrypt)
            cp::sse1_encrypt_sector(ctx->legacy.sse1_table, sector);
        else
            cp::sse1_decrypt_sector(ctx->legacy.sse1_table, sector);
    }
    return 0;
}

} // namespace

CipherContext *cipher_context_create() {
    void *memory = secure_alloc(sizeof(CipherContext));
    if (!memory)
        return nullptr;
    auto *ctx = new (memory) CipherContext{};
    cipher_reset(ctx);
    return ctx;
}

void cipher_context_destroy(CipherContext *ctx) {
    if (!ctx)
        return;
    cipher_reset(ctx);
    secure_free(ctx, sizeof(CipherContext));
}

size_t cipher_key_length(uint32_t id) {
    if (id < 9)
        return kLegacyKeyLengths[id];
    if (id == kCipherAesXts || id == kCipherXChaCha20)
        return kDataKeySize;
    return 0;
}

int cipher_setup(CipherContext *ctx, uint32_t id, const uint8_t *key, size_t key_length) {
    if (!ctx)
        return -EINVAL;
    cipher_reset(ctx);
    if (!key)
        return -EINVAL;
    switch (id) {
    case kCipherAesXts: {
        if (key_length != kDataKeySize)
            return -EINVAL;
        int rc = cp::aes_xts_setup(ctx, key);
        if (rc != 0)
            return rc;
        break;
    }
    case kCipherXChaCha20:
        if (key_length != kDataKeySize)
            return -EINVAL;
        // Selects libsodium's fastest implementation; safe to call repeatedly.
        if (sodium_init() < 0)
            return -EIO;
        std::memcpy(ctx->xchacha20_key, key, sizeof ctx->xchacha20_key);
        break;
    case kCipherSse1:
    case kCipherXor:
        if (key_length < 1 || key_length > UINT32_MAX)
            return -EINVAL;
        if (id == kCipherSse1)
            cp::sse1_key_table(key, key_length, ctx->legacy.sse1_table);
        else
            cp::xor_derive_key(key, key_length, ctx->legacy.xor_key);
        ctx->legacy.id = id;
        break;
    default:
        return -EINVAL;
    }
    ctx->id = id;
    return 0;
}

void cipher_setup_plain(CipherContext *ctx) {
    cipher_reset(ctx);
    ctx->id = kCipherNone;
}

int cipher_sectors(CipherContext *ctx, uint64_t first_sector, size_t count, const uint8_t *in,
                   uint8_t *out, int direction, const uint8_t *nonce) {
    if (!ctx || !direction_ok(direction) || (count > 0 && (!in || !out)) ||
        count > SIZE_MAX / kSectorSize)
        return -EINVAL;
    bool encrypt = direction == kEncrypt;
    switch (ctx->id) {
    case kCipherAesXts:
        return cp::aes_xts_run(ctx, first_sector, count, in, out, encrypt);
    case kCipherXChaCha20:
        if (!nonce)
            return -EINVAL;
        if (count == 0)
            return 0;
        return cp::xchacha20_run(ctx->xchacha20_key, nonce, first_sector, count, in, out);
    case kCipherSse1:
    case kCipherXor:
        return legacy_run(ctx, count, in, out, encrypt);
    case kCipherNone:
        if (in != out && count > 0)
            std::memcpy(out, in, count * kSectorSize);
        return 0;
    default:
        return -EINVAL;
    }
}

int cipher_sector(CipherContext *ctx, uint8_t *sector, uint64_t sector_number, int direction,
                  const uint8_t *nonce) {
    return cipher_sectors(ctx, sector_number, 1, sector, sector, direction, nonce);
}

int cipher_xts_unit(CipherContext *ctx, uint8_t *data, size_t length, uint64_t unit_number,
                    int direction) {
    if (!ctx || ctx->id != kCipherAesXts || !data || !direction_ok(direction))
        return -EINVAL;
    return cp::aes_xts_unit(ctx, data, length, unit_number, direction == kEncrypt);
}

void cipher_reset(CipherContext *ctx) {
    if (!ctx)
        return;
    // A context taken from zeroed memory has null AES pointers, so this is
    // also how such memory becomes a valid reset context.
    cp::aes_xts_free(ctx);
    secure_wipe(ctx->xchacha20_key, sizeof ctx->xchacha20_key);
    secure_wipe(&ctx->legacy, sizeof ctx->legacy);
    ctx->legacy.id = kCipherUnset;
    ctx->id = kCipherUnset;
}

int cipher_clone(const CipherContext *from, CipherContext *to) {
    if (!from || !to)
        return -EINVAL;
    cipher_reset(to);
    if (from->id == kCipherAesXts) {
        int rc = cp::aes_xts_clone(from, to);
        if (rc != 0)
            return rc;
    }
    std::memcpy(to->xchacha20_key, from->xchacha20_key, sizeof to->xchacha20_key);
    to->legacy = from->legacy;
    to->id = from->id;
    return 0;
}

} // namespace tw

#include "container/formats/kdf_trailer.h"

#include "platform/secure_memory.h"
#include "runtime/cipher_id.h"
#include "runtime/random.h"

#include <cerrno>
#include <cstring>

namespace tw {

namespace {

constexpr uint8_t kMagicKdf[8] = {'F', 'Z', 'C', 'X', 'K', 'D', 'F', 0};
constexpr uint8_t kMagicXts[8] = {'F', 'Z', 'C', 'X', 'X', 'T', 'S', 0};
constexpr uint32_t kSectorSize = 512;
constexpr uint64_t kPayloadLimit = 0x7ffffffffffff000ull;

uint32_t load32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t load64(const uint8_t *p) {
    return uint64_t(load32(p)) | uint64_t(load32(p + 4)) << 32;
}

void store32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

void store64(uint8_t *p, uint64_t v) {
    store32(p, uint32_t(v));
    store32(p + 4, uint32_t(v >> 32));
}

bool all_zero(const uint8_t *p, size_t n) {
    uint8_t acc = 0;
    for (size_t i = 0; i < n; ++i)
        acc |= p[i];
    return acc == 0;
}

// The ciphers a salted trailer may name: SSE1, XOR and AES-256-XTS. XChaCha20,
// although offered for new containers, is not one of them.
bool cipher_allowed(uint32_t id) {
    return id == kCipherSse1 || id == kCipherXor || id == kCipherAesXts;
}

bool payload_size_ok(uint64_t payload) {
    return payload != 0 && payload % kSectorSize == 0 && payload < kPayloadLimit;
}

int derive_for_version(uint32_t version, const uint8_t *password, size_t password_length,
                       const uint8_t *salt, uint8_t *key_material) {
    if (version == 3)
        return derive_storage_keys(password, password_length, salt, key_material);
    return derive_pbkdf2_keys(password, password_length, salt, key_material);
}

} // namespace

bool kdf_trailer_has_magic(const uint8_t *trailer) {
    return std::memcmp(trailer, kMagicKdf, 8) == 0 || std::memcmp(trailer, kMagicXts, 8) == 0;
}

int kdf_trailer_parse(const uint8_t trailer[kKdfTrailerSize], uint64_t file_size,
                      KdfTrailerInfo *info) {
    bool kdf = std::memcmp(trailer, kMagicKdf, 8) == 0;
    bool xts = std::memcmp(trailer, kMagicXts, 8) == 0;
    if (!kdf && !xts)
        return -EINVAL;
    uint32_t version = load32(trailer + 8);
    if (kdf ? (version != 2 && version != 3) : version != 1)
        return -EINVAL;
    if (load32(trailer + 12) != kKdfTrailerSize || load32(trailer + 16) != kSectorSize ||
        load32(trailer + 20) != kKdfIterations)
        return -EINVAL;
    uint64_t payload = load64(trailer + 24);
    if (!payload_size_ok(payload) || file_size < kKdfTrailerSize ||
        payload != file_size - kKdfTrailerSize)
        return -EINVAL;
    uint32_t cipher = 9;
    size_t zero_from = 64;
    if (kdf) {
        cipher = load32(trailer + 64);
        if (!cipher_allowed(cipher))
            return -EINVAL;
        zero_from = 68;
    }
    if (!all_zero(trailer + zero_from, kKdfTrailerTagOffset - zero_from))
        return -EINVAL;
    if (info)
        *info = {version, cipher, payload};
    return 0;
}

int kdf_trailer_create(uint8_t trailer[kKdfTrailerSize], uint64_t payload_size, uint32_t cipher_id,
                       const uint8_t *password, size_t password_length,
                       uint8_t data_key[kDataKeySize]) {
    std::memset(trailer, 0, kKdfTrailerSize);
    // The data key is wiped on every failure, so that a caller never keys a
    // cipher from whatever the buffer held before.
    if (data_key)
        secure_wipe(data_key, kDataKeySize);
    if (!payload_size_ok(payload_size) || !cipher_allowed(cipher_id))
        return -EINVAL;
    std::memcpy(trailer, kMagicKdf, 8);
    store32(trailer + 8, 3);
    store32(trailer + 12, kKdfTrailerSize);
    store32(trailer + 16, kSectorSize);
    store32(trailer + 20, kKdfIterations);
    store64(trailer + 24, payload_size);
    if (!random_bytes(trailer + 32, kKdfSaltSize)) {
        std::memset(trailer, 0, kKdfTrailerSize);
        return -EIO;
    }
    store32(trailer + 64, cipher_id);
    // The same validation a reader applies, so that nothing is written that
    // would not open again.
    int rc = kdf_trailer_parse(trailer, payload_size + kKdfTrailerSize, nullptr);
    SecureBuffer material(kKeyMaterialSize);
    if (rc == 0 && !material.valid())
        rc = -ENOMEM;
    if (rc == 0)
        rc = derive_storage_keys(password, password_length, trailer + 32, material.data());
    if (rc == 0)
        rc = hmac_sha256(material.data() + kMacKeyOffset, {trailer, kKdfTrailerTagOffset}, {},
                         trailer + kKdfTrailerTagOffset);
    if (rc != 0) {
        std::memset(trailer, 0, kKdfTrailerSize);
        if (data_key)
            secure_wipe(data_key, kDataKeySize);
        return rc;
    }
    if (data_key)
        std::memcpy(data_key, material.data(), kDataKeySize);
    return 0;
}

int kdf_trailer_unlock(const uint8_t trailer[kKdfTrailerSize], uint64_t file_size,
                       const uint8_t *password, size_t password_length,
                       uint8_t data_key[kDataKeySize]) {
    KdfTrailerInfo info;
    int rc = kdf_trailer_parse(trailer, file_size, &info);
    SecureBuffer material(kKeyMaterialSize);
    SecureBuffer tag(kTagSize);
    if (rc == 0 && (!material.valid() || !tag.valid()))
        rc = -ENOMEM;
    if (rc == 0)
        rc = derive_for_version(info.version, password, password_length, trailer + 32,
                                material.data());
    if (rc == 0)
        rc = hmac_sha256(material.data() + kMacKeyOffset, {trailer, kKdfTrailerTagOffset}, {},
                         tag.data());
    if (rc == 0 && !tags_equal(tag.data(), trailer + kKdfTrailerTagOffset))
        rc = -EACCES;
    if (rc != 0) {
        secure_wipe(data_key, kDataKeySize);
        return rc;
    }
    std::memcpy(data_key, material.data(), kDataKeySize);
    return 0;
}

} // namespace tw

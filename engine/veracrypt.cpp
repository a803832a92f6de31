#include "engine/veracrypt.h"

#include "container/cipher/cipher.h"
#include "container/probe/probe.h"
#include "platform/files.h"
#include "platform/io.h"
#include "platform/secure_memory.h"
#include "runtime/text.h"

#include <cerrno>
#include <cstring>
#include <new>

namespace tw {

namespace {

constexpr size_t kEncryptedOffset = 64;
constexpr size_t kEncryptedSize = kVeraCryptHeaderSize - kEncryptedOffset;
constexpr size_t kKeysOffset = 256;
constexpr uint16_t kHeaderVersion = 5;
constexpr uint16_t kNewestProgramVersion = 0x0129;
constexpr size_t kProbeTextSize = 128;

uint16_t be16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t be32(const uint8_t *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

uint64_t be64(const uint8_t *p) {
    return uint64_t(be32(p)) << 32 | be32(p + 4);
}

} // namespace

struct VeraCryptVolume {
    int fd;
    uint64_t data_size;
    CipherContext *cipher;
    char probe_text[kProbeTextSize];
};

int veracrypt_header_decrypt(const uint8_t header[kVeraCryptHeaderSize],
                             const uint8_t header_key[kVeraCryptKeySize],
                             uint8_t decrypted[kVeraCryptHeaderSize]) {
    CipherContext *ctx = cipher_context_create();
    if (ctx == nullptr)
        return -ENOMEM;
    int error = cipher_setup(ctx, kCipherAesXts, header_key, kVeraCryptKeySize);
    std::memcpy(decrypted, header, kVeraCryptHeaderSize);
    if (error == 0)
        error = cipher_xts_unit(ctx, decrypted + kEncryptedOffset, kEncryptedSize, 0, kDecrypt);
    cipher_context_destroy(ctx);
    if (error != 0)
        secure_wipe(decrypted, kVeraCryptHeaderSize);
    return error;
}

int veracrypt_header_check(const uint8_t h[kVeraCryptHeaderSize], uint64_t file_size,
                           uint8_t master_keys[kVeraCryptKeySize]) {
    // What a wrong password (or a file that is no VeraCrypt volume) gives:
    // checked first, so that nothing else is read from random bytes.
    if (std::memcmp(h + 64, "VERA", 4) != 0 || crc32_ieee(h + 64, 188) != be32(h + 252) ||
        crc32_ieee(h + kKeysOffset, 256) != be32(h + 72))
        return -EACCES;
    if (be16(h + 68) != kHeaderVersion || be16(h + 70) > kNewestProgramVersion ||
        be64(h + 92) != 0 || be32(h + 124) != 0 || be32(h + 128) != kSectorSize)
        return -EPROTONOSUPPORT;
    if (file_size < kVeraCryptReservedSize) // unreachable through veracrypt_open
        return -EINVAL;
    const uint64_t data_size = file_size - kVeraCryptReservedSize;
    if (be64(h + 100) != data_size || be64(h + 116) != data_size ||
        be64(h + 108) != kVeraCryptDataOffset)
        return -EINVAL;
    // OpenSSL refuses XTS keys with equal halves; so does this importer.
    const uint8_t *keys = h + kKeysOffset;
    if (std::memcmp(keys, keys + 32, 32) == 0)
        return -EPROTONOSUPPORT;
    std::memcpy(master_keys, keys, kVeraCryptKeySize);
    return 0;
}

uint64_t veracrypt_data_size(const VeraCryptVolume *volume) {
    return volume->data_size;
}

const char *veracrypt_probe_text(const VeraCryptVolume *volume) {
    return volume->probe_text;
}

int veracrypt_read(void *opaque, void *buffer, size_t length, uint64_t offset) {
    auto *v = static_cast<VeraCryptVolume *>(opaque);
    if (length == 0 || length % kSectorSize != 0 || offset % kSectorSize != 0 ||
        offset > v->data_size || length > v->data_size - offset)
        return -EINVAL;
    const uint64_t at = offset + kVeraCryptDataOffset;
    int error = pread_full(v->fd, buffer, length, at);
    if (error == 0)
        error = cipher_sectors(v->cipher, at / kSectorSize, length / kSectorSize,
                               static_cast<const uint8_t *>(buffer), static_cast<uint8_t *>(buffer),
                               kDecrypt);
    if (error != 0)
        secure_wipe(buffer, length);
    return error;
}

void veracrypt_close(VeraCryptVolume *volume) {
    if (volume == nullptr)
        return;
    cipher_context_destroy(volume->cipher);
    secure_free(volume, sizeof *volume);
}

namespace {

// Reads the header, derives its key and validates it; the master keys land
// in `master_keys`.
int unlock_header(int fd, uint64_t file_size, const uint8_t *password, size_t password_length,
                  uint8_t master_keys[kVeraCryptKeySize]) {
    SecureBuffer header(kVeraCryptHeaderSize), decrypted(kVeraCryptHeaderSize),
        key(kVeraCryptKeySize);
    if (!header.valid() || !decrypted.valid() || !key.valid())
        return -ENOMEM;
    if (int error = pread_full(fd, header.data(), kVeraCryptHeaderSize, 0))
        return error;
    int error = derive_veracrypt_header_key(password, password_length, header.data(), key.data());
    if (error == 0)
        error = veracrypt_header_decrypt(header.data(), key.data(), decrypted.data());
    if (error == 0)
        error = veracrypt_header_check(decrypted.data(), file_size, master_keys);
    return error;
}

} // namespace

int veracrypt_open(int fd, const uint8_t *password, size_t password_length, VeraCryptVolume **out) {
    *out = nullptr;
    if (password == nullptr || password_length < 1 ||
        password_length > kVeraCryptMaxPasswordLength ||
        std::memchr(password, 0, password_length) != nullptr ||
        !utf8_is_valid(password, password_length))
        return -EINVAL;
    FileStatus status;
    if (int error = file_status(fd, &status))
        return error;
    if (status.type != FileType::regular || !handle_is_read_only(fd) ||
        status.size < kVeraCryptMinimumFileSize || status.size % kSectorSize != 0)
        return -EINVAL;

    void *memory = secure_alloc(sizeof(VeraCryptVolume));
    if (memory == nullptr)
        return -ENOMEM;
    auto *v = new (memory) VeraCryptVolume{};
    v->fd = fd;
    v->data_size = status.size - kVeraCryptReservedSize;
    v->cipher = cipher_context_create();
    SecureBuffer master_keys(kVeraCryptKeySize);
    int error = v->cipher && master_keys.valid() ? 0 : -ENOMEM;
    if (error == 0)
        error = unlock_header(fd, status.size, password, password_length, master_keys.data());
    if (error == 0)
        error = cipher_setup(v->cipher, kCipherAesXts, master_keys.data(), kVeraCryptKeySize);
    master_keys.wipe();

    if (error == 0) {
        SecureBuffer sector0(kSectorSize);
        error = sector0.valid() ? veracrypt_read(v, sector0.data(), kSectorSize, 0) : -ENOMEM;
        if (error == 0) {
            ProbeContext probe;
            probe.sector0 = sector0.data();
            probe.sector_count = v->data_size / kSectorSize;
            probe.read = veracrypt_read;
            probe.read_user = v;
            probe.strict = true;
            if (filesystem_probe(&probe, v->probe_text, sizeof v->probe_text) != kProbeRecognised)
                error = probe.first_error ? probe.first_error : -ENODEV;
        }
    }
    if (error != 0) {
        veracrypt_close(v);
        return error;
    }
    *out = v;
    return 0;
}

} // namespace tw
